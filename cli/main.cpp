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
#include "cli/usage.h"
#include "daveridur_version.h"
#include "platform/files.h"
#include "platform/udp.h"
#include "protocol/address.h"
#include "protocol/packet.h"
#include "settings/settings.h"
#include "upgrade/run/run.h"

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
    "Finds the network cards of UPS units, checks firmware images and upgrades the cards. "
    "Give --help after a command for its options.\n\n"
    "Exit status: 0 every card OK; 1 a card failed, or the output or report could not be "
    "written; 2 a usage error, or a report that cannot be created or is in use; 3 the image "
    "fails its checks; 4 a rollout halted by its failure budget; 5 an upgrade stopped by the "
    "operator (a first Ctrl+C lets the cards sending finish and starts no more; a second "
    "aborts them). Every card's verdict (the report's verdict column, --json's \"verdict\") "
    "decides it.";

const char WAVES_HELP[] =
    "Upgrade in waves: card counts or percentages of the cards to upgrade, like 1,5,20% (a "
    "percentage rounded down, at least 1 card; the last entry repeats). A wave starts when "
    "every card of the one before runs the new version or has failed. The cards go in the "
    "order given: the report resumed, the CARDs, the --cards rows, then a range's cards";
const char START_AT_HELP[] =
    "Local time of the first start (within that minute: at once); the cards are asked and "
    "the report started at once";
const char WINDOW_HELP[] =
    "Daily window, local time, in which cards start (it may cross midnight); at its end the "
    "cards sending finish and the run waits for the next opening";
const char SETTLE_HELP[] =
    "Seconds a card must answer every check with the new version, in at least 5 answers, "
    "before it counts as applied (1 to 600); an answer with another version in that time "
    "fails it";
const char RECHECK_HELP[] =
    "Minutes after the last check (1 to 1440): every applied card is asked again, and one "
    "back on another version is \"not applied (fell back to X)\"; the run ends after that";
const char MAX_FAILURES_HELP[] =
    "Failures the whole run allows, a number or a percentage of the cards planned (with "
    "--waves: 0): cards refused, whose transfer failed, not applied, or silent after the "
    "upgrade. A budget may be reached, not passed: with 2 the run halts at the 3rd failure, "
    "with 10% of 40 cards at the 5th; nothing more starts, the rest are \"Not started : "
    "rollout halted .\"";
const char MAX_UNREACHABLE_HELP[] =
    "Cards without an answer before their transfer the run allows, a number or a percentage "
    "(the same rule: with 2 it halts at the 3rd); without it they are reported and never halt "
    "the run";
const char MIN_SETTLED_HELP[] =
    "A percentage budget halts only once this many cards have settled (all of them in a "
    "smaller run; default 10)";
const char WAVE_DELAY_HELP[] =
    "Time between waves, like 30m, 2h or 1d: a wave starts that long after every card of the "
    "one before settled (and, with --window, once the window is open)";
const char WAVE_GATE_HELP[] =
    "manual: after each wave the run pauses and asks on the terminal before the next; first: "
    "only before the second wave. Needs a terminal";
const char ORDER_HELP[] =
    "The cards' order in the waves: given (default); spread, round-robin across their /24 "
    "subnets and --cards lists (sites); shuffle or shuffle:SEED, a seeded random order (the "
    "seed is printed)";

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

void add_exclude_option(CLI::App* cmd, std::vector<std::string>& excludes, const char* group) {
  cmd->add_option("--exclude", excludes,
                  "Addresses never asked, whether named, in a range or in the report resumed "
                  "(ranges as the addresses; repeatable)")
      ->allow_extra_args(false)
      ->option_text("RANGE")
      ->group(group);
}

void add_scan_options(CLI::App* cmd, ScanSettings& scan) {
  cmd->add_option("--rate", scan.rate,
                  "Queries a second at most, on average, for the addresses of ranges, 1 to " +
                      std::to_string(SCAN_RATE_MAX) + " (default " +
                      std::to_string(SCAN_DEFAULT_RATE) + ")")
      ->default_val(SCAN_DEFAULT_RATE)
      ->check(CLI::Range(1u, SCAN_RATE_MAX))
      ->option_text("N")
      ->group("Scan");
  cmd->add_option("--retries", scan.retries,
                  "Times a silent address is asked again, 0 to 2 (default 1)")
      ->default_val(1)
      ->check(CLI::Range(0, 2))
      ->option_text("N")
      ->group("Scan");
}

// Last, so that it stands in the last group.
void add_help_flag(CLI::App* cmd) {
  cmd->set_help_flag("-h,--help", "Shows these options and exits")->group("Output");
}

const char RANGES[] = "a.b.c.d, a.b.c.d/n (16-32), a.b.c.d-e.f.g.h, or comma lists of these";

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
      "discover", "Lists the cards that answer: ip, mac, version, state (ready or no-write) and "
                  "user (left empty: a card does not tell its account).");
  cmd->add_option("ADDRESS", a.addresses,
                  std::string("Cards to ask directly: ") + RANGES +
                      "; none: a broadcast on every adapter");
  add_exclude_option(cmd, a.excludes, "Scan");
  cmd->add_option("--wait", discover.wait_ms,
                  "Milliseconds to listen for replies, 0 to 600000 (default 3000)")
      ->default_val(3000)
      ->check(CLI::Range(0u, 600000u))
      ->option_text("MS")
      ->group("Scan");
  add_scan_options(cmd, discover.scan);
  cmd->add_flag("--force", a.force, "Scan more than 65536 addresses")->group("Scan");
  CLI::Option* csv_flag =
      cmd->add_flag("--csv", discover.csv, "CSV with a header row instead of tabs")->group("Output");
  cmd->add_flag("--json", discover.json,
                "One JSON object per card and line, the CSV's columns as keys (null: unknown)")
      ->excludes(csv_flag)
      ->group("Output");
  add_help_flag(cmd);
  return a.command = cmd;
}

// What the upgrade command's options are read into, before they are checked.
struct UpgradeArgs {
  UpgradeOptions options;
  std::vector<std::string> addresses, excludes;
  std::vector<std::string> card_lists;
  std::string password_file, wave_list, start_at, window;
  PolicyTexts policy;
  bool force_scan = false;
  CLI::Option *user = nullptr, *password = nullptr, *waves = nullptr, *start_at_option = nullptr,
              *window_option = nullptr, *settle = nullptr, *recheck = nullptr;
  CLI::App* command = nullptr;
};

// The cards and their accounts.
void add_card_options(CLI::App* cmd, UpgradeArgs& a) {
  const char* group = "Cards and accounts";
  cmd->add_option("--cards", a.card_lists,
                  "Card list, CSV: ip[,user[,password]] per line, or discover --csv's output; "
                  "a card with an empty user takes --user and the password. Give it once per "
                  "site for a run across sites")
      ->allow_extra_args(false)
      ->option_text("FILE")
      ->group(group);
  a.user = cmd->add_option("--user", a.options.user,
                           "Account of the cards the list gives none (default: the stored one, "
                           "\"admin\" on a new computer)")
               ->option_text("NAME")
               ->group(group);
  cmd->add_option("--password-file", a.password_file,
                  "File whose first line is the password (else the variable DAVERIDUR_PASSWORD)")
      ->option_text("FILE")
      ->group(group);
  a.password = cmd->add_option("--password", a.options.password,
                               "The password itself: other users of the computer can read it; "
                               "prefer --password-file")
                   ->option_text("PASSWORD")
                   ->group(group);
  cmd->add_option("--resume", a.options.resume,
                  "The --report of an earlier run: its cards join this run, those it shows done "
                  "are skipped; their accounts come from --cards and --user")
      ->option_text("REPORT")
      ->group(group);
  add_exclude_option(cmd, a.excludes, group);
}

// How the cards go: the image's gate, the waves, the schedule.
void add_rollout_options(CLI::App* cmd, UpgradeArgs& a) {
  UpgradeOptions& upgrade = a.options;
  cmd->add_flag("--force", upgrade.force, "Also upgrade the cards at the image's version or newer")
      ->group("Image");
  cmd->add_flag("--verify", upgrade.verify,
                "Wait until each card runs the new version (asked again for up to 5 minutes)")
      ->group("Image");
  a.settle = cmd->add_option("--settle", upgrade.settle_seconds, SETTLE_HELP)
                 ->default_val(VERIFY_SETTLE_MS / 1000)
                 ->check(CLI::Range(1u, static_cast<unsigned>(VERIFY_SETTLE_MAX_MS / 1000)))
                 ->option_text("SECONDS")
                 ->group("Image");
  a.recheck = cmd->add_option("--recheck-after", upgrade.recheck_after_minutes, RECHECK_HELP)
                  ->check(CLI::Range(1u, 1440u))
                  ->option_text("MINUTES")
                  ->group("Image");
  const char* group = "Rollout";
  cmd->add_option("--parallel", upgrade.parallel, "Transfers at once (within a wave), 1 to " +
                                                      std::to_string(BATCH_SESSIONS_MAX) +
                                                      " (default 4)")
      ->default_val(4)
      ->check(CLI::Range(1, BATCH_SESSIONS_MAX))
      ->option_text("N")
      ->group(group);
  cmd->add_option("--transfer-limit", upgrade.transfer_limit_minutes,
                  "Minutes a card's transfer may take in all, 1 to 1440 (default 30)")
      ->default_val(30)
      ->check(CLI::Range(1u, 1440u))
      ->option_text("MINUTES")
      ->group(group);
  a.waves = cmd->add_option("--waves", a.wave_list, WAVES_HELP)->option_text("LIST")->group(group);
  cmd->add_option("--max-failures", a.policy.max_failures, MAX_FAILURES_HELP)
      ->option_text("N|N%")
      ->group(group);
  cmd->add_option("--max-unreachable", a.policy.max_unreachable, MAX_UNREACHABLE_HELP)
      ->option_text("N|N%")
      ->group(group);
  cmd->add_option("--min-settled", a.policy.min_settled, MIN_SETTLED_HELP)
      ->option_text("M")
      ->group(group);
  cmd->add_option("--wave-delay", a.policy.wave_delay, WAVE_DELAY_HELP)
      ->option_text("DURATION")
      ->group(group);
  cmd->add_option("--wave-gate", a.policy.wave_gate, WAVE_GATE_HELP)
      ->option_text("manual|first")
      ->group(group);
  cmd->add_option("--order", a.policy.order, ORDER_HELP)
      ->option_text("given|spread|shuffle[:SEED]")
      ->group(group);
  a.start_at_option =
      cmd->add_option("--start-at", a.start_at, START_AT_HELP)->option_text("HH:MM")->group(group);
  a.window_option = cmd->add_option("--window", a.window, WINDOW_HELP)
                        ->option_text("HH:MM-HH:MM")
                        ->group(group);
  cmd->add_flag("--dry-run", upgrade.dry_run,
                "Ask the cards and print each card's wave or the line it would get, then the "
                "plan; send nothing")
      ->group(group);
}

CLI::App* add_upgrade(CLI::App& app, UpgradeArgs& a) {
  UpgradeOptions& upgrade = a.options;
  CLI::App* cmd = app.add_subcommand(
      "upgrade", "Upgrades the cards behind the image's version and prints the report.");
  cmd->add_option("IMAGE", upgrade.image, "Firmware image file")->required();
  cmd->add_option("CARD", a.addresses,
                  std::string("Cards: ") + RANGES + "; a range upgrades the cards that answer");
  add_card_options(cmd, a);
  add_rollout_options(cmd, a);
  add_scan_options(cmd, upgrade.scan);
  cmd->add_flag("--force-scan", a.force_scan, "Scan more than 65536 addresses")->group("Scan");
  cmd->add_option("--report", upgrade.report,
                  "Write a CSV report of every card, before anything is sent and at every change")
      ->option_text("FILE")
      ->group("Output");
  cmd->add_flag("--json", upgrade.json,
                "JSON Lines instead of the report lines: an object per card as it settles, "
                "then {\"summary\": ...} (once more for a card --recheck-after changed); with "
                "--dry-run the plan as JSON")
      ->group("Output");
  cmd->add_option("--html", upgrade.html,
                  "Write the run's page to FILE when it ends (a halt, a stop, a signal too)")
      ->option_text("FILE")
      ->group("Output");
  add_help_flag(cmd);
  return a.command = cmd;
}

CLI::App* add_report(CLI::App& app, ReportOptions& r) {
  CLI::App* cmd = app.add_subcommand(
      "report",
      "Pictures of runs from their reports: one HTML page (waves, timeline, versions, every "
      "card), the same figures as JSON, the timeline as a trace; the cards behind a version.");
  cmd->add_option("REPORT", r.reports,
                  "Reports (--report, the window's kept ones) of one run or many: nights, sites")
      ->required();
  cmd->add_option("--html", r.html, "Write one self-contained HTML page to FILE");
  CLI::Option* json =
      cmd->add_flag("--json", r.json, "The page's figures and every card as one JSON object on stdout");
  cmd->add_option("--trace", r.trace,
                  "Write the timeline as Chrome trace-event JSON to FILE (one track per slot)");
  CLI::Option* behind = cmd->add_option(
      "--behind", r.behind,
      "List the cards behind VERSION on stdout: each card's latest state across the reports, "
      "by its MAC (also the page's target version)");
  cmd->add_flag("--csv", r.csv, "With --behind: the list as CSV with a header row")
      ->needs(behind)
      ->excludes(json);
  cmd->add_option("--waves", r.waves_text,
                  "The run's wave list (as upgrade --waves took it): each card's wave as "
                  "planned, where the report does not record it");
  cmd->add_option("--missing-site", r.missing_sites,
                  "A site of the fleet that left no report, as SITE=WHAT (what became of it: "
                  "failed, not started): listed on the page and in the JSON")
      ->option_text("SITE=WHAT");
  add_help_flag(cmd);
  return cmd;
}

// The rollout's policy as given (the window reads its fields with the same
// read_policy); a gate a person opens needs one at a terminal.
bool read_policy_options(const PolicyTexts& texts, UpgradeOptions* upgrade, std::string* bad) {
  PolicyField field = PolicyField::none;
  std::string why;
  if (!read_policy(texts, &upgrade->policy, &why, &field)) {
    const char* names[] = {"", "--max-failures", "--max-unreachable", "--min-settled",
                           "--wave-delay", "--wave-gate", "--order"};
    *bad = std::string(names[static_cast<int>(field)]) + ": " + why;
    return false;
  }
  RolloutPolicy& p = upgrade->policy;
  if (p.failures.on() && !p.failures.percent) upgrade->max_failures = p.failures.value;
  if (p.gate != WaveGate::none && !upgrade->dry_run && !console_is_interactive()) {
    *bad = std::string("--wave-gate ") + wave_gate_word(p.gate) +
           " asks a person before the next wave: run it at a terminal (stdin and stderr), or "
           "give --wave-delay for an unattended run";
    return false;
  }
  if (p.order.kind == OrderKind::shuffle && !p.order.seeded) {
    p.order.seed = fresh_seed();
    p.order.seeded = true;
    upgrade->seed_drawn = true;
  }
  return true;
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
  if (!read_policy_options(a.policy, &upgrade, bad)) return false;
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
  if (!upgrade.html.empty()) {
    bool exists = false;
    std::string why;
    if (upgrade.dry_run) {
      *bad = "--dry-run sends nothing and writes no page";
      return false;
    }
    if (upgrade.html == upgrade.report) {
      *bad = "--html and --report name the same file";
      return false;
    }
    if (!regular_file_check(upgrade.html, &exists, &why)) {
      *bad = "--html " + upgrade.html + ": " + why;
      return false;
    }
  }
  if ((a.settle->count() || a.recheck->count()) && !upgrade_checks(upgrade)) {
    *bad = "--settle and --recheck-after are for the checks after the upgrade: give --verify";
    return false;
  }
  if (upgrade.dry_run && !upgrade.report.empty()) {
    *bad = "--dry-run sends nothing and writes no report";
    return false;
  }
  for (size_t site = 0; site < a.card_lists.size(); ++site) {
    const size_t from = upgrade.cards.size();
    if (!read_card_file(a.card_lists[site], &upgrade.cards, bad)) return false;
    for (size_t i = from; i < upgrade.cards.size(); ++i) upgrade.cards[i].site = static_cast<int>(site);
  }
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
  app.formatter(help_formatter());
  app.require_subcommand(1, 1);
  // The version the window's caption shows.
  app.set_version_flag("--version", std::string("daveridur-cli ") + DAVERIDUR_FILE_VERSION_TEXT,
                       "Shows the version and exits");
  app.set_help_flag("-h,--help", "Shows the commands and exits");
  // Arguments that start with '/' are paths (and Wine's Unix paths), not
  // options; the subcommands inherit this.
  app.allow_windows_style_options(false);

  DiscoverArgs discover;
  CLI::App* discover_cmd = add_discover(app, discover);
  std::string check_image_path;
  CLI::App* check_cmd =
      app.add_subcommand("check", "Checks an image; prints its version, date code and size.");
  check_cmd->add_option("IMAGE", check_image_path, "Firmware image file")->required();
  add_help_flag(check_cmd);
  UpgradeArgs upgrade;
  CLI::App* upgrade_cmd = add_upgrade(app, upgrade);
  ReportOptions report;
  CLI::App* report_cmd = add_report(app, report);
  for (CLI::App* cmd : {discover_cmd, check_cmd, upgrade_cmd, report_cmd}) cmd->group("Commands");

  const std::vector<std::string> args(argv + 1, argv + argc);
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForAllHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForVersion& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    // One line, the option meant when a word is one edit from it.
    CLI::App& command = *command_of(app, args);
    std::string message = e.what();
    if (!message.empty() && message[0] >= 'A' && message[0] <= 'Z') message[0] += 'a' - 'A';
    if (dynamic_cast<const CLI::ArgumentMismatch*>(&e)) {
      const std::string name = message.substr(0, message.find(':'));
      if (const CLI::Option* opt = command.get_option_no_throw(name))
        message = name + " needs its value, " + opt->get_option_text();
    }
    if (dynamic_cast<const CLI::ExtrasError*>(&e) || &command == &app) {
      const std::string unknown = unknown_argument_text(app, command, args);
      if (!unknown.empty())
        message = unknown;
      else if (&command == &app)
        message = "no command: give discover, check, upgrade or report";
    }
    return usage_error(app, command, message);
  }

  std::string bad;
  if (discover_cmd->parsed() &&
      !read_targets(discover.addresses, discover.excludes, discover.force, "--force",
                    &discover.options.addresses, &bad))
    return usage_error(app, *discover_cmd, bad);
  if (discover_cmd->parsed() && !discover.addresses.empty() &&
      discover.options.addresses.intervals.empty())
    return usage_error(app, *discover_cmd, "every address named is excluded");
  if (upgrade_cmd->parsed() && !check_upgrade(upgrade, &bad))
    return usage_error(app, *upgrade_cmd, bad);
  if (report_cmd->parsed() && !report.waves_text.empty()) {
    if (!read_wave_list(report.waves_text, &report.waves, &bad))
      return usage_error(app, *report_cmd, "--waves: " + bad);
    report.has_waves = true;
  }

  catch_interrupt();
  set_setting_problem_handler(print_setting_problem);
  if (check_cmd->parsed()) return output_checked(run_check_command(check_image_path));
  if (report_cmd->parsed()) return output_checked(run_report(report));

  if (!net_startup()) {
    std::fprintf(stderr, "daveridur-cli: the socket library cannot be started\n");
    return output_checked(EXIT_CARD_FAILED);
  }
  int status =
      discover_cmd->parsed() ? run_discover(discover.options) : run_upgrade(upgrade.options);
  net_cleanup();
  return output_checked(status);
}
