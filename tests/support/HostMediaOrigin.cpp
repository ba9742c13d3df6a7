#include "support/HostMediaOrigin.h"

#include <httplib.h>

#include <chrono>

#include "support/TestOrigin.h"
#include "tools/media_samples.h"

namespace corvanta::testing {
namespace {

const char* contentTypeOf(const std::string& name) {
  if (name.ends_with(".png") || name == "download") return "image/png";
  if (name.ends_with(".jpg")) return "image/jpeg";
  if (name.ends_with(".gif")) return "image/gif";
  if (name.ends_with(".mp3")) return "audio/mpeg";
  if (name.ends_with(".mp4")) return "video/mp4";
  if (name.ends_with(".wav")) return "audio/wav";
  return "application/octet-stream";
}

}  // namespace

std::string HostMediaOrigin::bytesOf(const std::string& name) {
  if (name == "pic.png" || name == "download") return media::png();
  if (name == "photo.jpg") return media::jpeg();
  if (name == "anim.gif") return media::gif();
  if (name == "tone.mp3") return media::mp3();
  if (name == "clip.mp4") return media::mp4();
  if (name == "tone.wav") return media::wav();
  return "";
}

HostMediaOrigin::HostMediaOrigin() {
  auto serve = [](const std::string& name, httplib::Response& response) {
    const std::string bytes = bytesOf(name);
    if (bytes.empty()) {
      response.status = 404;
      response.set_content("not found", "text/plain");
    } else {
      response.set_content(bytes, contentTypeOf(name));
    }
  };
  _origin = std::make_unique<TestOrigin>([this, serve](httplib::Server& server) {
    server.Get(R"(/media/([^/]+))", [this, serve](const auto& request, auto& response) {
      ++_requests;
      serve(request.matches[1].str(), response);
    });
    server.Get(R"(/stall/([0-9.]+)/([^/]+))", [this, serve](const auto& request, auto& response) {
      ++_requests;
      const auto wait = std::chrono::duration<double>(std::stod(request.matches[1].str()));
      std::unique_lock lock(_mutex);
      _stopping.wait_for(lock, wait, [this] { return _stopped; });
      serve(request.matches[2].str(), response);
    });
    server.Get(R"(/status/([0-9]+))", [this](const auto& request, auto& response) {
      ++_requests;
      response.status = std::stoi(request.matches[1].str());
      response.set_content("status " + request.matches[1].str(), "text/plain");
    });
  });
}

HostMediaOrigin::~HostMediaOrigin() {
  {
    const std::lock_guard lock(_mutex);
    _stopped = true;
  }
  _stopping.notify_all();
  _origin.reset();
}

std::string HostMediaOrigin::url(const std::string& path) const {
  return _origin->url(path);
}

}  // namespace corvanta::testing
