#pragma once
// The window's rollout: the Rollout dialog's fields as typed, the rules
// they are read by, and the plan a kept setting stands for.
#include <string>
#include <vector>

#include "settings/settings.h"
#include "upgrade/policy/policy.h"
#include "upgrade/policy/rollout.h"

struct RolloutFields {
  bool waves = false;
  std::string first;       // cards
  std::string later;       // cards, or a percentage: "25%"
  std::string stop_after;  // failures
  std::string start_at;    // "22:00", empty: at once
  std::string window;      // "22:00-05:00", empty: any time
  // The policy beyond the waves (stop_after may be a share too: "10%").
  std::string max_unreachable;  // cards or a share; empty: they never halt
  std::string min_settled;      // cards
  std::string wave_delay;       // "2h"; empty: none
  bool gate = false;            // a person opens each wave (Resume)
  std::string order;            // given, spread, shuffle[:SEED]
};
// The texts the dialog opens with.
RolloutFields rollout_fields_of(const RolloutSetting& setting);
enum class RolloutField {
  none, first, later, stop_after, start_at, window,
  max_unreachable, min_settled, wave_delay, order,
};
// The setting the fields make (blanks around a number allowed). False with
// *why naming the field refused, e.g. "Later waves: a percentage is 1 to
// 100."; *setting unchanged then. The fields are read whether the box is
// ticked or not: what is kept is always a plan that can run.
// *refused, when given, says which field it was.
bool read_rollout_fields(const RolloutFields& fields, RolloutSetting* setting, std::string* why,
                         RolloutField* refused = nullptr);

// The checks' fields, kept in values of their own: the settle period in
// seconds, and the recheck after the run in minutes (empty or 0: none).
// False with *why naming the field, e.g. "Settle period: \"0\" is not a
// number of seconds of 1 to 600."; *value unchanged then.
bool read_settle_field(const std::string& text, uint32_t* seconds, std::string* why);
bool read_recheck_field(const std::string& text, uint32_t* minutes, std::string* why);
// The texts the dialog opens with: "30", and "" for no recheck.
std::string recheck_field_of(uint32_t minutes);

// The waves of the setting: the first wave, then the later ones repeating;
// none when it is off (one wave of every card).
std::vector<WaveStep> rollout_setting_steps(const RolloutSetting& setting);
// The failures the run allows: one fewer than the failure that stops it;
// no budget when it is off.
int rollout_setting_budget(const RolloutSetting& setting);
// The Upgrade confirmation's last line when the setting is on, "In waves:
// 1, then 25 % at a time; stops after the first failure."; empty when off.
std::string rollout_setting_line(const RolloutSetting& setting);
// The run's options for the setting: on, its waves and its budget.
struct RolloutOptions;
RolloutOptions rollout_options_of(const RolloutSetting& setting);
// When the run may start its cards: the setting's schedule; none when it is
// off.
RunSchedule rollout_schedule_of(const RolloutSetting& setting);

// The policy's fields, read as the command line reads its options
// (read_policy), each refusal named by its field: "Time between waves:
// "2 hours" is not a time like 30m, 2h or 1d."; a "Stop after" of "10%"
// is the failures' share (the setting's count then stays as kept).
bool read_policy_fields(const RolloutFields& fields, RolloutPolicy* policy, std::string* why,
                        RolloutField* refused = nullptr);
// The fields a kept policy shows (beside the setting's).
void policy_fields_of(const RolloutPolicy& policy, RolloutFields* fields);

// The policy as the Rollout dialog keeps it in its own value
// ("RolloutPolicy", text such as "failures=10% unreachable=2 settled=10
// delay=2h gate=manual order=spread"; only what differs from the default).
inline constexpr const char* POLICY_SETTING = "RolloutPolicy";
std::string policy_setting_text(const RolloutPolicy& policy);
// False for a text policy_setting_text does not write; *policy unchanged.
bool read_policy_setting_text(const std::string& text, RolloutPolicy* policy);
// The kept policy; the default when none is kept or it cannot be read
// (then reported once, setting_problem).
RolloutPolicy read_policy_setting();
bool write_policy_setting(const RolloutPolicy& policy);
// The run's options with the policy (its waves only): a shuffle kept
// without a seed is given one for this run.
RolloutOptions rollout_options_of(const RolloutSetting& setting, const RolloutPolicy& policy);
