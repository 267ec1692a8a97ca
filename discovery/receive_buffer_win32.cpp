#include <winsock2.h>

#include "discovery/receive_buffer.h"

int enlarge_receive_buffer(Socket s, int bytes) {
  return ::setsockopt(static_cast<SOCKET>(s), SOL_SOCKET, SO_RCVBUF,
                      reinterpret_cast<const char*>(&bytes), sizeof bytes) == 0;
}
