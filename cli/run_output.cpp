// The upgrade command's words beside its report lines: the image refused,
// the run's progress, the dry run's plan.
#include "cli/run_output.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "cli/cli.h"
#include "image/image.h"
#include "platform/file_names.h"
#include "platform/files.h"
#include "protocol/json.h"
#include "protocol/packet.h"
#include "upgrade/run/run.h"
#include "upgrade/policy/rollout_json.h"
#include "upgrade/policy/batch.h"

namespace {

// The rate is the bytes of the last seconds: a run that waited for its
// checks a while does not show a rate falling towards nothing.
const auto RATE_OVER = std::chrono::seconds(5);

// Why the system cannot read the file: not a regular one, or its error.
std::string read_reason(const std::string& path) {
  bool exists = false;
  std::string why;
  if (!regular_file_check(path, &exists, &why)) return why;
  errno = 0;
  std::FILE* file = open_file(path, "rb");
  if (!file) return std::strerror(errno ? errno : EIO);
  std::fclose(file);
  return "it changed while it was read";
}

std::string size_words(uint64_t bytes) {
  char text[32];
  if (bytes >= 1000u * 1024u)
    std::snprintf(text, sizeof text, "%.1f MB", bytes / (1024.0 * 1024.0));
  else
    std::snprintf(text, sizeof text, "%.1f KB", bytes / 1024.0);
  return text;
}

std::string minutes_words(int64_t ms) {
  const int64_t s = ms / 1000;
  char text[32];
  std::snprintf(text, sizeof text, "%lld:%02lld", static_cast<long long>(s / 60),
                static_cast<long long>(s % 60));
  return text;
}

std::string cards_of(size_t n) { return std::to_string(n) + (n == 1 ? " card" : " cards"); }

// {"key":value,...} of values already JSON.
std::string json_members(const std::vector<std::pair<std::string, std::string>>& members) {
  std::string out = "{";
  for (const auto& [key, value] : members) {
    if (out.size() > 1) out += ',';
    out += json_string(key);
    out += ':';
    out += value;
  }
  return out + "}";
}

std::string json_text_or_null(const std::string& text) {
  return text.empty() ? "null" : json_string(text);
}

// A card of the plan: its wave, or the line it would get and what that is.
std::string plan_card_json(const RunCard& c) {
  CardResult card;
  card.ip = c.record.ip;
  std::memcpy(card.mac, c.record.mac, sizeof card.mac);
  card.version_before = c.record.version;
  card.outcome = c.gate;
  card.message = c.message;
  const std::vector<std::string> row = report_row(card);
  const bool planned = c.wave > 0;
  return json_members({
      {"ip", json_string(ip_to_text(card.ip))},
      {"mac", json_text_or_null(row[3])},
      {"version_before", json_text_or_null(row[4])},
      {"wave", planned ? std::to_string(c.wave) : "null"},
      {"line", planned ? "null" : json_string(report_message(card))},
      {"result", planned ? "null" : json_string(outcome_result_word(card.outcome))},
      {"verdict", planned ? "null" : json_string(verdict_word(verdict_of(card, false)))},
  });
}

std::string plan_json(const RolloutPlan& plan, size_t cards, const RunSchedule& schedule) {
  std::vector<size_t> sizes(static_cast<size_t>(plan.waves), 0);
  for (const PlannedCard& c : plan.cards) ++sizes[static_cast<size_t>(c.wave - 1)];
  std::string list = "[";
  for (size_t n : sizes) {
    if (list.size() > 1) list += ',';
    list += std::to_string(n);
  }
  list += "]";
  return json_members({{"plan", json_members({
      {"cards", std::to_string(cards)},
      {"planned", std::to_string(plan.cards.size())},
      {"not_sent", std::to_string(cards - plan.cards.size())},
      {"waves", std::to_string(plan.waves)},
      {"wave_sizes", list},
      {"max_failures", plan.budget >= 0 ? std::to_string(plan.budget) : "null"},
      {"budget", json_string(budget_words(plan.budget))},
      {"max_failures_given", plan.policy.failures.on() ? json_string(budget_text(plan.policy.failures)) : "null"},
      {"max_unreachable", plan.unreachable_budget >= 0 ? std::to_string(plan.unreachable_budget) : "null"},
      {"min_settled", std::to_string(plan.policy.min_settled)},
      {"halts", json_string(budget_plan_words(plan))},
      {"wave_delay", plan.policy.wave_delay_ms > 0 ? json_string(delay_text(plan.policy.wave_delay_ms)) : "null"},
      {"wave_gate", plan.policy.gate != WaveGate::none ? json_string(wave_gate_word(plan.policy.gate)) : "null"},
      {"order", json_string(order_text(plan.policy.order))},
      {"schedule", schedule.empty() ? "null" : json_string(schedule_words(schedule))},
  })}});
}

}  // namespace

std::string image_error_text(const std::string& path, const char* refusal) {
  // By text: a literal's address is not one across the program's parts.
  if (std::strcmp(refusal, MSG_READ_ERROR) == 0)
    return "cannot read the image " + path + ": " + read_reason(path);
  if (std::strcmp(refusal, MSG_TOO_LARGE) == 0) {
    uint64_t size = 0;
    regular_file_size(path, &size);
    return "the image " + path + " is too large for the card: " + std::to_string(size) +
           " bytes, at most " + std::to_string(IMAGE_SIZE_MAX);
  }
  return "the image " + path + " fails its checks: " + refusal;
}

void progress_sample(RunProgress& p, uint64_t bytes_sent, RunProgress::Clock::time_point now) {
  p.samples.emplace_back(now, bytes_sent);
  while (p.samples.size() > 2 && now - p.samples[1].first >= RATE_OVER)
    p.samples.erase(p.samples.begin());
}

std::string progress_text(const RunProgress& p, RunProgress::Clock::time_point now) {
  const std::string done = "; " + std::to_string(p.done) + "/" + std::to_string(p.cards) +
                           " cards done";
  if (p.wait == RunWait::start_time)
    return "waiting for " + clock_text(p.schedule.start_at) + " to start" + done;
  if (p.wait == RunWait::window)
    return "waiting for the window " +
           window_text(p.schedule.window_from, p.schedule.window_to) +
           (p.next_wave.empty() ? "" : "; " + p.next_wave) + done;
  if (p.wait == RunWait::delay && !p.next_wave.empty()) return "waiting: " + p.next_wave + done;
  if (p.wait == RunWait::gate) return "waiting for the gate before the next wave" + done;
  std::vector<std::string> parts;
  if (!p.sending.empty()) {
    uint64_t sent = 0;
    for (const auto& [ip, bytes] : p.sending) sent += bytes;
    std::string part = "sending " + cards_of(p.sending.size()) + ", " + size_words(sent) +
                       " of " + size_words(uint64_t{p.image_size} * p.sending.size());
    if (p.samples.size() >= 2) {
      const auto& [from, first] = p.samples.front();
      const auto& [to, last] = p.samples.back();
      const double seconds = std::chrono::duration<double>(to - from).count();
      if (seconds > 0 && last >= first) {
        char rate[32];
        std::snprintf(rate, sizeof rate, " at %.1f KB/s", (last - first) / seconds / 1024);
        part += rate;
      }
    }
    parts.push_back(part);
  }
  if (!p.checking.empty()) {
    auto since = now;
    for (const auto& [ip, at] : p.checking) since = std::min(since, at);
    const int64_t ms = std::chrono::duration_cast<std::chrono::milliseconds>(now - since).count();
    parts.push_back("checking " + cards_of(p.checking.size()) + ", " +
                    minutes_words(std::min<int64_t>(ms, VERIFY_LIMIT_MS)) + " of " +
                    minutes_words(VERIFY_LIMIT_MS));
  }
  if (parts.empty() && p.wait == RunWait::answer) parts.push_back("waiting for the cards' answers");
  if (parts.empty()) return "";
  std::string text = p.waves > 0 && p.wave > 0
                         ? "wave " + std::to_string(p.wave) + "/" + std::to_string(p.waves) + ": "
                         : "";
  for (size_t i = 0; i < parts.size(); ++i) text += (i ? "; " : "") + parts[i];
  return text + done;
}

int print_dry_run(std::vector<RunCard> cards, const RunOptions& run_options, bool versionless,
                  bool json) {
  const RolloutOptions& options = run_options.rollout;
  const RolloutPlan plan = plan_cards(&cards, options);
  for (const RunCard& c : cards) {
    if (json) {
      std::printf("%s\n", plan_card_json(c).c_str());
    } else if (c.wave) {
      std::printf("%s\n", dry_run_line(c.record.ip, c.wave).c_str());
    } else {
      CardResult card;
      card.ip = c.record.ip;
      card.version_before = c.record.version;
      card.outcome = c.gate;
      card.message = c.message;
      std::printf("%s %s\n", ip_to_text(card.ip), report_message(card).c_str());
    }
  }
  if (json) std::printf("%s\n", plan_json(plan, cards.size(), run_options.schedule).c_str());
  // The counts as the run would start: nothing applied yet, the cards it
  // would send not started, those its gate settled by their verdicts.
  VerdictCounts counts = {};
  for (const RunCard& c : cards) {
    VerdictTally tally = VerdictTally::not_started;
    if (!c.wave) {
      CardResult card;
      card.outcome = c.gate;
      tally = verdict_tally(verdict_of(card, false));
    }
    ++counts[static_cast<size_t>(tally)];
  }
  flush_output();
  std::fprintf(stderr, "%s\n", dry_run_summary(plan).c_str());
  if (options.on) {
    std::fprintf(stderr, "budget: %s\n", budget_plan_words(plan).c_str());
    const std::string between = wave_policy_words(options.policy);
    if (!between.empty()) std::fprintf(stderr, "between waves: %s\n", between.c_str());
    if (options.policy.order.kind != OrderKind::given)
      std::fprintf(stderr, "order: %s\n", order_text(options.policy.order).c_str());
  }
  if (!run_options.schedule.empty())
    std::fprintf(stderr, "schedule: %s (local time)\n", schedule_words(run_options.schedule).c_str());
  if (versionless && options.on)
    std::fprintf(stderr, "the image has no version: no check can fail a card, the waves wait "
                         "for the transfers alone\n");
  std::fputs(tally_line("dry run", counts).c_str(), stderr);
  return EXIT_ALL_OK;
}
