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

int start_batch(BatchPorts* ports, Event* busy, uint32_t version) {
  if (!confirm_upgrade(ports, version)) return 0;
  busy->set();
  ports->enable_main_window(0);
  try {
    std::thread(batch_worker, ports, busy, version).detach();
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

const char* image_refusal(const std::vector<uint8_t>& image, uint32_t confirmed_version) {
  ImageCheck check = check_image(image.data(), image.size());
  if (check.message) return check.message;
  if (check.version != confirmed_version) return MSG_IMAGE_CHANGED;
  return nullptr;
}

namespace {

// The card's record as the batch judges it. A card still counted unanswered
// may only be waiting for the merge of its answer to the last refresh pass:
// that is given its time once per batch before the card is passed over.
bool card_answers(BatchPorts* ports, int row, DeviceRecord* record, bool* waited) {
  if (!record->unreachable) return true;
  if (!*waited) {
    ports->sleep_ms(ANSWER_WINDOW_MS);
    *waited = true;
  }
  DeviceRecord now;
  if (ports->row_record(row, &now)) *record = now;
  return !record->unreachable;
}

// The batch's progress, counted as card lines come in on any thread.
struct ProgressCount {
  std::mutex mutex;
  BatchProgress progress;
};

int cards_in_batch(BatchPorts* ports) {
  int total = 0;
  DeviceRecord record;
  for (int row = ports->row_count() - 1; row >= 0; --row)
    if (ports->row_checked(row) && ports->row_record(row, &record)) ++total;
  return total;
}

// Every checked card, from the last row to the first, into the slots; the
// report once all have ended.
void upgrade_cards(BatchPorts* ports, std::vector<uint8_t>* image, uint32_t image_version) {
  SlotEvents slots;
  auto count = std::make_shared<ProgressCount>();
  count->progress.total = cards_in_batch(ports);
  ports->batch_progress(count->progress);
  // Shared: the checks after " OK." outlive the batch and write the file again.
  auto report = std::make_shared<Report>();
  report->clock = [ports] { return ports->local_time(); };
  report->to_utf8 = [ports](const std::string& text) { return ports->utf8_text(text); };
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
  const std::string image_path = ports->image_path();
  const uint32_t size = static_cast<uint32_t>(image->size());
  bool waited = false;
  for (int row = ports->row_count() - 1; row >= 0; --row) {
    if (!ports->row_checked(row)) continue;
    DeviceRecord record;
    if (!ports->row_record(row, &record)) continue;
    wait_any_slot(&slots);
    report_card_start(report.get(), card_of(record, image_path, image_version, ports->local_time()));
    if (!card_answers(ports, row, &record, &waited)) {
      append_card_line(report.get(), record.ip, CardOutcome::no_connection);
      continue;
    }
    ports->show_row_upgrading(row);
    start_session(ports, report.get(), &slots, record, image->data(), size);
    ports->sleep_ms(BETWEEN_STARTS_MS);
  }
  wait_all_slots(&slots);
  std::vector<uint8_t>().swap(*image);
  std::string text = report_text(report.get());
  const std::string folder = ports->reports_folder();
  if (!folder.empty()) text += ports->display_text(keep_report(report.get(), folder, batch_start));
  std::string kept_path;
  {
    std::lock_guard<std::mutex> lock(report->mutex);
    kept_path = report->path;
  }
  ports->show_batch_report(text, report_cards(report.get()), kept_path);
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

void batch_worker(BatchPorts* ports, Event* busy, uint32_t confirmed_version) {
  std::vector<uint8_t> image;
  // Bytes that cannot be read, fail the checks, or are not the image
  // confirmed are never sent, and the operator who said Yes is told why.
  if (!read_image_file(ports->image_path(), &image))
    ports->show_refusal(MSG_READ_ERROR);
  else if (const char* refusal = image_refusal(image, confirmed_version))
    ports->show_refusal(refusal);
  else
    upgrade_cards(ports, &image, confirmed_version);
  busy->reset();
  ports->enable_main_window(1);
}
