#pragma once
// Waiting for upgraded cards to run the image's version (--verify).
#include <chrono>
#include <string>
#include <vector>

#include "cli/cli.h"

struct VerifyCard {
  uint32_t ip = 0;
  std::chrono::steady_clock::time_point ended;  // the transfer's end
  std::string verified;  // applied / not_applied / no_answer; empty while open
  double seconds = 0;    // from the transfer's end to the outcome
};

// Returns when every card has its outcome, or on Ctrl+C.
void wait_for_versions(std::vector<VerifyCard*>& cards, uint32_t image_version);
