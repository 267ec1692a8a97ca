#pragma once
// Internal to the discovery module.
#include "platform/udp.h"

// The receive threads read only once a second, so every card's reply to a
// broadcast waits in the socket until then; the default buffer holds only a
// few hundred of them. The system may grant less than asked; 1 on success.
inline constexpr int DISCOVERY_RECEIVE_BUFFER = 4 << 20;
int enlarge_receive_buffer(Socket s, int bytes);
