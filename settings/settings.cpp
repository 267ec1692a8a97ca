#include "settings/settings.h"

#include <mutex>
#include <set>
#include <vector>

namespace {

std::mutex problems_mutex;
void (*problem_handler)(const std::string&) = nullptr;
std::set<std::string> problems_told;
std::vector<std::string> problems_kept;

bool is_control_at(const std::string& s, size_t i) {
  const unsigned char c = static_cast<unsigned char>(s[i]);
  if (c < 0x20 || c == 0x7F) return true;
  // The C1 controls as UTF-8 writes them.
  return c == 0xC2 && i + 1 < s.size() && static_cast<unsigned char>(s[i + 1]) >= 0x80 &&
         static_cast<unsigned char>(s[i + 1]) <= 0x9F;
}

// A stored value as it may be shown: controls as '?', cut at 40 bytes.
std::string shown_value(const std::string& value) {
  std::string out;
  for (size_t i = 0; i < value.size() && out.size() < 40; ++i)
    out += is_control_at(value, i) ? '?' : value[i];
  return out;
}

std::string quoted(const std::string& text) {
  std::string out = "\"";
  out.append(text).append("\"");
  return out;
}

}  // namespace

bool user_name_usable(const std::string& name, std::string* why) {
  if (name.size() > 31) {
    *why = "a user name holds at most 31 characters";
    return false;
  }
  if (name.find('@') != std::string::npos) {
    *why = "a user name cannot hold '@'";
    return false;
  }
  for (size_t i = 0; i < name.size(); ++i)
    if (is_control_at(name, i)) {
      *why = "a user name cannot hold a control character";
      return false;
    }
  return true;
}

void set_setting_problem_handler(void (*handler)(const std::string& text)) {
  std::lock_guard<std::mutex> lock(problems_mutex);
  problem_handler = handler;
}

void setting_problem(const char* name, const std::string& why, const std::string& used) {
  void (*handler)(const std::string&) = nullptr;
  std::string text = "the stored setting \"";
  text.append(name).append("\" cannot be used (").append(why).append("): ").append(used);
  text.append(" is used instead");
  {
    std::lock_guard<std::mutex> lock(problems_mutex);
    if (!problems_told.insert(name).second) return;
    handler = problem_handler;
    if (!handler) problems_kept.push_back(text);
  }
  if (handler) handler(text);
}

std::vector<std::string> take_setting_problems() {
  std::lock_guard<std::mutex> lock(problems_mutex);
  std::vector<std::string> out;
  out.swap(problems_kept);
  return out;
}

std::string default_account() {
  char buffer[512] = {};
  if (!read_setting(SETTINGS_KEY, "LastAccount", buffer, sizeof buffer - 1, nullptr))
    return "admin";
  std::string why;
  if (!user_name_usable(buffer, &why)) {
    setting_problem("LastAccount", quoted(shown_value(buffer)).insert(0, why + ": "), "\"admin\"");
    return "admin";
  }
  return buffer;
}

namespace {

// Digits only, no sign, 1 to max.
bool read_count(const std::string& text, uint32_t max, uint32_t* value) {
  if (text.empty() || text.size() > 7) return false;
  uint32_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<uint32_t>(c - '0');
  }
  if (v < 1 || v > max) return false;
  *value = v;
  return true;
}

std::vector<std::string> words(const std::string& text) {
  std::vector<std::string> out;
  size_t at = 0;
  for (;;) {
    const size_t space = text.find(' ', at);
    out.push_back(text.substr(at, space == std::string::npos ? space : space - at));
    if (space == std::string::npos) return out;
    at = space + 1;
  }
}

}  // namespace

std::string rollout_setting_text(const RolloutSetting& s) {
  return std::string(s.waves ? "on " : "off ") + std::to_string(s.first) + " " +
         std::to_string(s.later) + (s.later_percent ? "% " : " ") + std::to_string(s.stop_after) +
         (s.schedule.start_at >= 0 ? " start=" + clock_text(s.schedule.start_at) : "") +
         (s.schedule.has_window()
              ? " window=" + window_text(s.schedule.window_from, s.schedule.window_to)
              : "");
}

bool read_rollout_setting_text(const std::string& text, RolloutSetting* setting) {
  const std::vector<std::string> w = words(text);
  if (w.size() < 4 || w.size() > 6 || (w[0] != "on" && w[0] != "off")) return false;
  RolloutSetting s;
  std::string why;
  for (size_t i = 4; i < w.size(); ++i) {
    const std::string& word = w[i];
    if (word.rfind("start=", 0) == 0 && s.schedule.start_at < 0) {
      if (!read_clock_time(word.substr(6), &s.schedule.start_at, &why)) return false;
    } else if (word.rfind("window=", 0) == 0 && !s.schedule.has_window()) {
      if (!read_time_window(word.substr(7), &s.schedule.window_from, &s.schedule.window_to, &why))
        return false;
    } else {
      return false;
    }
  }
  s.waves = w[0] == "on";
  std::string later = w[2];
  s.later_percent = !later.empty() && later.back() == '%';
  if (s.later_percent) later.pop_back();
  if (!read_count(w[1], ROLLOUT_NUMBER_MAX, &s.first) ||
      !read_count(later, s.later_percent ? 100 : ROLLOUT_NUMBER_MAX, &s.later) ||
      !read_count(w[3], ROLLOUT_NUMBER_MAX, &s.stop_after))
    return false;
  *setting = s;
  return true;
}

RolloutSetting read_rollout_setting() {
  char buffer[96] = {};
  RolloutSetting s;
  if (read_setting_text(SETTINGS_KEY, ROLLOUT_SETTING, buffer, sizeof buffer - 1) &&
      !read_rollout_setting_text(buffer, &s))
    setting_problem(ROLLOUT_SETTING, quoted(shown_value(buffer)).append(" is no rollout"),
                    quoted(rollout_setting_text(s)).append(" (not in waves)"));
  return s;
}

bool write_rollout_setting(const RolloutSetting& setting) {
  return write_setting_text(SETTINGS_KEY, ROLLOUT_SETTING, rollout_setting_text(setting).c_str()) == 1;
}

bool read_transfers_text(const std::string& text, uint32_t* count) {
  const size_t from = text.find_first_not_of(' ');
  if (from == std::string::npos) return false;
  const size_t to = text.find_last_not_of(' ');
  return read_count(text.substr(from, to + 1 - from), TRANSFERS_AT_ONCE_MAX, count);
}

uint32_t read_transfers_setting() {
  char buffer[32] = {};
  uint32_t count = TRANSFERS_AT_ONCE_DEFAULT;
  if (read_setting_text(SETTINGS_KEY, TRANSFERS_SETTING, buffer, sizeof buffer - 1) &&
      !read_transfers_text(buffer, &count))
    setting_problem(TRANSFERS_SETTING, quoted(shown_value(buffer)).append(" is no count of 1 to 64"),
                    std::to_string(TRANSFERS_AT_ONCE_DEFAULT));
  return count;
}

bool write_transfers_setting(uint32_t count) {
  return write_setting_text(SETTINGS_KEY, TRANSFERS_SETTING, std::to_string(count).c_str()) == 1;
}

namespace {

std::string trimmed(const std::string& text) {
  const size_t from = text.find_first_not_of(' ');
  if (from == std::string::npos) return "";
  return text.substr(from, text.find_last_not_of(' ') + 1 - from);
}

// A count kept in a value of its own: its default, told once, when what is
// kept does not read.
uint32_t read_count_setting(const char* name, bool (*read)(const std::string&, uint32_t*),
                            uint32_t fallback, const char* is_no) {
  char buffer[32] = {};
  uint32_t value = fallback;
  if (read_setting_text(SETTINGS_KEY, name, buffer, sizeof buffer - 1) && !read(buffer, &value))
    setting_problem(name, quoted(shown_value(buffer)).append(is_no), std::to_string(fallback));
  return value;
}

}  // namespace

bool read_settle_text(const std::string& text, uint32_t* seconds) {
  return read_count(trimmed(text), SETTLE_SECONDS_MAX, seconds);
}

uint32_t read_settle_setting() {
  return read_count_setting(SETTLE_SETTING, read_settle_text, SETTLE_SECONDS_DEFAULT,
                            " is no count of seconds of 1 to 600");
}

bool write_settle_setting(uint32_t seconds) {
  return write_setting_text(SETTINGS_KEY, SETTLE_SETTING, std::to_string(seconds).c_str()) == 1;
}

bool read_recheck_text(const std::string& text, uint32_t* minutes) {
  const std::string t = trimmed(text);
  if (t.empty() || t == "0") {
    *minutes = 0;
    return true;
  }
  return read_count(t, RECHECK_MINUTES_MAX, minutes);
}

uint32_t read_recheck_setting() {
  return read_count_setting(RECHECK_SETTING, read_recheck_text, 0,
                            " is no count of minutes of 0 to 1440");
}

bool write_recheck_setting(uint32_t minutes) {
  return write_setting_text(SETTINGS_KEY, RECHECK_SETTING, std::to_string(minutes).c_str()) == 1;
}
