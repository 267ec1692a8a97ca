// What the fronts ask before a run starts and when it is over: the
// confirmation, the image read again, which cards go, the plan, and what
// counts as done.
#include <cstdio>
#include <map>

#include "protocol/packet.h"
#include "upgrade/policy/batch.h"

namespace {

const char DASHES[] = "-----------------------------------------------------------";
const char WARNING_HEAD[] =
    "WARNING !!\r\n\r\nThe following UPS(s) might have concern(s) of version control !!\r\n";
const char WARNING_TAIL[] = "Do you want upgrade the UPS(s) regardless the version check ?";
const char PLAIN_QUESTION[] = "Are you sure to upgrade ?";
const char MSG_IMAGE_CHANGED[] = "The file has changed since it was opened !";

std::string version_words(uint32_t version) {
  char text[16];
  std::snprintf(text, sizeof text, "%d.%02d", int(version >> 8 & 0xFF), int(version & 0xFF));
  return text;
}

}  // namespace

std::string confirm_upgrade_text(const std::vector<DeviceRecord>& cards, uint32_t version) {
  std::string text = std::string(WARNING_HEAD) + DASHES + "\r\n";
  int warnings = 0;
  for (const DeviceRecord& record : cards) {
    if (version == IMAGE_VERSION_NONE || version > record.version) continue;
    ++warnings;
    char line[96];
    std::snprintf(line, sizeof line, "UPS %s , %s version %d.%02d\r\n", ip_to_text(record.ip),
                  version == record.version ? "identical" : "newer",
                  static_cast<int>(record.version >> 8 & 0xFF),
                  static_cast<int>(record.version & 0xFF));
    text += line;
  }
  if (!warnings) return PLAIN_QUESTION;
  return text + DASHES + "\r\n" + WARNING_TAIL;
}

bool confirm_warns_newer(const std::vector<DeviceRecord>& cards, uint32_t version) {
  if (version == IMAGE_VERSION_NONE) return false;
  for (const DeviceRecord& record : cards)
    if (record.version > version) return true;
  return false;
}

std::string refusing_cards_text(const std::vector<DeviceRecord>& cards) {
  std::string names;
  int n = 0;
  for (const DeviceRecord& record : cards) {
    if (!record.write_refused) continue;
    names += std::string(n++ ? ", " : "") + ip_to_text(record.ip);
  }
  if (!n) return "";
  return (n == 1 ? "This card refuses upgrades and will fail: " : "These cards refuse upgrades and will fail: ") +
         names + ".";
}

const char* image_refusal(const OpenedImage& opened, ImageFile* file) {
  if (const char* refusal = read_checked_image(opened.path, file)) return refusal;
  if (!same_image(file->opened, opened)) {
    *file = ImageFile{};
    return MSG_IMAGE_CHANGED;
  }
  return nullptr;
}

CardOutcome judge_card(const DeviceRecord& record, uint32_t image_version, const CardJudgement& j,
                       std::string* message) {
  if (j.done_before) {
    *message = j.done_in;
    return CardOutcome::skipped_done;
  }
  if (!j.answered) return CardOutcome::no_connection;
  if (image_version != IMAGE_VERSION_NONE && record.version >= image_version && !j.force) {
    *message = "Skipped : version " + version_words(record.version) + " .";
    return CardOutcome::skipped_version;
  }
  if (record.write_refused) {
    *message = REFUSES_UPGRADES_TEXT;
    return CardOutcome::card_error;
  }
  return CardOutcome::pending;
}

RolloutPlan plan_cards(std::vector<RunCard>* cards, const RolloutOptions& options) {
  std::vector<uint32_t> eligible;
  std::vector<int> sites;
  std::vector<size_t> places;  // where the eligible cards stand in the run
  int unanswered = 0;
  for (size_t i = 0; i < cards->size(); ++i) {
    const RunCard& c = (*cards)[i];
    if (c.gate == CardOutcome::no_connection) ++unanswered;
    if (c.gate != CardOutcome::pending) continue;
    eligible.push_back(c.record.ip);
    sites.push_back(c.site);
    places.push_back(i);
  }
  // The order goes into the run's own: the run starts its cards in turn.
  if (options.policy.order.kind != OrderKind::given) {
    eligible = ordered_cards(eligible, sites, options.policy.order);
    std::map<uint32_t, RunCard> by_ip;
    for (size_t at : places) by_ip.emplace((*cards)[at].record.ip, (*cards)[at]);
    for (size_t k = 0; k < places.size(); ++k) (*cards)[places[k]] = by_ip.at(eligible[k]);
  }
  const int budget = failure_budget(!options.steps.empty(), options.max_failures);
  RolloutPlan plan = make_rollout_plan(options.steps, budget, eligible);
  apply_policy(&plan, options.policy, unanswered);
  size_t at = 0;
  for (RunCard& c : *cards) {
    c.wave = 0;
    if (c.gate == CardOutcome::pending && at < plan.cards.size()) c.wave = plan.cards[at++].wave;
  }
  return plan;
}
