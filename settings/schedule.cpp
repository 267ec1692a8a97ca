#include "settings/schedule.h"
#include "protocol/text.h"

namespace {

bool digits(const std::string& text) {
  if (text.empty()) return false;
  for (char c : text)
    if (c < '0' || c > '9') return false;
  return true;
}

}  // namespace

bool read_clock_time(const std::string& given, int* minutes, std::string* why) {
  const std::string text = trimmed(given);
  const size_t colon = text.find(':');
  const std::string hour = colon == std::string::npos ? "" : text.substr(0, colon);
  const std::string minute = colon == std::string::npos ? "" : text.substr(colon + 1);
  if (!digits(hour) || hour.size() > 2 || !digits(minute) || minute.size() != 2 ||
      std::stoi(hour) > 23 || std::stoi(minute) > 59) {
    *why = "\"" + text + "\" is not a time of day HH:MM, like 22:00";
    return false;
  }
  *minutes = std::stoi(hour) * 60 + std::stoi(minute);
  return true;
}

bool read_time_window(const std::string& given, int* from, int* to, std::string* why) {
  const std::string text = trimmed(given);
  const size_t dash = text.find('-');
  if (dash == std::string::npos) {
    *why = "\"" + text + "\" is not a window HH:MM-HH:MM, like 22:00-05:00";
    return false;
  }
  int a = 0, b = 0;
  if (!read_clock_time(text.substr(0, dash), &a, why) ||
      !read_clock_time(text.substr(dash + 1), &b, why)) {
    *why = "\"" + text + "\" is not a window HH:MM-HH:MM, like 22:00-05:00";
    return false;
  }
  if (a == b) {
    *why = "\"" + text + "\" opens and closes at the same time";
    return false;
  }
  *from = a;
  *to = b;
  return true;
}

std::string clock_text(int minutes) {
  const int h = minutes / 60, m = minutes % 60;
  return std::string{char('0' + h / 10), char('0' + h % 10), ':', char('0' + m / 10),
                     char('0' + m % 10)};
}

std::string window_text(int from, int to) { return clock_text(from) + "-" + clock_text(to); }

bool window_open(const RunSchedule& s, int second_of_day) {
  if (!s.has_window()) return true;
  const int minute = second_of_day / 60;
  if (s.window_from < s.window_to) return minute >= s.window_from && minute < s.window_to;
  return minute >= s.window_from || minute < s.window_to;  // across midnight
}

int seconds_until(int minutes, int second_of_day) {
  if (second_of_day / 60 == minutes) return 0;
  return ((minutes * 60 - second_of_day) % SECONDS_A_DAY + SECONDS_A_DAY) % SECONDS_A_DAY;
}

std::string schedule_words(const RunSchedule& s) {
  std::string words;
  if (s.start_at >= 0) words = "starts at " + clock_text(s.start_at);
  if (s.has_window()) {
    if (!words.empty()) words += "; ";
    words += "cards start only in the window " + window_text(s.window_from, s.window_to);
  }
  return words;
}
