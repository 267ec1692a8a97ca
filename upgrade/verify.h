#pragma once
// The check after " OK.": a card that took an image with a version is asked
// for its system information every VERIFY_PERIOD_MS for up to
// VERIFY_LIMIT_MS. It is expected to go quiet while it restarts and to come
// back with the image's version.
//
// Card lines arrive from any thread; answers and ticks come on the table's
// thread (answers are the table's own merges of the query socket's replies).
// Time is the caller's, in milliseconds, so tests move it by hand.
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "upgrade/journal.h"

inline constexpr int64_t VERIFY_PERIOD_MS = 5000;
inline constexpr int64_t VERIFY_LIMIT_MS = 300000;

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
};

struct Verifier {
  std::mutex inbox_mutex;
  std::vector<std::pair<std::shared_ptr<Report>, CardResult>> inbox;
  std::vector<VerifyWatch> watches;
};

// A card's line (any thread); it is shown and, after " OK.", watched from
// the next tick on.
void verifier_card_done(Verifier& v, const std::shared_ptr<Report>& report, const CardResult& card);
// Takes in the card lines handed over so far and shows them at once, rather
// than at the next tick: the Result column is filled as each session ends.
// Their watches start now.
void verifier_take(Verifier& v, VerifyPorts& ports, int64_t now_ms);
// A reply of a card merged into the table.
void verifier_answer(Verifier& v, uint32_t ip, uint32_t version, int64_t now_ms);
// Takes in new card lines, asks the watched cards that are due and settles
// the ones that answered with the image's version, came back with another
// after going quiet, or reached the limit.
void verifier_tick(Verifier& v, VerifyPorts& ports, int64_t now_ms);
