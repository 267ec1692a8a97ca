// cardsim: a native emulator of a LAN full of UPS network cards, answering
// the TFTP "sysinfo" query and accepting firmware uploads, for the network
// tests, the demo and the benchmarks. Shared declarations.
#pragma once

#include <netinet/in.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

// ---- fd ownership -------------------------------------------------------

struct Fd {
  int fd = -1;
  Fd() = default;
  explicit Fd(int f) : fd(f) {}
  Fd(Fd&& o) noexcept : fd(std::exchange(o.fd, -1)) {}
  Fd& operator=(Fd&& o) noexcept {
    if (this != &o) {
      reset();
      fd = std::exchange(o.fd, -1);
    }
    return *this;
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() { reset(); }
  void reset() {
    if (fd >= 0) ::close(fd);
    fd = -1;
  }
  bool valid() const { return fd >= 0; }
};

// ---- configuration (config.cpp) ----------------------------------------

struct CardConfig {
  uint32_t ip = 0;  // host order
  uint8_t mac[6] = {0x00, 0x0a, 0xff, 0x00, 0x00, 0x00};
  uint32_t prod = 0x00010004;
  int fw_major = 1;
  int fw_minor = 0;
  std::string fw_raw;  // when set, printed after "+FW : " instead of vM.mm
  bool has_fw_raw = false;
  bool write = true;
  std::string user = "admin";
  std::string password;
  double delay_ms = 0;
  double loss = 0;
  double dup = 0;
  bool silent = false;
  int reply_size = 0;  // 0: no padding
  std::string text;    // raw reply text replacing the generated one
  bool has_text = false;
  long error_at = 0;  // 0: never
  std::string error_msg = "Flash write error !";
  std::string account_error = "Invalid user name or password !";
  bool broadcast = true;
  bool unicast = true;
  double idle_timeout = 40;    // seconds without a new DATA block
  double answer_timeout = 2;   // seconds to wait for the answer to a sysinfo DATA
  double linger = 3;           // seconds to keep a finished transfer's socket
  double ack_delay_ms = 0;     // a slow card: time to store each block before its ACK
  double restart = 0;          // seconds silent after a completed upload; < 0: for good
  int restart_major = -1;      // the version run after the restart (-1: unchanged)
  int restart_minor = 0;
  uint8_t restart_mac[6] = {};  // the MAC it answers with after the restart (another device)
  bool has_restart_mac = false;
  // Seconds it runs restart_fw before it restarts again (silent `restart`
  // seconds) into the firmware it ran before the upload: an image that
  // boots once and rolls back. 0: it keeps it.
  double fall_back = 0;
};

// Applies one key=value to a card; returns false with *err set on failure.
bool apply_card_key(CardConfig& card, const std::string& key, const std::string& value,
                    std::string* err);
bool is_card_key(const std::string& key);

// Reads a config file: one card per line. Cards start from `defaults`; a line
// whose ip matches one of `base` starts from that card instead (so a file can
// tune single members of a generated fleet).
bool load_config_file(const std::string& path, const CardConfig& defaults,
                      const std::vector<CardConfig>& base, std::vector<CardConfig>* out,
                      std::string* err);

// N cards with consecutive addresses from base_ip; MACs derived from the index.
std::vector<CardConfig> make_fleet(const CardConfig& defaults, uint32_t base_ip, int count);

bool parse_ip(const std::string& text, uint32_t* ip);
std::string ip_text(uint32_t ip);
std::string addr_text(const sockaddr_in& a);

// ---- packets and reply text (packet.cpp) -------------------------------

enum : uint16_t { OP_RRQ = 1, OP_WRQ = 2, OP_DATA = 3, OP_ACK = 4, OP_ERROR = 5 };

using Bytes = std::vector<uint8_t>;

struct Request {  // RRQ or WRQ
  uint16_t op = 0;
  std::string file;
  std::string mode;
};

bool parse_request(const uint8_t* p, size_t n, Request* out);
Bytes make_data(uint16_t block, const uint8_t* payload, size_t n);
Bytes make_ack(uint16_t block);
Bytes make_error(uint16_t code, const std::string& msg);
uint16_t get16(const uint8_t* p);

// The sysinfo text a card sends (generated, or its raw `text`), padded so that
// the whole DATA packet is reply_size bytes when that is set.
std::string sysinfo_text(const CardConfig& card);

// Splits "upgrade@<password>@<user>"; false when the name does not have that form.
bool split_account(const std::string& file, std::string* password, std::string* user);

uint64_t fnv1a64(const uint8_t* p, size_t n);

// Record values are tab-separated, so tabs, line breaks and other control
// bytes are escaped.
std::string record_value(const std::string& s);

// ---- recorder ------------------------------------------------------------

struct Recorder {
  FILE* f = nullptr;
  // event word followed by "key=value" fields, one line, flushed at once
  void write(const char* event, const std::vector<std::pair<std::string, std::string>>& fields);
};
