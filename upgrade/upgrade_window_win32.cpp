// The Upgrade command in the product: the ticked cards become a run, held by
// the main window's run holder and driven on a thread of its own; the run's
// events are posted to the window's thread, where the progress windows
// (dialog 112, modeless) and the report box live.
#include <windows.h>
#include <commctrl.h>

#include <functional>
#include <system_error>
#include <thread>
#include <vector>

#include "devices/device_table.h"
#include "image/open_image.h"
#include "platform/event.h"
#include "platform/file_names.h"
#include "protocol/packet.h"
#include "resources/resource.h"
#include "settings/settings.h"
#include "upgrade/report_dialog.h"
#include "upgrade/rollout_fields.h"
#include "upgrade/upgrade.h"
#include "upgrade/upgrade_commands.h"

namespace {

const DWORD SESSION_END_WAIT_MS = 2000;
const wchar_t SHUTDOWN_REASON[] = L"Firmware upgrade in progress";
// A refresh pass counts every card as unanswered when it sends the query; the
// answer clears the count when the receive thread merges it, up to about a
// second later. No pass starts while the batch runs, so this long after the
// batch began every answer to the last pass is in.
const uint32_t ANSWER_WINDOW_MS = 1500;

const UpgradeServices& ui() { return upgrade_services(); }
HWND main_hwnd() { return reinterpret_cast<HWND>(ui().window.owner); }

UINT task_message() {
  static const UINT message = RegisterWindowMessageA("Daveridur.RunTask");
  return message;
}

// Work for the window's thread, posted without waiting for it.
void post_task(std::function<void()> task) {
  auto* posted = new std::function<void()>(std::move(task));
  if (!PostMessageA(main_hwnd(), task_message(), 0, reinterpret_cast<LPARAM>(posted))) delete posted;
}

int on_task(WindowHandle, HandlerArg, HandlerArg, HandlerArg task, HandlerArg) {
  std::unique_ptr<std::function<void()>> posted(reinterpret_cast<std::function<void()>*>(task));
  if (posted) (*posted)();
  return 0;
}

}  // namespace

// One run of the window and what shows it: a progress window per session
// place, the journal for the end of the system's session.
struct WindowRun : RunEvents {
  struct Place;
  // What a session shows, told on the run's thread, done on the window's.
  class PostingView : public SessionView {
   public:
    PostingView(WindowRun* run, int slot) : run_(run), slot_(slot) {}
    void set_title(const char* text) override { text_task(text, 0); }
    void set_status(const char* text) override { text_task(text, IDC_UPLOAD_STATUS); }
    void set_progress_range(uint32_t high) override {
      bar_task(PBM_SETRANGE32, 0, static_cast<LPARAM>(high));
    }
    void set_progress_position(uint32_t position) override { bar_task(PBM_SETPOS, position, 0); }
    void set_percent(const char* text) override { text_task(text, IDC_UPLOAD_PERCENT); }
    void close(int) override {
      WindowRun* run = run_;
      const int slot = slot_;
      post_task([run, slot] { run->close_place(slot); });
    }

   private:
    void text_task(const char* text, int control) {
      WindowRun* run = run_;
      const int slot = slot_;
      std::string shown = text;
      post_task([run, slot, control, shown] {
        HWND dialog = run->place_window(slot);
        if (!dialog) return;
        if (control)
          SetDlgItemTextA(dialog, control, shown.c_str());
        else
          SetWindowTextA(dialog, shown.c_str());
      });
    }
    void bar_task(UINT message, WPARAM wparam, LPARAM lparam) {
      WindowRun* run = run_;
      const int slot = slot_;
      post_task([run, slot, message, wparam, lparam] {
        if (HWND dialog = run->place_window(slot))
          SendDlgItemMessageA(dialog, IDC_UPLOAD_PROGRESS, message, wparam, lparam);
      });
    }
    WindowRun* run_;
    int slot_;
  };

  // A session place on the window's thread: its progress window and card.
  struct Place {
    WindowRun* run = nullptr;
    int slot = 0;
    HWND dialog = nullptr;
    uint32_t ip = 0;
    bool running = false;
  };

  UpgradeRunHolder* holder = nullptr;
  SystemRunIo io;
  std::unique_ptr<UpgradeRun> run;
  std::thread thread;
  Event loop_done{true};
  bool waves = false;
  std::vector<std::unique_ptr<PostingView>> views;  // the run's thread
  std::vector<Place> places;                        // the window's thread
  std::shared_ptr<Journal> journal;
  int merge_listener = 0;
  // The run goes once it is over and no box of its own is open on the
  // window's thread (the report, an "Are you sure ?").
  bool reporting = false, over = false;
  int asking = 0;
  bool session_ended = false;  // the system's session ends: no window opens any more

  WindowRun(UpgradeRunHolder* h, int parallel) : holder(h) {
    places.resize(static_cast<size_t>(parallel));
    for (int i = 0; i < parallel; ++i) {
      views.push_back(std::make_unique<PostingView>(this, i));
      places[static_cast<size_t>(i)].run = this;
      places[static_cast<size_t>(i)].slot = i;
    }
  }

  // The process ending in the middle of a run: its transfers end aborted.
  ~WindowRun() {
    if (!thread.joinable()) return;
    run->post({RunCommandKind::shutdown});
    thread.join();
  }

  // ---- On the window's thread
  HWND place_window(int slot);
  void close_place(int slot);
  void ask_abort(int slot);
  void show_report(const std::string& text, const std::vector<CardResult>& cards,
                   const std::string& kept);
  void finish();

  // ---- The run's events, on its thread
  SessionView* session_view(int slot) override { return views[static_cast<size_t>(slot)].get(); }
  void journal_started(const std::shared_ptr<Journal>& kept) override {
    post_task([this, kept] {
      journal = kept;
      keep_journal(kept);
    });
  }
  void card_waiting(const RunCard& card, int wave) override {
    const uint32_t ip = card.record.ip;
    post_task([ip, wave] { set_row_result(*ui().table, ip, waiting_column_text(wave).c_str()); });
  }
  void card_started(const RunCard& card, int slot) override {
    const uint32_t ip = card.record.ip;
    post_task([this, ip, slot] {
      Place& place = places[static_cast<size_t>(slot)];
      place.ip = ip;
      place.running = true;
      DeviceTable& t = *ui().table;
      set_row_icon(t, find_row(t, ip), ICON_NO_WRITE);
      // Its wave has begun: the card's place gives way.
      if (waves) {
        CardResult sending;
        sending.outcome = CardOutcome::sending;
        set_row_result(t, ip, result_column_text(sending).c_str());
      }
    });
  }
  void session_running(int slot) override {
    post_task([this, slot] {
      HWND dialog = place_window(slot);
      if (!dialog) return;
      // Side by side: each slot's window 20 pixels further right and down.
      RECT at;
      GetWindowRect(dialog, &at);
      SetWindowPos(dialog, HWND_TOPMOST, at.left + 20 * slot, at.top + 20 * slot, 0, 0,
                   SWP_NOSIZE | SWP_NOACTIVATE | SWP_SHOWWINDOW);
    });
  }
  void card_line(const std::shared_ptr<Report>& report, const CardResult& card) override {
    post_task([report, card] { verify_upgraded_card(report, card); });
  }
  void progress(const BatchProgress& progress) override { show_taskbar_progress(progress); }
  void settled(const std::string& text, const std::vector<CardResult>& cards,
               const std::string& kept, const RolloutStatus&) override {
    post_task([this, text, cards, kept] { show_report(text, cards, kept); });
  }
  void ended() override {
    post_task([this] {
      over = true;
      if (!reporting && !asking) finish();
    });
  }
};

UpgradeRunHolder::UpgradeRunHolder() = default;
UpgradeRunHolder::~UpgradeRunHolder() = default;

namespace {

WindowRun* run_of(HWND dialog) {
  return reinterpret_cast<WindowRun*>(GetWindowLongPtrA(dialog, DWLP_USER));
}

int place_of(HWND dialog, WindowRun* run) {
  for (size_t i = 0; run && i < run->places.size(); ++i)
    if (run->places[i].dialog == dialog) return static_cast<int>(i);
  return -1;
}

INT_PTR CALLBACK progress_proc(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case WM_INITDIALOG:
      SetWindowLongPtrA(dialog, DWLP_USER, lparam);
      ShowWindow(GetDlgItem(dialog, IDCANCEL), SW_HIDE);
      return TRUE;
    // Enter, Esc or Abort (ids 1 and 2) asks whether to abort.
    case WM_COMMAND: {
      const int id = LOWORD(wparam);
      WindowRun* run = run_of(dialog);
      const int slot = place_of(dialog, run);
      if ((id == IDOK || id == IDCANCEL) && slot >= 0) run->ask_abort(slot);
      return TRUE;
    }
    default:
      return FALSE;
  }
}

}  // namespace

HWND WindowRun::place_window(int slot) {
  Place& place = places[static_cast<size_t>(slot)];
  if (!place.dialog && !session_ended)
    place.dialog = CreateDialogParamA(reinterpret_cast<HINSTANCE>(ui().window.instance),
                                      MAKEINTRESOURCEA(IDD_UPLOAD), nullptr, progress_proc,
                                      reinterpret_cast<LPARAM>(this));
  return place.dialog;
}

void WindowRun::close_place(int slot) {
  Place& place = places[static_cast<size_t>(slot)];
  place.running = false;
  if (place.dialog) DestroyWindow(place.dialog);
  place.dialog = nullptr;
}

// "Are you sure ?": while it is open every session of the run is held; Yes
// stops the card, unless its transfer has ended meanwhile.
void WindowRun::ask_abort(int slot) {
  Place& place = places[static_cast<size_t>(slot)];
  if (!place.running || !run) return;
  const uint32_t ip = place.ip;
  HWND dialog = place.dialog;
  run->post({RunCommandKind::hold});
  taskbar_question(true);
  ++asking;
  const bool yes =
      MessageBoxA(dialog, "Are you sure ?", "Upgrade Box", MB_YESNO | MB_ICONQUESTION) == IDYES;
  --asking;
  taskbar_question(false);
  if (yes) run->post({RunCommandKind::stop_card, ip});
  run->post({RunCommandKind::release});
  // The run may have ended while the question was open.
  if (over && !reporting && !asking) finish();
}

void WindowRun::show_report(const std::string& text, const std::vector<CardResult>& cards,
                            const std::string& kept) {
  reporting = true;
  ShutdownBlockReasonDestroy(main_hwnd());
  // The report box is an ANSI message box; a path or a card's text outside
  // the code page shows with the system's stand-in characters.
  const std::string shown = utf8_to_ansi(text);
  if (report_fits_message_box(shown, cards.size()) ||
      !show_report_dialog(ui().window.instance, ui().window.owner, shown, cards, kept))
    ui().window.show_information(shown.c_str());
  // When the box closes, only the cards that failed stay ticked.
  std::vector<uint32_t> ok_ips;
  for (const CardResult& card : cards)
    if (outcome_is_ok(card.outcome)) ok_ips.push_back(card.ip);
  untick_rows(*ui().table, ok_ips);
  show_taskbar_progress(BatchProgress{});
  reporting = false;
  if (over && !asking) finish();
}

// The run is over and its report closed: the window is the operator's again.
void WindowRun::finish() {
  if (merge_listener) unsubscribe_merges(*ui().table, merge_listener);
  merge_listener = 0;
  if (thread.joinable()) thread.join();
  for (Place& place : places)
    if (place.dialog) DestroyWindow(place.dialog);
  ui().modal_step->reset();
  EnableWindow(main_hwnd(), TRUE);
  holder->run.reset();  // this object goes with it
}

namespace {

// While a batch runs the system is asked to wait (FALSE); the operator sees
// the reason and may end the session anyway.
int on_query_end_session(WindowHandle, HandlerArg, HandlerArg, HandlerArg, HandlerArg) {
  UpgradeRunHolder* holder = ui().runs;
  return holder && holder->run && !holder->run->over ? 0 : 1;
}

// The session ends: every running transfer is aborted with its line, the
// cards not started yet are so in the kept report, before the process goes.
int on_end_session(WindowHandle, HandlerArg, HandlerArg ending, HandlerArg, HandlerArg) {
  UpgradeRunHolder* holder = ui().runs;
  if (!ending || !holder || !holder->run || !holder->run->run) return 0;
  WindowRun& w = *holder->run;
  w.run->post({RunCommandKind::shutdown});
  w.loop_done.wait(SESSION_END_WAIT_MS);
  // Their closing was posted; the process may go before it is taken.
  w.session_ended = true;
  for (int slot = 0; slot < static_cast<int>(w.places.size()); ++slot) w.close_place(slot);
  // The run reports the cards it will not start; the process may go
  // before it does.
  if (w.journal) journal_end_pending(w.journal.get(), CardOutcome::aborted);
  return 0;
}

// The ticked rows, bottom row first, as the run takes them; false when a
// ticked row has no record (nothing may start then).
bool ticked_cards(std::vector<RunCard>* cards, std::vector<DeviceRecord>* records) {
  DeviceTable& t = *ui().table;
  for (int row = row_count(t) - 1; row >= 0; --row) {
    if ((t.list->item_state(row, STATE_CHECK_MASK) & STATE_CHECK_MASK) == STATE_UNCHECKED) continue;
    const DeviceRecord* r = row_record(t, row);
    if (!r) return false;
    RunCard c;
    c.record = *r;
    c.row = row;
    cards->push_back(c);
    records->push_back(*r);
  }
  return true;
}

// The cards, the image read again, the run made: what the Upgrade command
// asks before anything goes. False when nothing is to run.
bool prepare_run(const RolloutSetting& setting, std::vector<RunCard>* cards, ImageFile* file) {
  const OpenedImage opened = opened_image();
  std::vector<DeviceRecord> records;
  if (!ticked_cards(cards, &records)) return false;
  // No check can prove such an image applied: no wave may wait on one.
  if (setting.waves && opened.version == IMAGE_VERSION_NONE) {
    std::string text = VERSIONLESS_ROLLOUT_TEXT;
    text[0] = 'T';
    text += ". Untick \"Upgrade in waves\" in the Rollout dialog to send it to every card at once.";
    ui().window.show_error(text.c_str());
    return false;
  }
  // In waves, the question names the plan on a last line of its own.
  std::string question = confirm_upgrade_text(records, opened.version);
  const std::string plan = rollout_setting_line(setting);
  if (!plan.empty()) question += "\r\n" + plan;
  if (!ui().window.ask(question.c_str())) return false;
  // Bytes that cannot be read, are too many, fail the checks, or are not the
  // image opened and confirmed are never sent, and the operator who said
  // Yes is told why.
  if (const char* refusal = image_refusal(opened, file)) {
    ui().window.show_error(refusal);
    return false;
  }
  return true;
}

}  // namespace

bool upgrade_dialog_message(void* msg) {
  UpgradeRunHolder* holder = ui().runs;
  if (!holder || !holder->run) return false;
  for (const WindowRun::Place& place : holder->run->places)
    if (place.dialog && IsDialogMessageA(place.dialog, static_cast<MSG*>(msg))) return true;
  return false;
}

void guard_session_end(WindowHandle main_window) {
  register_handlers(main_window, {{WM_QUERYENDSESSION, on_query_end_session, 0, 0},
                                  {WM_ENDSESSION, on_end_session, 0, 0},
                                  {task_message(), on_task, 0, 0}});
}

int upgrade_command(WindowHandle, HandlerArg, HandlerArg, HandlerArg, HandlerArg) {
  UpgradeRunHolder* holder = ui().runs;
  if (!holder || holder->run) return 0;
  const RolloutSetting setting = read_rollout_setting();
  show_setting_problems();
  std::vector<RunCard> cards;
  ImageFile file;
  if (!prepare_run(setting, &cards, &file)) return 0;

  RunOptions options;
  options.rollout = rollout_options_of(setting);
  options.schedule = rollout_schedule_of(setting);
  options.parallel = WINDOW_SESSIONS;
  options.answer_window_ms = ANSWER_WINDOW_MS;
  options.reports_folder = reports_folder();
  holder->run = std::make_unique<WindowRun>(holder, options.parallel);
  WindowRun& w = *holder->run;
  w.waves = setting.waves;
  ui().modal_step->set();
  EnableWindow(main_hwnd(), FALSE);
  ShutdownBlockReasonCreate(main_hwnd(), SHUTDOWN_REASON);
  w.run = std::make_unique<UpgradeRun>(std::move(cards), std::move(file.bytes), file.opened, options,
                                       &w, &w.io);
  // A card still counted unanswered is waited for once: its answer's merge.
  std::weak_ptr<RunInbox> inbox = w.run->inbox();
  w.merge_listener = subscribe_merges(*ui().table, [inbox](const DeviceRecord& r) {
    if (auto in = inbox.lock()) in->post({RunCommandKind::answered, r.ip});
  });
  w.run->post({RunCommandKind::start});
  try {
    w.thread = std::thread([&w] {
      w.run->run();
      w.loop_done.set();
    });
  } catch (const std::system_error&) {
    w.run.reset();
    w.over = true;
    w.finish();
  }
  return 0;
}
