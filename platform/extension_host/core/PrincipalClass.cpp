#include "platform/extension_host/core/PrincipalClass.h"

#include <map>

namespace corvanta {
namespace {

// Written only while the program starts, read afterwards.
std::map<std::string, ExtensionFactory, std::less<>>& registry() {
  static std::map<std::string, ExtensionFactory, std::less<>> classes;
  return classes;
}

}  // namespace

bool registerPrincipalClass(std::string name, ExtensionFactory factory) {
  registry()[std::move(name)] = std::move(factory);
  return true;
}

std::shared_ptr<UNNotificationServiceExtension> makePrincipalClassInstance(std::string_view name) {
  const auto found = registry().find(name);
  return found == registry().end() ? nullptr : found->second();
}

}  // namespace corvanta
