#include "platform/extension_host/NSExtensionMain.h"

int main(int argc, char* argv[]) {
  return corvanta::NSExtensionMain(argc, argv);
}
