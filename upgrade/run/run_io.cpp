// The run's inbox (its only lock) and the system's io: the steady clock,
// real sockets, the wake datagram and the thread that hears them all.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

#include "protocol/address.h"
#include "upgrade/run/run.h"

// ---- The inbox

void RunInbox::post(const RunCommand& command) {
  std::lock_guard<std::mutex> lock(mutex);
  commands.push_back(command);
  // Under the lock: the run clears io before it goes.
  if (io) io->wake();
}

void RunInbox::post_interrupt(RunCommandKind kind) {
  interrupts.fetch_or(1 << static_cast<int>(kind));
  // A wake is a datagram sent: safe in a signal handler.
  if (RunIo* wake = interrupt_wake.load()) wake->wake();
}

bool RunInbox::interrupt_first() {
  const int bit = 1 << static_cast<int>(RunCommandKind::stop_starting);
  if (interrupts.fetch_or(bit) & bit) return false;
  if (RunIo* wake = interrupt_wake.load()) wake->wake();
  return true;
}

std::vector<RunCommand> RunInbox::take() {
  std::vector<RunCommand> taken;
  for (RunCommandKind kind : {RunCommandKind::stop_starting, RunCommandKind::shutdown})
    if (interrupts.load() & 1 << static_cast<int>(kind)) taken.push_back({kind});
  std::lock_guard<std::mutex> lock(mutex);
  taken.insert(taken.end(), commands.begin(), commands.end());
  commands.clear();
  return taken;
}

bool RunInbox::post_datagram(Socket socket, const uint8_t* data, int length,
                             const SocketAddress& from) {
  std::lock_guard<std::mutex> lock(mutex);
  int& share = shares[socket];
  if (datagrams.size() >= DATAGRAMS_MAX || share >= SOCKET_SHARE) return false;
  ++share;
  datagrams.push_back({socket, from, bytes.size(), length});
  bytes.insert(bytes.end(), data, data + length);
  if (loop_waiting && io) {
    loop_waiting = false;  // one wake is enough
    io->wake();
  }
  return true;
}

void RunInbox::take_datagrams(std::vector<RunDatagram>* list, std::vector<uint8_t>* heard) {
  list->clear();
  heard->clear();
  std::lock_guard<std::mutex> lock(mutex);
  list->swap(datagrams);
  heard->swap(bytes);
  shares.clear();
}

bool RunInbox::may_wait() {
  std::lock_guard<std::mutex> lock(mutex);
  loop_waiting = datagrams.empty();
  return loop_waiting;
}

void RunInbox::waited() {
  std::lock_guard<std::mutex> lock(mutex);
  loop_waiting = false;
}

// ---- The system's io

// What the loop publishes for the receiving thread: the sockets to hear,
// each with the port's number for it. The thread says which publication it
// waits on; a socket the loop closed is closed for good only once the
// thread has moved past it, so its number is never reused under the thread.
struct HeardSet {
  uint64_t generation = 0;
  std::vector<std::pair<Socket, Socket>> sockets;  // the port's number, the system's socket
};

struct SystemRunIo::HeardState {
  std::atomic<std::shared_ptr<const HeardSet>> published{std::make_shared<const HeardSet>()};
  std::atomic<uint64_t> seen{0};
  std::atomic<bool> stop{false};
  std::atomic<bool> running{false};
  SocketOwner control;  // a datagram to it wakes the thread to look again
  SocketAddress control_address{};
  SocketOwner nudge;    // the loop's end of it

  void wake_thread() {
    if (!control || !nudge) return;
    const uint8_t byte = 0;
    socket_send_to(nudge.get(), &byte, 1, control_address);
  }
};

SystemRunIo::SystemRunIo() : wake_socket_(udp_open(0)), heard_(std::make_shared<HeardState>()) {
  since_ms_ = now_ms();
  wake_address_ = make_address(text_to_ip("127.0.0.1"), socket_local_port(wake_socket_.get()));
  // Drained until a receive fails: no readiness test per wake datagram.
  if (wake_socket_) socket_set_nonblocking(wake_socket_.get());
}

SystemRunIo::~SystemRunIo() {
  // The receiver has gone with its run: nothing waits on these any more.
  for (const auto& [number, socket] : open_) socket_close(socket);
  for (const auto& [socket, generation] : retired_) socket_close(socket);
}

int64_t SystemRunIo::now_ms() {
  return static_cast<int64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                  std::chrono::steady_clock::now().time_since_epoch())
                                  .count()) -
         since_ms_;
}

void SystemRunIo::publish() {
  auto set = std::make_shared<HeardSet>();
  set->generation = ++generation_;
  set->sockets = open_;
  heard_->published.store(std::move(set));
  heard_->wake_thread();
}

void SystemRunIo::close_retired() {
  const bool thread = heard_->running.load();
  const uint64_t seen = heard_->seen.load();
  std::erase_if(retired_, [&](const std::pair<Socket, uint64_t>& r) {
    if (thread && r.second > seen) return false;
    socket_close(r.first);
    return true;
  });
}

Socket SystemRunIo::open() {
  close_retired();
  // At most what one wait of the receiving thread can hear.
  if (open_.size() + 2 >= static_cast<size_t>(SOCKET_WAIT_MAX)) return 0;
  SocketOwner socket = udp_open(0);
  if (!socket) return 0;
  // Read by the receiving thread after a wait: a datagram gone meanwhile
  // must not block it.
  socket_set_nonblocking(socket.get());
  const Socket number = ++next_;
  open_.emplace_back(number, socket.release());
  publish();
  return number;
}

void SystemRunIo::close(Socket number) {
  const auto it = std::find_if(open_.begin(), open_.end(),
                               [&](const auto& o) { return o.first == number; });
  if (it == open_.end()) return;
  const Socket socket = it->second;
  open_.erase(it);
  publish();
  retired_.emplace_back(socket, generation_);
  close_retired();
}

Socket SystemRunIo::system_socket(Socket number) const {
  for (const auto& [n, socket] : open_)
    if (n == number) return socket;
  return 0;
}

int SystemRunIo::send(Socket number, const void* data, int length, const SocketAddress& to) {
  // The newest socket is the one a start sends from most.
  for (auto it = open_.rbegin(); it != open_.rend(); ++it)
    if (it->first == number) return socket_send_to(it->second, data, length, to);
  return -1;
}

void SystemRunIo::wait(int64_t wait_ms) {
  close_retired();
  if (!wake_socket_) {
    std::this_thread::sleep_for(std::chrono::milliseconds(wait_ms));
    return;
  }
  const Socket wake = wake_socket_.get();
  unsigned char ready = 0;
  socket_wait_any(&wake, 1, static_cast<long>(wait_ms), &ready);
  if (!ready) return;
  uint8_t byte[16];
  SocketAddress from;
  for (int n = 0; n < 64 && socket_recv_from(wake, byte, sizeof byte, &from) >= 0; ++n) {
  }
}

void SystemRunIo::wake() {
  if (!wake_socket_) return;
  const uint8_t byte = 1;
  socket_send_to(wake_socket_.get(), &byte, 1, wake_address_);
}

namespace {

// How long the thread waits before it looks at the published sockets
// again without a nudge (one lost on the way costs no more than this), and
// how long a socket whose share of the inbox is full goes unheard (its
// datagrams wait in the system, which drops them when its buffer is full).
const long HEAR_LOOK_AGAIN_MS = 500;
const long HEAR_FULL_PAUSE_MS = 5;

// One thread waits on every socket of the port at once and reads one
// datagram of each that is readable per wait: a socket flooded as fast as
// a sender can does not keep it from the others.
class ThreadReceiver : public PortReceiver {
 public:
  ThreadReceiver(std::shared_ptr<SystemRunIo::HeardState> state, std::shared_ptr<RunInbox> inbox)
      : state_(std::move(state)), inbox_(std::move(inbox)) {
    state_->running = true;
    thread_ = std::thread([this] { hear(); });
  }
  ~ThreadReceiver() override {
    state_->stop = true;
    state_->wake_thread();
    thread_.join();
    state_->running = false;
    state_->stop = false;
  }

 private:
  void hear() {
    uint8_t datagram[SESSION_BUFFER];
    std::vector<Socket> sockets, numbers, full;
    std::vector<unsigned char> ready;
    const Socket control = state_->control.get();
    while (!state_->stop) {
      const std::shared_ptr<const HeardSet> set = state_->published.load();
      state_->seen = set->generation;
      sockets.assign(1, control);
      numbers.assign(1, 0);
      for (const auto& [number, socket] : set->sockets) {
        if (std::find(full.begin(), full.end(), number) != full.end()) continue;
        if (sockets.size() >= static_cast<size_t>(SOCKET_WAIT_MAX)) break;
        sockets.push_back(socket);
        numbers.push_back(number);
      }
      const long wait_ms = full.empty() ? HEAR_LOOK_AGAIN_MS : HEAR_FULL_PAUSE_MS;
      full.clear();
      ready.assign(sockets.size(), 0);
      if (socket_wait_any(sockets.data(), static_cast<int>(sockets.size()), wait_ms, ready.data()) <= 0)
        continue;
      if (state_->stop) break;
      if (ready[0]) {
        SocketAddress from{};
        for (int n = 0; n < 64 && socket_recv_from(control, datagram, 1, &from) >= 0; ++n) {
        }
      }
      for (size_t i = 1; i < sockets.size(); ++i) {
        if (!ready[i]) continue;
        SocketAddress from{};
        const int length = socket_recv_from(sockets[i], datagram, SESSION_BUFFER, &from);
        // RECV_RESET: an ICMP error about an earlier send, whose session's
        // own deadline tells; RECV_FAILED: nothing after all.
        if (length < 0) continue;
        if (!inbox_->post_datagram(numbers[i], datagram, length, from)) full.push_back(numbers[i]);
      }
    }
  }

  std::shared_ptr<SystemRunIo::HeardState> state_;
  std::shared_ptr<RunInbox> inbox_;
  std::thread thread_;
};

}  // namespace

std::unique_ptr<PortReceiver> SystemRunIo::hear(const std::shared_ptr<RunInbox>& inbox) {
  if (!heard_->control) {
    heard_->control = udp_open(0);
    heard_->nudge = udp_open(0);
    if (!heard_->control || !heard_->nudge) return nullptr;
    socket_set_nonblocking(heard_->control.get());
    heard_->control_address =
        make_address(text_to_ip("127.0.0.1"), socket_local_port(heard_->control.get()));
  }
  return std::make_unique<ThreadReceiver>(heard_, inbox);
}
