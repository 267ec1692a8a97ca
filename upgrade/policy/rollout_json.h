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
