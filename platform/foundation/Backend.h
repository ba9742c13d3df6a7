// The replaceable platform backends.
//
// Each concern the extension reaches (file system, URL loading, attachment store, clock) has
// one interface with a real default. A test installs its own implementation for a scope with
// ScopedBackend; everything the platform does for that concern then goes through it.
//
// Thread safety: installing is meant for a test's set-up, while no other thread uses the
// backend; reading the current backend is safe from any thread.
#pragma once

#include <atomic>

namespace corvanta {

// The slot holding the installed backend of type T, or nullptr for T::Default().
template <class T>
class BackendSlot {
 public:
  static T& Current() {
    T* installed = slot().load(std::memory_order_acquire);
    return installed ? *installed : T::Default();
  }
  static T* Exchange(T* backend) { return slot().exchange(backend, std::memory_order_acq_rel); }

 private:
  static std::atomic<T*>& slot() {
    static std::atomic<T*> installed{nullptr};
    return installed;
  }
};

// Installs `backend` as the current T for the life of this object, then restores the one it
// replaced. The caller keeps `backend` alive for that long.
template <class T>
class ScopedBackend {
 public:
  explicit ScopedBackend(T& backend) : _previous(BackendSlot<T>::Exchange(&backend)) {}
  ~ScopedBackend() { BackendSlot<T>::Exchange(_previous); }
  ScopedBackend(const ScopedBackend&) = delete;
  ScopedBackend& operator=(const ScopedBackend&) = delete;

 private:
  T* _previous;
};

}  // namespace corvanta
