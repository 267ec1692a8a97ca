// A rollout's JSON Lines: one object per settled card, then the summary.
#include "upgrade/policy/rollout_json.h"

#include "protocol/csv.h"
#include "protocol/json.h"
#include "protocol/packet.h"
#include "upgrade/run/run.h"

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

namespace {

std::string tally_count(const WaveHold& hold, VerdictTally t) {
  auto it = hold.counts.find(t);
  return std::to_string(it == hold.counts.end() ? 0 : it->second);
}

}  // namespace

std::string wave_hold_json(const WaveHold& h) {
  return json_raw_object({{"wave_held", json_raw_object({
      {"settled_wave", std::to_string(h.settled_wave)},
      {"applied", tally_count(h, VerdictTally::applied)},
      {"failed", tally_count(h, VerdictTally::failed)},
      {"next_wave", std::to_string(h.next_wave)},
      {"cards", std::to_string(h.next_cards)},
      {"gate", h.gate ? "true" : "false"},
      {"starts_at", h.gate ? "null" : json_string(local_time_words(h.starts_at))},
  })}});
}

std::string policy_summary_json(const std::string& summary, const RolloutPolicy& policy,
                                const RolloutStatus& s) {
  std::string gates = "[";
  for (const WaveGateRecord& g : s.gates) {
    if (gates.size() > 1) gates += ',';
    gates += json_raw_object({
        {"wave", std::to_string(g.wave)},
        {"asked", json_string(local_time_words(g.asked))},
        {"opened", g.answered ? (g.opened ? "true" : "false") : "null"},
        {"by", g.answered ? json_string(g.who) : "null"},
        {"at", g.answered ? json_string(local_time_words(g.at)) : "null"},
    });
  }
  gates += ']';
  const std::string more = json_raw_object({
      {"unreachable", std::to_string(s.unreachable)},
      {"max_unreachable", s.unreachable_budget >= 0 ? std::to_string(s.unreachable_budget) : "null"},
      {"order", json_string(order_text(policy.order))},
      {"wave_delay", policy.wave_delay_ms > 0 ? json_string(delay_text(policy.wave_delay_ms)) : "null"},
      {"gates", gates},
  });
  // The summary's object ends in "}}": the policy's members go before them.
  if (summary.size() < 2 || summary.compare(summary.size() - 2, 2, "}}") != 0) return summary;
  return summary.substr(0, summary.size() - 2) + "," + more.substr(1, more.size() - 2) + "}}";
}

std::string gate_record_words(const WaveGateRecord& g) {
  std::string words = "gate before wave " + std::to_string(g.wave);
  if (!g.answered) return words + " not answered (asked at " + local_time_words(g.asked) + ")";
  return words + (g.opened ? " opened by " : " refused by ") + g.who + " at " +
         local_time_words(g.at) + " (asked at " + local_time_words(g.asked) + ")";
}
