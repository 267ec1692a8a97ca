#pragma once
// The TFTP packets the program builds and answers, the request field
// formatter, and the address texts shared by the whole program.
#include <cstddef>
#include <cstdint>
#include <initializer_list>

#include "platform/udp.h"

inline constexpr uint16_t TFTP_PORT = 69;
inline constexpr uint16_t OP_RRQ = 1;
inline constexpr uint16_t OP_WRQ = 2;
inline constexpr uint16_t OP_DATA = 3;
inline constexpr uint16_t OP_ACK = 4;
inline constexpr uint16_t OP_ERROR = 5;
inline constexpr int BLOCK_SIZE = 512;
inline constexpr int FULL_DATA_PACKET = 4 + BLOCK_SIZE;
inline constexpr uint32_t BROADCAST_ADDRESS = 0xFFFFFFFFu;

// One argument of pack_fields: a number (for %c, %d, %u) or a text (%s).
struct FieldArg {
  FieldArg(int v) : number(static_cast<uint32_t>(v)) {}
  FieldArg(unsigned v) : number(v) {}
  FieldArg(const char* t) : text(t) {}
  uint32_t number = 0;
  const char* text = nullptr;
};

// Lays out fields like a formatted print, but every %d, %u and %s field is
// written with its terminating NUL, as TFTP request fields want. Writes at
// most cap bytes and returns the number written.
int pack_fields(char* dest, size_t cap, const char* format, std::initializer_list<FieldArg> args);

inline constexpr int SYSINFO_REQUEST_SIZE = 16;
inline constexpr int REPLY_ANSWER_MAX = 37;

// The packets themselves, built into out; the length is returned (0: no
// answer is due).
int build_sysinfo_request(uint8_t* out);
int build_reply_answer(const uint8_t* datagram, int length, uint8_t* out);

// The 16-byte "sysinfo" read request, sent once to port 69 of ip.
void send_sysinfo_request(Socket s, uint32_t ip);

// Answers one datagram that arrived on a discovery socket: an ACK of block 1
// for a DATA packet under 516 bytes, the "disk full" ERROR for a longer one,
// nothing for any other opcode.
void answer_reply(Socket s, const uint8_t* datagram, int length, const SocketAddress& source);

// An IPv4 datagram socket bound to port (host order) on any local address;
// empty on failure.
SocketOwner udp_open(uint16_t port);

// 1 when the socket is readable within usec microseconds.
int wait_readable(Socket s, long usec);

// "%d.%d.%d.%d" of the address's bytes in memory order. The text belongs to
// the calling thread and stays valid until its next call.
const char* ip_to_text(uint32_t ip);

// "%02x-%02x-%02x-%02x-%02x-%02x" into buffer (18 bytes at least).
char* mac_to_text(char* buffer, const uint8_t* mac);

// Copies src without its space characters (only ' '); dest may be src.
char* strip_blanks(char* dest, const char* src);

// The dotted-address conversion of the socket library (inet_addr): 1 to 4
// parts in decimal, octal or hex, ending at NUL or white space; 0xFFFFFFFF
// for anything else.
uint32_t text_to_ip(const char* text);

// Class code of an address by its first octet: 0 (A), 0x80 (B), 0xC0 (C),
// 0xE0 (D), 0xF0 (E).
uint32_t address_class(uint32_t ip);

// The classful network part of the local host's first address; 0 when it
// can't be had.
uint32_t host_network_address();
uint32_t network_part(uint32_t ip);
