#pragma once
// A rollout's JSON Lines (daveridur-cli upgrade --json).
#include <map>
#include <string>
#include <vector>

#include "upgrade/results.h"
#include "upgrade/rollout.h"
#include "upgrade/verdict.h"

// The word a card is counted under: the verified word when its check said
// one, else the result word ("applied", "no_answer", "timeout", "ok").
std::string result_count_word(const CardResult& card);
std::map<std::string, int> result_counts(const std::vector<CardResult>& cards);
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
