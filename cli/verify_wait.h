#pragma once
// --verify: the program's check after " OK." (upgrade/verify.h), driven by
// a loop over the discovery service's query socket.
#include <memory>
#include <utility>
#include <vector>

#include "upgrade/upgrade.h"

// Each card's report and its result as the transfer ended. Returns when
// every card's check has settled (the reports hold the outcomes), or on
// Ctrl+C; false when the sockets can't be had.
bool verify_upgraded_cards(const std::vector<std::pair<std::shared_ptr<Report>, CardResult>>& cards);
