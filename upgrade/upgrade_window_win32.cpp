// The Upgrade command in the product: the batch's ports over the device
// table (through the interface thread), the main window and message boxes,
// and each session's progress window (dialog 112) on a thread of its own.
#include <windows.h>
#include <commctrl.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

#include "settings/settings.h"
#include "devices/device_table.h"
#include "image/image.h"
#include "image/open_image.h"
#include "platform/file_names.h"
#include "protocol/packet.h"
#include "resources/resource.h"
#include "upgrade/report_dialog.h"
#include "upgrade/rollout_fields.h"
#include "upgrade/upgrade.h"
#include "upgrade/upgrade_commands.h"

namespace {

// Posted to a session's window when its socket has a datagram waiting.
const UINT SESSION_READ_MESSAGE = WM_APP + 1;
// Sent to a session's window when the system's session ends: abort now.
const UINT SESSION_END_MESSAGE = WM_APP + 2;
const DWORD SESSION_END_WAIT_MS = 2000;
const wchar_t SHUTDOWN_REASON[] = L"Firmware upgrade in progress";

// The progress window of one session, on the session's thread for as long
// as the session runs.
class ProgressWindow : public SessionView {
 public:
  UploadSession* session = nullptr;
  HWND dialog = nullptr;
  void set_title(const char* text) override { SetWindowTextA(dialog, text); }
  void set_status(const char* text) override { SetDlgItemTextA(dialog, IDC_UPLOAD_STATUS, text); }
  void set_progress_range(uint32_t high) override {
    SendDlgItemMessageA(dialog, IDC_UPLOAD_PROGRESS, PBM_SETRANGE32, 0, static_cast<LPARAM>(high));
  }
  void set_progress_position(uint32_t position) override {
    SendDlgItemMessageA(dialog, IDC_UPLOAD_PROGRESS, PBM_SETPOS, position, 0);
  }
  void set_percent(const char* text) override { SetDlgItemTextA(dialog, IDC_UPLOAD_PERCENT, text); }
  void delay(uint32_t ms) override { Sleep(ms); }
  int confirm_abort() override {
    taskbar_question(true);
    int yes = MessageBoxA(dialog, "Are you sure ?", "Upgrade Box", MB_YESNO | MB_ICONQUESTION) == IDYES;
    taskbar_question(false);
    return yes;
  }
  void close(int result) override { EndDialog(dialog, result); }
};

// Stands in for a progress window that could not be created.
class NoWindow : public SessionView {
 public:
  void set_title(const char*) override {}
  void set_status(const char*) override {}
  void set_progress_range(uint32_t) override {}
  void set_progress_position(uint32_t) override {}
  void set_percent(const char*) override {}
  void delay(uint32_t) override {}
  int confirm_abort() override { return 0; }
  void close(int) override {}
};

ProgressWindow* window_view(HWND dialog) {
  return reinterpret_cast<ProgressWindow*>(GetWindowLongPtrA(dialog, DWLP_USER));
}

// The progress windows open now, for the end of the system's session.
std::mutex open_windows_mutex;
std::vector<ProgressWindow*> open_windows;

void open_progress_window(HWND dialog, ProgressWindow* view) {
  SetWindowLongPtrA(dialog, DWLP_USER, reinterpret_cast<LONG_PTR>(view));
  UploadSession* s = view->session;
  view->dialog = dialog;
  {
    std::lock_guard<std::mutex> lock(open_windows_mutex);
    open_windows.push_back(view);
  }
  ShowWindow(GetDlgItem(dialog, IDCANCEL), SW_HIDE);
  // The texts first, so the window never shows its template's.
  int running = begin_session(view, s, static_cast<int64_t>(GetTickCount64()));
  // Side by side: each slot's window 20 pixels further right and down.
  RECT at;
  GetWindowRect(dialog, &at);
  SetWindowPos(dialog, HWND_TOPMOST, at.left + 20 * s->slot, at.top + 20 * s->slot, 0, 0,
               SWP_NOSIZE | SWP_NOACTIVATE | (running ? SWP_SHOWWINDOW : 0));
  if (!running) return;
  SetTimer(dialog, TICK_TIMER + s->slot, 100, nullptr);
  // The poll stays as a backstop: a datagram left in the socket while a
  // question held the sessions gets no second notification. Without the
  // notification the poll alone carries the transfer, at the timer's pace.
  SetTimer(dialog, POLL_TIMER + s->slot, 2, nullptr);
  socket_notify_window(s->socket.get(), reinterpret_cast<uintptr_t>(dialog), SESSION_READ_MESSAGE);
}

INT_PTR CALLBACK session_proc(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case WM_INITDIALOG:
      open_progress_window(dialog, reinterpret_cast<ProgressWindow*>(lparam));
      return TRUE;
    // The two timers and the notification drive the session alike.
    case WM_TIMER:
      if (ProgressWindow* view = window_view(dialog)) {
        if (!is_session_timer(static_cast<uint32_t>(wparam), view->session->slot))
          KillTimer(dialog, wparam);
        else
          session_run(view, view->session, static_cast<int64_t>(GetTickCount64()));
      }
      return TRUE;
    case SESSION_READ_MESSAGE:
      if (ProgressWindow* view = window_view(dialog))
        session_run(view, view->session, static_cast<int64_t>(GetTickCount64()));
      return TRUE;
    case WM_COMMAND:
      if (ProgressWindow* view = window_view(dialog))
        session_command(view, view->session, LOWORD(wparam));
      return TRUE;
    // The process goes once its windows have answered: the line (and the
    // kept report with it) is written before.
    case WM_ENDSESSION:
      if (!wparam) return TRUE;
      [[fallthrough]];
    case SESSION_END_MESSAGE:
      if (ProgressWindow* view = window_view(dialog)) abort_session(view, view->session);
      return TRUE;
    case WM_DESTROY:
      return TRUE;
    default:
      return FALSE;
  }
}

void run_progress_window(UploadSession* s) {
  ProgressWindow view;
  view.session = s;
  INT_PTR shown = DialogBoxParamA(reinterpret_cast<HINSTANCE>(upgrade_services().window.instance),
                                  MAKEINTRESOURCEA(IDD_UPLOAD), nullptr, session_proc,
                                  reinterpret_cast<LPARAM>(&view));
  {
    std::lock_guard<std::mutex> lock(open_windows_mutex);
    open_windows.erase(std::remove(open_windows.begin(), open_windows.end(), &view),
                       open_windows.end());
  }
  // No window, no timers: the session never ran. It still owes its line and
  // its socket.
  if (shown == -1 && !s->ended) {
    report_card(s->report, ip_to_text(s->ip), s->ip, CardOutcome::no_session, "", 0);
    NoWindow none;
    end_session(&none, s, 1);
  }
}


// The batch that runs, for the end of the system's session.
std::mutex running_mutex;
std::shared_ptr<Journal> running_journal;
bool batch_runs = false;
std::atomic<bool> session_ending{false};

// Table work is done on the interface thread: the batch runs on a worker.
class ProductBatchPorts : public BatchPorts {
 public:
  // How the batch runs, as the Upgrade command found the setting: the
  // window is disabled from then until the batch has ended.
  RolloutSetting rollout;

  int row_count() override {
    int n = 0;
    upgrade_services().executor->run([&] { n = ::row_count(*upgrade_services().table); });
    return n;
  }
  int row_checked(int row) override {
    int checked = 0;
    upgrade_services().executor->run([&] {
      DeviceTable& t = *upgrade_services().table;
      if (row < ::row_count(t))
        checked = (t.list->item_state(row, STATE_CHECK_MASK) & STATE_CHECK_MASK) != STATE_UNCHECKED;
    });
    return checked;
  }
  int row_record(int row, DeviceRecord* record) override {
    int found = 0;
    upgrade_services().executor->run([&] {
      if (DeviceRecord* r = ::row_record(*upgrade_services().table, row)) {
        *record = *r;
        found = 1;
      }
    });
    return found;
  }
  void show_row_upgrading(int row) override {
    upgrade_services().executor->run([&] {
      DeviceTable& t = *upgrade_services().table;
      set_row_icon(t, row, ICON_NO_WRITE);
      // Its wave has begun: the card's place gives way.
      if (rollout.waves)
        if (const DeviceRecord* r = ::row_record(t, row)) {
          CardResult sending;
          sending.outcome = CardOutcome::sending;
          set_row_result(t, r->ip, result_column_text(sending).c_str());
        }
    });
  }
  // In waves, the question names the plan on a last line of its own.
  int ask_confirmation(const std::string& text) override {
    const std::string plan = rollout_setting_line(rollout);
    return upgrade_services().window.ask((plan.empty() ? text : text + "\r\n" + plan).c_str());
  }
  void show_report(const std::string& text) override { upgrade_services().window.show_information(text.c_str()); }
  void show_batch_report(const std::string& text, const std::vector<CardResult>& cards,
                         const std::string& kept_path) override {
    if (report_fits_message_box(text, cards.size()) ||
        !show_report_dialog(upgrade_services().window.instance, upgrade_services().window.owner, text, cards, kept_path))
      upgrade_services().window.show_information(text.c_str());
  }
  void batch_progress(const BatchProgress& progress) override { show_taskbar_progress(progress); }
  void show_refusal(const std::string& text) override { upgrade_services().window.show_error(text.c_str()); }
  void enable_main_window(int enabled) override {
    EnableWindow(reinterpret_cast<HWND>(upgrade_services().window.owner), enabled);
  }
  void run_session(UploadSession* s) override { run_progress_window(s); }
  void sleep_ms(uint32_t ms) override { Sleep(ms); }
  LocalTime local_time() override { return local_time_now(); }
  SocketOwner open_socket() override { return udp_open(0); }
  std::string reports_folder() override { return ::reports_folder(); }
  void journal_started(const std::shared_ptr<Journal>& journal) override {
    {
      std::lock_guard<std::mutex> lock(running_mutex);
      running_journal = journal;
    }
    keep_journal(journal);
  }
  // The reason shows on the shutdown screen; only the window's own thread
  // may set it.
  bool stopping() override { return session_ending; }
  void batch_running(bool running) override {
    {
      std::lock_guard<std::mutex> lock(running_mutex);
      batch_runs = running;
      if (!running) running_journal.reset();
    }
    upgrade_services().executor->run([running] {
      HWND main = reinterpret_cast<HWND>(upgrade_services().window.owner);
      if (running)
        ShutdownBlockReasonCreate(main, SHUTDOWN_REASON);
      else
        ShutdownBlockReasonDestroy(main);
    });
  }
  void card_done(const std::shared_ptr<Report>& report, const CardResult& card) override {
    verify_upgraded_card(report, card);
  }
  void report_closed(const std::vector<uint32_t>& ok_ips) override {
    upgrade_services().executor->run([&] { untick_rows(*upgrade_services().table, ok_ips); });
  }
  // In waves: the cards of the setting the Upgrade command read, each
  // waiting card's place in the Result column until its wave begins.
  RolloutOptions rollout_options() override {
    RolloutOptions options;
    options.on = rollout.waves;
    options.steps = rollout_setting_steps(rollout);
    options.max_failures = rollout_setting_budget(rollout);
    return options;
  }
  void card_waiting(const DeviceRecord& record, int wave) override {
    const uint32_t ip = record.ip;
    upgrade_services().executor->run([ip, wave] {
      set_row_result(*upgrade_services().table, ip, waiting_column_text(wave).c_str());
    });
  }
  // The report box is an ANSI message box; a path or a card's text outside
  // the code page shows with the system's stand-in characters.
  std::string display_text(const std::string& utf8) override {
    return utf8_to_ansi(utf8);
  }
};

ProductBatchPorts batch_ports;

// While a batch runs the system is asked to wait (FALSE); the operator sees
// the reason and may end the session anyway.
int on_query_end_session(WindowHandle, HandlerArg, HandlerArg, HandlerArg, HandlerArg) {
  std::lock_guard<std::mutex> lock(running_mutex);
  return batch_runs ? 0 : 1;
}

// The session ends: every running transfer is aborted with its line, the
// cards not started yet are so in the kept report, before the process goes.
int on_end_session(WindowHandle, HandlerArg, HandlerArg ending, HandlerArg, HandlerArg) {
  if (!ending) return 0;
  std::shared_ptr<Journal> journal;
  {
    std::lock_guard<std::mutex> lock(running_mutex);
    journal = running_journal;
  }
  if (!journal) return 0;
  session_ending = true;
  std::vector<HWND> dialogs;
  {
    std::lock_guard<std::mutex> lock(open_windows_mutex);
    for (ProgressWindow* view : open_windows)
      if (!view->session->ended) dialogs.push_back(view->dialog);
  }
  for (HWND dialog : dialogs) {
    if (!dialog || !IsWindow(dialog)) continue;
    DWORD_PTR ignored;
    SendMessageTimeoutA(dialog, SESSION_END_MESSAGE, 0, 0, SMTO_NORMAL, SESSION_END_WAIT_MS,
                        &ignored);
  }
  // The worker reports the cards it will not start; the process may go
  // before it does.
  journal_end_pending(journal.get(), CardOutcome::aborted);
  return 0;
}

}  // namespace

void guard_session_end(WindowHandle main_window) {
  register_handlers(main_window, {{WM_QUERYENDSESSION, on_query_end_session, 0, 0},
                                  {WM_ENDSESSION, on_end_session, 0, 0}});
}

int upgrade_command(WindowHandle, HandlerArg, HandlerArg, HandlerArg, HandlerArg) {
  batch_ports.rollout = read_rollout_setting();
  start_batch(&batch_ports, upgrade_services().modal_step, opened_image());
  return 0;
}
