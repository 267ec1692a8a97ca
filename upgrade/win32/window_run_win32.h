#pragma once
// The window's run: what the Upgrade command makes of the ticked cards and
// its events, shown on the window's thread (upgrade_window_win32.cpp); the
// command and the system's session end (upgrade_command_win32.cpp).
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
#include "upgrade/policy/plan.h"
#include "upgrade/pages/report_box.h"
#include "upgrade/win32/report_dialog.h"
#include "upgrade/policy/rollout_fields.h"
#include "upgrade/win32/run_window.h"
#include "upgrade/run/run.h"
#include "upgrade/win32/upgrade_commands.h"
#include "upgrade/policy/batch.h"
#include "upgrade/pages/report_page.h"
#include "upgrade/pages/progress_words.h"

inline const UpgradeServices& ui() { return upgrade_services(); }
inline HWND main_hwnd() { return reinterpret_cast<HWND>(ui().window.owner); }

// The registered message that carries a task to the window's thread.
inline UINT task_message() {
  static const UINT message = RegisterWindowMessageA("Daveridur.RunTask");
  return message;
}
// Work for the window's thread, posted without waiting for it; on_task runs
// it there (the handler guard_session_end registers).
void post_task(std::function<void()> task);
int on_task(WindowHandle, HandlerArg, HandlerArg, HandlerArg task, HandlerArg);
// A card's result in its row (a note in place of it, when given).
void show_card(const CardResult& card, const std::string& note = "");
// Where a progress window goes: two by two around where it opened centred
// (slot 0 top left, 3 bottom right), on the work area.
POINT progress_window_place(const RECT& centred, int slot);
// The report box of the run, while it is open: its last line.
void show_status_in_report_box(const std::string& status);

// One run of the window and what shows it: a progress window per session
// place, the journal for the end of the system's session.
struct WindowRun : RunEvents, SessionViews {
  struct Place;
  // What a session shows, told on the run's thread, done on the window's.
  class PostingView : public SessionView {
   public:
    PostingView(WindowRun* run, int slot) : run_(run), slot_(slot) {}
    void stage(SessionStage stage, const char* ip_text) override {
      if (stage == SessionStage::connecting) text_task(progress_title(ip_text).c_str(), 0);
      if (stage == SessionStage::requested) return show_task();
      text_task(progress_status(stage, ip_text).c_str(), IDC_UPLOAD_STATUS);
    }
    void set_progress_range(uint32_t high) override {
      bar_task(PBM_SETRANGE32, 0, static_cast<LPARAM>(high));
    }
    void sent(uint32_t position, uint32_t percent) override {
      if (run_->progress_windows) {
        text_task(progress_percent(percent).c_str(), IDC_UPLOAD_PERCENT);
      } else {
        WindowRun* run = run_;
        const int slot = slot_;
        const int shown = static_cast<int>(percent);
        post_task([run, slot, shown] { run->show_percent(slot, shown); });
      }
      bar_task(PBM_SETPOS, position, 0);
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
    // The request is out: the progress window shows, two by two around the
    // centre where it opens, so that no window hides another's bar.
    void show_task() {
      WindowRun* run = run_;
      const int slot = slot_;
      post_task([run, slot] {
        HWND dialog = run->place_window(slot);
        if (!dialog) return;
        RECT at;
        GetWindowRect(dialog, &at);
        const POINT to = progress_window_place(at, slot);
        SetWindowPos(dialog, HWND_TOPMOST, to.x, to.y, 0, 0,
                     SWP_NOSIZE | SWP_NOACTIVATE | SWP_SHOWWINDOW);
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
  // The run's summary as its page beside the kept report was written (on
  // the run's thread); kept_path empty: no page.
  RunSummary page_summary;
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
  void planned(const RunPlanned& plan) override {
    std::shared_ptr<Journal> kept = plan.journal;
    post_task([this, kept] { journal = kept; });
    if (!plan.rollout) return;
    for (const RunCard& card : plan.cards) {
      const uint32_t ip = card.record.ip;
      const int wave = card.wave;
      if (wave)
        post_task([ip, wave] { set_row_result(*ui().table, ip, waiting_column_text(wave).c_str()); });
    }
  }
  void started(const RunStarted& start) override {
    const uint32_t ip = start.card.record.ip;
    const int slot = start.slot;
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
  // Shown as each line comes: the report box may open right after the last
  // card's line, and its Result must already be there.
  void line(const CardResult& card) override {
    post_task([this, card] {
      tally.line(card);
      show_card(card);
    });
  }
  void settled(const RunSettled& settled) override {
    const CardResult card = settled.card;
    if (settled.by == SettledBy::recheck) return;
    if (settled.by == SettledBy::rollout) return post_task([this, card] { tally.settled(card); });
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
  void recorded(const std::vector<std::pair<CardResult, std::string>>& notes,
                const std::string& status) override {
    post_task([notes, status] {
      // After the checks' own texts: the note stays until the file is saved.
      for (const auto& [card, note] : notes) show_card(card, note);
      if (!status.empty()) show_status_in_report_box(status);
    });
  }
  void wave_held(const WaveHold& hold) {
    const std::string settled = hold.counts.empty() ? "" : wave_settled_words(hold);
    const std::string next = "wave " + std::to_string(hold.next_wave) + " (" +
                             cards_words(static_cast<long long>(hold.next_cards)) + ")";
    const std::string at = hold.gate ? "" : local_time_words(hold.starts_at);
    const bool gate = hold.gate;
    post_task([this, settled, next, at, gate] {
      if (!settled.empty()) state.settled_words = settled;
      state.next_wave = next;
      state.next_at = at;
      state.gate = gate;
      state.changed = true;
    });
  }
  void waiting(const RunWaiting& waiting) override {
    if (waiting.what == RunWait::held) return wave_held(waiting.hold);
    if (waiting.what == RunWait::recheck) {
      const size_t n = waiting.cards;
      const std::string after = "the recheck of " + std::to_string(n) + " applied card" +
                                (n == 1 ? "" : "s") + " at " + local_time_words(waiting.at);
      return post_task([this, after] {
        state.after_report = after;
        state.changed = true;
      });
    }
    if (waiting.what == RunWait::halted || waiting.what == RunWait::verify) return;
    const RunWait what = waiting.what;
    const int wave = waiting.wave;
    post_task([this, what, wave] {
      state.wait = what;
      state.wait_wave = wave;
      state.changed = true;
    });
  }
  void progress(const BatchProgress& progress) override {
    if (progress.tick) return;
    if (progress.wave != told_wave) {
      // A wave began.
      told_wave = progress.wave;
      const int wave = progress.wave;
      return post_task([this, wave] {
        state.wave_under_way = wave;
        state.changed = true;
      });
    }
    post_task([this, progress] {
      if (!given_back) show_taskbar_progress(holder->taskbar.get(), progress);
    });
  }
  int told_wave = 0;  // the run's thread
  void summary(const RunSummary& summary) override {
    const bool halted = summary.rollout.halted;
    const std::string text = report_box_text(summary);
    const std::string halt = halted ? halt_line(summary.rollout, summary.cards) : "";
    std::vector<CardResult> cards = summary.cards;
    // The page beside the kept report, for the box's "Open report"; the
    // report itself when the page cannot be written.
    std::string kept = summary.kept_path;
    std::string why;
    if (!kept.empty() && keep_page_beside(kept, summary, "Daveridur", &why)) {
      kept = page_path_beside(kept);
      page_summary = summary;
    }
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
    // The checks that went on after the report have their say on the page.
    if (!page_summary.kept_path.empty()) {
      page_summary.cards = run->results();
      std::string why;
      keep_page_beside(page_summary.kept_path, page_summary, "Daveridur", &why);
    }
    post_task([this] {
      over = true;
      if (!reporting && !asking) finish();
    });
  }
};
