// The checks after " OK." in the product: the verifier runs on the main
// window's thread, ticked by a one-second timer, asking through sockets of
// its own (open_check_transport: an answer is only a reply to its query)
// and reading them at each tick. A settled card is asked once more through
// the discovery service, so that the table's Version column follows.
// The module's services are registered here too.
#include <windows.h>

#include <algorithm>
#include <mutex>
#include <string>
#include <vector>

#include "devices/device_table.h"
#include "platform/file_names.h"
#include "resources/resource.h"
#include "settings/settings.h"
#include "upgrade/run.h"
#include "upgrade/upgrade_commands.h"
#include "upgrade/verify.h"

namespace {

const UINT_PTR CHECK_TIMER = 0x3000;  // apart from the session timers
const UINT CHECK_EVERY_MS = 1000;

UpgradeServices services;

Verifier verifier;
std::unique_ptr<CheckTransport> transport;

int64_t now_ms() { return static_cast<int64_t>(GetTickCount64()); }

class TablePorts : public VerifyPorts {
 public:
  void query(uint32_t ip) override {
    if (transport) transport->query(ip);
  }
  bool row_listed(uint32_t ip) override { return find_row(*services.table, ip) >= 0; }
  void show_result(const CardResult& card) override {
    // The list view's texts are in the ANSI code page; a card's message is UTF-8.
    set_row_result(*services.table, card.ip, utf8_to_ansi(result_column_text(card)).c_str());
    if (card.outcome == CardOutcome::applied || card.outcome == CardOutcome::not_applied)
      services.query_card(card.ip);
  }
};

TablePorts table_ports;

// Kept reports with work left; touched by batch workers and the timer.
std::mutex journals_mutex;
std::vector<std::shared_ptr<Journal>> journals;

bool journal_done(Journal* journal) {
  if (journal_behind(journal)) return false;
  for (const CardResult& card : journal_cards(journal))
    if (card.outcome == CardOutcome::pending || card.outcome == CardOutcome::sending ||
        card.outcome == CardOutcome::ok)
      return false;
  return true;
}

// The report box of the batch, while it is open: its last line says where
// the file is, or why it is not saved.
void show_status_in_report_box(const std::string& status) {
  HWND main = reinterpret_cast<HWND>(services.window.owner);
  HWND box = nullptr;
  while ((box = FindWindowExA(nullptr, box, "#32770", INFORMATION_TITLE)) != nullptr)
    if (GetWindow(box, GW_OWNER) == main) break;
  if (!box) return;
  HWND text_control = GetDlgItem(box, 0xFFFF);  // a message box's text
  if (!text_control) text_control = GetDlgItem(box, IDC_REPORT_TEXT);  // the long report's
  if (!text_control) return;
  int length = GetWindowTextLengthA(text_control);
  std::string text(static_cast<size_t>(length) + 1, '\0');
  text.resize(static_cast<size_t>(GetWindowTextA(text_control, text.data(), length + 1)));
  size_t line = text.rfind('\n');
  line = line == std::string::npos ? 0 : line + 1;
  if (text.compare(line, 7, "Report ") != 0) return;
  const std::string shown = utf8_to_ansi(status);
  if (text.compare(line, std::string::npos, shown) == 0) return;
  SetWindowTextA(text_control, (text.substr(0, line) + shown).c_str());
}

void tend_journals() {
  std::vector<std::shared_ptr<Journal>> open;
  {
    std::lock_guard<std::mutex> lock(journals_mutex);
    open = journals;
  }
  for (const std::shared_ptr<Journal>& journal : open) {
    journal_retry(journal.get());
    // After the checks' own texts: the note stays until the file is saved.
    for (const auto& [card, note] : journal_notes(journal.get()))
      set_row_result(*services.table, card.ip,
                     utf8_to_ansi(note.empty() ? result_column_text(card) : note).c_str());
  }
  if (open.empty()) return;
  const std::string status = journal_status(open.back().get());
  if (!status.empty()) show_status_in_report_box(status);
  // The latest stays: its report box may still be open.
  std::lock_guard<std::mutex> lock(journals_mutex);
  const std::shared_ptr<Journal> latest = journals.back();
  journals.erase(std::remove_if(journals.begin(), journals.end(),
                                [&](const std::shared_ptr<Journal>& j) {
                                  return j != latest && journal_done(j.get());
                                }),
                 journals.end());
}

int on_check_timer(WindowHandle, HandlerArg, HandlerArg, HandlerArg, HandlerArg) {
  show_setting_problems();
  const int64_t now = now_ms();
  if (transport)
    for (const CheckTransport::Answer& a : transport->read()) verifier_answer(verifier, a, now);
  verifier_tick(verifier, table_ports, now);
  tend_journals();
  return 0;
}

}  // namespace

void show_setting_problems() {
  // The box waits for the operator while this timer goes on ticking.
  static bool showing = false;
  if (showing) return;
  showing = true;
  for (const std::string& text : take_setting_problems())
    services.window.show_information(utf8_to_ansi("Settings: " + text + ".").c_str());
  showing = false;
}

void register_upgrade_services(const UpgradeServices& given) { services = given; }
const UpgradeServices& upgrade_services() { return services; }

void start_upgrade_verifier(WindowHandle main_window) {
  if (!transport) transport = open_check_transport();
  register_handlers(main_window, {{WM_TIMER, on_check_timer, CHECK_TIMER, 0}});
  SetTimer(reinterpret_cast<HWND>(main_window), CHECK_TIMER, CHECK_EVERY_MS, nullptr);
}

void keep_journal(const std::shared_ptr<Journal>& journal) {
  std::lock_guard<std::mutex> lock(journals_mutex);
  journals.push_back(journal);
}

void verify_upgraded_card(const std::shared_ptr<Report>& report, const CardResult& card) {
  verifier_card_done(verifier, report, card);
  // Shown before the batch goes on: the report box may open right after
  // the last card's line, and its Result must already be there.
  services.executor->run([] { verifier_take(verifier, table_ports, now_ms()); });
}
