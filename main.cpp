#include "platform/extension_host/app/NSExtensionMain.h"

int main(int argc, char* argv[]) {
  return corvanta::NSExtensionMain(argc, argv);
}
