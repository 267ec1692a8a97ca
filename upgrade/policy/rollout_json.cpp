// A rollout's JSON Lines: one object per settled card, then the summary.
#include "upgrade/policy/rollout_json.h"

#include "protocol/csv.h"
#include "protocol/json.h"
#include "protocol/packet.h"

namespace {

std::string json_raw_object(const std::vector<std::pair<std::string, std::string>>& members) {
  std::string out = "{";
  for (const auto& [key, value] : members) {
    if (out.size() > 1) out += ',';
    out += json_string(key) + ':' + value;
  }
  return out + "}";
}

bool is_number_column(const std::string& column) {
  return column == "seconds" || column == "bytes_sent" || column == "verified_seconds";
}

}  // namespace

std::string card_json(const CardResult& card, int wave) {
  const std::vector<std::string>& columns = report_columns();
  const std::vector<std::string> row = report_row(card);
  std::vector<std::pair<std::string, std::string>> members;
  for (size_t i = 0; i < columns.size(); ++i) {
    const std::string& cell = row[i];
    members.emplace_back(columns[i], cell.empty()                  ? "null"
                                     : is_number_column(columns[i]) ? cell
                                                                    : json_string(cell));
  }
  members.emplace_back("wave", wave > 0 ? std::to_string(wave) : "null");
  return json_raw_object(members);
}

std::string summary_json(const std::vector<CardResult>& cards, const RolloutStatus& s,
                         const RunVerdicts& v) {
  std::vector<std::pair<std::string, std::string>> results;
  for (const auto& [word, n] : result_counts(cards)) results.emplace_back(word, std::to_string(n));
  std::vector<std::pair<std::string, std::string>> verdicts;
  for (const auto& [verdict, n] : v.counts) verdicts.emplace_back(verdict_word(verdict), std::to_string(n));
  std::string failed = "[";
  for (uint32_t ip : s.failed) {
    if (failed.size() > 1) failed += ',';
    failed += json_string(ip_to_text(ip));
  }
  failed += ']';
  const std::vector<std::pair<std::string, std::string>> members = {
      {"cards", std::to_string(cards.size())},
      {"results", json_raw_object(results)},
      {"verdicts", json_raw_object(verdicts)},
      {"failures", std::to_string(v.failures)},
      {"budget_failures", std::to_string(s.failures)},
      {"max_failures", s.budget >= 0 ? std::to_string(s.budget) : "null"},
      {"waves", std::to_string(s.waves)},
      {"waves_run", std::to_string(s.waves_run)},
      {"halted", v.halted ? "true" : "false"},
      {"stopped", v.stopped ? "true" : "false"},
      {"exit_status", std::to_string(v.exit_status)},
      {"reason", v.halted ? json_string(s.halt_reason) : "null"},
      {"failed", failed},
  };
  return json_raw_object({{"summary", json_raw_object(members)}});
}
