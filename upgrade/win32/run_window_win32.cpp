// The rollout window: texts and two lists drawn from the run's state, a
// timer that draws them again, and the three buttons.
#include <windows.h>
#include <commctrl.h>

#include <cstdio>
#include <string>

#include "protocol/packet.h"
#include "resources/resource.h"
#include "upgrade/win32/run_window.h"

namespace {

const UINT_PTR DRAW_TIMER = 1;
const UINT DRAW_MS = 250;

struct RunWindow {
  const RunWindowState* state = nullptr;
  RunWindowCommands commands;
  uint64_t drawn_second = ~uint64_t{0};
};

RunWindow* window_of(HWND dialog) {
  return reinterpret_cast<RunWindow*>(GetWindowLongPtrA(dialog, DWLP_USER));
}

void add_columns(HWND list, const std::vector<std::pair<const char*, int>>& columns) {
  SendMessageA(list, LVM_SETEXTENDEDLISTVIEWSTYLE, LVS_EX_FULLROWSELECT, LVS_EX_FULLROWSELECT);
  int index = 0;
  for (const auto& [header, width] : columns) {
    LVCOLUMNA column{};
    column.mask = LVCF_TEXT | LVCF_WIDTH;
    column.pszText = const_cast<char*>(header);
    column.cx = width;
    SendMessageA(list, LVM_INSERTCOLUMNA, index++, reinterpret_cast<LPARAM>(&column));
  }
}

// Row by row, as many rows as cells has; a cell is written only when it
// changed, so the list does not flicker four times a second.
void fill_list(HWND list, const std::vector<std::vector<std::string>>& cells) {
  int count = static_cast<int>(SendMessageA(list, LVM_GETITEMCOUNT, 0, 0));
  while (count > static_cast<int>(cells.size())) SendMessageA(list, LVM_DELETEITEM, --count, 0);
  for (size_t row = 0; row < cells.size(); ++row) {
    if (static_cast<int>(row) >= count) {
      LVITEMA item{};
      item.mask = LVIF_TEXT;
      item.iItem = static_cast<int>(row);
      item.pszText = const_cast<char*>("");
      SendMessageA(list, LVM_INSERTITEMA, 0, reinterpret_cast<LPARAM>(&item));
      ++count;
    }
    for (size_t column = 0; column < cells[row].size(); ++column) {
      char now[64] = "";
      LVITEMA item{};
      item.iSubItem = static_cast<int>(column);
      item.pszText = now;
      item.cchTextMax = sizeof now;
      SendMessageA(list, LVM_GETITEMTEXTA, row, reinterpret_cast<LPARAM>(&item));
      if (cells[row][column] == now) continue;
      item.pszText = const_cast<char*>(cells[row][column].c_str());
      SendMessageA(list, LVM_SETITEMTEXTA, row, reinterpret_cast<LPARAM>(&item));
    }
  }
}

std::string state_text(const RunWindowState& s) {
  if (!s.ended.empty()) return s.ended;
  if (s.stopping) return "Stopping: the transfers running are aborted.";
  if (s.paused) return "Paused: no new card starts; the transfers running finish.";
  if (s.gate) return s.settled_words + ".";
  const int waves = static_cast<int>(s.waves.size());
  if (waves > 1 && s.wave_under_way > 0)
    return "Wave " + std::to_string(s.wave_under_way) + " of " + std::to_string(waves) +
           " under way.";
  return "Under way.";
}

void set_text(HWND dialog, int id, const std::string& text) {
  char now[256] = "";
  GetDlgItemTextA(dialog, id, now, sizeof now);
  if (text != now) SetDlgItemTextA(dialog, id, text.c_str());
}

void enable(HWND dialog, int id, bool on) {
  HWND control = GetDlgItem(dialog, id);
  // A button greyed while it has the focus would leave the keys nowhere.
  if (!on && GetFocus() == control) SetFocus(GetDlgItem(dialog, IDC_RUN_WAVES));
  EnableWindow(control, on ? TRUE : FALSE);
}

void draw(HWND dialog) {
  RunWindow* w = window_of(dialog);
  if (!w || !w->state) return;
  const RunWindowState& s = *w->state;
  const uint64_t seconds = ((s.ended_ms ? s.ended_ms : GetTickCount64()) - s.started_ms) / 1000;
  if (!s.changed && seconds == w->drawn_second) return;
  w->drawn_second = seconds;
  const_cast<RunWindowState&>(s).changed = false;

  set_text(dialog, IDC_RUN_STATE, state_text(s));
  std::string wait = s.ended.empty() ? run_wait_text(s.wait, s.wait_wave, s.schedule) : "";
  // A wave the policy holds says what starts it.
  if (s.ended.empty() && s.gate) wait = "Resume to start " + s.next_wave;
  else if (s.ended.empty() && s.wait == RunWait::delay) wait = s.next_wave + " at " + s.next_at;
  else if (!s.ended.empty()) wait = s.after_report;
  set_text(dialog, IDC_RUN_WAIT, wait.empty() ? "" : "Waiting for " + wait + ".");
  char elapsed[48];
  std::snprintf(elapsed, sizeof elapsed, "Elapsed: %llu:%02llu:%02llu", seconds / 3600,
                seconds / 60 % 60, seconds % 60);
  set_text(dialog, IDC_RUN_ELAPSED, elapsed);

  std::vector<std::vector<std::string>> waves;
  for (size_t i = 0; i < s.waves.size(); ++i) {
    const RunWindowWave& wave = s.waves[i];
    waves.push_back({std::to_string(i + 1), std::to_string(wave.planned), std::to_string(wave.sending),
                     std::to_string(wave.settled), std::to_string(wave.failed),
                     std::to_string(wave.not_started)});
  }
  fill_list(GetDlgItem(dialog, IDC_RUN_WAVES), waves);
  std::vector<std::vector<std::string>> sending;
  for (const auto& [ip, percent] : s.sending)
    sending.push_back({ip_to_text(ip), "sending " + std::to_string(percent) + " %"});
  fill_list(GetDlgItem(dialog, IDC_RUN_SENDING), sending);

  const bool going = s.ended.empty() && !s.stopping;
  enable(dialog, IDC_RUN_PAUSE, going && !s.paused);
  enable(dialog, IDC_RUN_RESUME, going && (s.paused || s.gate));
  enable(dialog, IDC_RUN_STOP, going);
}

INT_PTR CALLBACK run_window_proc(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case WM_INITDIALOG:
      SetWindowLongPtrA(dialog, DWLP_USER, lparam);
      add_columns(GetDlgItem(dialog, IDC_RUN_WAVES), {{"Wave", 50},
                                                       {"Planned", 70},
                                                       {"Sending", 70},
                                                       {"Settled", 70},
                                                       {"Failed", 60},
                                                       {"Not started", 90}});
      add_columns(GetDlgItem(dialog, IDC_RUN_SENDING), {{"Card", 130}, {"Transfer", 130}});
      SetTimer(dialog, DRAW_TIMER, DRAW_MS, nullptr);
      draw(dialog);
      return TRUE;
    case WM_TIMER:
      if (wparam == DRAW_TIMER) draw(dialog);
      return TRUE;
    case WM_COMMAND: {
      RunWindow* w = window_of(dialog);
      if (!w) return FALSE;
      // A command may end the run and this window with it: copied first.
      const RunWindowCommands commands = w->commands;
      switch (LOWORD(wparam)) {
        case IDC_RUN_PAUSE:
          if (commands.pause) commands.pause();
          return TRUE;
        case IDC_RUN_RESUME:
          if (commands.resume) commands.resume();
          return TRUE;
        case IDC_RUN_STOP:
          if (commands.stop) commands.stop();
          return TRUE;
        default:
          return TRUE;  // Esc and Enter do nothing: the window stays while the run goes
      }
    }
    case WM_DESTROY:
      KillTimer(dialog, DRAW_TIMER);
      delete window_of(dialog);
      SetWindowLongPtrA(dialog, DWLP_USER, 0);
      return TRUE;
    default:
      return FALSE;
  }
}

// Beside the main window on its right, or over its right edge where the
// screen ends.
void place_beside(HWND dialog, HWND owner) {
  RECT main{}, own{}, work{};
  GetWindowRect(owner, &main);
  GetWindowRect(dialog, &own);
  SystemParametersInfoA(SPI_GETWORKAREA, 0, &work, 0);
  const int width = own.right - own.left, height = own.bottom - own.top;
  int x = main.right + 4, y = main.top;
  if (x + width > work.right) x = work.right - width;
  if (y + height > work.bottom) y = work.bottom - height;
  if (x < work.left) x = work.left;
  if (y < work.top) y = work.top;
  SetWindowPos(dialog, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

}  // namespace

std::string run_wait_text(RunWait what, int wave, const RunSchedule& schedule) {
  switch (what) {
    case RunWait::session:
      return "a free transfer";
    case RunWait::wave:
    case RunWait::checks:
      return wave > 0 ? "checks of wave " + std::to_string(wave) : "checks";
    case RunWait::answer:
      return "the cards' answers";
    case RunWait::paused:
      return "Resume";
    case RunWait::start_time:
      return "the start at " + clock_text(schedule.start_at);
    case RunWait::window:
      return "the window " + window_text(schedule.window_from, schedule.window_to);
    default:
      return "";
  }
}

void* open_run_window(void* instance, void* owner, const RunWindowState* state,
                      RunWindowCommands commands) {
  auto* w = new RunWindow{state, std::move(commands)};
  HWND dialog = CreateDialogParamA(static_cast<HINSTANCE>(instance), MAKEINTRESOURCEA(IDD_RUN),
                                   static_cast<HWND>(owner), run_window_proc,
                                   reinterpret_cast<LPARAM>(w));
  if (!dialog) {
    delete w;
    return nullptr;
  }
  place_beside(dialog, static_cast<HWND>(owner));
  ShowWindow(dialog, SW_SHOWNOACTIVATE);
  return dialog;
}

void close_run_window(void* window) {
  if (window) DestroyWindow(static_cast<HWND>(window));
}

void draw_run_window(void* window) {
  if (window) draw(static_cast<HWND>(window));
}
