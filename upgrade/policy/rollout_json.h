#pragma once
// A rollout's JSON Lines (daveridur-cli upgrade --json).
#include <map>
#include <string>
#include <vector>

#include "upgrade/record/results.h"
#include "upgrade/policy/rollout.h"
#include "upgrade/record/verdict.h"

// One settled card: the kept report's columns (numbers as numbers, empty
// cells as null) and "wave" (null outside the plan), on one line.
std::string card_json(const CardResult& card, int wave);
// {"summary":{"cards":..,"results":{..},"verdicts":{..},"failures":..,
// "budget_failures":..,"max_failures":..,"waves":..,"waves_run":..,"halted":..,
// "stopped":..,"exit_status":..,"reason":..,"failed":[..]}}: failures, halted,
// stopped and exit_status as the verdicts give them (run_verdicts); the
// budget's own count beside them.
std::string summary_json(const std::vector<CardResult>& cards, const RolloutStatus& status,
                         const RunVerdicts& verdicts);

// A wave held by the policy, on a line of its own:
// {"wave_held":{"settled_wave":1,"applied":1,"failed":0,"next_wave":2,"cards":5,
// "gate":true,"starts_at":"2026-12-10 03:30"}} (starts_at null while a gate holds it).
struct WaveHold;
std::string wave_hold_json(const WaveHold& hold);
// The summary object with the policy's words added: "order" (the seed
// kept), "unreachable", "max_unreachable" and "gates" (each asked, who
// answered and when).
std::string policy_summary_json(const std::string& summary, const RolloutPolicy& policy,
                                 const RolloutStatus& status);
// "gate before wave 2 opened by alice at the terminal at 2026-12-10 03:12
// (asked at 2026-12-10 02:58)"
std::string gate_record_words(const WaveGateRecord& gate);
