#include <cstdio>
#include <cstring>
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

const uint32_t BETWEEN_STARTS_MS = 100;
// A refresh pass counts every card as unanswered when it sends the query; the
// answer clears the count when the receive thread merges it, up to about a
// second later. No pass starts while the batch runs, so this long after the
// batch began every answer to the last pass is in.
const uint32_t ANSWER_WINDOW_MS = 1500;
const char MSG_IMAGE_CHANGED[] = "The file has changed since it was opened !";

void append_card_line(Report* report, uint32_t ip, CardOutcome outcome) {
  report_card(report, ip_to_text(ip), ip, outcome, "", 0);
}

CardResult card_of(const DeviceRecord& record, const std::string& image, uint32_t image_version,
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

bool slot_is_free(SlotEvents* slots, int slot) {
  std::lock_guard<std::mutex> lock(slots->mutex);
  return slots->free[slot];
}

void claim_slot(SlotEvents* slots, int slot) {
  std::lock_guard<std::mutex> lock(slots->mutex);
  slots->free[slot] = false;
}

void release_slot(SlotEvents* slots, int slot) {
  // Notified under the lock: the worker may destroy the slots as soon as it
  // sees the last one free.
  std::lock_guard<std::mutex> lock(slots->mutex);
  slots->free[slot] = true;
  slots->changed.notify_all();
}

void wait_any_slot(SlotEvents* slots) {
  std::unique_lock<std::mutex> lock(slots->mutex);
  slots->changed.wait(lock, [slots] {
    for (bool f : slots->free)
      if (f) return true;
    return false;
  });
}

void wait_all_slots(SlotEvents* slots) {
  std::unique_lock<std::mutex> lock(slots->mutex);
  slots->changed.wait(lock, [slots] {
    for (bool f : slots->free)
      if (!f) return false;
    return true;
  });
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

int start_session(BatchPorts* ports, Report* report, SlotEvents* slots, const DeviceRecord& record,
                  uint8_t* image, uint32_t size) {
  int slot = -1;
  for (int i = 0; i < SESSION_SLOTS && slot < 0; ++i)
    if (slot_is_free(slots, i)) slot = i;
  if (slot < 0) return -1;  // the worker waits for a free slot first
  claim_slot(slots, slot);

  SocketOwner socket = ports->open_socket();
  if (!socket) {
    append_card_line(report, record.ip, CardOutcome::socket_error);
    release_slot(slots, slot);
    return -1;
  }
  UploadSession* s = &upload_sessions[slot];
  *s = UploadSession{};
  s->socket = std::move(socket);
  s->report = report;
  s->ip = record.ip;
  copy_text(s->user_name, record.user_name);
  copy_text(s->password, record.password);
  s->slot = slot;
  s->transfer_limit_ticks = ports->transfer_limit_ticks();
  s->image_size = size;
  s->cursor = image;
  s->slot_events = slots;

  LocalTime now = ports->local_time();
  stamp_header(image, size, &now);
  if (size >= IMAGE_FIXED_HEADER && std::memcmp(image, IMAGE_MAGIC, 4) == 0) {
    s->has_stamp = true;
    std::memcpy(s->stamp, image + IMAGE_STAMP_AT, 4);
  }

  if (!ports->start_session_thread(s)) {
    s->socket.reset();
    s->ended = true;
    append_card_line(report, record.ip, CardOutcome::no_session);
    release_slot(slots, slot);
    return -1;
  }
  return slot;
}

const char* image_refusal(const std::vector<uint8_t>& bytes, const OpenedImage& opened) {
  ImageCheck check = check_image(bytes.data(), bytes.size());
  if (check.message) return check.message;
  // The same version is not the same file: a rebuilt image keeps its number.
  if (check.version != opened.version || bytes.size() != opened.size ||
      sha256(bytes.data(), bytes.size()) != opened.digest)
    return MSG_IMAGE_CHANGED;
  return nullptr;
}

namespace {

// The card's record as the batch judges it. A card still counted unanswered
// may only be waiting for the merge of its answer to the last refresh pass:
// that is given its time once per batch before the card is passed over.
bool card_answers(BatchPorts* ports, int row, DeviceRecord* record, bool* waited) {
  if (!record->unanswered_queries) return true;
  if (!*waited) {
    ports->sleep_ms(ANSWER_WINDOW_MS);
    *waited = true;
  }
  DeviceRecord now;
  if (ports->row_record(row, &now)) *record = now;
  return !record->unanswered_queries;
}

struct BatchCard {
  int row;
  DeviceRecord record;
};

// The batch's progress, counted as card lines come in on any thread.
struct ProgressCount {
  std::mutex mutex;
  BatchProgress progress;
};

// Every checked card, from the last row to the first, into the slots; the
// report once all have ended. The kept report names every card from the
// start and follows each one.
void upgrade_cards(BatchPorts* ports, std::vector<uint8_t>* image, const OpenedImage& opened) {
  SlotEvents slots;
  auto count = std::make_shared<ProgressCount>();
  // Shared: the checks after " OK." outlive the batch and write the file again.
  auto report = std::make_shared<Report>();
  report->clock = [ports] { return ports->local_time(); };
  std::weak_ptr<Report> weak = report;
  report->card_done = [ports, weak, count](const CardResult& card) {
    BatchProgress now;
    {
      std::lock_guard<std::mutex> lock(count->mutex);
      ++count->progress.settled;
      if (!outcome_is_ok(card.outcome)) count->progress.failed = true;
      now = count->progress;
    }
    ports->batch_progress(now);
    if (auto held = weak.lock()) ports->card_done(held, card);
  };
  const LocalTime batch_start = ports->local_time();
  const std::string& image_path = opened.path;
  const uint32_t image_version = opened.version;
  const uint32_t size = static_cast<uint32_t>(image->size());

  std::vector<BatchCard> batch;
  std::vector<CardResult> pending;
  for (int row = ports->row_count() - 1; row >= 0; --row) {
    if (!ports->row_checked(row)) continue;
    DeviceRecord record;
    if (!ports->row_record(row, &record)) continue;
    batch.push_back({row, record});
    pending.push_back(card_of(record, image_path, image_version, batch_start));
    pending.back().outcome = CardOutcome::pending;
  }
  count->progress.total = static_cast<int>(batch.size());
  ports->batch_progress(count->progress);
  auto journal = std::make_shared<Journal>();
  report->journal = journal;
  const std::string folder = ports->reports_folder();
  std::string not_kept;
  if (!folder.empty()) {
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

  bool waited = false;
  for (BatchCard& c : batch) {
    if (!ports->stopping()) wait_any_slot(&slots);
    if (ports->stopping()) {
      report_card_queue(report.get(),
                        card_of(c.record, image_path, image_version, ports->local_time()));
      append_card_line(report.get(), c.record.ip, CardOutcome::aborted);
      continue;
    }
    const CardResult card = card_of(c.record, image_path, image_version, ports->local_time());
    // A card that does not answer is sent nothing: it never reads sending.
    if (!card_answers(ports, c.row, &c.record, &waited)) {
      report_card_queue(report.get(), card);
      append_card_line(report.get(), c.record.ip, CardOutcome::no_connection);
      continue;
    }
    report_card_start(report.get(), card);
    ports->show_row_upgrading(c.row);
    start_session(ports, report.get(), &slots, c.record, image->data(), size);
    ports->sleep_ms(BETWEEN_STARTS_MS);
  }
  wait_all_slots(&slots);
  ports->batch_running(false);
  std::vector<uint8_t>().swap(*image);
  std::string text = report_text(report.get());
  if (!folder.empty()) text += not_kept.empty() ? journal_status(journal.get()) : not_kept;
  ports->show_batch_report(ports->display_text(text), report_cards(report.get()), journal->path);
  std::vector<uint32_t> ok_ips;
  for (const CardResult& card : report_cards(report.get()))
    if (outcome_is_ok(card.outcome)) ok_ips.push_back(card.ip);
  ports->report_closed(ok_ips);
  ports->batch_progress(BatchProgress{});
}

}  // namespace

TaskbarState taskbar_state(const BatchProgress& progress, int questions) {
  if (progress.total <= 0) return TaskbarState::none;
  if (questions > 0) return TaskbarState::paused;
  return progress.failed ? TaskbarState::error : TaskbarState::normal;
}

void batch_worker(BatchPorts* ports, Event* busy, OpenedImage opened) {
  std::vector<uint8_t> image;
  // Bytes that cannot be read, are too many, fail the checks, or are not the
  // image opened and confirmed are never sent, and the operator who said Yes
  // is told why.
  if (const char* refusal = read_image_bytes(opened.path, &image))
    ports->show_refusal(refusal);
  else if (const char* changed = image_refusal(image, opened))
    ports->show_refusal(changed);
  else
    upgrade_cards(ports, &image, opened);
  busy->reset();
  ports->enable_main_window(1);
}
