#pragma once
// When a run may start cards, by the local clock: a first start at a time
// of day (the next such time), and a daily window that cards start only
// inside (it may cross midnight). Times are minutes of the day, 0 to 1439.
#include <cstdint>
#include <string>

struct RunSchedule {
  int start_at = -1;     // -1: at once
  int window_from = -1;  // -1: any time; else window_to is set too
  int window_to = -1;    // the first minute outside the window
  bool has_window() const { return window_from >= 0; }
  bool empty() const { return start_at < 0 && !has_window(); }
  bool operator==(const RunSchedule&) const = default;
};

inline constexpr int MINUTES_A_DAY = 24 * 60;
inline constexpr int SECONDS_A_DAY = 24 * 3600;

// "HH:MM" (the hour may have one digit), 00:00 to 23:59. False with *why
// saying what is expected, e.g. `"25:00" is not a time of day HH:MM, like 22:00`.
bool read_clock_time(const std::string& text, int* minutes, std::string* why);
// "HH:MM-HH:MM" (blanks around either time allowed); the two times differ.
bool read_time_window(const std::string& text, int* from, int* to, std::string* why);
// "05:00"; "22:00-05:00".
std::string clock_text(int minutes);
std::string window_text(int from, int to);

// Whether a card may start at that second of the day (every second without
// a window).
bool window_open(const RunSchedule& schedule, int second_of_day);
// Seconds from second_of_day to the next time the clock reads minutes:00;
// 0 inside that minute.
int seconds_until(int minutes, int second_of_day);
// ---- The schedule as a run follows it, by the wall clock

// The local wall clock read as one number: days since 1970-01-01 times a
// day's seconds plus the second of the day, with no time zone, so that a
// daylight-saving jump or a clock set by hand shows as a jump of it.
long long wall_seconds(int year, int month, int day, int second_of_day);
// No first start to wait for (none asked, or already reached).
inline constexpr long long NO_FIRST_START = -1;
// The wall reading of a run's first start, the run ready at wall reading
// armed: the next time the clock reads minutes:00 (at once inside that
// minute); NO_FIRST_START for minutes < 0.
long long first_start_wall(int minutes, long long armed);
// The longest the run waits on its own (steady) clock before it reads the
// wall clock again while the schedule holds cards: the wall clock may jump
// meanwhile, and a wait fixed once would miss it.
inline constexpr int SCHEDULE_LOOK_MS = 1000;
enum class ScheduleHold { none, start_time, window };
struct ScheduleLook {
  ScheduleHold hold = ScheduleHold::none;
  int wait_ms = 0;  // while held: when to read the wall clock again
};
// Judged afresh at each wall reading: held before the first start's reading
// (a start time a jump forward skipped is passed by the jump, so cards
// start at the jump), then outside the window. Once reached, *first_start
// becomes NO_FIRST_START: a clock set back later (the autumn's hour) does
// not hold the run again.
ScheduleLook schedule_look(const RunSchedule& schedule, long long* first_start, long long wall);

// "starts at 22:00; cards start only in the window 22:00-05:00", "" when empty.
std::string schedule_words(const RunSchedule& schedule);
