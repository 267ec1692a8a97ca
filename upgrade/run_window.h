#pragma once
// The rollout window (dialog 123, modeless, owned by the main window): a
// run in waves or with more than four transfers at once, as it goes. What it
// shows is kept here on the window's thread and drawn a few times a second;
// its buttons are the run's pause, resume and stop. Windows build only.
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "upgrade/run.h"

// One wave's cards as they stand.
struct RunWindowWave {
  int planned = 0;
  int sending = 0;
  int settled = 0;
  int failed = 0;
  int not_started = 0;
};

struct RunWindowState {
  std::vector<RunWindowWave> waves;      // [0]: wave 1
  std::map<uint32_t, int> sending;       // card -> percent sent
  int wave_under_way = 0;                // 0: none yet
  RunWait wait = RunWait::nothing;
  int wait_wave = 0;
  bool paused = false;
  bool stopping = false;                 // Stop said yes: the buttons are done
  std::string ended;                     // set when the run is over: why
  uint64_t started_ms = 0;               // GetTickCount64 at the start
  uint64_t ended_ms = 0;                 // and at the report; 0: not yet
  bool changed = true;                   // drawn again at the next tick
};

struct RunWindowCommands {
  std::function<void()> pause, resume, stop;
};

// What the run waits for, as the window says it: "checks of wave 1".
std::string run_wait_text(RunWait what, int wave);

// The window, shown beside the main window; nullptr when it cannot be made.
// state lives at least as long as the window.
void* open_run_window(void* instance, void* owner, const RunWindowState* state,
                      RunWindowCommands commands);
void close_run_window(void* window);
// Draws what changed at once (the timer does it otherwise).
void draw_run_window(void* window);
