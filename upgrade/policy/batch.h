#pragma once
// Which cards of a batch go, for both fronts: the confirmation's text, the
// image's last check, each card's gate and the waves.
#include <cstdint>
#include <string>
#include <vector>

#include "image/image.h"
#include "protocol/sysinfo.h"
#include "upgrade/policy/options.h"
#include "upgrade/policy/rollout.h"
#include "upgrade/record/results.h"

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
