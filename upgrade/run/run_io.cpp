// The run's inbox (its only lock) and the system's io: the steady clock,
// real sockets, the wake datagram and the thread that hears the transfers.
#include <chrono>
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

void RunInbox::post_datagram(const uint8_t* data, int length, const SocketAddress& from) {
  std::lock_guard<std::mutex> lock(mutex);
  if (datagrams.size() >= DATAGRAMS_MAX) return;
  datagrams.push_back({from, bytes.size(), length});
  bytes.insert(bytes.end(), data, data + length);
  if (loop_waiting && io) {
    loop_waiting = false;  // one wake is enough
    io->wake();
  }
}

void RunInbox::take_datagrams(std::vector<RunDatagram>* list, std::vector<uint8_t>* heard) {
  list->clear();
  heard->clear();
  std::lock_guard<std::mutex> lock(mutex);
  list->swap(datagrams);
  heard->swap(bytes);
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

SystemRunIo::SystemRunIo() : wake_socket_(udp_open(0)) {
  since_ms_ = now_ms();
  wake_address_ = make_address(text_to_ip("127.0.0.1"), socket_local_port(wake_socket_.get()));
  // Drained until a receive fails: no readiness test per wake datagram.
  if (wake_socket_) socket_set_nonblocking(wake_socket_.get());
}

int64_t SystemRunIo::now_ms() {
  return static_cast<int64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                  std::chrono::steady_clock::now().time_since_epoch())
                                  .count()) -
         since_ms_;
}

void SystemRunIo::wait(const std::vector<Socket>& sockets, int64_t wait_ms,
                       std::vector<unsigned char>* ready) {
  std::vector<Socket> all(sockets);
  if (wake_socket_) all.push_back(wake_socket_.get());
  std::vector<unsigned char> is_ready(all.size(), 0);
  if (all.empty()) {
    std::this_thread::sleep_for(std::chrono::milliseconds(wait_ms));
  } else {
    socket_wait_any(all.data(), static_cast<int>(all.size()), static_cast<long>(wait_ms),
                    is_ready.data());
  }
  if (wake_socket_ && is_ready.back()) {
    uint8_t byte[16];
    SocketAddress from;
    for (int n = 0; n < 64 && socket_recv_from(wake_socket_.get(), byte, sizeof byte, &from) >= 0; ++n) {
    }
  }
  ready->assign(is_ready.begin(), is_ready.begin() + static_cast<long>(sockets.size()));
}

void SystemRunIo::wake() {
  if (!wake_socket_) return;
  const uint8_t byte = 1;
  socket_send_to(wake_socket_.get(), &byte, 1, wake_address_);
}

namespace {

// A blocking receive on the run's socket, in a loop, each datagram posted
// to the inbox. Told to end by a flag and a datagram of its own to the
// socket's port on the loopback address, which ends the receive it waits in.
class ThreadReceiver : public TransferReceiver {
 public:
  ThreadReceiver(Socket socket, std::shared_ptr<RunInbox> inbox)
      : socket_(socket), inbox_(std::move(inbox)), thread_([this] { hear(); }) {}
  ~ThreadReceiver() override {
    stop_ = true;
    SocketOwner nudge(udp_open(0));
    const SocketAddress self = make_address(text_to_ip("127.0.0.1"), socket_local_port(socket_));
    const uint8_t byte = 0;
    // Lost datagrams are possible on any path: the nudge goes until heard.
    while (!ended_) {
      if (nudge) socket_send_to(nudge.get(), &byte, 1, self);
      socket_readable(nudge ? nudge.get() : socket_, 20000);
    }
    thread_.join();
  }

 private:
  void hear() {
    uint8_t datagram[SESSION_BUFFER];
    while (!stop_) {
      SocketAddress from{};
      const int length = socket_recv_from(socket_, datagram, SESSION_BUFFER, &from);
      if (stop_) break;
      if (length >= 0) inbox_->post_datagram(datagram, length, from);
      // RECV_RESET: an ICMP error about an earlier send, whose session's
      // own deadline tells; RECV_FAILED: the socket is gone.
      if (length == RECV_FAILED) break;
    }
    ended_ = true;
  }

  Socket socket_;
  std::shared_ptr<RunInbox> inbox_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> ended_{false};
  std::thread thread_;
};

}  // namespace

std::unique_ptr<TransferReceiver> SystemRunIo::receive(Socket socket,
                                                       const std::shared_ptr<RunInbox>& inbox) {
  return std::make_unique<ThreadReceiver>(socket, inbox);
}

