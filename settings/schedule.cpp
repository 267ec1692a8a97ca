#include "settings/schedule.h"
#include "protocol/text.h"

#include <algorithm>

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

long long wall_seconds(int year, int month, int day, int second_of_day) {
  // Days from the civil date (proleptic Gregorian).
  const int y = year - (month <= 2 ? 1 : 0);
  const int era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = static_cast<unsigned>((153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1);
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  const long long days = era * 146097LL + static_cast<long long>(doe) - 719468;
  return days * SECONDS_A_DAY + second_of_day;
}

long long first_start_wall(int minutes, long long armed) {
  if (minutes < 0) return NO_FIRST_START;
  const int second = static_cast<int>((armed % SECONDS_A_DAY + SECONDS_A_DAY) % SECONDS_A_DAY);
  return armed + seconds_until(minutes, second);
}

ScheduleLook schedule_look(const RunSchedule& s, long long* first_start, long long wall) {
  ScheduleLook look;
  if (*first_start != NO_FIRST_START) {
    if (wall < *first_start) {
      look.hold = ScheduleHold::start_time;
      look.wait_ms = static_cast<int>(std::min<long long>(SCHEDULE_LOOK_MS, (*first_start - wall) * 1000));
      return look;
    }
    *first_start = NO_FIRST_START;
  }
  const int second = static_cast<int>((wall % SECONDS_A_DAY + SECONDS_A_DAY) % SECONDS_A_DAY);
  if (window_open(s, second)) return look;
  look.hold = ScheduleHold::window;
  look.wait_ms = std::min(SCHEDULE_LOOK_MS, 1000 * seconds_until(s.window_from, second));
  return look;
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
