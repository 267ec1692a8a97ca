#pragma once
// The program's remembered values: the registry in the product, a small
// file store natively. Every operation opens and closes its key itself.
#include <cstdint>
#include <string>
#include <vector>

#include "settings/schedule.h"

inline constexpr const char* SETTINGS_KEY = "Software\\Duzavod\\Daveridur";
inline constexpr uint32_t SETTING_TEXT = 1;  // REG_SZ

// 1 on success, 0 otherwise. A text is stored with its terminator.
int write_setting_text(const char* key, const char* name, const char* text);
int write_setting(const char* key, const char* name, const void* data, uint32_t size,
                  uint32_t type);

// Read at most size bytes; a value larger than that is a failed read. The
// stored type is returned through type and not checked.
int read_setting_text(const char* key, const char* name, char* buffer, uint32_t size);
int read_setting(const char* key, const char* name, void* buffer, uint32_t size, uint32_t* type);

// A folder or file name, UTF-8, as text (REG_SZ) that keeps every character.
// Reads accept values written by write_setting_text; a value longer than
// 1023 characters is a failed read.
bool write_setting_path(const char* key, const char* name, const std::string& utf8);
bool read_setting_path(const char* key, const char* name, std::string* utf8);

// The user name every new card starts with: the last one confirmed
// ("LastAccount"), or "admin". Read from the store at every call; a stored
// name that is no usable user name (user_name_usable) is reported once
// (setting_problem) and "admin" is used.
std::string default_account();
// A user name as a card's write request carries it: at most 31 bytes, no
// '@' (it separates the request's fields), no control character. False
// with the reason.
bool user_name_usable(const std::string& name, std::string* why);

// A stored value that does not read back: told once per setting and
// process, to the handler when one is set (the command-line tool's stderr),
// else kept until taken (the window shows them in an information box).
// text: 'the stored setting "Rollout" cannot be read ("on x"): its default
// is used'.
void set_setting_problem_handler(void (*handler)(const std::string& text));
void setting_problem(const char* name, const std::string& why, const std::string& used);
std::vector<std::string> take_setting_problems();

// How Upgrade runs the ticked cards, as the Rollout dialog keeps it in its
// own value ("Rollout", text such as "on 1 25% 1"): in waves or not, the
// first wave's cards, the later waves' cards or percentage of the cards,
// and the failure that stops the run. Each number is 1 to
// ROLLOUT_NUMBER_MAX, a percentage 1 to 100. A schedule follows when one is
// kept: "start=22:00", "window=22:00-05:00" (a text without them, as
// written before there were schedules, reads as none).
inline constexpr const char* ROLLOUT_SETTING = "Rollout";
inline constexpr uint32_t ROLLOUT_NUMBER_MAX = 1000000;
struct RolloutSetting {
  bool waves = false;
  uint32_t first = 1;
  uint32_t later = 25;
  bool later_percent = true;
  uint32_t stop_after = 1;  // the run stops at this failure
  RunSchedule schedule;     // with waves only
  bool operator==(const RolloutSetting&) const = default;
};
std::string rollout_setting_text(const RolloutSetting& setting);
// False for text rollout_setting_text does not write; *setting unchanged.
bool read_rollout_setting_text(const std::string& text, RolloutSetting* setting);
// The kept choice; the defaults (not in waves) when none is kept or it
// cannot be read (then reported once, setting_problem).
RolloutSetting read_rollout_setting();
bool write_rollout_setting(const RolloutSetting& setting);

// How many transfers Upgrade runs at once, as the Rollout dialog keeps it
// in its own value ("TransfersAtOnce", text such as "32"): 1 to
// TRANSFERS_AT_ONCE_MAX, TRANSFERS_AT_ONCE_DEFAULT when none is kept or it
// cannot be read (then reported once, setting_problem).
inline constexpr const char* TRANSFERS_SETTING = "TransfersAtOnce";
inline constexpr uint32_t TRANSFERS_AT_ONCE_DEFAULT = 4;
inline constexpr uint32_t TRANSFERS_AT_ONCE_MAX = 64;
// False for a text that is no count 1 to TRANSFERS_AT_ONCE_MAX (blanks
// around it allowed); *count unchanged.
bool read_transfers_text(const std::string& text, uint32_t* count);
uint32_t read_transfers_setting();
bool write_transfers_setting(uint32_t count);

// How long a card must hold the image's version in its answers after an
// upgrade before it counts as applied, as the Rollout dialog keeps it in
// its own value ("SettleSeconds", text such as "30"): 1 to
// SETTLE_SECONDS_MAX, SETTLE_SECONDS_DEFAULT when none is kept or it
// cannot be read (then reported once, setting_problem).
inline constexpr const char* SETTLE_SETTING = "SettleSeconds";
inline constexpr uint32_t SETTLE_SECONDS_DEFAULT = 30;
inline constexpr uint32_t SETTLE_SECONDS_MAX = 600;
// False for a text that is no count 1 to SETTLE_SECONDS_MAX (blanks
// around it allowed); *seconds unchanged.
bool read_settle_text(const std::string& text, uint32_t* seconds);
uint32_t read_settle_setting();
bool write_settle_setting(uint32_t seconds);

// How long after a run's last check Upgrade asks its applied cards again,
// as the Rollout dialog keeps it in its own value ("RecheckMinutes", text
// such as "60"): 1 to RECHECK_MINUTES_MAX; 0 (the default, and what an
// unreadable value reads as, reported once): no recheck.
inline constexpr const char* RECHECK_SETTING = "RecheckMinutes";
inline constexpr uint32_t RECHECK_MINUTES_MAX = 1440;
// False for a text that is no count 0 to RECHECK_MINUTES_MAX (blanks
// around it allowed; blanks alone read as 0); *minutes unchanged.
bool read_recheck_text(const std::string& text, uint32_t* minutes);
uint32_t read_recheck_setting();
bool write_recheck_setting(uint32_t minutes);

// Native store only: the folder that holds the values (tests use a temporary
// one). The default is $HOME/.config/daveridur.
void set_settings_folder(const char* folder);

// Where batch reports are kept (UTF-8): %LOCALAPPDATA%\Daveridur\Reports in
// the product, "reports" in the settings folder natively. Not created here.
std::string reports_folder();
