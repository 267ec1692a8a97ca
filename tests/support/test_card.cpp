#include <cstring>

#include "protocol/packet.h"
#include "tests/support/table_doubles.h"

std::unique_ptr<DeviceRecord> test_card(const char* ip, uint8_t mac_last, uint32_t version,
                                        uint32_t unanswered_queries, int32_t write_refused) {
  auto r = std::make_unique<DeviceRecord>();
  std::memset(r.get(), 0, sizeof *r);
  r->filled = 1;
  r->ip = text_to_ip(ip);
  const uint8_t mac[6] = {0x00, 0x0a, 0xff, 0x10, 0x20, mac_last};
  std::memcpy(r->mac, mac, 6);
  r->version = version;
  std::strcpy(r->user_name, "admin");
  r->unanswered_queries = unanswered_queries;
  r->write_refused = write_refused;
  return r;
}
