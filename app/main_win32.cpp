#include <windows.h>

#include "platform/udp.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  // Without the socket library there is nothing the program can do.
  if (!net_startup()) return 0;
  net_cleanup();
  return 0;
}
