// What a card does with the datagrams it gets: sysinfo replies from a fresh
// port (and what the program answered), firmware uploads in lock-step.
#include "sim.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <cstring>

namespace {

using Fields = std::vector<std::pair<std::string, std::string>>;

bool chance(Sim& sim, double p) {
  if (p <= 0) return false;
  if (p >= 1) return true;
  return std::uniform_real_distribution<double>(0.0, 1.0)(sim.rng) < p;
}

// Every packet a card sends passes through its loss and dup knobs.
void card_send(Sim& sim, const CardConfig& cfg, int fd, const Bytes& b) {
  if (chance(sim, cfg.loss)) return;
  int copies = chance(sim, cfg.dup) ? 2 : 1;
  for (int i = 0; i < copies; ++i) {
    // A connected socket reports an earlier ICMP error on the next send and
    // drops that datagram; the error is cleared by then, so send once more.
    if (::send(fd, b.data(), b.size(), MSG_DONTWAIT) < 0 && errno == ECONNREFUSED)
      ::send(fd, b.data(), b.size(), MSG_DONTWAIT);
  }
}

// A new ephemeral port on the card's address, connected to the peer so that
// only the peer's datagrams arrive on it.
Fd open_fresh(Sim& sim, const CardConfig& cfg, const sockaddr_in& peer, uint64_t watch_id,
              std::string* err) {
  Fd fd(::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (!fd.valid()) {
    *err = std::string("socket: ") + std::strerror(errno);
    return Fd();
  }
  sockaddr_in self{};
  self.sin_family = AF_INET;
  self.sin_addr.s_addr = htonl(cfg.ip);
  if (::bind(fd.fd, reinterpret_cast<sockaddr*>(&self), sizeof self) < 0) {
    *err = std::string("bind: ") + std::strerror(errno);
    return Fd();
  }
  if (::connect(fd.fd, reinterpret_cast<const sockaddr*>(&peer), sizeof peer) < 0) {
    *err = std::string("connect: ") + std::strerror(errno);
    return Fd();
  }
  if (watch_id) {
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = watch_id;
    if (::epoll_ctl(sim.epfd, EPOLL_CTL_ADD, fd.fd, &ev) < 0) {
      *err = std::string("epoll_ctl: ") + std::strerror(errno);
      return Fd();
    }
  }
  return fd;
}

void socket_failed(Sim& sim, const CardConfig& cfg, const std::string& err) {
  if (!sim.socket_warning_shown)
    std::fprintf(stderr, "cardsim: %s: cannot open a reply socket: %s\n", ip_text(cfg.ip).c_str(),
                 err.c_str());
  sim.socket_warning_shown = true;
}

void set_timer(Sim& sim, Session& s, double seconds) {
  if (s.has_timer) sim.timers.erase(s.timer);
  s.timer = sim.timers.emplace(now_ms() + static_cast<int64_t>(seconds * 1000), s.id);
  s.has_timer = true;
}

void close_session(Sim& sim, Session& s) {
  if (s.has_timer) sim.timers.erase(s.timer);
  sim.sessions.erase(s.id);  // closing the fd also drops it from epoll
}

Session& new_session(Sim& sim, Session::Kind kind, size_t card, const sockaddr_in& peer) {
  uint64_t id = sim.next_id++;
  Session& s = sim.sessions[id];
  s.id = id;
  s.kind = kind;
  s.card = card;
  s.peer = peer;
  return s;
}

// Refusals come from a fresh port that is closed right after.
void one_shot_error(Sim& sim, const CardConfig& cfg, const sockaddr_in& peer, uint16_t code,
                    const std::string& msg) {
  std::string err;
  Fd fd = open_fresh(sim, cfg, peer, 0, &err);
  if (!fd.valid()) return socket_failed(sim, cfg, err);
  card_send(sim, cfg, fd.fd, make_error(code, msg));
}

void record_answer(Sim& sim, Session& s, Fields more) {
  const CardConfig& cfg = sim.cards[s.card].cfg;
  Fields f = {{"ip", ip_text(cfg.ip)}};
  f.insert(f.end(), more.begin(), more.end());
  f.push_back({"via", s.via_broadcast ? "broadcast" : "unicast"});
  f.push_back({"from", addr_text(s.peer)});
  sim.rec.write("answer", f);
}

void send_reply(Sim& sim, Session& s) {
  const CardConfig& cfg = sim.cards[s.card].cfg;
  std::string err;
  s.fd = open_fresh(sim, cfg, s.peer, s.id, &err);
  // A fleet of thousands answering one broadcast can hold more reply ports
  // at once than the process may open: a card would still answer, so the
  // reply waits for a descriptor (every 20 ms, for up to answer_timeout).
  if (!s.fd.valid() && (err == std::string("socket: ") + std::strerror(EMFILE) ||
                        err == std::string("socket: ") + std::strerror(ENFILE))) {
    int64_t now = now_ms();
    if (s.fd_wait_until_ms == 0)
      s.fd_wait_until_ms = now + static_cast<int64_t>(cfg.answer_timeout * 1000);
    if (now < s.fd_wait_until_ms) return set_timer(sim, s, 0.02);
  }
  if (!s.fd.valid()) {
    socket_failed(sim, cfg, err);
    record_answer(sim, s, {{"kind", "NONE"}, {"error", "no socket"}});
    return close_session(sim, s);
  }
  std::string text = sysinfo_text(cfg);
  card_send(sim, cfg, s.fd.fd,
            make_data(1, reinterpret_cast<const uint8_t*>(text.data()), text.size()));
  s.state = Session::waiting;
  set_timer(sim, s, cfg.answer_timeout);
}

void reply_answered(Sim& sim, Session& s, const uint8_t* p, size_t n) {
  uint16_t op = n >= 2 ? get16(p) : 0;
  if (op == OP_ACK && n >= 4) {
    record_answer(sim, s, {{"kind", "ACK"}, {"block", std::to_string(get16(p + 2))}});
  } else if (op == OP_ERROR && n >= 4) {
    const char* msg = reinterpret_cast<const char*>(p + 4);
    size_t len = strnlen(msg, n - 4);
    record_answer(sim, s,
                  {{"kind", "ERROR"},
                   {"code", std::to_string(get16(p + 2))},
                   {"msg", std::string(msg, len)},
                   {"terminated", len < n - 4 ? "1" : "0"}});
  } else {
    std::string hex;
    char buf[4];
    for (size_t i = 0; i < n && i < 32; ++i) {
      std::snprintf(buf, sizeof buf, "%02x", p[i]);
      hex += buf;
    }
    record_answer(sim, s, {{"kind", "OTHER"}, {"size", std::to_string(n)}, {"bytes", hex}});
  }
  close_session(sim, s);
}

void record_upload(Sim& sim, const Session& s, Fields more) {
  const CardConfig& cfg = sim.cards[s.card].cfg;
  Fields f = {{"ip", ip_text(cfg.ip)}};
  f.insert(f.end(), more.begin(), more.end());
  f.push_back({"from", addr_text(s.peer)});
  sim.rec.write("upload", f);
}

std::string hex64(uint64_t v) {
  char buf[20];
  std::snprintf(buf, sizeof buf, "%016llx", static_cast<unsigned long long>(v));
  return buf;
}

void save_upload(Sim& sim, const CardConfig& cfg, const Bytes& data) {
  if (sim.save_dir.empty()) return;
  std::string path = sim.save_dir + "/" + ip_text(cfg.ip) + ".bin";
  std::string tmp = path + ".tmp";
  FILE* f = std::fopen(tmp.c_str(), "wb");
  bool ok = f && std::fwrite(data.data(), 1, data.size(), f) == data.size();
  if (f && std::fclose(f) != 0) ok = false;
  if (!ok || std::rename(tmp.c_str(), path.c_str()) != 0)
    std::fprintf(stderr, "cardsim: cannot save %s: %s\n", path.c_str(), std::strerror(errno));
}

// The image carries a build stamp at offset 28; hash_nostamp lets tests
// compare images built at different times.
// A card told to restart goes silent, then comes back running restart_fw.
void restart_card(Sim& sim, Card& card) {
  CardConfig& cfg = card.cfg;
  if (cfg.restart == 0) return;
  card.quiet_until_ms = cfg.restart < 0 ? INT64_MAX : now_ms() + static_cast<int64_t>(cfg.restart * 1000);
  card.former_major = cfg.fw_major;
  card.former_minor = cfg.fw_minor;
  card.fall_back_at_ms = cfg.restart > 0 && cfg.fall_back > 0
                             ? card.quiet_until_ms + static_cast<int64_t>(cfg.fall_back * 1000)
                             : 0;
  if (cfg.restart_major >= 0) {
    cfg.fw_major = cfg.restart_major;
    cfg.fw_minor = cfg.restart_minor;
    cfg.has_fw_raw = false;
  }
  if (cfg.has_restart_mac) std::memcpy(cfg.mac, cfg.restart_mac, sizeof cfg.mac);
  char fw[16];
  std::snprintf(fw, sizeof fw, "%d.%02d", cfg.fw_major, cfg.fw_minor);
  sim.rec.write("restart", {{"ip", ip_text(cfg.ip)},
                            {"quiet_s", cfg.restart < 0 ? "forever" : std::to_string(cfg.restart)},
                            {"fw", fw}});
}

// Its fall_back time over, the card restarts into the firmware it ran
// before the upload.
void fall_back_if_due(Sim& sim, Card& card) {
  if (!card.fall_back_at_ms || now_ms() < card.fall_back_at_ms) return;
  CardConfig& cfg = card.cfg;
  card.fall_back_at_ms = 0;
  card.quiet_until_ms = now_ms() + static_cast<int64_t>(cfg.restart * 1000);
  cfg.fw_major = card.former_major;
  cfg.fw_minor = card.former_minor;
  char fw[16];
  std::snprintf(fw, sizeof fw, "%d.%02d", cfg.fw_major, cfg.fw_minor);
  sim.rec.write("restart", {{"ip", ip_text(cfg.ip)}, {"quiet_s", std::to_string(cfg.restart)},
                            {"fw", fw}, {"fall_back", "1"}});
}

void upload_done(Sim& sim, Session& s) {
  const CardConfig& cfg = sim.cards[s.card].cfg;
  Bytes nostamp = s.data;
  uint32_t stamp = 0;
  for (size_t i = 28; i < 32 && i < nostamp.size(); ++i) {
    stamp |= static_cast<uint32_t>(nostamp[i]) << (8 * (i - 28));
    nostamp[i] = 0;
  }
  char stamp_hex[12];
  std::snprintf(stamp_hex, sizeof stamp_hex, "%08x", stamp);
  save_upload(sim, cfg, s.data);
  record_upload(sim, s,
                {{"status", "ok"},
                 {"size", std::to_string(s.data.size())},
                 {"hash", hex64(fnv1a64(s.data.data(), s.data.size()))},
                 {"hash_nostamp", hex64(fnv1a64(nostamp.data(), nostamp.size()))},
                 {"stamp", stamp_hex},
                 {"user", s.user},
                 {"password", s.password}});
  restart_card(sim, sim.cards[s.card]);
}

void transfer_packet(Sim& sim, Session& s, const uint8_t* p, size_t n) {
  const CardConfig& cfg = sim.cards[s.card].cfg;
  if (n < 4) return;
  uint16_t op = get16(p);
  if (op == OP_ERROR && s.state == Session::active) {
    const char* msg = reinterpret_cast<const char*>(p + 4);
    record_upload(sim, s,
                  {{"status", "aborted"},
                   {"code", std::to_string(get16(p + 2))},
                   {"msg", std::string(msg, strnlen(msg, n - 4))},
                   {"received", std::to_string(s.data.size())}});
    return close_session(sim, s);
  }
  if (op != OP_DATA || n > 516) return;
  uint16_t block = get16(p + 2);
  uint16_t last = static_cast<uint16_t>(s.blocks);
  if (s.state == Session::lingering) {
    if (block == last) card_send(sim, cfg, s.fd.fd, make_ack(last));
    return;
  }
  if (block == static_cast<uint16_t>(last + 1)) {
    uint64_t number = s.blocks + 1;
    if (cfg.error_at > 0 && number == static_cast<uint64_t>(cfg.error_at)) {
      card_send(sim, cfg, s.fd.fd, make_error(0, cfg.error_msg));
      record_upload(sim, s,
                    {{"status", "error"},
                     {"block", std::to_string(number)},
                     {"received", std::to_string(s.data.size())}});
      return close_session(sim, s);
    }
    s.data.insert(s.data.end(), p + 4, p + n);
    s.blocks = number;
    bool final_block = n - 4 < 512;
    if (final_block) {
      upload_done(sim, s);
      s.state = Session::lingering;
    }
    if (cfg.ack_delay_ms > 0) {
      s.ack_pending = true;
      return set_timer(sim, s, cfg.ack_delay_ms / 1000.0);
    }
    card_send(sim, cfg, s.fd.fd, make_ack(block));
    set_timer(sim, s, final_block ? cfg.linger : cfg.idle_timeout);
  } else if (s.blocks > 0 && block == last) {
    card_send(sim, cfg, s.fd.fd, make_ack(last));  // our ACK was lost: repeat it
  }
}

void start_write(Sim& sim, size_t card, const Request& rq, const sockaddr_in& from) {
  const CardConfig& cfg = sim.cards[card].cfg;
  // A repeated WRQ (our ACK 0 was lost) gets ACK 0 again from the same port.
  for (auto& [id, s] : sim.sessions) {
    if (s.kind == Session::transfer && s.card == card && s.state == Session::active &&
        s.blocks == 0 && s.peer.sin_addr.s_addr == from.sin_addr.s_addr &&
        s.peer.sin_port == from.sin_port) {
      card_send(sim, cfg, s.fd.fd, make_ack(0));
      return;
    }
  }
  std::string password, user;
  bool account_ok = split_account(rq.file, &password, &user) && password == cfg.password &&
                    user == cfg.user;
  if (!account_ok || !cfg.write) {
    one_shot_error(sim, cfg, from, 2, account_ok ? "Upgrade not allowed !" : cfg.account_error);
    sim.rec.write("upload", {{"ip", ip_text(cfg.ip)},
                             {"status", "refused"},
                             {"reason", account_ok ? "write" : "account"},
                             {"from", addr_text(from)}});
    return;
  }
  Session& s = new_session(sim, Session::transfer, card, from);
  s.state = Session::active;
  s.user = user;
  s.password = password;
  std::string err;
  s.fd = open_fresh(sim, cfg, from, s.id, &err);
  if (!s.fd.valid()) {
    socket_failed(sim, cfg, err);
    return close_session(sim, s);
  }
  card_send(sim, cfg, s.fd.fd, make_ack(0));
  set_timer(sim, s, cfg.idle_timeout);
}

void timed_out(Sim& sim, Session& s) {
  if (s.kind == Session::transfer && s.ack_pending) {
    const CardConfig& cfg = sim.cards[s.card].cfg;
    s.ack_pending = false;
    card_send(sim, cfg, s.fd.fd, make_ack(static_cast<uint16_t>(s.blocks)));
    return set_timer(sim, s, s.state == Session::lingering ? cfg.linger : cfg.idle_timeout);
  }
  if (s.kind == Session::reply) {
    if (s.state == Session::pending) return send_reply(sim, s);
    record_answer(sim, s, {{"kind", "NONE"}});
  } else if (s.state == Session::active) {
    record_upload(sim, s,
                  {{"status", "abandoned"},
                   {"received", std::to_string(s.data.size())},
                   {"blocks", std::to_string(s.blocks)}});
  }
  close_session(sim, s);
}

}  // namespace

int64_t now_ms() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

void card_received(Sim& sim, size_t card, const uint8_t* p, size_t n, const sockaddr_in& from,
                   bool via_broadcast) {
  fall_back_if_due(sim, sim.cards[card]);
  const CardConfig& cfg = sim.cards[card].cfg;
  if (cfg.silent || now_ms() < sim.cards[card].quiet_until_ms || chance(sim, cfg.loss)) return;
  Request rq;
  if (!parse_request(p, n, &rq)) return;
  if (rq.op == OP_RRQ && rq.file == "sysinfo") {
    if (via_broadcast ? !cfg.broadcast : !cfg.unicast) return;
    sim.rec.write("sysinfo", {{"ip", ip_text(cfg.ip)},
                              {"via", via_broadcast ? "broadcast" : "unicast"},
                              {"from", addr_text(from)}});
    Session& s = new_session(sim, Session::reply, card, from);
    s.via_broadcast = via_broadcast;
    if (cfg.delay_ms > 0) {
      s.state = Session::pending;
      set_timer(sim, s, cfg.delay_ms / 1000.0);
    } else {
      send_reply(sim, s);
    }
    return;
  }
  if (via_broadcast) return;  // only sysinfo is answered on the broadcast
  if (rq.op == OP_RRQ) {
    sim.rec.write("rrq", {{"ip", ip_text(cfg.ip)}, {"file", rq.file}, {"from", addr_text(from)}});
    one_shot_error(sim, cfg, from, 1, "File not found");
    return;
  }
  sim.rec.write("wrq", {{"ip", ip_text(cfg.ip)}, {"file", rq.file}, {"from", addr_text(from)}});
  start_write(sim, card, rq, from);
}

void session_readable(Sim& sim, uint64_t id) {
  uint8_t buf[65536];
  for (int i = 0; i < 64; ++i) {
    auto it = sim.sessions.find(id);
    if (it == sim.sessions.end()) return;
    Session& s = it->second;
    ssize_t n = ::recv(s.fd.fd, buf, sizeof buf, MSG_DONTWAIT);
    if (n < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK) return;
      continue;  // e.g. ECONNREFUSED from an earlier send: the peer went away
    }
    if (chance(sim, sim.cards[s.card].cfg.loss)) continue;
    if (s.kind == Session::reply) {
      if (s.state == Session::waiting) reply_answered(sim, s, buf, static_cast<size_t>(n));
    } else {
      transfer_packet(sim, s, buf, static_cast<size_t>(n));
    }
  }
}

int run_timers(Sim& sim) {
  while (!sim.timers.empty()) {
    int64_t now = now_ms();
    auto first = sim.timers.begin();
    if (first->first > now) return static_cast<int>(std::min<int64_t>(first->first - now, 60000));
    uint64_t id = first->second;
    sim.timers.erase(first);
    auto it = sim.sessions.find(id);
    if (it == sim.sessions.end()) continue;
    it->second.has_timer = false;
    timed_out(sim, it->second);
  }
  return -1;
}

void finish_all(Sim& sim) {
  for (auto& [id, s] : sim.sessions) {
    if (s.kind == Session::reply) {
      record_answer(sim, s, {{"kind", "NONE"}, {"at_exit", "1"}});
    } else if (s.state == Session::active) {
      record_upload(sim, s,
                    {{"status", "abandoned"},
                     {"received", std::to_string(s.data.size())},
                     {"blocks", std::to_string(s.blocks)},
                     {"at_exit", "1"}});
    }
  }
  sim.sessions.clear();
  sim.timers.clear();
}
