#include "settings/settings.h"

std::string default_account() {
  char buffer[512] = {};
  if (!read_setting(SETTINGS_KEY, "LastAccount", buffer, sizeof buffer - 1, nullptr))
    return "admin";
  return buffer;
}
