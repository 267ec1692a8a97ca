#include "settings/settings.h"

#include <vector>

std::string default_account() {
  char buffer[512] = {};
  if (!read_setting(SETTINGS_KEY, "LastAccount", buffer, sizeof buffer - 1, nullptr))
    return "admin";
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
         std::to_string(s.later) + (s.later_percent ? "% " : " ") + std::to_string(s.stop_after);
}

bool read_rollout_setting_text(const std::string& text, RolloutSetting* setting) {
  const std::vector<std::string> w = words(text);
  if (w.size() != 4 || (w[0] != "on" && w[0] != "off")) return false;
  RolloutSetting s;
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
  char buffer[64] = {};
  RolloutSetting s;
  if (read_setting_text(SETTINGS_KEY, ROLLOUT_SETTING, buffer, sizeof buffer - 1))
    read_rollout_setting_text(buffer, &s);
  return s;
}

bool write_rollout_setting(const RolloutSetting& setting) {
  return write_setting_text(SETTINGS_KEY, ROLLOUT_SETTING, rollout_setting_text(setting).c_str()) == 1;
}
