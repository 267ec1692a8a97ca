#include "protocol/packet.h"

#include <cstdio>
#include <cstring>

namespace {

const char SYSINFO_NAME[] = "sysinfo";
const char MODE_OCTET[] = "octet";
const char DISK_FULL[] = "Disk full or allocation exceeded";

struct Writer {
  char* out;
  size_t cap;
  size_t len = 0;
  void put(char c) {
    if (len < cap) out[len++] = c;
  }
  void put_text_with_nul(const char* s) {
    for (; *s; ++s) put(*s);
    put('\0');
  }
};

uint8_t octet(uint32_t ip, int i) { return reinterpret_cast<const uint8_t*>(&ip)[i]; }

}  // namespace

int pack_fields(char* dest, size_t cap, const char* format, std::initializer_list<FieldArg> args) {
  Writer w{dest, cap};
  const FieldArg* next = args.begin();
  auto take = [&]() -> const FieldArg* { return next != args.end() ? next++ : nullptr; };
  char number[16];
  for (const char* f = format; *f; ++f) {
    if (*f != '%') {
      w.put(*f);
      continue;
    }
    char conv = f[1];
    if (conv == '\0') {  // a '%' that ends the format stands for itself
      w.put('%');
      break;
    }
    // A missing argument reads as 0 or as the empty text.
    switch (conv) {
      case '%':
        w.put('%');
        ++f;
        break;
      case 'c': {
        const FieldArg* a = take();
        w.put(static_cast<char>(a ? a->number & 0xFF : 0));
        ++f;
        break;
      }
      case 'd': {
        const FieldArg* a = take();
        std::snprintf(number, sizeof number, "%d", a ? static_cast<int32_t>(a->number) : 0);
        w.put_text_with_nul(number);
        ++f;
        break;
      }
      case 'u': {
        const FieldArg* a = take();
        std::snprintf(number, sizeof number, "%u", a ? static_cast<unsigned>(a->number) : 0u);
        w.put_text_with_nul(number);
        ++f;
        break;
      }
      case 's': {
        const FieldArg* a = take();
        w.put_text_with_nul(a && a->text ? a->text : "");
        ++f;
        break;
      }
      default:
        // Unknown conversions, flags and widths: the '%' vanishes and the
        // next character is written as an ordinary one.
        break;
    }
  }
  return static_cast<int>(w.len);
}

int build_sysinfo_request(uint8_t* out) {
  put_be16(out, OP_RRQ);
  return 2 + pack_fields(reinterpret_cast<char*>(out) + 2, SYSINFO_REQUEST_SIZE - 2, "%s%s",
                         {SYSINFO_NAME, MODE_OCTET});
}

int build_reply_answer(const uint8_t* datagram, int length, uint8_t* out) {
  if (length < 2 || get_be16(datagram) != OP_DATA) return 0;
  if (length < FULL_DATA_PACKET) {
    put_be16(out, OP_ACK);
    put_be16(out + 2, 1);
    return 4;
  }
  // A second block would follow a full one; refuse it so the card stops.
  put_be16(out, OP_ERROR);
  put_be16(out + 2, 3);
  return 4 + pack_fields(reinterpret_cast<char*>(out) + 4, REPLY_ANSWER_MAX - 4, "%s", {DISK_FULL});
}

void send_sysinfo_request(Socket s, uint32_t ip) {
  uint8_t packet[SYSINFO_REQUEST_SIZE];
  int len = build_sysinfo_request(packet);
  socket_send_to(s, packet, len, make_address(ip, TFTP_PORT));
}

void answer_reply(Socket s, const uint8_t* datagram, int length, const SocketAddress& source) {
  uint8_t answer[REPLY_ANSWER_MAX];
  int len = build_reply_answer(datagram, length, answer);
  if (len > 0) socket_send_to(s, answer, len, source);
}

SocketOwner udp_open(uint16_t port) {
  SocketOwner s(socket_create_udp());
  if (s && !socket_bind_any(s.get(), port)) s.reset();
  return s;
}

int wait_readable(Socket s, long usec) { return socket_readable(s, usec); }

const char* ip_to_text(uint32_t ip) {
  thread_local char text[16];
  std::snprintf(text, sizeof text, "%d.%d.%d.%d", octet(ip, 0), octet(ip, 1), octet(ip, 2),
                octet(ip, 3));
  return text;
}

char* mac_to_text(char* buffer, const uint8_t* mac) {
  std::snprintf(buffer, 18, "%02x-%02x-%02x-%02x-%02x-%02x", mac[0], mac[1], mac[2], mac[3],
                mac[4], mac[5]);
  return buffer;
}

char* strip_blanks(char* dest, const char* src) {
  char* out = dest;
  for (; *src; ++src)
    if (*src != ' ') *out++ = *src;
  *out = '\0';
  return dest;
}

uint32_t text_to_ip(const char* text) {
  const uint32_t NONE = 0xFFFFFFFFu;
  uint32_t parts[4];
  int count = 0;
  const char* p = text;
  for (;;) {
    if (*p < '0' || *p > '9') return NONE;
    uint64_t value = 0;
    int base = 10;
    if (*p == '0') {
      base = 8;
      ++p;
      if (*p == 'x' || *p == 'X') {
        base = 16;
        ++p;
      }
    }
    for (;; ++p) {
      int digit;
      if (*p >= '0' && *p <= '9')
        digit = *p - '0';
      else if (base == 16 && *p >= 'a' && *p <= 'f')
        digit = *p - 'a' + 10;
      else if (base == 16 && *p >= 'A' && *p <= 'F')
        digit = *p - 'A' + 10;
      else
        break;
      if (digit >= base) return NONE;
      value = value * base + digit;
      if (value > 0xFFFFFFFFu) return NONE;
    }
    if (count == 4) return NONE;
    parts[count++] = static_cast<uint32_t>(value);
    if (*p != '.') break;
    ++p;
  }
  if (*p && *p != ' ' && *p != '\t' && *p != '\r' && *p != '\n' && *p != '\f' && *p != '\v')
    return NONE;
  // a, a.b (b: 24 bits), a.b.c (c: 16 bits), a.b.c.d
  uint32_t host;
  switch (count) {
    case 1:
      host = parts[0];
      break;
    case 2:
      if (parts[0] > 0xFF || parts[1] > 0xFFFFFF) return NONE;
      host = parts[0] << 24 | parts[1];
      break;
    case 3:
      if (parts[0] > 0xFF || parts[1] > 0xFF || parts[2] > 0xFFFF) return NONE;
      host = parts[0] << 24 | parts[1] << 16 | parts[2];
      break;
    default:
      if (parts[0] > 0xFF || parts[1] > 0xFF || parts[2] > 0xFF || parts[3] > 0xFF) return NONE;
      host = parts[0] << 24 | parts[1] << 16 | parts[2] << 8 | parts[3];
      break;
  }
  uint8_t bytes[4] = {static_cast<uint8_t>(host >> 24), static_cast<uint8_t>(host >> 16),
                      static_cast<uint8_t>(host >> 8), static_cast<uint8_t>(host)};
  uint32_t ip;
  std::memcpy(&ip, bytes, 4);
  return ip;
}

uint32_t address_class(uint32_t ip) {
  uint8_t first = octet(ip, 0);
  if (first >= 240) return 0xF0;
  if (first >= 224) return 0xE0;
  if (first >= 192) return 0xC0;
  if (first >= 128) return 0x80;
  return 0;
}

uint32_t network_part(uint32_t ip) {
  uint8_t bytes[4];
  std::memcpy(bytes, &ip, 4);
  uint32_t cls = address_class(ip);
  int keep = cls == 0 ? 1 : cls == 0x80 ? 2 : 3;
  for (int i = keep; i < 4; ++i) bytes[i] = 0;
  std::memcpy(&ip, bytes, 4);
  return ip;
}

uint32_t host_network_address() {
  uint32_t ip = local_host_first_address();
  return ip ? network_part(ip) : 0;
}
