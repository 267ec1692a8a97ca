#pragma once
// The discovery service: two sockets, the modal-step event and three threads that
// find cards by broadcast and keep the device table fresh by direct queries.
// Every merge and every row step of a refresh pass runs as one step on the
// table's owning thread, through the table executor.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_set>
#include <vector>

#include "devices/device_table.h"
#include "platform/event.h"
#include "platform/udp.h"
#include "protocol/packet.h"

inline constexpr uint32_t POLL_PERIOD_MS = 32000;
inline constexpr uint32_t RECEIVE_WAKE_MS = 1000;
inline constexpr uint32_t STOP_WAIT_MS = 3000;
inline constexpr int REPLY_CAPACITY = 1599;  // one more byte is kept for the NUL
// Replies merged in one step on the table's thread: a fleet answering at
// once costs a few steps, and no step keeps the window busy for long.
inline constexpr size_t MERGE_BATCH = 128;
inline constexpr int PASS_ROWS_PER_STEP = 32;  // rows of a refresh pass per step

class DiscoveryTransport;
struct ScanShared;

// The waits of the service's threads, so that tests can move time by hand.
class ServiceClock {
 public:
  virtual ~ServiceClock() = default;
  // true when e was signalled within ms (an auto-reset event's signal is taken).
  virtual bool wait(Event& e, uint32_t ms) = 0;
  // true when all were signalled within ms in all.
  virtual bool wait_all(Event* const* events, int count, uint32_t ms) = 0;
  // Until stop is signalled (true), a datagram waits on s, or ms have
  // passed. This one wakes only on stop or at ms.
  virtual bool wait_for_datagram(Event& stop, DiscoveryTransport&, Socket, uint32_t ms) {
    return wait(stop, ms);
  }
};

// The datagram side of the service.
// Sockets it opens go back to it to be closed.
class DiscoveryTransport : public SocketCloser {
 public:
  virtual ~DiscoveryTransport() = default;
  virtual Socket open() = 0;  // bound to port 0 on any local address; 0 on failure
  virtual int enable_broadcast(Socket s) = 0;
  virtual void send_request(Socket s, uint32_t ip) = 0;  // "sysinfo" to ip:69
  // Where one broadcast request goes: 255.255.255.255 and, on the real
  // sockets, the directed broadcast of every adapter that is up.
  virtual std::vector<uint32_t> broadcast_addresses() { return {BROADCAST_ADDRESS}; }
  virtual int readable(Socket s, long usec) = 0;
  // A datagram's length, RECV_RESET or RECV_FAILED.
  virtual int receive(Socket s, uint8_t* buf, int cap, SocketAddress* from) = 0;
  virtual void answer(Socket s, const uint8_t* datagram, int length, const SocketAddress& from) = 0;
};

// The real thing: the system's clock and the platform's sockets.
ServiceClock* system_clock();
DiscoveryTransport* socket_transport();

struct DiscoveryPorts {
  DeviceTable* table = nullptr;
  TableExecutor* executor = nullptr;
  ServiceClock* clock = nullptr;          // system_clock() when null
  DiscoveryTransport* transport = nullptr;  // socket_transport() when null
  std::shared_ptr<Event> stop;            // manual reset, made by the caller
};

// What the threads share; it lives until the last thread has left, so a
// thread that outlasts stop_discovery never touches freed events.
struct DiscoveryState {
  DiscoveryPorts ports;
  // Closed when the service stops with every thread ended, else when the
  // last thread leaves.
  SocketOwner query_socket;
  SocketOwner broadcast_socket;
  Event modal_step{true};
  Event poll_done{false};
  Event query_done{false};
  Event broadcast_done{false};
  std::atomic<int> running{0};  // threads not yet returned
  // The scans under way (discovery/scan.h), told of every card's reply
  // once it is merged.
  std::mutex scans_mutex;
  std::vector<ScanShared*> scans;
  // Every address sent a direct query: a reply on the query socket from any
  // other address was not asked for and is dropped.
  std::mutex asked_mutex;
  std::unordered_set<uint32_t> asked;
  // A broadcast request went out: until then nothing is taken from the
  // broadcast socket, whoever sends to it.
  std::atomic<bool> broadcast_sent{false};
};

// Whether a reply is taken: its text must speak for the address it came
// from, and that address must be one a card can have. A card may not answer
// for another, and a row for 0.0.0.0 or a multicast group would be sent
// queries and accounts.
bool reply_speaks_for_sender(const DeviceRecord& parsed, uint32_t source_ip);

// Sends a direct query on the query socket and remembers the address as
// asked; every direct query goes through here.
void send_direct_query(DiscoveryState& s, uint32_t ip);

struct DiscoveryService {
  DiscoveryService() = default;
  DiscoveryService(const DiscoveryService&) = delete;
  DiscoveryService& operator=(const DiscoveryService&) = delete;
  ~DiscoveryService();  // joins a thread that a stop left inside its step
  std::shared_ptr<DiscoveryState> state;
  std::thread poll_thread, query_thread, broadcast_thread;
};
void join_leftover_threads(DiscoveryService& svc);

// Opens the sockets and starts the three threads; 1 on success, 0 when a
// socket or the broadcast option could not be had. The ports must outlive
// the threads.
int start_discovery(DiscoveryService& svc, const DiscoveryPorts& ports);

// One direct query to every listed card, last row first; each row's icon,
// query and count are done together on the table's thread, a few rows at a
// time.
void refresh_pass(DiscoveryState& s);

// Signals stop and waits for the three threads, STOP_WAIT_MS in all.
// Returns 1 when every thread has ended (the threads are then joined), 0
// when one is still running: it is left to finish its step and is joined
// when the service goes.
int stop_discovery(DiscoveryService& svc);

// The modal-step event: set while a modal step (Discover, an account or an
// import dialog) or an upgrade is under way. While it is set, replies to the
// broadcast are let in and the refresh pass holds off.
Event& modal_step_event(DiscoveryService& svc);

// A direct query to one card (after an account edit) and the broadcast
// request of the Discover command, sent once to each broadcast address.
// Replies on the broadcast socket are taken only once a broadcast went out
// (and while the modal step is set).
void query_device(DiscoveryService& svc, uint32_t ip);
void send_broadcast_request(DiscoveryService& svc);

// The steps that other threads hand to the table's thread, kept on this
// side: what wakes the owner only says "run what is queued", so nobody who
// can send the owner a message can make it run anything else.
class StepQueue {
 public:
  // On the handing thread: queues step, calls wake (which returns once the
  // owner has run what was queued, or could not be reached) and returns 1
  // when the step has run, waiting for it if it is still running. 0 when it
  // was still queued: it is taken out and never runs.
  int run(const std::function<void()>& step, const std::function<void()>& wake);
  // On the owner's thread: runs every queued step, oldest first, each one
  // outside the lock.
  void run_queued();

 private:
  struct Pending;
  std::mutex mutex_;
  std::condition_variable ended_;
  std::deque<Pending*> queue_;
};

// Product only: hands table steps to the window that owns the list view.
// A step waits in the window's queue; the registered message, sent and
// waited for, carries nothing but the wake-up. The window procedure passes
// that message on to run_queued_table_steps.
TableExecutor* open_window_executor(void* hwnd);
unsigned table_step_message();
intptr_t run_queued_table_steps(void* hwnd);
