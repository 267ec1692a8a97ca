// cardsim: the cards' runtime state, sysinfo replies and write transfers.
#pragma once

#include <cstdint>
#include <map>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

#include "cardsim.h"

struct Card {
  CardConfig cfg;
  Fd listener;  // card_ip:69
  int64_t quiet_until_ms = 0;  // restarting: silent until then
  int64_t fall_back_at_ms = 0;  // restarts into former_fw then (0: never)
  int former_major = 0, former_minor = 0;
};

using Timers = std::multimap<int64_t, uint64_t>;  // deadline (ms) -> session id

struct Session {
  enum Kind { reply, transfer } kind = reply;
  // reply: pending (delay running) -> waiting (DATA sent, answer awaited)
  // transfer: active -> lingering (done, re-ACKs a repeated final block)
  enum State { pending, waiting, active, lingering } state = pending;
  uint64_t id = 0;
  size_t card = 0;
  Fd fd;  // fresh socket bound to card_ip:0, connected to the peer
  sockaddr_in peer{};
  bool via_broadcast = false;
  Timers::iterator timer;
  bool has_timer = false;
  // reply: out of descriptors, the reply waits for one until then (0: not yet)
  int64_t fd_wait_until_ms = 0;
  // transfer
  uint64_t blocks = 0;  // blocks accepted so far (the wire number is this mod 65536)
  bool ack_pending = false;  // the last block's ACK waits for ack_delay
  Bytes data;
  std::string user, password;
};

// epoll tokens: card listeners use their index; sessions use their id.
constexpr uint64_t TOKEN_BROADCAST = 1ull << 32;
constexpr uint64_t TOKEN_SIGNAL = (1ull << 32) + 1;
constexpr uint64_t FIRST_SESSION_ID = 1ull << 40;

struct Sim {
  int epfd = -1;
  std::vector<Card> cards;
  std::unordered_map<uint32_t, size_t> by_ip;
  std::unordered_map<uint64_t, Session> sessions;
  uint64_t next_id = FIRST_SESSION_ID;
  Timers timers;
  std::mt19937_64 rng;
  Recorder rec;
  std::string save_dir;
  bool socket_warning_shown = false;
};

int64_t now_ms();

// A datagram that reached card_ip:69 (or, for via_broadcast, the shared
// broadcast socket on behalf of this card).
void card_received(Sim& sim, size_t card, const uint8_t* p, size_t n, const sockaddr_in& from,
                   bool via_broadcast);
void session_readable(Sim& sim, uint64_t id);
// Runs due timers; returns the epoll timeout until the next one (-1: none).
int run_timers(Sim& sim);
// At exit: pending answers and unfinished transfers get their records.
void finish_all(Sim& sim);
