#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

#include "platform/adapters.h"

std::vector<AdapterAddress> list_adapter_addresses() {
  std::vector<AdapterAddress> out;
  ifaddrs* list = nullptr;
  if (::getifaddrs(&list) != 0) return out;
  for (ifaddrs* i = list; i; i = i->ifa_next) {
    if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET || !i->ifa_netmask) continue;
    if (!(i->ifa_flags & IFF_UP) || (i->ifa_flags & IFF_LOOPBACK)) continue;
    uint32_t ip = reinterpret_cast<const sockaddr_in*>(i->ifa_addr)->sin_addr.s_addr;
    uint32_t mask = ntohl(reinterpret_cast<const sockaddr_in*>(i->ifa_netmask)->sin_addr.s_addr);
    int prefix = 0;
    while (prefix < 32 && (mask & (0x80000000u >> prefix))) ++prefix;
    out.push_back(AdapterAddress{ip, prefix});
  }
  ::freeifaddrs(list);
  return out;
}
