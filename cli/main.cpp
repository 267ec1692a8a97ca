// daveridur-cli discover | check | upgrade: the program's work without its
// window, for scripts and scheduled maintenance.
#include <CLI/CLI.hpp>

#include <cstdio>
#include <cstring>

#include "cli/cli.h"
#include "cli/fleet_files.h"
#include "daveridur_version.h"
#include "platform/udp.h"
#include "protocol/packet.h"

std::atomic<bool> interrupted{false};

namespace {

const char DESCRIPTION[] =
    "Finds the network cards of UPS units, checks firmware images and upgrades the cards.\n"
    "Exit status: 0 every card OK, 1 a card failed, 2 usage error, 3 the image fails its checks.";

// Card addresses as the program reads them; false after naming a bad one.
bool card_addresses(const std::vector<std::string>& texts, std::vector<uint32_t>* out,
                    std::string* bad) {
  for (const std::string& t : texts) {
    uint32_t ip = text_to_ip(t.c_str());
    if (ip == BROADCAST_ADDRESS || t.find_first_not_of("0123456789.xXabcdefABCDEF") != t.npos) {
      *bad = t;
      return false;
    }
    out->push_back(ip);
  }
  return true;
}

int usage_error(CLI::App& app, const std::string& message) {
  std::fprintf(stderr, "daveridur-cli: %s\n\n%s", message.c_str(), app.help().c_str());
  return EXIT_USAGE;
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

  DiscoverOptions discover;
  std::vector<std::string> discover_addresses;
  CLI::App* discover_cmd = app.add_subcommand(
      "discover", "Lists the cards that answer: ip, mac, version, state, user.");
  discover_cmd->add_option("--wait", discover.wait_ms, "Milliseconds to listen for replies")
      ->default_val(3000)
      ->check(CLI::Range(0u, 600000u));
  CLI::Option* csv_flag =
      discover_cmd->add_flag("--csv", discover.csv, "CSV with a header row instead of tabs");
  discover_cmd->add_flag("--json", discover.json, "One JSON object per card and line, the CSV's columns as keys")
      ->excludes(csv_flag);
  discover_cmd->add_option("ADDRESS", discover_addresses,
                           "Cards to ask directly; none: broadcast on every adapter");

  std::string check_image_path;
  CLI::App* check_cmd =
      app.add_subcommand("check", "Checks an image; prints its version, date code and size.");
  check_cmd->add_option("IMAGE", check_image_path, "Firmware image file")->required();

  UpgradeOptions upgrade;
  std::vector<std::string> upgrade_addresses;
  std::string card_list;
  CLI::App* upgrade_cmd = app.add_subcommand(
      "upgrade", "Upgrades cards behind the image's version and prints the report.");
  upgrade_cmd->add_option("IMAGE", upgrade.image, "Firmware image file")->required();
  upgrade_cmd->add_option("CARD", upgrade_addresses, "Card addresses");
  upgrade_cmd->add_option("--cards", card_list, "CSV card list: ip[,user[,password]]");
  CLI::Option* user = upgrade_cmd->add_option(
      "--user", upgrade.user, "Account for cards without one in the list (default: the stored one)");
  CLI::Option* password =
      upgrade_cmd->add_option("--password", upgrade.password, "Password for that account");
  upgrade_cmd->add_flag("--force", upgrade.force, "Upgrade cards at the image's version or newer");
  upgrade_cmd->add_flag("--verify", upgrade.verify, "Wait until each card runs the new version");
  upgrade_cmd->add_option("--report", upgrade.report, "Write a CSV report of every card");
  upgrade_cmd->add_option("--parallel", upgrade.parallel, "Transfers at once")
      ->default_val(4)
      ->check(CLI::Range(1, 4));

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
      !card_addresses(discover_addresses, &discover.addresses, &bad))
    return usage_error(app, "not a card address: " + bad);
  if (upgrade_cmd->parsed()) {
    upgrade.has_user = user->count() > 0;
    upgrade.has_password = password->count() > 0;
    if (upgrade.user.size() > 31 || upgrade.password.size() > 31)
      return usage_error(app, "user name and password hold at most 31 characters");
    std::vector<uint32_t> ips;
    if (!card_addresses(upgrade_addresses, &ips, &bad))
      return usage_error(app, "not a card address: " + bad);
    for (uint32_t ip : ips) {
      CardOrder card;
      card.ip = ip;
      upgrade.cards.push_back(card);
    }
    std::string error;
    if (!card_list.empty() && !read_card_file(card_list, &upgrade.cards, &error))
      return usage_error(app, error);
    if (upgrade.cards.empty()) return usage_error(app, "no cards: name them or give --cards");
  }

  if (check_cmd->parsed()) return run_check(check_image_path);

  catch_interrupt();
  if (!net_startup()) {
    std::fprintf(stderr, "daveridur-cli: the socket library cannot be started\n");
    return EXIT_CARD_FAILED;
  }
  int status = discover_cmd->parsed() ? run_discover(discover) : run_upgrade(upgrade);
  net_cleanup();
  return status;
}
