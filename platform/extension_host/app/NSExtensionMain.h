// The extension process's entry: parses the command line, runs every request through the
// principal class "NotificationService", and returns the process's exit status.
#pragma once

namespace corvanta {

int NSExtensionMain(int argc, char* argv[]);

}  // namespace corvanta
