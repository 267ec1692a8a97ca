#include "upgrade/policy/rollout_fields.h"
#include "protocol/text.h"

#include <algorithm>

#include "upgrade/policy/options.h"

static_assert(ROLLOUT_NUMBER_MAX == WAVE_CARDS_MAX,
              "a kept wave holds no more cards than a wave list allows");
static_assert(SETTLE_SECONDS_DEFAULT * 1000 == VERIFY_SETTLE_MS &&
                  SETTLE_SECONDS_MAX * 1000 == VERIFY_SETTLE_MAX_MS,
              "the kept settle period is the checks' own");

namespace {

// Up to seven digits, no sign.
bool read_digits(const std::string& text, uint32_t* value) {
  if (text.empty() || text.size() > 7) return false;
  uint32_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<uint32_t>(c - '0');
  }
  *value = v;
  return true;
}

const std::string MAX_TEXT = std::to_string(ROLLOUT_NUMBER_MAX);

struct Refusal {
  std::string* why;
  RolloutField* field;
  bool operator()(RolloutField which, const std::string& text) const {
    *why = text;
    if (field) *field = which;
    return false;
  }
};

}  // namespace

RolloutFields rollout_fields_of(const RolloutSetting& s) {
  RolloutFields f;
  f.waves = s.waves;
  f.first = std::to_string(s.first);
  f.later = std::to_string(s.later) + (s.later_percent ? "%" : "");
  f.stop_after = std::to_string(s.stop_after);
  if (s.schedule.start_at >= 0) f.start_at = clock_text(s.schedule.start_at);
  if (s.schedule.has_window()) f.window = window_text(s.schedule.window_from, s.schedule.window_to);
  return f;
}

bool read_rollout_fields(const RolloutFields& fields, RolloutSetting* setting, std::string* why,
                         RolloutField* refused) {
  const Refusal refuse{why, refused};
  const RolloutField FIRST = RolloutField::first, LATER = RolloutField::later,
                     STOP = RolloutField::stop_after;
  RolloutSetting s;
  s.waves = fields.waves;

  const std::string first = trimmed(fields.first);
  if (!read_digits(first, &s.first))
    return refuse(FIRST, "First wave: \"" + first + "\" is not a number of cards, like 1.");
  if (s.first < 1) return refuse(FIRST, "First wave: a wave holds at least 1 card.");
  if (s.first > ROLLOUT_NUMBER_MAX) return refuse(FIRST, "First wave: at most " + MAX_TEXT + " cards.");

  const std::string later = trimmed(fields.later);
  std::string number = later;
  s.later_percent = !number.empty() && number.back() == '%';
  if (s.later_percent) number = trimmed(number.substr(0, number.size() - 1));
  if (!read_digits(number, &s.later))
    return refuse(LATER, "Later waves: \"" + later +
                           "\" is not a number of cards or a percentage, like 5 or 25%.");
  if (s.later_percent && (s.later < 1 || s.later > 100))
    return refuse(LATER, "Later waves: a percentage is 1 to 100.");
  if (!s.later_percent && s.later < 1) return refuse(LATER, "Later waves: a wave holds at least 1 card.");
  if (!s.later_percent && s.later > ROLLOUT_NUMBER_MAX)
    return refuse(LATER, "Later waves: at most " + MAX_TEXT + " cards.");

  const std::string stop = trimmed(fields.stop_after);
  // A share of the cards is the policy's (read_policy_fields); the count kept stays.
  if (!stop.empty() && stop.back() == '%') {
    s.stop_after = setting->stop_after;
  } else if (!read_digits(stop, &s.stop_after))
    return refuse(STOP, "Stop after N failures: \"" + stop + "\" is not a number, like 1.");
  else if (s.stop_after < 1)
    return refuse(STOP, "Stop after N failures: at least 1 (the first failure).");
  else if (s.stop_after > ROLLOUT_NUMBER_MAX)
    return refuse(STOP, "Stop after N failures: at most " + MAX_TEXT + ".");

  std::string reason;
  const std::string start_at = trimmed(fields.start_at);
  if (!start_at.empty() && !read_clock_time(start_at, &s.schedule.start_at, &reason))
    return refuse(RolloutField::start_at, "Start at: " + reason + ", or empty to start at once.");
  const std::string window = trimmed(fields.window);
  if (!window.empty() &&
      !read_time_window(window, &s.schedule.window_from, &s.schedule.window_to, &reason))
    return refuse(RolloutField::window, "Window: " + reason + ", or empty for any time.");

  *setting = s;
  if (refused) *refused = RolloutField::none;
  return true;
}

bool read_settle_field(const std::string& text, uint32_t* seconds, std::string* why) {
  if (read_settle_text(text, seconds)) return true;
  *why = "Settle period: \"" + trimmed(text) + "\" is not a number of seconds of 1 to " +
         std::to_string(SETTLE_SECONDS_MAX) + ".";
  return false;
}

bool read_recheck_field(const std::string& text, uint32_t* minutes, std::string* why) {
  if (read_recheck_text(text, minutes)) return true;
  *why = "Recheck after: \"" + trimmed(text) + "\" is not a number of minutes of 1 to " +
         std::to_string(RECHECK_MINUTES_MAX) + ", or empty for none.";
  return false;
}

std::string recheck_field_of(uint32_t minutes) { return minutes ? std::to_string(minutes) : ""; }

std::vector<WaveStep> rollout_setting_steps(const RolloutSetting& s) {
  if (!s.waves) return {};
  return {WaveStep{false, s.first}, WaveStep{s.later_percent, s.later}};
}

int rollout_setting_budget(const RolloutSetting& s) {
  if (!s.waves) return NO_FAILURE_BUDGET;
  return static_cast<int>(s.stop_after) - 1;
}

std::string rollout_setting_line(const RolloutSetting& s) {
  if (!s.waves) return "";
  return rollout_plan_line(rollout_setting_steps(s), rollout_setting_budget(s));
}

RolloutOptions rollout_options_of(const RolloutSetting& setting) {
  RolloutOptions options;
  options.on = setting.waves;
  options.steps = rollout_setting_steps(setting);
  options.max_failures = rollout_setting_budget(setting);
  return options;
}

RunSchedule rollout_schedule_of(const RolloutSetting& setting) {
  return setting.waves ? setting.schedule : RunSchedule{};
}

bool read_policy_fields(const RolloutFields& fields, RolloutPolicy* policy, std::string* why,
                        RolloutField* refused) {
  PolicyTexts texts;
  const std::string stop = trimmed(fields.stop_after);
  if (!stop.empty() && stop.back() == '%') texts.max_failures = stop;
  texts.max_unreachable = fields.max_unreachable;
  texts.min_settled = fields.min_settled;
  texts.wave_delay = fields.wave_delay;
  texts.wave_gate = fields.gate ? "manual" : "";
  texts.order = fields.order;
  PolicyField field = PolicyField::none;
  std::string reason;
  if (read_policy(texts, policy, &reason, &field)) {
    if (refused) *refused = RolloutField::none;
    return true;
  }
  struct Named {
    PolicyField policy;
    RolloutField field;
    const char* name;
  };
  const Named names[] = {
      {PolicyField::max_failures, RolloutField::stop_after, "Stop after N failures"},
      {PolicyField::max_unreachable, RolloutField::max_unreachable, "Max without an answer"},
      {PolicyField::min_settled, RolloutField::min_settled, "Least settled"},
      {PolicyField::wave_delay, RolloutField::wave_delay, "Time between waves"},
      {PolicyField::order, RolloutField::order, "Order"},
  };
  for (const Named& n : names)
    if (n.policy == field) {
      *why = std::string(n.name) + ": " + reason + ".";
      if (refused) *refused = n.field;
    }
  return false;
}

void policy_fields_of(const RolloutPolicy& policy, RolloutFields* f) {
  const PolicyTexts t = policy_texts(policy);
  if (policy.failures.on() && policy.failures.percent) f->stop_after = t.max_failures;
  f->max_unreachable = t.max_unreachable;
  f->min_settled = t.min_settled;
  f->wave_delay = t.wave_delay;
  f->gate = policy.gate != WaveGate::none;
  f->order = t.order;
}

std::string policy_setting_text(const RolloutPolicy& p) {
  const PolicyTexts t = policy_texts(p);
  std::string text;
  auto add = [&](const char* key, const std::string& value) {
    if (value.empty()) return;
    if (!text.empty()) text += ' ';
    text += key;
    text += '=';
    text += value;
  };
  add("failures", t.max_failures);
  add("unreachable", t.max_unreachable);
  if (p.min_settled != MIN_SETTLED_DEFAULT) add("settled", t.min_settled);
  add("delay", t.wave_delay);
  add("gate", t.wave_gate);
  if (p.order.kind != OrderKind::given) add("order", t.order);
  return text;
}

bool read_policy_setting_text(const std::string& text, RolloutPolicy* policy) {
  PolicyTexts t;
  size_t at = 0;
  while (at < text.size()) {
    const size_t end = std::min(text.find(' ', at), text.size());
    const std::string item = text.substr(at, end - at);
    at = end + 1;
    if (item.empty()) continue;
    const size_t eq = item.find('=');
    if (eq == std::string::npos) return false;
    const std::string key = item.substr(0, eq), value = item.substr(eq + 1);
    std::string* slot = key == "failures"      ? &t.max_failures
                        : key == "unreachable" ? &t.max_unreachable
                        : key == "settled"     ? &t.min_settled
                        : key == "delay"       ? &t.wave_delay
                        : key == "gate"        ? &t.wave_gate
                        : key == "order"       ? &t.order
                                               : nullptr;
    if (!slot || value.empty()) return false;
    *slot = value;
  }
  std::string why;
  return read_policy(t, policy, &why, nullptr);
}

RolloutPolicy read_policy_setting() {
  RolloutPolicy policy;
  char text[256] = "";
  if (!read_setting_text(SETTINGS_KEY, POLICY_SETTING, text, sizeof text)) return policy;
  if (!read_policy_setting_text(text, &policy))
    setting_problem(POLICY_SETTING,
                    std::string(text).insert(0, 1, '"').append("\" is no rollout policy"),
                    "none beyond the waves");
  return policy;
}

bool write_policy_setting(const RolloutPolicy& policy) {
  return write_setting_text(SETTINGS_KEY, POLICY_SETTING, policy_setting_text(policy).c_str()) != 0;
}

RolloutOptions rollout_options_of(const RolloutSetting& setting, const RolloutPolicy& policy) {
  RolloutOptions options = rollout_options_of(setting);
  if (!setting.waves) return options;
  options.policy = policy;
  // A share of failures stands for the count kept beside it.
  if (policy.failures.on()) options.max_failures = -1;
  if (policy.order.kind == OrderKind::shuffle && !policy.order.seeded) {
    options.policy.order.seed = fresh_seed();
    options.policy.order.seeded = true;
  }
  return options;
}
