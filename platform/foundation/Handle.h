// Owning handles for C libraries' objects: std::unique_ptr<T, FreeWith<f>> frees its object
// with the library's own function `f`, exactly once, on every path.
#pragma once

namespace corvanta {

template <auto Free>
struct FreeWith {
  template <class T>
  void operator()(T* handle) const {
    Free(handle);
  }
};

}  // namespace corvanta
