// make-media DIR: writes the demo's media files into DIR, creating DIR when missing.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "tools/media_samples.h"

int main(int argc, char** argv) {
  if (argc != 2 || std::string(argv[1]) == "--help" || std::string(argv[1]) == "-h") {
    std::fprintf(argc == 2 ? stdout : stderr, "usage: make-media DIR\n");
    return argc == 2 ? 0 : 2;
  }
  const std::filesystem::path dir = argv[1];
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  if (ec) {
    std::fprintf(stderr, "make-media: %s: %s\n", dir.c_str(), ec.message().c_str());
    return 1;
  }
  namespace media = corvanta::media;
  const std::vector<std::pair<const char*, std::string>> files = {
      {"pic.png", media::png()},  {"photo.jpg", media::jpeg()}, {"anim.gif", media::gif()},
      {"tone.mp3", media::mp3()}, {"clip.mp4", media::mp4()},   {"tone.wav", media::wav()},
  };
  for (const auto& [name, bytes] : files) {
    const std::filesystem::path path = dir / name;
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    out.close();
    if (!out) {
      std::fprintf(stderr, "make-media: cannot write %s\n", path.c_str());
      return 1;
    }
  }
  return 0;
}
