// The live page's script, served as /live.js: it keeps the cards of <main id="cards"> current
// by reloading them from /cards whenever /api/events says the store changed, and adds the
// filters by device and outcome. Plain DOM and EventSource; nothing from the network but the
// host that served it.
#pragma once

#include <string_view>

namespace corvanta {

extern const std::string_view kLiveScript;

}  // namespace corvanta
