#pragma once
// Which cards of a request go, and how: the one place that decides it for
// every front. A front fills the request (the cards with what they answered,
// the report resumed, force, the rollout, the schedule, the checks, the
// parallel transfers) and gets a plan, or the refusal to say.
#include <cstdint>
#include <string>
#include <vector>

#include "image/image.h"
#include "protocol/sysinfo.h"
#include "upgrade/record/kept_report.h"
#include "upgrade/policy/options.h"

// One card as the front asks for it.
struct RequestCard {
  DeviceRecord record{};  // address, MAC, version, the account to send with
  // It answered the front's query before the run. The window's cards do
  // (a card its last pass found silent is waited for at its turn).
  bool answered = true;
  int row = -1;  // the front's own
  int site = 0;  // the list it came from in a run across sites
};

struct RunRequest {
  std::vector<RequestCard> cards;  // run order
  OpenedImage image;
  // Cards at the image's version or newer go too (the window's operator
  // confirmed them; the command line's --force).
  bool send_current = false;
  // A rollout with waves or a budget may stand on an image without a
  // version (the command line's --force).
  bool versionless_rollout = false;
  // The report resumed: its cards proved done are skipped (resume_name: its
  // file's name, for their line).
  const KeptReport* resumed = nullptr;
  std::string resume_name;
  RunOptions options;
};

struct RunPlan {
  std::vector<RunCard> cards;  // each with its gate (pending: to send) and wave
  RolloutPlan rollout;         // the waves, when the run is a rollout
  size_t to_send = 0;
  // A card of the report resumed that is not proved done, and why: planned
  // again ("10.69.0.5 Planned again : the card runs 1.05, not ... .").
  std::vector<std::string> planned_again;
};

// False with *refusal when nothing may run: a rollout with waves or a
// budget on an image without a version, unless allowed (VERSIONLESS_ROLLOUT_TEXT).
bool plan_run(const RunRequest& request, RunPlan* plan, std::string* refusal);
