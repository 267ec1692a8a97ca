#pragma once
// The upgrade engine as the fronts use it: the session (upgrade/session.h),
// the report and journal (upgrade/journal.h) and the run (upgrade/run.h),
// with what the Upgrade command asks before a run starts: the confirmation,
// the image read again, and which of the ticked cards go.
#include <cstdint>
#include <string>
#include <vector>

#include "image/image.h"
#include "protocol/sysinfo.h"
#include "upgrade/journal.h"
#include "upgrade/kept_report.h"
#include "upgrade/results.h"
#include "upgrade/rollout.h"
#include "upgrade/rollout_json.h"
#include "upgrade/run.h"
#include "upgrade/session.h"
#include "upgrade/verdict.h"

enum class TaskbarState { none, normal, error, paused };
// What the button shows; questions is how many questions are open meanwhile.
TaskbarState taskbar_state(const BatchProgress& progress, int questions);

// The confirmation text for the cards about to go (run order) against the
// image version: the warning with a line for each card at that version or
// newer, else the plain question.
std::string confirm_upgrade_text(const std::vector<DeviceRecord>& cards, uint32_t version);
// The confirmation warns that a card runs a newer version than the image:
// its default answer is then No, so that Enter does not downgrade.
bool confirm_warns_newer(const std::vector<DeviceRecord>& cards, uint32_t version);
// "These cards refuse upgrades and will fail: 10.0.0.5, 10.0.0.9.", or
// empty: a line the confirmation adds for the ticked cards that said so.
std::string refusing_cards_text(const std::vector<DeviceRecord>& cards);
// Why the image read for the batch must not be sent: the reader's refusal,
// or that its bytes are not those opened (another size, digest or
// version). nullptr when it may go, with its bytes in file.
const char* image_refusal(const OpenedImage& opened, ImageFile* file);

// Which card goes, for every front: a card shown done in an earlier report
// is skipped as done (done_in: that report's name), one that did not answer
// gets no_connection, one already at the image's version or newer is
// skipped (unless forced), one that said it refuses upgrades (its reply
// lacked "+WRQ : ACCEPT") is not sent and fails as a refusal would, with
// REFUSES_UPGRADES_TEXT (no transfer would change that); pending for the
// cards to send.
inline constexpr const char* REFUSES_UPGRADES_TEXT = "Not sent : the card refuses upgrades .";
struct CardJudgement {
  bool answered = true;
  bool done_before = false;
  bool force = false;
  std::string done_in;
};
CardOutcome judge_card(const DeviceRecord& record, uint32_t image_version,
                       const CardJudgement& j, std::string* message);

// The cards' waves as a run plans them (the dry run shows this plan).
RolloutPlan plan_cards(std::vector<RunCard>* cards, const RolloutOptions& options);
