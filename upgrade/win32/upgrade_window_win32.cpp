// The window's run on the window's thread: the progress windows (dialog
// 112, modeless; at most four at once), the rollout window (in waves, or
// more than four at once), the report box, and the window given back when
// it closes.
#include "upgrade/win32/window_run_win32.h"

namespace {

const char STOP_QUESTION[] =
    "Stop the rollout ?\r\nThe transfers running end aborted; the cards not started are not sent.";


}  // namespace

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
void show_card(const CardResult& card, const std::string& note) {
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

int last_run_failures() { return ui().runs ? ui().runs->last_failures : 0; }

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

POINT progress_window_place(const RECT& centred, int slot) {
  const int gap = 6;
  const int width = centred.right - centred.left;
  const int height = centred.bottom - centred.top;
  const int cx = (centred.left + centred.right) / 2;
  const int cy = (centred.top + centred.bottom) / 2;
  const int column = slot % 2;
  const int row = slot / 2 % 2;
  POINT to{cx - width - gap / 2 + column * (width + gap), cy - height - gap / 2 + row * (height + gap)};
  // On the work area, whatever the screen.
  RECT work{0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN)};
  SystemParametersInfoA(SPI_GETWORKAREA, 0, &work, 0);
  to.x = std::max(work.left, std::min(to.x, static_cast<LONG>(work.right - width)));
  to.y = std::max(work.top, std::min(to.y, static_cast<LONG>(work.bottom - height)));
  return to;
}

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
                            const std::string& kept, bool halted_or_stopped) {
  reporting = true;
  ShutdownBlockReasonDestroy(main_hwnd());
  // A card that failed needs a look, as a halt or a stop does.
  const int failures = failed_cards(cards);
  holder->last_failures = failures;
  const bool warning = halted_or_stopped || failures > 0;
  // The report box is an ANSI message box; a path or a card's text outside
  // the code page shows with the system's stand-in characters. However
  // long, it ends with where the cards stand.
  const std::string shown = utf8_to_ansi(with_tally_line(text, cards));
  if (report_fits_message_box(shown, cards.size()) ||
      !show_report_dialog(ui().window.instance, ui().window.owner, shown, cards, kept,
                          halted_or_stopped, failures > 0)) {
    const bool page = kept.size() > 5 && kept.compare(kept.size() - 5, 5, ".html") == 0;
    if (page)
      show_report_box(main_hwnd(), shown, warning, kept);
    else if (warning)
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
    // Resume opens the gate of a wave held for a person, kept with their name.
    if (!paused && state.gate) {
      state.gate = false;
      RunCommand open{RunCommandKind::open_gate};
      const char* user = std::getenv("USERNAME");
      open.who = std::string("the window's Resume (") + (user && *user ? user : "someone") + ")";
      run->post(open);
    }
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
