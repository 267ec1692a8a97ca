// daveridur-probe [--wait MS] ADDRESS...
// Asks each address for its "sysinfo" the way the program does and prints one
// tab-separated line per accepted reply: IP, MAC, version, user name,
// password, write_refused.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "settings/settings.h"
#include "protocol/packet.h"
#include "protocol/sysinfo.h"

namespace {

int usage() {
  std::fprintf(stderr, "usage: daveridur-probe [--wait MS] ADDRESS...\n");
  return 2;
}

void version_text(char* out, size_t cap, uint32_t version) {
  if (version == 0)
    std::snprintf(out, cap, "--.--");
  else
    std::snprintf(out, cap, "%d.%02d", (version >> 8) & 0xFF, version & 0xFF);
}

}  // namespace

int main(int argc, char** argv) {
  long wait_ms = 2000;
  std::vector<uint32_t> addresses;
  for (int i = 1; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--wait")) {
      char* end = nullptr;
      if (i + 1 >= argc) return usage();
      wait_ms = std::strtol(argv[++i], &end, 10);
      if (*end || wait_ms < 0) return usage();
    } else if (argv[i][0] == '-') {
      return usage();
    } else {
      uint32_t ip = text_to_ip(argv[i]);
      if (ip == BROADCAST_ADDRESS && std::strcmp(argv[i], "255.255.255.255") != 0) {
        std::fprintf(stderr, "daveridur-probe: not an address: %s\n", argv[i]);
        return 2;
      }
      addresses.push_back(ip);
    }
  }
  if (addresses.empty()) return usage();

  if (!net_startup()) return 1;
  SocketOwner owner = udp_open(0);
  Socket s = owner.get();
  if (!s || !socket_enable_broadcast(s)) {
    std::fprintf(stderr, "daveridur-probe: cannot open a socket\n");
    return 1;
  }
  for (uint32_t ip : addresses) send_sysinfo_request(s, ip);

  static uint8_t datagram[1599 + 1];
  DeviceRecord work{};
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(wait_ms);
  while (std::chrono::steady_clock::now() < deadline) {
    if (!wait_readable(s, 1)) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
      continue;
    }
    SocketAddress from;
    int len = socket_recv_from(s, datagram, 1599, &from);
    if (len < 4) continue;  // short datagrams and ICMP resets alike
    answer_reply(s, datagram, len, from);
    datagram[len] = 0;
    if (!parse_sysinfo(&work, reinterpret_cast<char*>(datagram) + 4, default_account().c_str()))
      continue;
    char mac[18], version[16];
    mac_to_text(mac, work.mac);
    version_text(version, sizeof version, work.version);
    std::printf("%s\t%s\t%s\t%s\t%s\t%d\n", ip_to_text(work.ip), mac, version, work.user_name,
                work.password, work.write_refused);
    std::fflush(stdout);
  }
  owner.reset();  // before the socket library goes
  net_cleanup();
  return 0;
}
