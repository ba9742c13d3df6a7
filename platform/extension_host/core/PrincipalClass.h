// How the host finds the extension's class: by name, in a registry the extension fills in
// while the program starts (a static registration in the extension's own source), so the
// host never includes the extension's headers.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "platform/user_notifications/UNNotificationServiceExtension.h"

namespace corvanta {

using ExtensionFactory = std::function<std::shared_ptr<UNNotificationServiceExtension>()>;

// Records `factory` under `name`, replacing any earlier one. Call it during static
// initialisation only; returns true so it can initialise a static.
bool registerPrincipalClass(std::string name, ExtensionFactory factory);

// A new instance of the class registered under `name`; nullptr when none is.
std::shared_ptr<UNNotificationServiceExtension> makePrincipalClassInstance(std::string_view name);

}  // namespace corvanta
