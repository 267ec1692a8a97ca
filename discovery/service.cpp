#include <cstring>
#include <vector>

#include "settings/settings.h"
#include "discovery/discovery.h"
#include "discovery/scan.h"
#include "protocol/address.h"
#include "protocol/packet.h"
#include "protocol/sysinfo.h"

namespace {

enum class Source { query, broadcast };

void poll_loop(DiscoveryState& s) {
  for (;;) {
    if (s.ports.clock->wait(*s.ports.stop, POLL_PERIOD_MS)) {
      s.poll_done.set();
      return;
    }
    // A skipped period is not made up later.
    if (s.modal_step.is_set()) continue;
    refresh_pass(s);
  }
}

using Batch = std::vector<std::unique_ptr<DeviceRecord>>;

// One step on the table's thread for the replies taken so far; `heard` are
// the senders among them that a scan asked. Once stop is signalled they are
// dropped: the owner is then waiting for this thread and would not run the
// step before its wait has run out.
void merge_batch(DiscoveryState& s, Batch& batch, std::vector<uint32_t>& heard) {
  if (batch.empty()) return;
  DeviceTable* table = s.ports.table;
  // If the owner is gone the step does not run and the records are released.
  bool merged = !s.ports.stop->is_set() &&
                s.ports.executor->run([&] { merge_devices(*table, batch, 0); });
  // A scan counts a card only once it is in the table: whoever ends when
  // every address has answered (and then stops the service, which drops what
  // is still unmerged) must not lose a reply read but not yet merged.
  if (merged) {
    std::lock_guard<std::mutex> lock(s.scans_mutex);
    for (uint32_t ip : heard)
      for (ScanShared* scan : s.scans) scan_heard(*scan, ip);
  }
  batch.clear();
  heard.clear();
}

bool was_asked(DiscoveryState& s, uint32_t ip) {
  std::lock_guard<std::mutex> lock(s.asked_mutex);
  return s.asked.count(ip) != 0;
}

// One datagram: 1 to go on draining, 0 when the socket has failed.
int take_datagram(DiscoveryState& s, Source source, Socket sock, DeviceRecord& work,
                  uint8_t* buf, Batch& batch, std::vector<uint32_t>& heard) {
  SocketAddress from;
  int n = s.ports.transport->receive(sock, buf, REPLY_CAPACITY, &from);
  // A port-unreachable from an earlier send to an address without a card
  // surfaces here as a reset; it is not this socket's failure.
  if (n == RECV_RESET) return 1;
  if (n < 0) return 0;
  // A discovery that broadcast nothing takes nothing from that socket.
  if (source == Source::broadcast && (!s.modal_step.is_set() || !s.broadcast_sent.load()))
    return 1;
  if (n < 4) return 1;
  s.ports.transport->answer(sock, buf, n, from);
  buf[n] = 0;
  if (!parse_sysinfo(&work, reinterpret_cast<const char*>(buf) + 4, default_account().c_str()))
    return 1;
  // Dropped silently, as every rejected reply is.
  if (!reply_speaks_for_sender(work, from.ip)) return 1;
  if (source == Source::query) {
    // A scan asks every address of its ranges without naming each one.
    bool scanned = false;
    {
      std::lock_guard<std::mutex> lock(s.scans_mutex);
      for (ScanShared* scan : s.scans) scanned = scan_asked(*scan, from.ip) || scanned;
    }
    if (scanned)
      heard.push_back(from.ip);
    else if (!was_asked(s, from.ip))
      return 1;
  }
  auto r = std::make_unique<DeviceRecord>(work);
  if (source == Source::broadcast) r->unanswered_queries = 1;
  batch.push_back(std::move(r));
  return 1;
}

void receive_loop(DiscoveryState& s, Source source) {
  Socket sock = source == Source::query ? s.query_socket.get() : s.broadcast_socket.get();
  Event& done = source == Source::query ? s.query_done : s.broadcast_done;
  DeviceRecord work;
  std::memset(&work, 0, sizeof work);
  uint8_t buf[REPLY_CAPACITY + 1];
  Batch batch;
  batch.reserve(MERGE_BATCH);
  std::vector<uint32_t> heard;
  for (;;) {
    if (s.ports.clock->wait_for_datagram(*s.ports.stop, *s.ports.transport, sock, RECEIVE_WAKE_MS)) {
      done.set();
      return;
    }
    // Everything waiting is read, each reply answered as it is read; a
    // steady stream of replies must not keep the thread from seeing stop.
    // A step every MERGE_BATCH datagrams, taken or not: the cards read ahead
    // of a flood of rejected ones are merged without waiting for its end.
    int alive = 1;
    size_t read = 0;
    while (alive && !s.ports.stop->is_set() && s.ports.transport->readable(sock, 1)) {
      alive = take_datagram(s, source, sock, work, buf, batch, heard);
      if (++read % MERGE_BATCH == 0) merge_batch(s, batch, heard);
    }
    merge_batch(s, batch, heard);
    // A real receive failure ends the thread without its done event.
    if (!alive) return;
  }
}

// Runs a thread body on the shared state, which the thread keeps alive.
std::thread start_thread(const std::shared_ptr<DiscoveryState>& state,
                         void (*body)(DiscoveryState&, Source), Source source) {
  state->running.fetch_add(1);
  return std::thread([state, body, source] {
    body(*state, source);
    state->running.fetch_sub(1);
  });
}

void poll_body(DiscoveryState& s, Source) { poll_loop(s); }

}  // namespace

int start_discovery(DiscoveryService& svc, const DiscoveryPorts& ports) {
  if (!ports.table || !ports.executor || !ports.stop) return 0;
  join_leftover_threads(svc);
  auto s = std::make_shared<DiscoveryState>();
  s->ports = ports;
  if (!s->ports.clock) s->ports.clock = system_clock();
  if (!s->ports.transport) s->ports.transport = socket_transport();
  DiscoveryTransport* t = s->ports.transport;
  // On a failure the state goes, and the sockets opened so far with it.
  s->broadcast_socket = SocketOwner(t->open(), t);
  if (!s->broadcast_socket) return 0;
  if (!t->enable_broadcast(s->broadcast_socket.get())) return 0;
  s->query_socket = SocketOwner(t->open(), t);
  if (!s->query_socket) return 0;
  svc.state = s;
  svc.poll_thread = start_thread(s, poll_body, Source::query);
  svc.query_thread = start_thread(s, receive_loop, Source::query);
  svc.broadcast_thread = start_thread(s, receive_loop, Source::broadcast);
  return 1;
}

void refresh_pass(DiscoveryState& s) {
  DeviceTable* table = s.ports.table;
  int n = 0;
  if (!s.ports.executor->run([&] { n = row_count(*table); })) return;
  // A few rows per trip to the table's thread; merges come in between.
  for (int top = n - 1; top >= 0; top -= PASS_ROWS_PER_STEP) {
    int ran = s.ports.executor->run([&] {
      for (int i = top; i >= 0 && i > top - PASS_ROWS_PER_STEP; --i) {
        // Icon, query and count together: a reply merged between the send
        // and the count would otherwise be counted as unanswered.
        DeviceRecord* r = row_record(*table, i);
        if (!r) continue;  // removed meanwhile
        if (r->unanswered_queries != 0) set_row_icon(*table, i, ICON_NO_REPLY);
        send_direct_query(s, r->ip);
        ++r->unanswered_queries;
      }
    });
    if (!ran) return;
  }
}

bool reply_speaks_for_sender(const DeviceRecord& parsed, uint32_t source_ip) {
  return parsed.ip == source_ip && is_card_address(source_ip);
}

void send_direct_query(DiscoveryState& s, uint32_t ip) {
  {
    std::lock_guard<std::mutex> lock(s.asked_mutex);
    s.asked.insert(ip);
  }
  s.ports.transport->send_request(s.query_socket.get(), ip);
}

DiscoveryService::~DiscoveryService() { join_leftover_threads(*this); }

void join_leftover_threads(DiscoveryService& svc) {
  for (std::thread* t : {&svc.poll_thread, &svc.query_thread, &svc.broadcast_thread})
    if (t->joinable()) t->join();
}

int stop_discovery(DiscoveryService& svc) {
  if (!svc.state) return 1;
  DiscoveryState& s = *svc.state;
  s.ports.stop->set();
  Event* done[3] = {&s.poll_done, &s.query_done, &s.broadcast_done};
  bool finished = s.ports.clock->wait_all(done, 3, STOP_WAIT_MS);
  // A receive thread that ended on a failure never sets its done event, but
  // it has returned; only a thread still inside a step is left running.
  std::thread* threads[3] = {&svc.poll_thread, &svc.query_thread, &svc.broadcast_thread};
  int all_ended = finished || s.running.load() == 0;
  // A thread still inside a step stays the service's: it is joined when
  // the service goes (or starts again), once its step has run or been
  // taken back.
  if (all_ended)
    for (std::thread* t : threads)
      if (t->joinable()) t->join();
  if (all_ended) {
    s.query_socket.reset();
    s.broadcast_socket.reset();
  }
  return all_ended;
}

Event& modal_step_event(DiscoveryService& svc) { return svc.state->modal_step; }

void query_device(DiscoveryService& svc, uint32_t ip) {
  if (svc.state && svc.state->query_socket) send_direct_query(*svc.state, ip);
}

void send_broadcast_request(DiscoveryService& svc) {
  if (!svc.state || !svc.state->broadcast_socket) return;
  DiscoveryTransport* t = svc.state->ports.transport;
  svc.state->broadcast_sent = true;
  for (uint32_t to : t->broadcast_addresses()) t->send_request(svc.state->broadcast_socket.get(), to);
}
