// cardsim --config FILE | --fleet N --base IP  [--record FILE] [--save-dir DIR]
//         [--seed N] [--ready-file FILE] [--KEY VALUE]...
// Emulates UPS network cards on this host's addresses: card_ip:69 per card
// plus one shared socket for limited broadcasts. Single-threaded epoll loop.
#include <arpa/inet.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "sim.h"

namespace {

struct Options {
  std::string config_path, record_path, save_dir, ready_file;
  uint64_t seed = 1;
  long fleet = 0;
  uint32_t base_ip = 0;
  bool has_base = false;
  CardConfig defaults;  // from --KEY VALUE
  std::vector<uint32_t> directed;  // --broadcast-address, host order
};

// Sockets of --broadcast-address take the tokens after the signal's.
constexpr uint64_t TOKEN_DIRECTED = TOKEN_SIGNAL + 1;
constexpr size_t MAX_DIRECTED = 64;

int usage(const char* msg) {
  if (msg) std::fprintf(stderr, "cardsim: %s\n", msg);
  std::fprintf(stderr,
               "usage: cardsim [--config FILE] [--fleet N --base IP] [--record FILE]\n"
               "               [--save-dir DIR] [--seed N] [--ready-file FILE]\n"
               "               [--broadcast-address IP]... [--KEY VALUE]...\n"
               "KEY is any card key (see tools/cardsim/README.md); it sets the default for\n"
               "every card.\n");
  return 2;
}

// --reply-size and --reply_size both name the card key reply_size.
std::string underscored(std::string s) {
  for (char& c : s)
    if (c == '-') c = '_';
  return s;
}

bool parse_args(int argc, char** argv, Options* o, std::string* err) {
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a.rfind("--", 0) != 0) {
      *err = "unexpected argument '" + a + "'";
      return false;
    }
    std::string name = a.substr(2);
    if (i + 1 >= argc) {
      *err = a + " needs a value";
      return false;
    }
    std::string v = argv[++i];
    char* end = nullptr;
    if (name == "config") {
      o->config_path = v;
    } else if (name == "record") {
      o->record_path = v;
    } else if (name == "save-dir") {
      o->save_dir = v;
    } else if (name == "ready-file") {
      o->ready_file = v;
    } else if (name == "seed") {
      o->seed = std::strtoull(v.c_str(), &end, 10);
      if (v.empty() || *end) {
        *err = "bad --seed";
        return false;
      }
    } else if (name == "fleet") {
      o->fleet = std::strtol(v.c_str(), &end, 10);
      if (v.empty() || *end || o->fleet < 1 || o->fleet > 65536) {
        *err = "bad --fleet (1..65536)";
        return false;
      }
    } else if (name == "broadcast-address") {
      uint32_t ip = 0;
      if (!parse_ip(v, &ip) || o->directed.size() >= MAX_DIRECTED) {
        *err = "bad --broadcast-address '" + v + "'";
        return false;
      }
      o->directed.push_back(ip);
    } else if (name == "base") {
      if (!parse_ip(v, &o->base_ip)) {
        *err = "bad --base address '" + v + "'";
        return false;
      }
      o->has_base = true;
    } else if (std::string key = underscored(name); is_card_key(key) && key != "ip") {
      if (!apply_card_key(o->defaults, key, v, err)) return false;
    } else {
      *err = "unknown option " + a;
      return false;
    }
  }
  if (o->config_path.empty() && o->fleet == 0) {
    *err = "nothing to emulate: give --config and/or --fleet";
    return false;
  }
  if (o->fleet && !o->has_base) {
    *err = "--fleet needs --base";
    return false;
  }
  if (o->fleet && static_cast<uint64_t>(o->base_ip) + o->fleet > 0xFFFFFFFFull) {
    *err = "--fleet runs past 255.255.255.254";
    return false;
  }
  return true;
}

// Fleet first; config lines for a fleet address modify that card.
bool build_cards(const Options& o, std::vector<CardConfig>* out, std::string* err) {
  std::vector<CardConfig> fleet;
  if (o.fleet) fleet = make_fleet(o.defaults, o.base_ip, static_cast<int>(o.fleet));
  std::vector<CardConfig> from_file;
  if (!o.config_path.empty() &&
      !load_config_file(o.config_path, o.defaults, fleet, &from_file, err))
    return false;
  *out = fleet;
  for (const CardConfig& c : from_file) {
    bool replaced = false;
    if (o.fleet && c.ip >= o.base_ip && c.ip - o.base_ip < static_cast<uint32_t>(o.fleet)) {
      (*out)[c.ip - o.base_ip] = c;
      replaced = true;
    }
    if (!replaced) out->push_back(c);
  }
  return true;
}

Fd bind_udp(uint32_t ip, uint16_t port, bool shared, std::string* err) {
  Fd fd(::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (!fd.valid()) {
    *err = std::string("socket: ") + std::strerror(errno);
    return Fd();
  }
  int one = 1;
  if (shared) {  // several simulators may share the broadcast port
    ::setsockopt(fd.fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    ::setsockopt(fd.fd, SOL_SOCKET, SO_BROADCAST, &one, sizeof one);
  }
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(ip);
  if (::bind(fd.fd, reinterpret_cast<sockaddr*>(&a), sizeof a) < 0) {
    *err = "cannot bind " + ip_text(ip) + ":" + std::to_string(port) + ": " + std::strerror(errno);
    return Fd();
  }
  return fd;
}

bool watch(Sim& sim, int fd, uint64_t token) {
  epoll_event ev{};
  ev.events = EPOLLIN;
  ev.data.u64 = token;
  return ::epoll_ctl(sim.epfd, EPOLL_CTL_ADD, fd, &ev) == 0;
}

bool add_card(Sim& sim, const CardConfig& cfg, std::string* err) {
  Card card;
  card.cfg = cfg;
  card.listener = bind_udp(cfg.ip, 69, false, err);
  if (!card.listener.valid()) return false;
  size_t index = sim.cards.size();
  if (!watch(sim, card.listener.fd, index)) {
    *err = std::string("epoll_ctl: ") + std::strerror(errno);
    return false;
  }
  sim.by_ip[cfg.ip] = index;
  sim.cards.push_back(std::move(card));
  return true;
}

void raise_fd_limit(size_t cards) {
  rlimit rl{};
  ::getrlimit(RLIMIT_NOFILE, &rl);
  rlim_t want = 65536;
  if (rl.rlim_max != RLIM_INFINITY && rl.rlim_max < want) {
    rlimit up = {want, want};
    if (::setrlimit(RLIMIT_NOFILE, &up) == 0) return;  // allowed as root
    want = rl.rlim_max;
  }
  rl.rlim_cur = std::max(rl.rlim_cur, want);
  ::setrlimit(RLIMIT_NOFILE, &rl);
  ::getrlimit(RLIMIT_NOFILE, &rl);
  if (rl.rlim_cur < 2 * cards + 64)
    std::fprintf(stderr, "cardsim: warning: only %llu fds allowed for %zu cards\n",
                 static_cast<unsigned long long>(rl.rlim_cur), cards);
}

bool write_ready_file(const std::string& path) {
  std::string tmp = path + ".tmp";
  FILE* f = std::fopen(tmp.c_str(), "w");
  if (!f) return false;
  bool ok = std::fputs("ready\n", f) >= 0;
  ok = std::fclose(f) == 0 && ok;
  return ok && std::rename(tmp.c_str(), path.c_str()) == 0;
}

void reload(Sim& sim, const Options& o) {
  if (o.config_path.empty()) return;
  std::vector<CardConfig> fleet;
  if (o.fleet) fleet = make_fleet(o.defaults, o.base_ip, static_cast<int>(o.fleet));
  std::vector<CardConfig> fresh;
  std::string err;
  if (!load_config_file(o.config_path, o.defaults, fleet, &fresh, &err)) {
    std::fprintf(stderr, "cardsim: reload failed, keeping the old cards: %s\n", err.c_str());
    sim.rec.write("reload", {{"status", "error"}, {"msg", err}});
    return;
  }
  int changed = 0, added = 0, failed = 0;
  for (const CardConfig& c : fresh) {
    auto it = sim.by_ip.find(c.ip);
    if (it != sim.by_ip.end()) {
      sim.cards[it->second].cfg = c;  // sessions read the new knobs from here
      ++changed;
    } else if (add_card(sim, c, &err)) {
      ++added;
    } else {
      std::fprintf(stderr, "cardsim: reload: %s\n", err.c_str());
      ++failed;
    }
  }
  std::fprintf(stderr, "cardsim: reloaded: %d changed, %d added, %d failed\n", changed, added,
               failed);
  sim.rec.write("reload", {{"status", failed ? "partial" : "ok"},
                           {"changed", std::to_string(changed)},
                           {"added", std::to_string(added)},
                           {"failed", std::to_string(failed)},
                           {"cards", std::to_string(sim.cards.size())}});
}

// Drains up to a batch of datagrams from a port-69 socket.
void drain_listener(Sim& sim, int fd, size_t card, bool broadcast) {
  uint8_t buf[65536];
  for (int i = 0; i < 64; ++i) {
    sockaddr_in from{};
    socklen_t len = sizeof from;
    ssize_t n = ::recvfrom(fd, buf, sizeof buf, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&from),
                           &len);
    if (n < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK) return;
      continue;
    }
    if (!broadcast) {
      card_received(sim, card, buf, static_cast<size_t>(n), from, false);
      continue;
    }
    for (size_t c = 0; c < sim.cards.size(); ++c)
      card_received(sim, c, buf, static_cast<size_t>(n), from, true);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && (!std::strcmp(argv[1], "--help") || !std::strcmp(argv[1], "-h")))
    return usage(nullptr), 0;
  Options o;
  std::string err;
  if (!parse_args(argc, argv, &o, &err)) return usage(err.c_str());
  std::vector<CardConfig> configs;
  if (!build_cards(o, &configs, &err)) {
    std::fprintf(stderr, "cardsim: %s\n", err.c_str());
    return 1;
  }

  raise_fd_limit(configs.size());
  ::signal(SIGPIPE, SIG_IGN);
  sigset_t mask;
  sigemptyset(&mask);
  sigaddset(&mask, SIGHUP);
  sigaddset(&mask, SIGTERM);
  sigaddset(&mask, SIGINT);
  ::sigprocmask(SIG_BLOCK, &mask, nullptr);
  Fd sigfd(::signalfd(-1, &mask, SFD_NONBLOCK | SFD_CLOEXEC));

  Sim sim;
  sim.rng.seed(o.seed);
  sim.save_dir = o.save_dir;
  Fd epfd(::epoll_create1(EPOLL_CLOEXEC));
  sim.epfd = epfd.fd;
  if (!sigfd.valid() || !epfd.valid() || !watch(sim, sigfd.fd, TOKEN_SIGNAL)) {
    std::fprintf(stderr, "cardsim: setup failed: %s\n", std::strerror(errno));
    return 1;
  }
  if (!o.record_path.empty()) {
    sim.rec.f = std::fopen(o.record_path.c_str(), "a");
    if (!sim.rec.f) {
      std::fprintf(stderr, "cardsim: %s: %s\n", o.record_path.c_str(), std::strerror(errno));
      return 1;
    }
  }
  sim.cards.reserve(configs.size());
  for (const CardConfig& c : configs) {
    if (!add_card(sim, c, &err)) {
      std::fprintf(stderr, "cardsim: card %s: %s\n", ip_text(c.ip).c_str(), err.c_str());
      return 1;
    }
  }
  Fd bcast = bind_udp(0xFFFFFFFFu, 69, true, &err);
  if (!bcast.valid() || !watch(sim, bcast.fd, TOKEN_BROADCAST)) {
    std::fprintf(stderr, "cardsim: broadcast socket: %s\n", err.c_str());
    return 1;
  }
  // Directed broadcasts (a subnet's last address) reach only sockets bound
  // to that address or to any address.
  std::vector<Fd> directed;
  for (uint32_t ip : o.directed) {
    directed.push_back(bind_udp(ip, 69, true, &err));
    if (!directed.back().valid() ||
        !watch(sim, directed.back().fd, TOKEN_DIRECTED + directed.size() - 1)) {
      std::fprintf(stderr, "cardsim: broadcast address %s: %s\n", ip_text(ip).c_str(), err.c_str());
      return 1;
    }
  }
  if (!o.ready_file.empty() && !write_ready_file(o.ready_file)) {
    std::fprintf(stderr, "cardsim: cannot write %s: %s\n", o.ready_file.c_str(),
                 std::strerror(errno));
    return 1;
  }
  std::fprintf(stderr, "cardsim: %zu cards ready\n", sim.cards.size());

  epoll_event events[256];
  bool running = true;
  while (running) {
    int timeout = run_timers(sim);
    int n = ::epoll_wait(sim.epfd, events, 256, timeout);
    if (n < 0 && errno != EINTR) {
      std::fprintf(stderr, "cardsim: epoll_wait: %s\n", std::strerror(errno));
      return 1;
    }
    for (int i = 0; i < n; ++i) {
      uint64_t token = events[i].data.u64;
      if (token == TOKEN_SIGNAL) {
        signalfd_siginfo si;
        while (::read(sigfd.fd, &si, sizeof si) == sizeof si) {
          if (si.ssi_signo == SIGHUP)
            reload(sim, o);
          else
            running = false;
        }
      } else if (token == TOKEN_BROADCAST) {
        drain_listener(sim, bcast.fd, 0, true);
      } else if (token >= TOKEN_DIRECTED && token < TOKEN_DIRECTED + directed.size()) {
        drain_listener(sim, directed[token - TOKEN_DIRECTED].fd, 0, true);
      } else if (token < TOKEN_BROADCAST) {
        drain_listener(sim, sim.cards[token].listener.fd, token, false);
      } else {
        session_readable(sim, token);
      }
    }
  }
  finish_all(sim);
  if (sim.rec.f) std::fclose(sim.rec.f);
  std::fprintf(stderr, "cardsim: stopped\n");
  return 0;
}
