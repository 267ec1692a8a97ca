#pragma once
// The check after " OK.": a card that took an image with a version is asked
// for its system information, every VERIFY_FAST_PERIOD_MS for the first
// VERIFY_FAST_MS after its transfer ended, then every VERIFY_PERIOD_MS, for
// up to VERIFY_LIMIT_MS. It is expected to go quiet while it restarts and
// to come back with the image's version.
//
// What proves the image applied: an answer to a query this check sent
// after the transfer ended (the transport hands over nothing else: only a
// reply on the socket the query left from, from the address asked), naming
// the MAC the card had before the upgrade, with the image's version, and
// no other datagram speaking for that address against it within
// VERIFY_CONFIRM_MS. Another MAC settles not applied ("another device
// answers at this address"), and so does a contested answer.
//
// Card lines, answers and ticks come on the run's loop. Time is the
// caller's, in milliseconds, so tests move it by hand.
#include <cstdint>
#include <memory>
#include <vector>

#include "upgrade/journal.h"

inline constexpr int64_t VERIFY_FAST_PERIOD_MS = 1000;
inline constexpr int64_t VERIFY_FAST_MS = 120000;
inline constexpr int64_t VERIFY_PERIOD_MS = 5000;
inline constexpr int64_t VERIFY_LIMIT_MS = 300000;
// An answer with the image's version settles applied this long after it
// came, unless another datagram spoke against it meanwhile.
inline constexpr int64_t VERIFY_CONFIRM_MS = 1000;
// A card is seen restarting once it left this many queries in a row
// unanswered, over at least VERIFY_QUIET_MS.
inline constexpr int VERIFY_QUIET_QUERIES = 3;
inline constexpr int64_t VERIFY_QUIET_MS = 4000;

inline constexpr const char* ANOTHER_DEVICE_TEXT = "another device answers at this address";
inline constexpr const char* CONTESTED_TEXT = "other replies speak for this address";

// What the checks' transport heard for one address.
struct VerifyAnswer {
  uint32_t ip = 0;
  uint32_t version = 0;
  uint8_t mac[6] = {};
  bool has_mac = false;
  // Not an answer: a datagram spoke for this address where no query of it
  // was open, or against the answer its query already had.
  bool contested = false;
};

class VerifyPorts {
 public:
  virtual ~VerifyPorts() = default;
  virtual void query(uint32_t ip) = 0;  // one "sysinfo" request
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
  int64_t started_ms = 0;
  int64_t next_query_ms = 0;
  bool asked = false;     // a query went out
  bool answered = false;  // an answer came since the last query
  int unanswered = 0;     // queries in a row without an answer
  bool quiet = false;     // the card was seen restarting
  int64_t last_answer_ms = -1;
  uint32_t last_version = 0;
  int64_t confirm_ms = -1;  // an answer with the image's version settles applied then
  int64_t applied_answer_ms = -1;
  bool contested = false;
  bool other_device = false;  // an answer named another MAC
};

// The run's: touched on its loop's thread alone.
struct Verifier {
  std::vector<std::pair<std::shared_ptr<Report>, CardResult>> inbox;
  std::vector<VerifyWatch> watches;
};

// A card's line; it is shown and, after " OK.", watched from the next tick on.
void verifier_card_done(Verifier& v, const std::shared_ptr<Report>& report, const CardResult& card);
// Takes in the card lines handed over so far and shows them at once, rather
// than at the next tick: the Result column is filled as each session ends.
// Their watches start now.
void verifier_take(Verifier& v, VerifyPorts& ports, int64_t now_ms);
// What the transport heard for an address; taken only by a watch that has
// asked it.
void verifier_answer(Verifier& v, const VerifyAnswer& answer, int64_t now_ms);
// Takes in new card lines, asks the watched cards that are due and settles
// the ones that proved the image's version, came back with another after
// going quiet, answered as another device, were contested, or reached the
// limit.
void verifier_tick(Verifier& v, VerifyPorts& ports, int64_t now_ms);
// When the next tick has work (a query, a confirmation, a limit); later
// when nothing is watched.
int64_t verifier_next_due(const Verifier& v, int64_t later_ms);
