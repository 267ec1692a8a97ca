#include "upgrade/policy/plan.h"

#include <cstring>

#include "protocol/sha256.h"
#include "upgrade/policy/options.h"
#include "upgrade/record/kept_report.h"
#include "upgrade/policy/batch.h"

namespace {

// Whether the resumed report shows the card done with this image, as the
// card answers now; why not, when it is in the report but not proved.
bool done_before(const RunRequest& request, const RequestCard& c, std::string* why) {
  if (!request.resumed) return false;
  const CardResult* row = request.resumed->find(c.record.ip);
  if (!row) return false;
  ResumeImage image;
  image.version = request.image.version;
  image.size = request.image.size;
  image.sha256 = sha256_hex(request.image.digest);
  CardNow now;
  now.answered = c.answered;
  std::memcpy(now.mac, c.record.mac, sizeof now.mac);
  now.version = c.record.version;
  return resume_proves_done(*row, request.resumed->has_digest, image, now, request.resume_name, why);
}

}  // namespace

bool plan_run(const RunRequest& request, RunPlan* plan, std::string* refusal) {
  const RolloutOptions& rollout = request.options.rollout;
  // Without a version no check can tell a card that took the image from
  // one that did not: no gate stands on it unless forced.
  const bool gated =
      !rollout.steps.empty() || rollout.max_failures >= 0 || rollout.policy.failures.on();
  if (request.image.version == IMAGE_VERSION_NONE && gated && !request.versionless_rollout) {
    *refusal = VERSIONLESS_ROLLOUT_TEXT;
    return false;
  }
  RunPlan out;
  for (const RequestCard& c : request.cards) {
    RunCard card;
    card.record = c.record;
    card.row = c.row;
    card.site = c.site;
    CardJudgement j;
    j.answered = c.answered;
    j.force = request.send_current;
    j.done_in = request.resume_name;
    std::string why;
    j.done_before = done_before(request, c, &why);
    if (!j.done_before && !why.empty())
      out.planned_again.push_back(planned_again_line(c.record.ip, why));
    card.gate = judge_card(c.record, request.image.version, j, &card.message);
    if (card.gate == CardOutcome::pending) ++out.to_send;
    out.cards.push_back(card);
  }
  if (rollout.on) out.rollout = plan_cards(&out.cards, rollout);
  *plan = std::move(out);
  return true;
}
