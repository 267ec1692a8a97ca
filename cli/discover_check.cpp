// The discover and check commands.
#include <algorithm>
#include <cstdio>
#include <vector>

#include "cli/cli.h"
#include "cli/console.h"
#include "cli/run_output.h"
#include "image/image.h"
#include "protocol/csv.h"
#include "protocol/json.h"
#include "protocol/packet.h"

namespace {

// A CSV record on stdout ends as the system's lines do (text mode turns
// "\n" into CR LF on Windows); the files the tool writes keep CR LF.
void print_record(std::string record) {
  if (record.size() >= 2 && record.compare(record.size() - 2, 2, "\r\n") == 0)
    record.resize(record.size() - 2);
  std::printf("%s\n", record.c_str());
}

const char* const CARD_COLUMNS[] = {"ip", "mac", "version", "state", "user"};

// {"key":value,...}: an empty value is unknown, null.
std::string json_card(const std::vector<std::string>& keys, const std::vector<std::string>& values) {
  std::string out = "{";
  for (size_t i = 0; i < keys.size(); ++i) {
    if (i) out += ',';
    out += json_string(keys[i]);
    out += ':';
    out += values[i].empty() ? std::string("null") : json_string(values[i]);
  }
  return out + "}";
}

// The cards in discover's output format: tab-separated, CSV or JSON lines.
// A card does not tell its account: the user column is left empty for the
// operator to fill in (a list read back takes --user where it is empty),
// never the stored default as if the card had shown it.
void print_cards(const std::vector<DeviceRecord>& cards, const DiscoverOptions& o) {
  const std::vector<std::string> header(std::begin(CARD_COLUMNS), std::end(CARD_COLUMNS));
  if (o.csv && !o.json) print_record(csv_record(header));
  for (const DeviceRecord& r : cards) {
    char mac[18];
    mac_to_text(mac, r.mac);
    std::vector<std::string> fields = {ip_to_text(r.ip), mac, card_version_text(r.version),
                                       r.write_refused ? "no-write" : "ready", ""};
    if (o.json) {
      std::printf("%s\n", json_card(header, fields).c_str());
    } else if (o.csv) {
      print_record(csv_record(fields));
    } else {
      std::printf("%s\t%s\t%s\t%s\t%s\n", fields[0].c_str(), fields[1].c_str(), fields[2].c_str(),
                  fields[3].c_str(), fields[4].c_str());
    }
  }
}

}  // namespace

int run_discover(const DiscoverOptions& o) {
  FindRequest request;
  request.addresses = o.addresses;
  request.scan = o.scan;
  request.scan.wait_ms = o.wait_ms;
  request.live = stderr_is_terminal();
  request.quiet_lines = !request.live;
  FindResult result;
  if (!find_cards(request, &result)) {
    std::fprintf(stderr, "daveridur-cli: cannot open the discovery sockets\n");
    return EXIT_CARD_FAILED;
  }
  std::vector<DeviceRecord>& cards = result.found;
  std::sort(cards.begin(), cards.end(), [](const DeviceRecord& a, const DeviceRecord& b) {
    return host_address(a.ip) < host_address(b.ip);
  });
  print_cards(cards, o);
  flush_output();
  return interrupted ? EXIT_CARD_FAILED : EXIT_ALL_OK;
}

int run_check_command(const std::string& image_path) {
  ImageFile file;
  if (const char* refusal = read_checked_image(image_path, &file)) {
    std::fprintf(stderr, "daveridur-cli: %s\n", image_error_text(image_path, refusal).c_str());
    return EXIT_BAD_IMAGE;
  }
  // The three fields of the main panel, under their labels.
  std::printf("Version No\t%s\n", image_version_text(file.check.version).c_str());
  std::printf("Date Code\t%s\n",
              format_date_code(reinterpret_cast<const char*>(file.bytes.data()) + IMAGE_DATE_CODE_AT)
                  .c_str());
  std::printf("File Size\t%s\n", format_size(file.opened.size, 0).c_str());
  return EXIT_ALL_OK;
}
