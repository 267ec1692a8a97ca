#include "upgrade/policy/rollout_fields.h"
#include "protocol/text.h"

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
  if (!read_digits(stop, &s.stop_after))
    return refuse(STOP, "Stop after N failures: \"" + stop + "\" is not a number, like 1.");
  if (s.stop_after < 1) return refuse(STOP, "Stop after N failures: at least 1 (the first failure).");
  if (s.stop_after > ROLLOUT_NUMBER_MAX)
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
