#pragma once
// The rollout window (dialog 123, modeless, owned by the main window): a
// run in waves or with more than four transfers at once, as it goes. What it
// shows is kept here on the window's thread and drawn a few times a second;
// its buttons are the run's pause, resume and stop. Windows build only.
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "upgrade/run/run.h"
#include "upgrade/run/run_tally.h"

struct RunWindowCommands {
  std::function<void()> pause, resume, stop;
};

// What the run waits for, as the window says it: "checks of wave 1", "the
// window 22:00-05:00".
std::string run_wait_text(RunWait what, int wave, const RunSchedule& schedule);

// The window, shown beside the main window; nullptr when it cannot be made.
// state lives at least as long as the window.
void* open_run_window(void* instance, void* owner, const RunWindowState* state,
                      RunWindowCommands commands);
void close_run_window(void* window);
// Draws what changed at once (the timer does it otherwise).
void draw_run_window(void* window);
