#include "upgrade/rollout.h"

#include <algorithm>
#include <cstdio>
#include <utility>

#include "platform/files.h"
#include "protocol/address.h"
#include "protocol/csv.h"
#include "protocol/json.h"
#include "protocol/packet.h"

namespace {

std::string trimmed(const std::string& text) {
  const size_t from = text.find_first_not_of(" \t");
  if (from == std::string::npos) return "";
  return text.substr(from, text.find_last_not_of(" \t") + 1 - from);
}

// Digits only, without a sign, at most max_digits of them, and a 32-bit value.
bool read_whole(const std::string& text, size_t max_digits, uint32_t* value) {
  if (text.empty() || text.size() > max_digits) return false;
  uint64_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<uint64_t>(c - '0');
  }
  if (v > UINT32_MAX) return false;
  *value = static_cast<uint32_t>(v);
  return true;
}

std::string step_text(const WaveStep& step) {
  return std::to_string(step.value) + (step.percent ? " %" : "");
}

std::string cards_words(long long n) { return std::to_string(n) + (n == 1 ? " card" : " cards"); }

}  // namespace

bool read_wave_list(const std::string& text, std::vector<WaveStep>* steps, std::string* why) {
  std::vector<WaveStep> out;
  size_t at = 0;
  for (int entry = 1;; ++entry) {
    const size_t comma = text.find(',', at);
    const std::string raw = text.substr(at, comma == std::string::npos ? comma : comma - at);
    const std::string item = trimmed(raw);
    const std::string named = "wave \"" + item + "\"";
    if (item.empty()) {
      *why = "wave list \"" + text + "\": entry " + std::to_string(entry) + " is empty";
      return false;
    }
    WaveStep step;
    std::string number = item;
    if (number.back() == '%') {
      step.percent = true;
      number = trimmed(number.substr(0, number.size() - 1));
    }
    if (!read_whole(number, 7, &step.value)) {
      *why = named + ": not a number of cards or a percentage (like 5 or 20%)";
      return false;
    }
    if (step.percent && (step.value < 1 || step.value > 100)) {
      *why = named + ": a percentage is 1 to 100";
      return false;
    }
    if (!step.percent && step.value < 1) {
      *why = named + ": a wave holds at least 1 card";
      return false;
    }
    if (!step.percent && step.value > WAVE_CARDS_MAX) {
      *why = named + ": at most " + std::to_string(WAVE_CARDS_MAX) + " cards";
      return false;
    }
    out.push_back(step);
    if (comma == std::string::npos) break;
    at = comma + 1;
  }
  *steps = out;
  return true;
}

std::vector<size_t> wave_sizes(const std::vector<WaveStep>& steps, size_t eligible) {
  std::vector<size_t> sizes;
  if (steps.empty()) {
    if (eligible) sizes.push_back(eligible);
    return sizes;
  }
  for (size_t left = eligible, i = 0; left > 0; ++i) {
    const WaveStep& step = steps[std::min(i, steps.size() - 1)];
    size_t size = step.percent ? static_cast<size_t>(uint64_t{eligible} * step.value / 100)
                               : step.value;
    size = std::min(std::max<size_t>(size, 1), left);
    sizes.push_back(size);
    left -= size;
  }
  return sizes;
}

int failure_budget(bool waves, int max_failures) {
  if (max_failures >= 0) return max_failures;
  return waves ? 0 : NO_FAILURE_BUDGET;
}

RolloutPlan make_rollout_plan(const std::vector<WaveStep>& steps, int budget,
                              const std::vector<uint32_t>& eligible) {
  RolloutPlan plan;
  plan.steps = steps;
  plan.budget = budget;
  const std::vector<size_t> sizes = wave_sizes(steps, eligible.size());
  plan.waves = static_cast<int>(sizes.size());
  size_t at = 0;
  for (size_t w = 0; w < sizes.size(); ++w)
    for (size_t k = 0; k < sizes[w]; ++k) plan.cards.push_back({eligible[at++], int(w) + 1});
  return plan;
}

int planned_wave(const RolloutPlan& plan, uint32_t ip) {
  for (const PlannedCard& c : plan.cards)
    if (c.ip == ip) return c.wave;
  return 0;
}

bool outcome_is_failure(CardOutcome outcome) {
  switch (outcome) {
    case CardOutcome::timeout:
    case CardOutcome::card_error:
    case CardOutcome::aborted:
    case CardOutcome::no_connection:
    case CardOutcome::socket_error:
    case CardOutcome::no_memory:
    case CardOutcome::too_large:
    case CardOutcome::no_session:
    case CardOutcome::not_applied:
    case CardOutcome::no_answer:
      return true;
    default:
      return false;
  }
}

bool outcome_settles_ok(CardOutcome outcome) {
  return outcome == CardOutcome::applied || outcome == CardOutcome::not_verified;
}

// ---- The run

Rollout::Rollout(RolloutPlan plan) : plan_(std::move(plan)) {
  for (const PlannedCard& c : plan_.cards) {
    index_.emplace(c.ip, cards_.size());
    cards_.push_back({c.ip, c.wave, State::planned});
  }
  unsettled_.assign(static_cast<size_t>(plan_.waves), 0);
  for (const Card& c : cards_) ++unsettled_[static_cast<size_t>(c.wave - 1)];
  status_.cards = static_cast<int>(cards_.size());
  status_.waves = plan_.waves;
  status_.budget = plan_.budget;
  status_.waves_run = plan_.waves > 0 ? 1 : 0;
}

Rollout::Card* Rollout::find(uint32_t ip) {
  auto it = index_.find(ip);
  return it == index_.end() ? nullptr : &cards_[it->second];
}

void Rollout::advance() {
  while (!status_.halted && !over_ && status_.waves_run < status_.waves &&
         unsettled_[static_cast<size_t>(status_.waves_run - 1)] == 0)
    ++status_.waves_run;
}

bool Rollout::settle(Card* card, State state) {
  if (card->state != State::planned && card->state != State::sending &&
      card->state != State::checking)
    return false;
  const bool was_started = card->state != State::planned;
  card->state = state;
  --unsettled_[static_cast<size_t>(card->wave - 1)];
  if (state == State::not_started) {
    ++status_.not_started;
  } else if (was_started) {
    ++status_.settled;
  }
  if (state == State::failed) {
    ++status_.failures;
    if (plan_.budget >= 0 && status_.failures > plan_.budget && !status_.halted) {
      status_.halted = true;
      status_.halted_in_wave = card->wave;
    }
  }
  advance();
  return true;
}

StartDecision Rollout::begin(uint32_t ip) {
  Card* card = find(ip);
  if (!card || card->state == State::not_started) return StartDecision::never;
  if (card->state != State::planned) return StartDecision::start;
  if (status_.halted || over_) {
    settle(card, State::not_started);
    if (settled) settled(ip, CardOutcome::not_started);
    return StartDecision::never;
  }
  if (card->wave > status_.waves_run) return StartDecision::wait;
  card->state = State::sending;
  ++status_.started;
  return StartDecision::start;
}

void Rollout::transfer_ended(uint32_t ip, CardOutcome outcome) {
  Card* card = find(ip);
  if (!card || card->state != State::sending) return;
  if (outcome == CardOutcome::ok) {
    card->state = State::checking;
    return;
  }
  bool told = false;
  if (outcome_is_failure(outcome))
    told = settle(card, State::failed);
  else if (outcome_settles_ok(outcome))
    told = settle(card, State::done);
  if (told && settled) settled(ip, outcome);
}

void Rollout::checked(uint32_t ip, CardOutcome outcome) {
  Card* card = find(ip);
  if (!card || (card->state != State::checking && card->state != State::sending)) return;
  bool told = false;
  if (outcome_settles_ok(outcome))
    told = settle(card, State::done);
  else if (outcome_is_failure(outcome))
    told = settle(card, State::failed);
  if (told && settled) settled(ip, outcome);
}

void Rollout::abandon(uint32_t ip, CardOutcome outcome) {
  Card* card = find(ip);
  if (!card || card->state != State::planned) return;
  // Counted as started and settled: the operator's stop is a failure.
  card->state = State::sending;
  ++status_.started;
  if (settle(card, State::failed) && settled) settled(ip, outcome);
}

std::vector<uint32_t> Rollout::end_unstarted() {
  std::vector<uint32_t> ips;
  over_ = true;
  for (Card& c : cards_)
    if (c.state == State::planned) {
      settle(&c, State::not_started);
      ips.push_back(c.ip);
    }
  if (settled)
    for (uint32_t ip : ips) settled(ip, CardOutcome::not_started);
  return ips;
}

bool Rollout::all_settled() const { return status_.settled == status_.started; }

RolloutStatus Rollout::status() const {
  RolloutStatus s = status_;
  if (s.halted)
    s.halt_reason = cards_words(s.failures) + " failed, " +
                    (s.budget == 0 ? std::string("none allowed")
                                   : "more than the " + std::to_string(s.budget) + " allowed");
  return s;
}

// ---- Texts

std::string budget_words(int budget) {
  if (budget < 0) return "never stops for failures";
  if (budget == 0) return "stops after the first failure";
  return "stops after " + std::to_string(budget + 1) + " failures";
}

std::string rollout_plan_line(const std::vector<WaveStep>& steps, int budget) {
  std::string line = "In waves: ";
  if (steps.empty()) {
    line = "In one wave of every card";
  } else {
    for (size_t i = 0; i + 1 < steps.size(); ++i) line += step_text(steps[i]) + ", ";
    line += (steps.size() > 1 ? "then " : "") + step_text(steps.back()) + " at a time";
  }
  return line + "; " + budget_words(budget) + ".";
}

std::string waiting_column_text(int wave) { return "waiting, wave " + std::to_string(wave); }

std::string dry_run_line(uint32_t ip, int wave) {
  return std::string(ip_to_text(ip)) + " wave " + std::to_string(wave);
}

std::string dry_run_summary(const RolloutPlan& plan) {
  if (plan.cards.empty()) return "plan: no cards to send; " + budget_words(plan.budget);
  // Runs of equal waves as "30 x 3".
  std::vector<size_t> sizes(static_cast<size_t>(plan.waves), 0);
  for (const PlannedCard& c : plan.cards) ++sizes[static_cast<size_t>(c.wave - 1)];
  std::string list;
  for (size_t i = 0; i < sizes.size();) {
    size_t j = i;
    while (j < sizes.size() && sizes[j] == sizes[i]) ++j;
    list += (list.empty() ? "" : ", ") + std::to_string(sizes[i]) +
            (j - i > 1 ? " x " + std::to_string(j - i) : "");
    i = j;
  }
  return "plan: " + cards_words(static_cast<long long>(plan.cards.size())) + " in " +
         std::to_string(plan.waves) + (plan.waves == 1 ? " wave (" : " waves (") + list + "); " +
         budget_words(plan.budget);
}

std::string halt_line(const RolloutStatus& s) {
  if (!s.halted) return "";
  std::string line = "Rollout halted in wave " + std::to_string(s.halted_in_wave) + ": " +
                     s.halt_reason;
  if (s.not_started) line += "; " + cards_words(s.not_started) + " not started";
  return line + ".";
}

const char WAVES_HELP[] =
    "Upgrade in waves: a list of card counts or percentages of the cards to upgrade, like "
    "1,5,20% (a percentage is rounded down, and at least 1 card); the last entry repeats until "
    "every card has its wave. A wave starts only when every card of the one before runs the new "
    "version or has failed";
const char MAX_FAILURES_HELP[] =
    "Failures the whole run allows (with --waves: 0); one more halts it: nothing more starts, "
    "the cards not started are reported \"Not started : rollout halted .\"";

// ---- JSON Lines

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

std::string result_count_word(const CardResult& card) {
  const char* verified = outcome_verified_word(card.outcome);
  return *verified ? verified : outcome_result_word(card.outcome);
}

std::map<std::string, int> result_counts(const std::vector<CardResult>& cards) {
  std::map<std::string, int> counts;
  for (const CardResult& c : cards) ++counts[result_count_word(c)];
  return counts;
}

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

std::string summary_json(const std::vector<CardResult>& cards, const RolloutStatus& s) {
  std::vector<std::pair<std::string, std::string>> results;
  for (const auto& [word, n] : result_counts(cards)) results.emplace_back(word, std::to_string(n));
  const std::vector<std::pair<std::string, std::string>> members = {
      {"cards", std::to_string(cards.size())},
      {"results", json_raw_object(results)},
      {"failures", std::to_string(s.failures)},
      {"max_failures", s.budget >= 0 ? std::to_string(s.budget) : "null"},
      {"waves", std::to_string(s.waves)},
      {"waves_run", std::to_string(s.waves_run)},
      {"halted", s.halted ? "true" : "false"},
      {"reason", s.halted ? json_string(s.halt_reason) : "null"},
  };
  return json_raw_object({{"summary", json_raw_object(members)}});
}

// ---- Resume

namespace {

// The ' that report_csv puts before a formula-like cell from outside.
std::string unguarded(const std::string& cell) {
  if (cell.size() >= 2 && cell[0] == '\'' &&
      std::string("=+-@\t\r").find(cell[1]) != std::string::npos)
    return cell.substr(1);
  return cell;
}

bool read_time(const std::string& text, LocalTime* t) {
  // "YYYY-MM-DD HH:MM:SS"
  if (text.size() != 19 || text[4] != '-' || text[7] != '-' || text[10] != ' ' ||
      text[13] != ':' || text[16] != ':')
    return false;
  uint32_t v[6];
  const size_t at[6] = {0, 5, 8, 11, 14, 17}, len[6] = {4, 2, 2, 2, 2, 2};
  for (int i = 0; i < 6; ++i)
    if (!read_whole(text.substr(at[i], len[i]), len[i], &v[i])) return false;
  if (v[1] < 1 || v[1] > 12 || v[2] < 1 || v[2] > 31 || v[3] > 23 || v[4] > 59 || v[5] > 60)
    return false;
  *t = LocalTime{int(v[0]), int(v[1]), int(v[2]), int(v[3]), int(v[4]), int(v[5]), 0};
  return true;
}

bool read_mac(const std::string& text, uint8_t* mac) {
  if (text.size() != 17) return false;
  for (int i = 0; i < 6; ++i) {
    if (i && text[size_t(i) * 3 - 1] != '-') return false;
    unsigned v = 0;
    for (int k = 0; k < 2; ++k) {
      const char c = text[size_t(i) * 3 + size_t(k)];
      const int d = c >= '0' && c <= '9'   ? c - '0'
                    : c >= 'a' && c <= 'f' ? c - 'a' + 10
                    : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                           : -1;
      if (d < 0) return false;
      v = v * 16 + unsigned(d);
    }
    mac[i] = static_cast<uint8_t>(v);
  }
  return true;
}

// "2.05": the version's two bytes in decimal.
bool read_version(const std::string& text, uint32_t* version) {
  const size_t dot = text.find('.');
  uint32_t major = 0, minor = 0;
  if (dot == std::string::npos || !read_whole(text.substr(0, dot), 3, &major) ||
      !read_whole(text.substr(dot + 1), 3, &minor) || major > 255 || minor > 255)
    return false;
  *version = major << 8 | minor;
  return true;
}

bool read_outcome(const std::string& result, const std::string& verified, CardOutcome* outcome) {
  for (int i = 0; i <= static_cast<int>(CardOutcome::sending); ++i) {
    const CardOutcome o = static_cast<CardOutcome>(i);
    if (result == outcome_result_word(o) && verified == outcome_verified_word(o)) {
      *outcome = o;
      return true;
    }
  }
  return false;
}

}  // namespace

bool read_kept_report(const std::string& text, std::vector<CardResult>* cards, std::string* why) {
  std::vector<CsvRecord> records;
  int bad_line = 0;
  if (!read_csv(text, false, &records, &bad_line)) {
    *why = "line " + std::to_string(bad_line) + ": a quoted cell is not closed";
    return false;
  }
  if (records.empty()) {
    *why = "empty, not a report of this program";
    return false;
  }
  // The columns by name, wherever they stand.
  const std::vector<std::string>& columns = report_columns();
  std::vector<size_t> at(columns.size());
  for (size_t i = 0; i < columns.size(); ++i) {
    const auto& header = records[0].fields;
    auto it = std::find(header.begin(), header.end(), columns[i]);
    if (it == header.end()) {
      *why = "not a report of this program: no column \"" + columns[i] + "\"";
      return false;
    }
    at[i] = static_cast<size_t>(it - header.begin());
  }
  enum { STARTED, ENDED, IP, MAC, VERSION_BEFORE, IMAGE, IMAGE_VERSION, RESULT, MESSAGE,
         SECONDS, BYTES_SENT, VERIFIED, VERIFIED_SECONDS };
  std::vector<CardResult> out;
  for (size_t r = 1; r < records.size(); ++r) {
    const CsvRecord& record = records[r];
    const std::string where = "line " + std::to_string(record.line) + ": ";
    auto cell = [&](int column) {
      const size_t i = at[static_cast<size_t>(column)];
      return i < record.fields.size() ? record.fields[i] : std::string();
    };
    auto refuse = [&](int column, const char* what) {
      *why = where + columns[static_cast<size_t>(column)] + " \"" + cell(column) + "\" " + what;
      return false;
    };
    CardResult card;
    std::string address_why;
    if (!read_card_address(cell(IP), &card.ip, &address_why)) {
      *why = where + address_why;
      return false;
    }
    for (const CardResult& earlier : out)
      if (earlier.ip == card.ip) {
        *why = where + cell(IP) + " is listed twice";
        return false;
      }
    if (!read_time(cell(STARTED), &card.started)) return refuse(STARTED, "is not a time");
    if (!read_time(cell(ENDED), &card.ended)) return refuse(ENDED, "is not a time");
    if (!read_mac(cell(MAC), card.mac)) return refuse(MAC, "is not a MAC address");
    if (!read_version(cell(VERSION_BEFORE), &card.version_before))
      return refuse(VERSION_BEFORE, "is not a version");
    card.image = unguarded(cell(IMAGE));
    card.image_version = IMAGE_VERSION_NONE;
    if (!cell(IMAGE_VERSION).empty() && !read_version(cell(IMAGE_VERSION), &card.image_version))
      return refuse(IMAGE_VERSION, "is not a version");
    if (!read_outcome(cell(RESULT), cell(VERIFIED), &card.outcome)) {
      *why = where + "result \"" + cell(RESULT) + "\" with verified \"" + cell(VERIFIED) +
             "\" is not one of this program's";
      return false;
    }
    const std::string message = unguarded(cell(MESSAGE));
    if (card.outcome == CardOutcome::card_error) card.message = message;
    if (card.outcome == CardOutcome::skipped_done) {
      const std::string head = skipped_done_text("");
      const std::string before = head.substr(0, head.size() - 2), after = " .";
      if (message.size() < before.size() + after.size() || message.rfind(before, 0) != 0 ||
          message.compare(message.size() - after.size(), after.size(), after) != 0)
        return refuse(MESSAGE, "is not a skipped card's line");
      card.message = message.substr(before.size(), message.size() - before.size() - after.size());
    }
    if (!read_whole(cell(BYTES_SENT), 10, &card.bytes_sent))
      return refuse(BYTES_SENT, "is not a number");
    uint32_t seconds = 0;
    if (!cell(VERIFIED_SECONDS).empty()) {
      if (!read_whole(cell(VERIFIED_SECONDS), 9, &seconds))
        return refuse(VERIFIED_SECONDS, "is not a number");
      card.verified_seconds = static_cast<int>(seconds);
    }
    if (card.outcome == CardOutcome::applied) card.answered_version = card.image_version;
    out.push_back(card);
  }
  *cards = out;
  return true;
}

bool read_kept_report_file(const std::string& path, std::vector<CardResult>* cards,
                           std::string* why) {
  std::string text, reason;
  if (!read_file_text(path, KEPT_REPORT_MAX, &text, &reason) ||
      !read_kept_report(text, cards, &reason)) {
    *why = path + ": " + reason;
    return false;
  }
  return true;
}

bool card_is_done(const CardResult& card) {
  // A card skipped as done by the run this report followed stays done.
  return outcome_settles_ok(card.outcome) || card.outcome == CardOutcome::skipped_done;
}

std::string report_name_of(const std::string& path) {
  const size_t slash = path.find_last_of("/\\");
  return slash == std::string::npos ? path : path.substr(slash + 1);
}
