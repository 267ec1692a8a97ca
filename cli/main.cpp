// daveridur-cli discover | check | upgrade: the program's work without its
// window, for scripts and scheduled maintenance.
#include <CLI/CLI.hpp>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cli/cli.h"
#include "cli/console.h"
#include "cli/fleet_files.h"
#include "daveridur_version.h"
#include "platform/udp.h"
#include "protocol/address.h"
#include "protocol/packet.h"
#include "settings/settings.h"
#include "upgrade/upgrade.h"

std::atomic<bool> interrupted{false};

namespace {

std::atomic<int> first_output_error{0};

}  // namespace

void flush_output() {
  errno = 0;
  if (std::fflush(stdout) == 0) return;
  int none = 0;
  first_output_error.compare_exchange_strong(none, errno ? errno : EIO);
}

int output_error() { return first_output_error.load(); }

namespace {

const char DESCRIPTION[] =
    "Finds the network cards of UPS units, checks firmware images and upgrades the cards.\n"
    "Exit status: 0 every card OK, 1 a card failed or the output or report could not be written,\n"
    "2 usage error or a report that cannot be created, 3 the image fails its checks,\n"
    "4 a rollout (upgrade --waves or --max-failures) halted by its failure budget, 5 an upgrade\n"
    "stopped by the operator with Ctrl+C: the first lets the cards sending finish and starts no\n"
    "more (the rest are \"Not started : stopped by the operator .\"); a second aborts them.\n"
    "Every card's verdict (the report's verdict column, --json's \"verdict\") decides it.";

const char PASSWORD_VARIABLE[] = "DAVERIDUR_PASSWORD";

const char WAVES_HELP[] =
    "Upgrade in waves: a list of card counts or percentages of the cards to upgrade, like "
    "1,5,20% (a percentage is rounded down, and at least 1 card); the last entry repeats until "
    "every card has its wave. A wave starts only when every card of the one before runs the new "
    "version or has failed. The waves take the cards in the order given: with --resume the "
    "report's first, then the addresses named, then the --cards list's rows, then the cards a "
    "range found, in address order";
const char START_AT_HELP[] =
    "HH:MM, local time: the first card starts at the next such time (within that minute: at "
    "once); the cards are asked, and the report started, at once";
const char WINDOW_HELP[] =
    "HH:MM-HH:MM, local time: cards start only inside this daily window (it may cross "
    "midnight); at its end no more start, those sending finish, and the run waits for its "
    "next opening";
const char SETTLE_HELP[] =
    "Seconds a card must answer every check with the new version, in at least 5 answers, "
    "before it counts as applied (1 to 600); an answer with another version in that time "
    "fails it";
const char RECHECK_HELP[] =
    "Minutes after the last check (1 to 1440): every applied card is asked again, and one "
    "back on another version is \"not applied (fell back to X)\"; the run ends after that";
const char MAX_FAILURES_HELP[] =
    "Failures the whole run allows (with --waves: 0); one more halts it: nothing more starts, "
    "the cards not started are reported \"Not started : rollout halted .\"";

// The password from --password-file, --password or the environment, in that
// order; false with the reason. A password given on the command line can be
// read by every user of the computer for as long as the run lasts.
bool take_password(const std::string& file, bool given, UpgradeOptions* o, std::string* error) {
  if (!file.empty()) {
    if (given) {
      *error = "give the password with --password-file or --password, not both";
      return false;
    }
    if (!read_password_file(file, &o->password, error)) return false;
    o->has_password = true;
    return true;
  }
  if (given) {
    std::fprintf(stderr,
                 "daveridur-cli: warning: other users of this computer can read a password given "
                 "with --password; use --password-file FILE or %s\n",
                 PASSWORD_VARIABLE);
    o->has_password = true;
    return true;
  }
  if (const char* value = std::getenv(PASSWORD_VARIABLE)) {
    o->password = value;
    o->has_password = true;
  }
  return true;
}

// A user name or password goes into the write request between '@'s; the
// stored account is held to the same rule (settings.h).
bool account_usable(const UpgradeOptions& o, std::string* error) {
  if (o.user.size() > 31 || o.password.size() > 31) {
    *error = "user name and password hold at most 31 characters";
    return false;
  }
  if (o.user.find('@') != std::string::npos || o.password.find('@') != std::string::npos) {
    *error = "a user name or password cannot hold '@'";
    return false;
  }
  std::string why;
  if (!user_name_usable(o.user, &why)) {
    *error = "--user: " + why;
    return false;
  }
  return true;
}

void print_setting_problem(const std::string& text) {
  std::fprintf(stderr, "daveridur-cli: %s\n", text.c_str());
}

// A lone address names a card; anything else is a range or a list to scan.
bool is_lone_address(const std::string& text) { return text.find_first_of(",/-") == text.npos; }

// The addresses of the arguments, less the excludes; false with *why naming
// the argument refused. A lone address is read as a card's.
bool read_targets(const std::vector<std::string>& texts, const std::vector<std::string>& excludes,
                  bool force, const char* force_flag, AddressSet* set, std::string* why) {
  for (const std::string& t : texts) {
    uint32_t ip = 0;
    if (is_lone_address(t) && !read_card_address(t, &ip, why)) return false;
  }
  if (read_scan_addresses(texts, excludes, true, set, why)) {
    if (force || address_count(*set) <= SCAN_ADDRESS_MAX) return true;
    *why = "the scan holds " + std::to_string(address_count(*set)) + " addresses, more than " +
           std::to_string(SCAN_ADDRESS_MAX) + "; narrow it, or give " + force_flag;
  }
  return false;
}

void add_scan_options(CLI::App* cmd, ScanSettings& scan, std::vector<std::string>& excludes) {
  cmd->add_option("--exclude", excludes, "Addresses never asked (ranges as above; repeatable)")
      ->allow_extra_args(false);
  cmd->add_option("--rate", scan.rate, "Queries a second at most, on average, for addresses")
      ->default_val(SCAN_DEFAULT_RATE)
      ->check(CLI::Range(1u, SCAN_RATE_MAX));
  cmd->add_option("--retries", scan.retries, "Times a silent address is asked again")
      ->default_val(1)
      ->check(CLI::Range(0, 2));
}

const char RANGES[] = "a.b.c.d, a.b.c.d/n (16-32), a.b.c.d-e.f.g.h, or comma lists of these";

int usage_error(CLI::App& app, const std::string& message) {
  std::fprintf(stderr, "daveridur-cli: %s\n\n%s", message.c_str(), app.help().c_str());
  return EXIT_USAGE;
}

// Output that did not reach its reader (a full disk, a pipe whose reader
// went away) fails the run: a script must not take a lost report for success.
int output_checked(int status) {
  flush_output();
  if (!output_error() && !std::ferror(stdout)) {
    run_finished();
    return status;
  }
  const int error = output_error();
  std::fprintf(stderr, "daveridur-cli: the output could not be written%s%s\n",
               error ? ": " : "", error ? std::strerror(error) : "");
  run_finished();
  return status == EXIT_ALL_OK ? EXIT_CARD_FAILED : status;
}

}  // namespace

namespace {

// What the discover command's options are read into.
struct DiscoverArgs {
  DiscoverOptions options;
  std::vector<std::string> addresses, excludes;
  bool force = false;
  CLI::App* command = nullptr;
};

CLI::App* add_discover(CLI::App& app, DiscoverArgs& a) {
  DiscoverOptions& discover = a.options;
  CLI::App* cmd = app.add_subcommand(
      "discover", "Lists the cards that answer: ip, mac, version, state, user.");
  cmd->add_option("--wait", discover.wait_ms, "Milliseconds to listen for replies")
      ->default_val(3000)
      ->check(CLI::Range(0u, 600000u));
  CLI::Option* csv_flag = cmd->add_flag("--csv", discover.csv, "CSV with a header row instead of tabs");
  cmd->add_flag("--json", discover.json, "One JSON object per card and line, the CSV's columns as keys")
      ->excludes(csv_flag);
  cmd->add_option("ADDRESS", a.addresses,
                  std::string("Cards to ask directly: ") + RANGES +
                      "; none: broadcast on every adapter");
  add_scan_options(cmd, discover.scan, a.excludes);
  cmd->add_flag("--force", a.force, "Scan more than 65536 addresses");
  return a.command = cmd;
}

// What the upgrade command's options are read into, before they are checked.
struct UpgradeArgs {
  UpgradeOptions options;
  std::vector<std::string> addresses, excludes;
  std::string card_list, password_file, wave_list, start_at, window;
  bool force_scan = false;
  CLI::Option *user = nullptr, *password = nullptr, *waves = nullptr, *start_at_option = nullptr,
              *window_option = nullptr, *settle = nullptr, *recheck = nullptr;
  CLI::App* command = nullptr;
};

// The account, the report and the transfers.
void add_upgrade_run_options(CLI::App* cmd, UpgradeArgs& a) {
  UpgradeOptions& upgrade = a.options;
  cmd->add_option("--cards", a.card_list, "CSV card list: ip[,user[,password]]");
  a.user = cmd->add_option(
      "--user", upgrade.user, "Account for cards without one in the list (default: the stored one)");
  a.password = cmd->add_option(
      "--password", upgrade.password,
      "Password for that account (other users can read it: prefer --password-file)");
  cmd->add_option("--password-file", a.password_file,
                  "File whose first line is the password (else DAVERIDUR_PASSWORD)");
  cmd->add_option("--transfer-limit", upgrade.transfer_limit_minutes,
                  "Minutes a card's transfer may take in all")
      ->default_val(30)
      ->check(CLI::Range(1u, 1440u));
  cmd->add_flag("--force", upgrade.force, "Upgrade cards at the image's version or newer");
  cmd->add_flag("--verify", upgrade.verify, "Wait until each card runs the new version");
  a.settle = cmd->add_option("--settle", upgrade.settle_seconds, SETTLE_HELP)
                 ->default_val(VERIFY_SETTLE_MS / 1000)
                 ->check(CLI::Range(1u, static_cast<unsigned>(VERIFY_SETTLE_MAX_MS / 1000)));
  a.recheck = cmd->add_option("--recheck-after", upgrade.recheck_after_minutes, RECHECK_HELP)
                  ->check(CLI::Range(1u, 1440u));
  cmd->add_option("--report", upgrade.report, "Write a CSV report of every card");
  cmd->add_option("--parallel", upgrade.parallel, "Transfers at once (within a wave)")
      ->default_val(4)
      ->check(CLI::Range(1, BATCH_SESSIONS_MAX));
}

CLI::App* add_upgrade(CLI::App& app, UpgradeArgs& a) {
  UpgradeOptions& upgrade = a.options;
  CLI::App* cmd = app.add_subcommand(
      "upgrade", "Upgrades cards behind the image's version and prints the report.");
  cmd->add_option("IMAGE", upgrade.image, "Firmware image file")->required();
  cmd->add_option("CARD", a.addresses,
                  std::string("Cards: ") + RANGES + "; a range upgrades the cards that answer");
  add_scan_options(cmd, upgrade.scan, a.excludes);
  cmd->add_flag("--force-scan", a.force_scan, "Scan more than 65536 addresses");
  add_upgrade_run_options(cmd, a);
  a.waves = cmd->add_option("--waves", a.wave_list, WAVES_HELP);
  cmd->add_option("--max-failures", upgrade.max_failures, MAX_FAILURES_HELP)
      ->check(CLI::Range(0, 1000000));
  a.start_at_option = cmd->add_option("--start-at", a.start_at, START_AT_HELP);
  a.window_option = cmd->add_option("--window", a.window, WINDOW_HELP);
  CLI::Option* dry_run = cmd->add_flag(
      "--dry-run", upgrade.dry_run,
      "Asks the cards and prints each card's wave or the line it would get, and the plan and "
      "the schedule on stderr; sends nothing");
  cmd->add_option("--resume", upgrade.resume,
                  "A report of an earlier run: its cards join this run, and those it "
                  "shows done (ok and applied or not verified) are skipped");
  CLI::Option* json = cmd->add_flag(
      "--json", upgrade.json,
      "JSON Lines on stdout instead of the report lines: one object per card as it settles "
      "(the report's columns and wave; once more for a card --recheck-after changed), then "
      "{\"summary\": ...}");
  dry_run->excludes(json);
  return a.command = cmd;
}

// The upgrade's cards and options as given, read strictly; false with *bad.
bool check_upgrade(UpgradeArgs& a, std::string* bad) {
  UpgradeOptions& upgrade = a.options;
  upgrade.has_user = a.user->count() > 0;
  if (!take_password(a.password_file, a.password->count() > 0, &upgrade, bad) ||
      !account_usable(upgrade, bad))
    return false;
  // Lone addresses are cards, each reported; ranges find the cards in them.
  std::vector<std::string> ranges;
  for (const std::string& t : a.addresses) {
    if (!is_lone_address(t)) {
      ranges.push_back(t);
      continue;
    }
    CardOrder card;
    if (!read_card_address(t, &card.ip, bad)) return false;
    upgrade.cards.push_back(card);
  }
  if (!ranges.empty() &&
      !read_targets(ranges, a.excludes, a.force_scan, "--force-scan", &upgrade.ranges, bad))
    return false;
  upgrade.range_texts = ranges;
  if (a.waves->count()) {
    if (!read_wave_list(a.wave_list, &upgrade.waves, bad)) return false;
    upgrade.has_waves = true;
  }
  std::string why;
  if (a.start_at_option->count() &&
      !read_clock_time(a.start_at, &upgrade.schedule.start_at, &why)) {
    *bad = "--start-at " + why;
    return false;
  }
  if (a.window_option->count() && !read_time_window(a.window, &upgrade.schedule.window_from,
                                                    &upgrade.schedule.window_to, &why)) {
    *bad = "--window " + why;
    return false;
  }
  if ((a.settle->count() || a.recheck->count()) && !upgrade_checks(upgrade)) {
    *bad = "--settle and --recheck-after are for the checks after the upgrade: give --verify";
    return false;
  }
  if (upgrade.dry_run && !upgrade.report.empty()) {
    *bad = "--dry-run sends nothing and writes no report";
    return false;
  }
  if (!a.card_list.empty() && !read_card_file(a.card_list, &upgrade.cards, bad)) return false;
  // An exclude wins over a named card as over a range.
  AddressSet left_out;
  for (const std::string& t : a.excludes)
    if (!read_address_ranges(t, &left_out, bad, RangeRole::exclude)) return false;
  upgrade.cards.erase(std::remove_if(upgrade.cards.begin(), upgrade.cards.end(),
                                     [&](const CardOrder& c) {
                                       uint64_t at = 0;
                                       return address_index(left_out, host_address(c.ip), &at);
                                     }),
                      upgrade.cards.end());
  upgrade.excluded = left_out;
  if (upgrade.cards.empty() && upgrade.ranges.intervals.empty() && upgrade.resume.empty()) {
    *bad = "no cards: name them or give --cards";
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{DESCRIPTION, "daveridur-cli"};
  app.require_subcommand(1, 1);
  // The version the window's caption shows.
  app.set_version_flag("--version", std::string("daveridur-cli ") + DAVERIDUR_FILE_VERSION_TEXT,
                       "Shows the version and exits");
  // Arguments that start with '/' are paths (and Wine's Unix paths), not
  // options; the subcommands inherit this.
  app.allow_windows_style_options(false);

  DiscoverArgs discover;
  CLI::App* discover_cmd = add_discover(app, discover);
  std::string check_image_path;
  CLI::App* check_cmd =
      app.add_subcommand("check", "Checks an image; prints its version, date code and size.");
  check_cmd->add_option("IMAGE", check_image_path, "Firmware image file")->required();
  UpgradeArgs upgrade;
  CLI::App* upgrade_cmd = add_upgrade(app, upgrade);

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForAllHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForVersion& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    return usage_error(app, e.what());
  }

  std::string bad;
  if (discover_cmd->parsed() &&
      !read_targets(discover.addresses, discover.excludes, discover.force, "--force",
                    &discover.options.addresses, &bad))
    return usage_error(app, bad);
  if (discover_cmd->parsed() && !discover.addresses.empty() &&
      discover.options.addresses.intervals.empty())
    return usage_error(app, "every address named is excluded");
  if (upgrade_cmd->parsed() && !check_upgrade(upgrade, &bad)) return usage_error(app, bad);

  catch_interrupt();
  set_setting_problem_handler(print_setting_problem);
  if (check_cmd->parsed()) return output_checked(run_check_command(check_image_path));

  if (!net_startup()) {
    std::fprintf(stderr, "daveridur-cli: the socket library cannot be started\n");
    return output_checked(EXIT_CARD_FAILED);
  }
  int status =
      discover_cmd->parsed() ? run_discover(discover.options) : run_upgrade(upgrade.options);
  net_cleanup();
  return output_checked(status);
}
