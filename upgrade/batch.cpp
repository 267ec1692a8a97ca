#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <system_error>
#include <thread>
#include <vector>

#include "protocol/packet.h"
#include "upgrade/upgrade.h"

namespace {

const char DASHES[] = "-----------------------------------------------------------";
const char WARNING_HEAD[] =
    "WARNING !!\r\n\r\nThe following UPS(s) might have concern(s) of version control !!\r\n";
const char WARNING_TAIL[] = "Do you want upgrade the UPS(s) regardless the version check ?";
const char PLAIN_QUESTION[] = "Are you sure to upgrade ?";

// A refresh pass counts every card as unanswered when it sends the query; the
// answer clears the count when the receive thread merges it, up to about a
// second later. No pass starts while the batch runs, so this long after the
// batch began every answer to the last pass is in.
const uint32_t ANSWER_WINDOW_MS = 1500;
const char MSG_IMAGE_CHANGED[] = "The file has changed since it was opened !";

void append_card_line(Report* report, uint32_t ip, CardOutcome outcome) {
  report_card(report, ip_to_text(ip), ip, outcome, "", 0);
}

CardResult result_of(const DeviceRecord& record, const std::string& image, uint32_t image_version,
                   const LocalTime& now) {
  CardResult card;
  card.started = now;
  card.ended = now;
  card.ip = record.ip;
  std::memcpy(card.mac, record.mac, sizeof card.mac);
  card.version_before = record.version;
  card.image = image;
  card.image_version = image_version;
  return card;
}

// The record's fields are fixed arrays; a text that fills one has no NUL.
template <size_t N, size_t M>
void copy_text(char (&dest)[N], const char (&src)[M]) {
  size_t n = 0;
  while (n < M && n + 1 < N && src[n]) ++n;
  std::memcpy(dest, src, n);
  dest[n] = '\0';
}

}  // namespace

void report_append(Report* report, const std::string& line) {
  std::lock_guard<std::mutex> lock(report->mutex);
  report->text += line;
}

std::string report_text(Report* report) {
  std::lock_guard<std::mutex> lock(report->mutex);
  return report->text;
}

int confirm_upgrade_text(BatchPorts* ports, uint32_t version, std::string* text) {
  *text = std::string(WARNING_HEAD) + DASHES + "\r\n";
  int warnings = 0;
  for (int row = ports->row_count() - 1; row >= 0; --row) {
    if (!ports->row_checked(row)) continue;
    DeviceRecord record;
    if (!ports->row_record(row, &record)) return 0;
    if (version == IMAGE_VERSION_NONE || version > record.version) continue;
    ++warnings;
    char line[96];
    std::snprintf(line, sizeof line, "UPS %s , %s version %d.%02d\r\n", ip_to_text(record.ip),
                  version == record.version ? "identical" : "newer",
                  static_cast<int>(record.version >> 8 & 0xFF),
                  static_cast<int>(record.version & 0xFF));
    *text += line;
  }
  if (warnings)
    *text += std::string(DASHES) + "\r\n" + WARNING_TAIL;
  else
    *text = PLAIN_QUESTION;
  return 1;
}

int confirm_upgrade(BatchPorts* ports, uint32_t version) {
  std::string text;
  if (!confirm_upgrade_text(ports, version, &text)) return 0;
  return ports->ask_confirmation(text) ? 1 : 0;
}

int start_batch(BatchPorts* ports, Event* busy, const OpenedImage& image) {
  if (!confirm_upgrade(ports, image.version)) return 0;
  busy->set();
  ports->enable_main_window(0);
  try {
    std::thread(batch_worker, ports, busy, image).detach();
  } catch (const std::system_error&) {
    busy->reset();
    ports->enable_main_window(1);
    return 0;
  }
  return 1;
}

uint32_t BatchPorts::answer_window_ms() { return ANSWER_WINDOW_MS; }

const char* image_refusal(const OpenedImage& opened, ImageFile* file) {
  if (const char* refusal = read_checked_image(opened.path, file)) return refusal;
  if (!same_image(file->opened, opened)) {
    *file = ImageFile{};
    return MSG_IMAGE_CHANGED;
  }
  return nullptr;
}

namespace {

// The card's record as the batch judges it. A card still counted unanswered
// may only be waiting for the merge of its answer to the last refresh pass:
// that is given its time once per batch before the card is passed over.
bool card_answers(BatchPorts* ports, int row, DeviceRecord* record, bool* waited) {
  if (!record->unanswered_queries) return true;
  if (!*waited) {
    if (uint32_t ms = ports->answer_window_ms()) ports->sleep_ms(ms);
    *waited = true;
  }
  DeviceRecord now;
  if (ports->row_record(row, &now)) *record = now;
  return !record->unanswered_queries;
}

struct BatchCard {
  int row = 0;
  DeviceRecord record{};
  // With a rollout: the gate asked when the plan was made, and the wave.
  CardOutcome gate = CardOutcome::pending;
  std::string message;
  int wave = 0;
};

// The sessions of one batch, each with the thread that runs it. A card
// claims a free one; its thread frees it when the session has ended; the
// thread is joined before its session takes the next card and at the end.
struct BatchSessions {
  explicit BatchSessions(int count) : sessions(static_cast<size_t>(count)) {
    for (auto& s : sessions) s = std::make_unique<UploadSession>();
    threads.resize(sessions.size());
    running.resize(sessions.size(), false);
  }
  ~BatchSessions() { join_all(); }

  // A free session's place, or -1 when every one runs.
  int free_place() {
    std::lock_guard<std::mutex> lock(mutex);
    for (size_t i = 0; i < running.size(); ++i)
      if (!running[i]) return static_cast<int>(i);
    return -1;
  }
  void set_running(int place, bool now) {
    // Notified under the lock: the batch may end as soon as it sees the
    // last one free.
    std::lock_guard<std::mutex> lock(mutex);
    running[static_cast<size_t>(place)] = now;
    changed.notify_all();
  }
  // Waits at most ms for one to be free (every: all); true when it is.
  bool wait_free(bool every, uint32_t ms) {
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, std::chrono::milliseconds(ms), [&] {
      for (bool r : running)
        if (r == every) return !every;
      return every;
    });
  }
  void join(int place) {
    std::thread& t = threads[static_cast<size_t>(place)];
    if (t.joinable()) t.join();
  }
  void join_all() {
    for (size_t i = 0; i < threads.size(); ++i) join(static_cast<int>(i));
  }

  std::mutex mutex;
  std::condition_variable changed;
  std::vector<std::unique_ptr<UploadSession>> sessions;
  std::vector<std::thread> threads;
  std::vector<bool> running;
  SessionPause pause;
};

const uint32_t WAITING_EVERY_MS = 500;

void wait_for_sessions(BatchPorts* ports, BatchSessions* sessions, bool every) {
  while (!sessions->wait_free(every, WAITING_EVERY_MS)) ports->batch_waiting();
}

// Fills a free session for the card, stamps the image and starts the
// session's thread. False when the card got no session (its line is in).
bool start_session(BatchPorts* ports, Report* report, BatchSessions* sessions,
                   const DeviceRecord& record, uint8_t* image, uint32_t size) {
  const int place = sessions->free_place();
  if (place < 0) return false;  // the batch waits for a free session first
  sessions->join(place);
  SocketOwner socket = ports->open_socket();
  if (!socket) {
    append_card_line(report, record.ip, CardOutcome::socket_error);
    return false;
  }
  UploadSession* s = sessions->sessions[static_cast<size_t>(place)].get();
  *s = UploadSession{};
  s->socket = std::move(socket);
  s->report = report;
  s->ip = record.ip;
  copy_text(s->user_name, record.user_name);
  copy_text(s->password, record.password);
  s->slot = place;
  s->pause = &sessions->pause;
  s->transfer_limit_ticks = ports->transfer_limit_ticks();
  s->image_size = size;
  s->cursor = image;

  LocalTime now = ports->local_time();
  stamp_header(image, size, &now);
  if (size >= IMAGE_FIXED_HEADER && std::memcmp(image, IMAGE_MAGIC, 4) == 0) {
    s->has_stamp = true;
    std::memcpy(s->stamp, image + IMAGE_STAMP_AT, 4);
  }

  sessions->set_running(place, true);
  try {
    sessions->threads[static_cast<size_t>(place)] = std::thread([ports, sessions, s, place] {
      ports->run_session(s);
      sessions->set_running(place, false);
    });
  } catch (const std::system_error&) {
    s->socket.reset();
    s->ended = true;
    append_card_line(report, record.ip, CardOutcome::no_session);
    sessions->set_running(place, false);
    return false;
  }
  return true;
}

// A batch's rollout: its run state, each planned card's wave, and when each
// card's " OK." came while its check is still out. Shared with the report's
// hooks, which may outlive the batch (the window's checks go on).
struct BatchRollout {
  using Clock = std::chrono::steady_clock;
  explicit BatchRollout(RolloutPlan plan) : run(std::move(plan)) {
    for (const PlannedCard& c : run.plan().cards) waves[c.ip] = c.wave;
  }
  int wave_of(uint32_t ip) const {
    auto it = waves.find(ip);
    return it == waves.end() ? 0 : it->second;
  }
  // A card line: the rollout hears of the transfer's end.
  void line(const CardResult& card) {
    if (card.outcome == CardOutcome::ok) {
      std::lock_guard<std::mutex> lock(mutex);
      checking[card.ip] = Clock::now();
    }
    std::lock_guard<std::mutex> lock(telling);
    run.transfer_ended(card.ip, card.outcome);
  }
  void check(const CardResult& card) {
    {
      std::lock_guard<std::mutex> lock(mutex);
      checking.erase(card.ip);
    }
    std::lock_guard<std::mutex> lock(telling);
    run.checked(card.ip, card.outcome);
  }
  // The failure that halted the run is told before the cards it leaves
  // unstarted: the worker waits here for the outcome being told.
  void told() { std::lock_guard<std::mutex> lock(telling); }
  // A check still out past ROLLOUT_CHECK_LIMIT_MS is no answer.
  void give_up_late_checks(Report* report) {
    std::vector<uint32_t> late;
    {
      std::lock_guard<std::mutex> lock(mutex);
      const auto now = Clock::now();
      for (auto it = checking.begin(); it != checking.end();) {
        if (now - it->second >= std::chrono::milliseconds(ROLLOUT_CHECK_LIMIT_MS)) {
          late.push_back(it->first);
          it = checking.erase(it);
        } else {
          ++it;
        }
      }
    }
    for (uint32_t ip : late)
      if (!report_check(report, ip, CardOutcome::no_answer, 0,
                        static_cast<int>(ROLLOUT_CHECK_LIMIT_MS / 1000)))
        run.checked(ip, CardOutcome::no_answer);
  }
  // The front is told of settled cards until the rollout has ended.
  bool front_hears() {
    std::lock_guard<std::mutex> lock(mutex);
    return !ended;
  }
  void end() {
    std::lock_guard<std::mutex> lock(mutex);
    ended = true;
  }

  Rollout run;
  std::map<uint32_t, int> waves;
  std::mutex mutex;
  std::mutex telling;  // held while an outcome is given to the run and told
  std::map<uint32_t, Clock::time_point> checking;
  bool ended = false;
};

// The card's latest state in the report (its last line, checked or not).
CardResult reported_card(Report* report, uint32_t ip) {
  std::lock_guard<std::mutex> lock(report->mutex);
  for (auto it = report->cards.rbegin(); it != report->cards.rend(); ++it)
    if (it->ip == ip) return *it;
  CardResult none;
  none.ip = ip;
  return none;
}

enum class Turn { start, never, stopped };

// A planned card waits for its wave: start, never (the run halted), or
// stopped from outside. While it waits the front hears every half second and
// checks lost past their limit are given up on.
Turn rollout_turn(BatchPorts* ports, BatchRollout* roll, Report* report, uint32_t ip) {
  for (;;) {
    switch (roll->run.begin(ip, WAITING_EVERY_MS)) {
      case StartDecision::start:
        return Turn::start;
      case StartDecision::never:
        return Turn::never;
      case StartDecision::wait:
        break;
    }
    ports->batch_waiting();
    roll->give_up_late_checks(report);
    if (ports->stopping()) return Turn::stopped;
  }
}

struct Verdict {
  CardOutcome outcome = CardOutcome::pending;  // pending: send it
  std::string message;
  CardResult card;  // as the card stood when it was judged
};

// Which card starts next, and when: the next card in batch order, once a
// session is free, BETWEEN_STARTS_MS after the last start (the caller's
// pause); with a rollout, once its wave has begun (the gate was asked when
// the plan was made), never after a halt. What the card takes when it is not
// to be sent.
Verdict next_card_verdict(BatchPorts* ports, BatchSessions* sessions, BatchCard* c, bool* waited,
                          const OpenedImage& opened, BatchRollout* roll, Report* report) {
  Verdict v;
  auto judged = [&](CardOutcome outcome) {
    v.outcome = outcome;
    v.card = result_of(c->record, opened.path, opened.version, ports->local_time());
    return v;
  };
  if (ports->stopping()) return judged(CardOutcome::aborted);
  CardOutcome gate = c->gate;
  if (roll)
    v.message = c->message;
  else
    gate = ports->card_gate(c->record, &v.message);
  if (gate != CardOutcome::pending) return judged(gate);
  wait_for_sessions(ports, sessions, false);
  if (ports->stopping()) return judged(CardOutcome::aborted);
  if (roll) {
    const Turn turn = rollout_turn(ports, roll, report, c->record.ip);
    if (turn == Turn::never) return judged(CardOutcome::not_started);
    if (turn == Turn::stopped) return judged(CardOutcome::aborted);
  }
  judged(CardOutcome::pending);
  // A card that does not answer is sent nothing: it never reads sending.
  if (!card_answers(ports, c->row, &c->record, waited)) v.outcome = CardOutcome::no_connection;
  return v;
}

// The batch's progress, counted as card lines come in on any thread.
struct ProgressCount {
  std::mutex mutex;
  BatchProgress progress;
};

}  // namespace

std::vector<BatchGate> plan_batch(BatchPorts* ports, const RolloutOptions& options,
                                  RolloutPlan* plan) {
  std::vector<BatchGate> gates;
  std::vector<uint32_t> eligible;
  for (int row = ports->row_count() - 1; row >= 0; --row) {
    if (!ports->row_checked(row)) continue;
    BatchGate g;
    g.row = row;
    if (!ports->row_record(row, &g.record)) continue;
    g.gate = ports->card_gate(g.record, &g.message);
    if (g.gate == CardOutcome::pending) eligible.push_back(g.record.ip);
    gates.push_back(g);
  }
  const int budget = failure_budget(!options.steps.empty(), options.max_failures);
  *plan = make_rollout_plan(options.steps, budget, eligible);
  for (BatchGate& g : gates)
    if (g.gate == CardOutcome::pending) g.wave = planned_wave(*plan, g.record.ip);
  return gates;
}

// The kept report names every card from the start and follows each one.
void run_batch(BatchPorts* ports, std::vector<uint8_t>* image, const OpenedImage& opened) {
  const int held = ports->session_count();
  BatchSessions sessions(held < 1 ? 1 : held > BATCH_SESSIONS_MAX ? BATCH_SESSIONS_MAX : held);
  auto count = std::make_shared<ProgressCount>();
  // Shared: the checks after " OK." outlive the batch and write the file again.
  auto report = std::make_shared<Report>();
  report->clock = [ports] { return ports->local_time(); };
  std::weak_ptr<Report> weak = report;
  const RolloutOptions rollout_options = ports->rollout_options();
  std::shared_ptr<BatchRollout> roll;
  std::vector<BatchGate> gates;
  if (rollout_options.on) {
    RolloutPlan plan;
    gates = plan_batch(ports, rollout_options, &plan);
    roll = std::make_shared<BatchRollout>(std::move(plan));
    std::weak_ptr<BatchRollout> weak_roll = roll;
    // Once per card as it settles: transfer failures and checks (a card not
    // started is told by the worker, after its line).
    roll->run.settled = [ports, weak, weak_roll](uint32_t ip, CardOutcome outcome) {
      auto held = weak.lock();
      auto r = weak_roll.lock();
      if (!held || !r || outcome == CardOutcome::not_started || !r->front_hears()) return;
      ports->card_settled(reported_card(held.get(), ip), r->wave_of(ip));
    };
    report->checked = [weak_roll](const CardResult& card) {
      if (auto r = weak_roll.lock()) r->check(card);
    };
  }
  report->card_done = [ports, weak, count, roll](const CardResult& card) {
    BatchProgress now;
    {
      std::lock_guard<std::mutex> lock(count->mutex);
      ++count->progress.settled;
      if (!outcome_is_ok(card.outcome)) count->progress.failed = true;
      now = count->progress;
    }
    ports->batch_progress(now);
    if (auto held = weak.lock()) ports->card_done(held, card);
    if (!roll) return;
    roll->line(card);
    // A card the plan left out (its gate's line) settles with its line.
    if (!roll->wave_of(card.ip) && roll->front_hears()) ports->card_settled(card, 0);
  };
  const LocalTime batch_start = ports->local_time();
  const std::string& image_path = opened.path;
  const uint32_t image_version = opened.version;
  const uint32_t size = static_cast<uint32_t>(image->size());

  std::vector<BatchCard> batch;
  std::vector<CardResult> pending;
  if (roll) {
    for (const BatchGate& g : gates) {
      BatchCard c;
      c.row = g.row;
      c.record = g.record;
      c.gate = g.gate;
      c.message = g.message;
      c.wave = g.wave;
      batch.push_back(c);
      pending.push_back(result_of(g.record, image_path, image_version, batch_start));
      pending.back().outcome = CardOutcome::pending;
    }
  } else {
    for (int row = ports->row_count() - 1; row >= 0; --row) {
      if (!ports->row_checked(row)) continue;
      DeviceRecord record;
      if (!ports->row_record(row, &record)) continue;
      BatchCard c;
      c.row = row;
      c.record = record;
      batch.push_back(c);
      pending.push_back(result_of(record, image_path, image_version, batch_start));
      pending.back().outcome = CardOutcome::pending;
    }
  }
  count->progress.total = static_cast<int>(batch.size());
  ports->batch_progress(count->progress);
  std::shared_ptr<Journal> journal = ports->front_journal();
  const bool front_kept = journal != nullptr;
  if (!journal) journal = std::make_shared<Journal>();
  report->journal = journal;
  const std::string folder = front_kept ? "" : ports->reports_folder();
  std::string not_kept;
  if (front_kept) {
    journal_set(journal.get(), pending);
  } else if (!folder.empty()) {
    std::string reason;
    if (journal_start_kept(journal.get(), folder, batch_start, pending, &reason))
      report->path = journal->path;
    else
      not_kept = "Report not saved: " + reason;
  } else {
    journal_start(journal.get(), "", pending, nullptr);
  }
  ports->journal_started(journal);
  ports->batch_running(true);
  if (roll)
    for (const BatchCard& c : batch)
      if (c.wave) ports->card_waiting(c.record, c.wave);

  bool waited = false;
  for (BatchCard& c : batch) {
    const Verdict verdict =
        next_card_verdict(ports, &sessions, &c, &waited, opened, roll.get(), report.get());
    if (verdict.outcome != CardOutcome::pending) {
      if (verdict.outcome == CardOutcome::not_started) roll->told();
      report_card_queue(report.get(), verdict.card);
      report_card(report.get(), ip_to_text(c.record.ip), c.record.ip, verdict.outcome,
                  verdict.message, 0);
      if (roll && verdict.outcome == CardOutcome::not_started && roll->front_hears())
        ports->card_settled(reported_card(report.get(), c.record.ip), c.wave);
      continue;
    }
    report_card_start(report.get(), verdict.card);
    ports->show_row_upgrading(c.row);
    start_session(ports, report.get(), &sessions, c.record, image->data(), size);
    ports->sleep_ms(BETWEEN_STARTS_MS);
  }
  wait_for_sessions(ports, &sessions, true);
  sessions.join_all();
  RolloutStatus rollout_status;
  if (roll) {
    // Every started card's check, each bounded by its limit.
    while (!roll->run.wait_settled(WAITING_EVERY_MS) && !ports->stopping()) {
      ports->batch_waiting();
      roll->give_up_late_checks(report.get());
    }
    roll->run.end_unstarted();
    rollout_status = roll->run.status();
    ports->rollout_ended(rollout_status);
    roll->end();
  }
  ports->batch_running(false);
  std::vector<uint8_t>().swap(*image);
  std::string text = report_text(report.get());
  if (rollout_status.halted) text = halt_line(rollout_status) + "\r\n" + text;
  if (!folder.empty()) text += not_kept.empty() ? journal_status(journal.get()) : not_kept;
  ports->show_batch_report(ports->display_text(text), report_cards(report.get()), journal->path);
  std::vector<uint32_t> ok_ips;
  for (const CardResult& card : report_cards(report.get()))
    if (outcome_is_ok(card.outcome)) ok_ips.push_back(card.ip);
  ports->report_closed(ok_ips);
  ports->batch_progress(BatchProgress{});
}

TaskbarState taskbar_state(const BatchProgress& progress, int questions) {
  if (progress.total <= 0) return TaskbarState::none;
  if (questions > 0) return TaskbarState::paused;
  return progress.failed ? TaskbarState::error : TaskbarState::normal;
}

void batch_worker(BatchPorts* ports, Event* busy, OpenedImage opened) {
  ImageFile file;
  // Bytes that cannot be read, are too many, fail the checks, or are not the
  // image opened and confirmed are never sent, and the operator who said Yes
  // is told why.
  if (const char* refusal = image_refusal(opened, &file))
    ports->show_refusal(refusal);
  else
    run_batch(ports, &file.bytes, opened);
  busy->reset();
  ports->enable_main_window(1);
}
