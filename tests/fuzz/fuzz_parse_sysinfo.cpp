// Any datagram text, NUL-terminated the way the receive threads store it.
#include <cstdint>
#include <cstring>
#include <vector>

#include "protocol/sysinfo.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<char> text(data, data + size);
  text.push_back('\0');
  DeviceRecord record;
  std::memset(&record, 0xA5, sizeof record);
  record.password[0] = 'p';
  record.unanswered_queries = 7;
  if (parse_sysinfo(&record, text.data(), "admin")) {
    if (record.filled != 1 || record.write_refused > 1) __builtin_trap();
    if (record.user_name[31] != '\0') __builtin_trap();
  }
  // Never written, accepted or not.
  if (record.password[0] != 'p' || record.unanswered_queries != 7) __builtin_trap();
  return 0;
}
