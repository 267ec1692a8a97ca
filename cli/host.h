#pragma once
// Who runs the tool, and on which computer: what a run's page names.
#include <string>

// The account the tool runs as ("ops"); empty when the system does not say.
std::string operator_account();
// The computer's name; empty when the system does not say.
std::string computer_name();
