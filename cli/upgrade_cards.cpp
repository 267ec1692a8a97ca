// The upgrade command's cards: each asked for its system information, its
// account, the report it resumes or holds, and its line in the journal.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cli/fleet_files.h"
#include "cli/upgrade_job.h"
#include "platform/files.h"
#include "protocol/packet.h"
#include "settings/settings.h"

namespace upgrade_cli {

void apply_account(const UpgradeOptions& o, const std::string& stored, Job& job) {
  std::string user = job.order.has_user ? job.order.user : o.has_user ? o.user : stored;
  std::string password =
      job.order.has_password ? job.order.password : o.has_password ? o.password : "";
  std::snprintf(job.record.user_name, sizeof job.record.user_name, "%s", user.c_str());
  std::snprintf(job.record.password, sizeof job.record.password, "%s", password.c_str());
}

// The earlier report's cards first, in its order, less the excluded ones,
// then those named (a card of the report named again takes the account it
// is named with); *kept gets the report. False with the message printed.
bool cards_to_ask(const UpgradeOptions& o, std::vector<CardOrder>* cards, KeptReport* kept) {
  std::unordered_map<uint32_t, size_t> at;
  if (!o.resume.empty()) {
    std::string why;
    if (!read_kept_report_file(o.resume, kept, &why)) {
      std::fprintf(stderr, "daveridur-cli: --resume %s\n", why.c_str());
      return false;
    }
    for (uint32_t ip : resumed_cards(*kept, o.excluded)) {
      CardOrder c;
      c.ip = ip;
      at.emplace(c.ip, cards->size());
      cards->push_back(c);
    }
  }
  for (const CardOrder& c : o.cards) {
    auto it = at.find(c.ip);
    if (it != at.end()) {
      (*cards)[it->second] = c;
    } else {
      at.emplace(c.ip, cards->size());
      cards->push_back(c);
    }
  }
  return true;
}

// The report resumed, when this run does not write it: held while the run
// goes, so that no other run writes it meanwhile; while another run holds
// it, refused as a --report is (nothing asked or sent). One that cannot be
// held (not there, not writable by this user) is only read: its read tells.
bool hold_resumed(const UpgradeOptions& o, HeldReport* held) {
  if (o.resume.empty() || o.resume == o.report) return true;
  std::string why;
  bool exists = false;
  if (!regular_file_check(o.resume, &exists, &why) || !exists) return true;
  HeldFilePtr file;
  switch (hold_file(o.resume, &file, &why)) {
    case HoldStatus::held:
      held->file = std::shared_ptr<HeldFile>(std::move(file));
      return true;
    case HoldStatus::busy:
      std::fprintf(stderr, "daveridur-cli: the report is in use by another run: %s\n",
                   o.resume.c_str());
      return false;
    case HoldStatus::failed:
      break;
  }
  return true;
}

// A kept report holds no accounts: its cards take those of the --cards
// list and --user given with --resume; the cards left with the stored
// account alone are named before anything is asked or sent.
void note_default_accounts(const Run& run, const UpgradeOptions& o, const KeptReport& kept) {
  const size_t NAMED_MAX = 10;
  if (o.resume.empty() || o.has_user) return;
  std::vector<uint32_t> left;
  for (const Job& job : run.jobs)
    if (!job.order.has_user && kept.find(job.order.ip)) left.push_back(job.order.ip);
  if (left.empty()) return;
  std::string names;
  for (size_t i = 0; i < left.size() && i < NAMED_MAX; ++i)
    names += std::string(i ? ", " : "") + ip_to_text(left[i]);
  if (left.size() > NAMED_MAX) names += " and " + std::to_string(left.size() - NAMED_MAX) + " more";
  std::fprintf(stderr,
               "daveridur-cli: --resume: %s of the report %s no account but the stored one "
               "(\"%s\"): %s; give --cards with their accounts, or --user\n",
               cards_words(static_cast<long long>(left.size())).c_str(),
               left.size() == 1 ? "has" : "have", default_account().c_str(), names.c_str());
}

bool hold_report(const std::string& path, const std::string& initial, HeldReport* held) {
  std::string why;
  bool exists = false;
  if (!regular_file_check(path, &exists, &why)) {
    std::fprintf(stderr, "daveridur-cli: the report %s cannot be written: %s\n", path.c_str(),
                 why.c_str());
    return false;
  }
  HeldFilePtr file;
  switch (hold_file(path, &file, &why, initial)) {
    case HoldStatus::held:
      held->file = std::shared_ptr<HeldFile>(std::move(file));
      return true;
    case HoldStatus::busy:
      std::fprintf(stderr, "daveridur-cli: the report is in use by another run: %s\n", path.c_str());
      return false;
    case HoldStatus::failed:
      break;
  }
  std::fprintf(stderr, "daveridur-cli: the report %s cannot be written: %s\n", path.c_str(),
               why.c_str());
  return false;
}

Job& add_job(Run& run, const CardOrder& order, const UpgradeOptions& o, uint32_t image_version,
             const std::string& image_sha256) {
  Job& job = run.jobs.emplace_back();
  job.order = order;
  job.card.ip = order.ip;
  job.card.image = o.image;
  job.card.image_version = image_version;
  job.card.image_sha256 = image_sha256;
  job.card.started = job.card.ended = local_time_now();
  run.by_ip[order.ip] = &job;
  return job;
}

std::vector<CardResult> journal_rows(const Run& run) {
  std::vector<CardResult> rows;
  for (const Job& job : run.jobs) {
    rows.push_back(job.card);
    rows.back().outcome = CardOutcome::pending;
  }
  return rows;
}

// One scan asks the named cards and the ranges together, at the rate; the
// cards a range found join the run in address order after the named ones
// (the silent addresses of a range were never cards and get no line).
// False when the sockets can't be had.
bool ask_cards(const UpgradeOptions& o, Run& run, uint32_t image_version,
               const std::string& image_sha256, FindResult* result, std::string* scanned) {
  FindRequest request;
  request.addresses = o.ranges;
  std::vector<uint32_t> named;
  named.reserve(run.jobs.size());
  for (const Job& job : run.jobs) named.push_back(host_address(job.order.ip));
  add_addresses(&request.addresses, named);
  request.scan = o.scan;
  request.scan.wait_ms = QUERY_WAIT_MS;
  request.stop_when_all = true;
  request.live = run.live && !o.ranges.intervals.empty();
  request.quiet_lines = !run.live;
  if (!find_cards(request, result)) {
    std::fprintf(stderr, "daveridur-cli: cannot open the discovery sockets\n");
    return false;
  }
  std::vector<DeviceRecord> in_ranges;
  for (const DeviceRecord& r : result->found) {
    uint64_t at = 0;
    if (address_index(o.ranges, host_address(r.ip), &at) && !run.by_ip.count(r.ip))
      in_ranges.push_back(r);
  }
  std::sort(in_ranges.begin(), in_ranges.end(), [](const DeviceRecord& a, const DeviceRecord& b) {
    return host_address(a.ip) < host_address(b.ip);
  });
  for (const DeviceRecord& r : in_ranges) {
    CardOrder order;
    order.ip = r.ip;
    add_job(run, order, o, image_version, image_sha256);
  }
  if (!o.ranges.intervals.empty()) {
    for (const std::string& t : o.range_texts) *scanned += (scanned->empty() ? "" : " ") + t;
    std::fprintf(stderr, "%s: %s, %zu cards found\n", scanned->c_str(),
                 scan_counts_text(*result).c_str(), in_ranges.size());
  }
  const std::string stored = default_account();
  std::unordered_map<uint32_t, const DeviceRecord*> found;
  for (const DeviceRecord& r : result->found) found[r.ip] = &r;
  for (Job& job : run.jobs) {
    auto it = found.find(job.order.ip);
    if (it != found.end()) {
      job.record = *it->second;
      job.answered = true;
    }
    job.record.ip = job.order.ip;
    job.record.unanswered_queries = 0;
    apply_account(o, stored, job);
    if (job.answered) std::memcpy(job.card.mac, job.record.mac, sizeof job.card.mac);
    job.card.version_before = job.record.version;
    job.card.started = job.card.ended = local_time_now();
  }
  return true;
}

}  // namespace upgrade_cli

const char PASSWORD_VARIABLE[] = "DAVERIDUR_PASSWORD";

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
