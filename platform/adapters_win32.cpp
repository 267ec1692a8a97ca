#include <winsock2.h>
#include <ws2tcpip.h>
#include <iphlpapi.h>

#include <memory>

#include "platform/adapters.h"

std::vector<AdapterAddress> list_adapter_addresses() {
  std::vector<AdapterAddress> out;
  const ULONG flags = GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST | GAA_FLAG_SKIP_DNS_SERVER;
  ULONG size = 16 * 1024;
  std::unique_ptr<uint8_t[]> buffer;
  ULONG result = ERROR_BUFFER_OVERFLOW;
  // The list may grow between the call that sizes it and the one that fills it.
  for (int attempt = 0; attempt < 3 && result == ERROR_BUFFER_OVERFLOW; ++attempt) {
    buffer.reset(new uint8_t[size]);
    result = GetAdaptersAddresses(AF_INET, flags, nullptr,
                                  reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.get()), &size);
  }
  if (result != NO_ERROR) return out;
  for (auto* a = reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.get()); a; a = a->Next) {
    if (a->OperStatus != IfOperStatusUp || a->IfType == IF_TYPE_SOFTWARE_LOOPBACK) continue;
    for (IP_ADAPTER_UNICAST_ADDRESS* u = a->FirstUnicastAddress; u; u = u->Next) {
      const sockaddr* sa = u->Address.lpSockaddr;
      if (!sa || sa->sa_family != AF_INET) continue;
      uint32_t ip = reinterpret_cast<const sockaddr_in*>(sa)->sin_addr.s_addr;
      out.push_back(AdapterAddress{ip, static_cast<int>(u->OnLinkPrefixLength)});
    }
  }
  return out;
}
