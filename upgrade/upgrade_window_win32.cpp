// The Upgrade command in the product: the ticked cards become a run, held by
// the main window's run holder and driven on a thread of its own; the run's
// events are posted to the window's thread, where the progress windows
// (dialog 112, modeless; at most four at once), the rollout window (in
// waves, or more than four at once) and the report box live.
#include <windows.h>
#include <commctrl.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <functional>
#include <map>
#include <string>
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
#include "upgrade/plan.h"
#include "upgrade/report_box.h"
#include "upgrade/report_dialog.h"
#include "upgrade/rollout_fields.h"
#include "upgrade/run_window.h"
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

const char STOP_QUESTION[] =
    "Stop the rollout ?\r\nThe transfers running end aborted; the cards not started are not sent.";

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

// A card's result in its row (the list view's texts are in the ANSI code
// page; a card's message is UTF-8); a card that said what it runs is asked
// once more, so that the Version column follows.
void show_card(const CardResult& card, const std::string& note = "") {
  set_row_result(*ui().table, card.ip,
                 utf8_to_ansi(note.empty() ? result_column_text(card) : note).c_str());
}

// The report box of the run, while it is open: its last line says where
// the file is, or why it is not saved.
void show_status_in_report_box(const std::string& status) {
  HWND box = nullptr;
  while ((box = FindWindowExA(nullptr, box, "#32770", INFORMATION_TITLE)) != nullptr)
    if (GetWindow(box, GW_OWNER) == main_hwnd()) break;
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
    void set_percent(const char* text) override {
      if (run_->progress_windows) return text_task(text, IDC_UPLOAD_PERCENT);
      WindowRun* run = run_;
      const int slot = slot_;
      const int percent = std::atoi(text);
      post_task([run, slot, percent] { run->show_percent(slot, percent); });
    }
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
  // More than four at once: no progress window, the percentages in the
  // Result column and the rollout window.
  bool progress_windows = true;
  bool fleet = false;  // the rollout window shows the run
  RunTally tally;  // what the rollout window shows
  RunWindowState& state = tally.state;
  void* window = nullptr;
  bool stop_asked = false;
  bool quit_after = false;  // the program quits once the report has closed
  std::vector<std::unique_ptr<PostingView>> views;  // the run's thread
  std::vector<Place> places;                        // the window's thread
  std::shared_ptr<Journal> journal;
  int merge_listener = 0;
  // The run goes once it is over and no box of its own is open on the
  // window's thread (the report, an "Are you sure ?").
  bool reporting = false, over = false;
  int asking = 0;
  bool session_ended = false;  // the system's session ends: no window opens any more
  // The report has closed: the window is the operator's again while the
  // run's checks go on until its end.
  bool given_back = false;

  WindowRun(UpgradeRunHolder* h, int parallel) : holder(h), progress_windows(parallel <= WINDOW_SESSIONS) {
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
                   const std::string& kept, bool warning);
  void give_back();
  void finish();
  void open_window();
  void show_percent(int slot, int percent);
  bool ask_stop();
  void stop();

  // ---- The run's events, on its thread
  SessionView* session_view(int slot) override { return views[static_cast<size_t>(slot)].get(); }
  void journal_started(const std::shared_ptr<Journal>& kept) override {
    post_task([this, kept] { journal = kept; });
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
      tally.started(ip);
      DeviceTable& t = *ui().table;
      set_row_icon(t, find_row(t, ip), ICON_NO_WRITE);
      if (!progress_windows) {
        set_row_result(t, ip, "sending 0 %");
      } else if (waves) {
        // Its wave has begun: the card's place gives way.
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
  // Shown as each line comes: the report box may open right after the last
  // card's line, and its Result must already be there.
  void card_line(const std::shared_ptr<Report>&, const CardResult& card) override {
    post_task([this, card] {
      tally.line(card);
      show_card(card);
    });
  }
  void card_checked(const CardResult& card) override {
    post_task([this, card] {
      tally.settled(card);
      show_card(card);
      if (card.outcome == CardOutcome::applied || card.outcome == CardOutcome::not_applied)
        ui().query_card(card.ip);
      // Checked after its report closed, which unticked it with its " OK.":
      // a card that did not take the image is ticked again for a retry.
      if (given_back && verdict_fails_run(card.verdict))
        untick_rows(*ui().table, {card.ip}, true);
    });
  }
  void record_changed(const std::vector<std::pair<CardResult, std::string>>& notes,
                      const std::string& status) override {
    post_task([notes, status] {
      // After the checks' own texts: the note stays until the file is saved.
      for (const auto& [card, note] : notes) show_card(card, note);
      if (!status.empty()) show_status_in_report_box(status);
    });
  }
  void card_settled(const CardResult& card, int wave) override {
    (void)wave;
    post_task([this, card] { tally.settled(card); });
  }
  void wave_started(int wave) override {
    post_task([this, wave] {
      state.wave_under_way = wave;
      state.changed = true;
    });
  }
  void waiting(RunWait what, int wave) override {
    post_task([this, what, wave] {
      state.wait = what;
      state.wait_wave = wave;
      state.changed = true;
    });
  }
  void progress(const BatchProgress& progress) override {
    post_task([this, progress] {
      if (!given_back) show_taskbar_progress(holder->taskbar.get(), progress);
    });
  }
  void summary(const RunSummary& summary) override {
    const bool halted = summary.rollout.halted;
    const std::string text = report_box_text(summary);
    const std::string halt = halted ? halt_line(summary.rollout, summary.cards) : "";
    std::vector<CardResult> cards = summary.cards;
    const std::string kept = summary.kept_path;
    post_task([this, text, cards, kept, halted, halt] {
      state.ended = stop_asked ? "Stopped by the operator."
                  : halted     ? halt
                               : "Every card is in.";
      state.sending.clear();
      state.ended_ms = GetTickCount64();
      state.changed = true;
      draw_run_window(window);
      show_report(text, cards, kept, halted || stop_asked);
    });
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
  if (!place.dialog && !session_ended && progress_windows)
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
  taskbar_question(holder->taskbar.get(), true);
  ++asking;
  const bool yes =
      MessageBoxA(dialog, "Are you sure ?", "Upgrade Box", MB_YESNO | MB_ICONQUESTION) == IDYES;
  --asking;
  taskbar_question(holder->taskbar.get(), false);
  if (yes) run->post({RunCommandKind::stop_card, ip});
  run->post({RunCommandKind::release});
  // The run may have ended while the question was open.
  if (over && !reporting && !asking) finish();
}

void WindowRun::show_report(const std::string& text, const std::vector<CardResult>& cards,
                            const std::string& kept, bool warning) {
  reporting = true;
  ShutdownBlockReasonDestroy(main_hwnd());
  // The report box is an ANSI message box; a path or a card's text outside
  // the code page shows with the system's stand-in characters.
  const std::string shown = utf8_to_ansi(text);
  if (report_fits_message_box(shown, cards.size()) ||
      !show_report_dialog(ui().window.instance, ui().window.owner, shown, cards, kept, warning)) {
    // A halt or a stop is no plain information: the cards it names need a look.
    if (warning)
      MessageBoxA(main_hwnd(), shown.c_str(), INFORMATION_TITLE, MB_OK | MB_ICONWARNING | MB_TOPMOST);
    else
      ui().window.show_information(shown.c_str());
  }
  // When the box closes, only the cards that failed stay ticked: a card
  // still being checked goes with its " OK.", and is ticked again if its
  // check then says it did not take the image.
  std::vector<uint32_t> ok_ips;
  for (const CardResult& card : cards)
    if (verdict_fine(card.verdict) || card.verdict == Verdict::checking) ok_ips.push_back(card.ip);
  untick_rows(*ui().table, ok_ips);
  show_taskbar_progress(holder->taskbar.get(), BatchProgress{});
  reporting = false;
  if (over && !asking) return finish();
  give_back();
  // Last: the quit may take this object with the window.
  if (quit_after && ui().quit) ui().quit();
}

// The report has closed: the window is the operator's again, while the
// run's checks go on (it is held among the finishing runs until its end).
void WindowRun::give_back() {
  if (given_back) return;
  given_back = true;
  if (merge_listener) unsubscribe_merges(*ui().table, merge_listener);
  merge_listener = 0;
  for (Place& place : places)
    if (place.dialog) DestroyWindow(place.dialog);
  close_run_window(window);
  window = nullptr;
  ui().modal_step->reset();
  hold_for_run(*ui().table, false);
  EnableWindow(main_hwnd(), TRUE);
  if (holder->run.get() == this) holder->finishing.push_back(std::move(holder->run));
}

// The run is over and its report closed: it goes.
void WindowRun::finish() {
  if (thread.joinable()) thread.join();
  const bool quit = quit_after && !given_back;
  give_back();
  auto& finishing = holder->finishing;
  for (auto it = finishing.begin(); it != finishing.end(); ++it)
    if (it->get() == this) {
      finishing.erase(it);  // this object goes with it
      break;
    }
  if (quit && ui().quit) ui().quit();
}

void WindowRun::show_percent(int slot, int percent) {
  Place& place = places[static_cast<size_t>(slot)];
  if (!place.running) return;
  tally.percent(place.ip, percent);
  set_row_result(*ui().table, place.ip, ("sending " + std::to_string(percent) + " %").c_str());
}

// Once: the operator says Yes, or nothing happens.
bool WindowRun::ask_stop() {
  if (stop_asked || reporting || over || !run) return false;
  ++asking;
  const bool yes = ui().window.ask(STOP_QUESTION) != 0;
  --asking;
  if (yes && !stop_asked) stop();
  // The run may have ended while the question was open.
  if (over && !reporting && !asking) finish();
  return yes;
}

void WindowRun::stop() {
  stop_asked = true;
  state.stopping = true;
  state.changed = true;
  run->post({RunCommandKind::stop_all});
  draw_run_window(window);
}

void WindowRun::open_window() {
  // Each card's wave as planned; at once, every card in one.
  tally.plan(run->cards(), waves);
  state.started_ms = GetTickCount64();
  if (!fleet) return;
  // Pause and Resume: the run told, the window drawn at once; both done
  // once Stop has been said.
  auto hold = [this](bool paused) {
    if (stop_asked) return;
    state.paused = paused;
    state.changed = true;
    run->post({paused ? RunCommandKind::pause : RunCommandKind::resume});
    draw_run_window(window);
  };
  RunWindowCommands commands;
  commands.pause = [hold] { hold(true); };
  commands.resume = [hold] { hold(false); };
  commands.stop = [this] { ask_stop(); };
  window = open_run_window(ui().window.instance, ui().window.owner, &state, std::move(commands));
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
  const bool loop_over = w.loop_done.wait(SESSION_END_WAIT_MS);
  // Their closing was posted; the process may go before it is taken.
  w.session_ended = true;
  for (int slot = 0; slot < static_cast<int>(w.places.size()); ++slot) w.close_place(slot);
  // The run reports the cards it will not start; the process may go
  // before it does.
  // The journal is the loop's while it goes: touched here only once it is over.
  if (loop_over && w.journal) journal_end_pending(w.journal.get(), CardOutcome::aborted);
  return 0;
}

// The ticked rows as the run takes them: a rollout in the table's order, top
// row first; a plain batch bottom row first. False when a ticked row has no
// record (nothing may start then).
bool ticked_cards(bool top_first, std::vector<RequestCard>* cards,
                  std::vector<DeviceRecord>* records) {
  DeviceTable& t = *ui().table;
  const int rows = row_count(t);
  for (int i = 0; i < rows; ++i) {
    const int row = top_first ? i : rows - 1 - i;
    if ((t.list->item_state(row, STATE_CHECK_MASK) & STATE_CHECK_MASK) == STATE_UNCHECKED) continue;
    const DeviceRecord* r = row_record(t, row);
    if (!r) return false;
    RequestCard c;
    c.record = *r;
    c.row = row;
    cards->push_back(c);
    records->push_back(*r);
  }
  return true;
}

// The cards, the plan, the image read again: what the Upgrade command asks
// before anything goes. False when nothing is to run.
bool prepare_run(const RolloutSetting& setting, bool fleet, const RunOptions& options,
                 RunPlan* plan, ImageFile* file) {
  RunRequest request;
  request.image = opened_image();
  request.options = options;
  // The question below warns of cards at the image's version or newer;
  // those the operator confirms are sent.
  request.send_current = true;
  std::vector<DeviceRecord> records;
  if (!ticked_cards(fleet, &request.cards, &records)) return false;
  std::string refusal;
  if (!plan_run(request, plan, &refusal)) {
    refusal[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(refusal[0])));
    refusal += ". Untick \"Upgrade in waves\" in the Rollout dialog to send it to every card at once.";
    ui().window.show_error(refusal.c_str());
    return false;
  }
  // In waves, the question names the plan on a last line of its own.
  std::string question = confirm_upgrade_text(records, request.image.version);
  const std::string line = rollout_setting_line(setting);
  if (!line.empty()) question += "\r\n" + line;
  if (!ui().window.ask(question.c_str())) return false;
  // Bytes that cannot be read, are too many, fail the checks, or are not the
  // image opened and confirmed are never sent, and the operator who said
  // Yes is told why.
  if (const char* image_refused = image_refusal(request.image, file)) {
    ui().window.show_error(image_refused);
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
  HWND window = static_cast<HWND>(holder->run->window);
  return window && IsDialogMessageA(window, static_cast<MSG*>(msg));
}

RunQuit ask_quit_during_run() {
  UpgradeRunHolder* holder = ui().runs;
  if (!holder || !holder->run || !holder->run->run) return RunQuit::no_run;
  WindowRun& w = *holder->run;
  if (w.over || w.reporting) return RunQuit::no_run;
  if (w.stop_asked) {
    // Stopping already: the quit follows the report.
    w.quit_after = true;
    return RunQuit::after_report;
  }
  const int left = w.tally.not_started();
  const std::string question = std::string(w.fleet ? "A rollout" : "An upgrade") + " is running: " +
                               std::to_string(left) + (left == 1 ? " card" : " cards") +
                               " not started. Stop it and quit ?";
  ++w.asking;
  const bool yes = ui().window.ask(question.c_str()) != 0;
  --w.asking;
  // The box gave the main window back its input; a plain batch keeps it
  // disabled until its report.
  if (!w.fleet) EnableWindow(main_hwnd(), FALSE);
  if (w.over && !w.reporting && !w.asking) {
    // It ended while the question was open: finish quits for a Yes.
    w.quit_after = yes;
    w.finish();
    return yes ? RunQuit::after_report : RunQuit::stay;
  }
  if (!yes) return RunQuit::stay;
  w.quit_after = true;
  w.stop();
  return RunQuit::after_report;
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
  const int parallel = static_cast<int>(read_transfers_setting());
  const uint32_t settle_seconds = read_settle_setting();
  const uint32_t recheck_minutes = read_recheck_setting();
  show_setting_problems();
  const bool fleet = setting.waves || parallel > WINDOW_SESSIONS;
  RunOptions options;
  options.rollout = rollout_options_of(setting);
  options.schedule = rollout_schedule_of(setting);
  options.parallel = parallel;
  options.answer_window_ms = ANSWER_WINDOW_MS;
  options.reports_folder = reports_folder();
  // The run checks its cards in its loop, and its report is on disk before it ends.
  options.checks = RunChecks::each_ok;
  options.settle_ms = int64_t{settle_seconds} * 1000;
  options.recheck_after_ms = int64_t{recheck_minutes} * 60000;
  options.keep_until_saved = true;
  RunPlan plan;
  ImageFile file;
  if (!prepare_run(setting, fleet, options, &plan, &file)) return 0;
  std::vector<RunCard> cards = std::move(plan.cards);
  holder->run = std::make_unique<WindowRun>(holder, options.parallel);
  WindowRun& w = *holder->run;
  w.waves = setting.waves;
  w.fleet = fleet;
  w.state.schedule = options.schedule;
  ui().modal_step->set();
  // A rollout leaves the main window to look at while it holds its cards;
  // a plain batch disables it.
  hold_for_run(*ui().table, true);
  if (!fleet) EnableWindow(main_hwnd(), FALSE);
  ShutdownBlockReasonCreate(main_hwnd(), SHUTDOWN_REASON);
  w.run = std::make_unique<UpgradeRun>(std::move(cards), std::move(file.bytes), file.opened, options,
                                       &w, &w.io, open_check_transport());
  w.open_window();
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
