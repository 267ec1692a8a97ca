#pragma once
// The check after " OK.": a card that took an image with a version is asked
// for its system information, every VERIFY_FAST_PERIOD_MS for the first
// VERIFY_FAST_MS after its transfer ended, then every VERIFY_PERIOD_MS, for
// up to VERIFY_LIMIT_MS. It is expected to go quiet while it restarts and
// to come back with the image's version.
//
// One answer proves nothing: an image can boot once and roll back, and a
// datagram can be forged. From its first answer with the image's version
// the card is asked every VERIFY_FAST_PERIOD_MS, and it is applied once it
// has held that version for the settle period (Verifier::settle_ms) in at
// least VERIFY_SETTLE_ANSWERS answers, with every query of that time
// answered before the next one went out. A query left unanswered starts
// the period again at the card's next answer with the image's version; an
// answer with another version once the image's was heard settles not
// applied with the version seen. A card that came back within the limit
// has its period to finish; one that did not hold the version by then is
// not applied ("the image's version did not hold").
//
// What is an answer: the reply to the card's latest query of this check,
// once. The transport numbers each query and hands over only a reply on
// the socket the query left from, from the address asked, with the number
// of its query; a reply late for its query (the next query went out), a
// replayed one, one that no query asked for, or one more than the queries
// count for nothing. It must name the MAC the card had before the upgrade:
// another MAC settles not applied ("another device answers at this
// address"), and so does a contested answer (something else speaks for the
// address on the check's sockets).
//
// The recheck after the whole run asks an applied card again by the same
// rule: another version settles it not applied ("fell back to 1.00"),
// silence until the limit no answer; the image's version held leaves it as
// it was.
//
// Card lines, answers and ticks come on the run's loop. Time is the
// caller's, in milliseconds, so tests move it by hand.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "upgrade/record/journal.h"

inline constexpr int64_t VERIFY_FAST_PERIOD_MS = 1000;
inline constexpr int64_t VERIFY_FAST_MS = 120000;
inline constexpr int64_t VERIFY_PERIOD_MS = 5000;
inline constexpr int64_t VERIFY_LIMIT_MS = 300000;
// The settle period by default, and the most a front lets it be.
inline constexpr int64_t VERIFY_SETTLE_MS = 30000;
inline constexpr int64_t VERIFY_SETTLE_MAX_MS = 600000;
inline constexpr int VERIFY_SETTLE_ANSWERS = 5;
// A card is seen restarting once it left this many queries in a row
// unanswered, over at least VERIFY_QUIET_MS.
inline constexpr int VERIFY_QUIET_QUERIES = 3;
inline constexpr int64_t VERIFY_QUIET_MS = 4000;

inline constexpr const char* ANOTHER_DEVICE_TEXT = "another device answers at this address";
inline constexpr const char* CONTESTED_TEXT = "other replies speak for this address";
inline constexpr const char* NOT_HELD_TEXT = "the image's version did not hold";
// "fell back to 1.00": an applied card that runs another version at the recheck.
std::string fell_back_text(uint32_t version);

// The longest a check of a card can take after its line, for a settle
// period: the limit, then a period begun just before it.
int64_t verify_longest_ms(int64_t settle_ms);

// What the checks' transport heard for one address.
struct VerifyAnswer {
  uint32_t ip = 0;
  uint32_t version = 0;
  uint8_t mac[6] = {};
  bool has_mac = false;
  // The query it answers, as VerifyPorts::query numbered it; 0: none.
  uint64_t query = 0;
  // Not an answer: a datagram spoke for this address where no query of it
  // was open, or against the answer its query already had.
  bool contested = false;
};

class VerifyPorts {
 public:
  virtual ~VerifyPorts() = default;
  // One "sysinfo" request; its number, which the answer to it carries (0:
  // it could not be sent).
  virtual uint64_t query(uint32_t ip) = 0;
  // False once the card's row was removed: its check stops unanswered.
  virtual bool row_listed(uint32_t ip) = 0;
  // A card's latest result, for the Result column.
  virtual void show_result(const CardResult& card) = 0;
};

struct VerifyWatch {
  uint32_t ip = 0;
  uint32_t image_version = 0;
  uint8_t mac[6] = {};  // the card's before the upgrade
  bool has_mac = false;
  std::shared_ptr<Report> report;
  CardResult card;
  bool recheck = false;  // an applied card asked again after the run
  int64_t started_ms = 0;
  int64_t next_query_ms = 0;
  uint64_t open_query = 0;  // the latest query, until its answer came
  bool asked = false;       // a query went out
  bool answered = false;    // the latest query was answered
  int unanswered = 0;       // queries in a row without an answer
  bool quiet = false;       // the card was seen restarting
  int64_t last_answer_ms = -1;
  uint32_t last_version = 0;
  int64_t held_since_ms = -1;  // the image's version answered to every query since
  int held_answers = 0;        // answers since then
  bool seen_image = false;     // the card answered with the image's version
  bool fell_back = false;      // and then with another
  bool contested = false;
  bool other_device = false;  // an answer named another MAC
};

// The run's: touched on its loop's thread alone.
struct Verifier {
  std::vector<std::pair<std::shared_ptr<Report>, CardResult>> inbox;
  std::vector<VerifyWatch> watches;
  int64_t settle_ms = VERIFY_SETTLE_MS;
};

// A card's line; it is shown and, after " OK.", watched from the next tick on.
void verifier_card_done(Verifier& v, const std::shared_ptr<Report>& report, const CardResult& card);
// An applied card of the report, asked again from now on.
void verifier_recheck(Verifier& v, const std::shared_ptr<Report>& report, const CardResult& card,
                      int64_t now_ms);
// Takes in the card lines handed over so far and shows them at once, rather
// than at the next tick: the Result column is filled as each session ends.
// Their watches start now.
void verifier_take(Verifier& v, VerifyPorts& ports, int64_t now_ms);
// What the transport heard for an address; taken only by a watch whose
// latest query it answers.
void verifier_answer(Verifier& v, const VerifyAnswer& answer, int64_t now_ms);
// Takes in new card lines, asks the watched cards that are due and settles
// the ones that held the image's version for the settle period, fell back
// from it, came back with another after going quiet, answered as another
// device, were contested, or reached the limit.
void verifier_tick(Verifier& v, VerifyPorts& ports, int64_t now_ms);
// When the next tick has work (a query, the end of a settle period, a
// limit); later when nothing is watched.
int64_t verifier_next_due(const Verifier& v, int64_t later_ms);
