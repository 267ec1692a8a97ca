#pragma once
// The record of one card and the reading of a card's "sysinfo" reply.
#include <cstdint>
#include <string>

struct DeviceRecord {
  int32_t filled;        // 1 once the record holds a card's data
  uint8_t mac[8];        // 6 bytes used, first byte first
  uint32_t ip;           // network byte order, as the reply's "+IP" states it
  uint32_t version;      // major * 256 + minor; 0 until a reply was read
  char user_name[32];
  char password[32];
  uint32_t unanswered_queries;  // direct queries since the last reply (0: answered)
  int32_t write_refused; // 1 when the reply lacked "+WRQ : ACCEPT"
  char result[64];       // the card's latest upgrade outcome, for the table
};

inline constexpr uint32_t ACCEPTED_PRODUCT = 0x00010004u;
inline constexpr uint32_t PRODUCT_MASK = 0xFFFF00FFu;

// Reads a reply's text (the datagram from byte 4, NUL-terminated by the
// caller). Returns 1 and fills ip, mac, version, write_refused and filled
// when accepted, and user_name with account (the name a new card starts
// with); never touches password or unanswered_queries.
int parse_sysinfo(DeviceRecord* record, const char* text, const char* account);

// At most 31 characters of name, terminated.
void set_user_name(DeviceRecord* record, const char* name);

// Six hex bytes separated by '-' (or ':' when no '-' follows at all).
int parse_mac(uint8_t* mac, const char* text);

int masked_equal(uint32_t a, uint32_t b, uint32_t mask);
