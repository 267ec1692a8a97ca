#include <sys/socket.h>

#include "discovery/receive_buffer.h"

int enlarge_receive_buffer(Socket s, int bytes) {
  return ::setsockopt(static_cast<int>(s), SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes) == 0;
}
