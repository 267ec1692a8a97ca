#include <pwd.h>
#include <unistd.h>

#include <cstdlib>

#include "cli/host.h"

std::string operator_account() {
  // The account itself, not what the environment claims (sudo keeps USER).
  if (const passwd* entry = getpwuid(geteuid())) return entry->pw_name;
  const char* user = std::getenv("USER");
  return user ? user : "";
}

std::string computer_name() {
  char name[256] = {};
  if (gethostname(name, sizeof name - 1) != 0) return "";
  return name;
}
