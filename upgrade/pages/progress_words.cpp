#include "upgrade/pages/progress_words.h"

std::string progress_title(const char* ip_text) { return std::string("Upg ") + ip_text; }

std::string progress_status(SessionStage stage, const char* ip_text) {
  switch (stage) {
    case SessionStage::connecting:
      return std::string("Connecting to UPS ") + ip_text + " ...";
    case SessionStage::connected:
      return std::string(ip_text) + " Connected . Start the upgrade !";
    case SessionStage::sending:
      return std::string("To : ") + ip_text;
    case SessionStage::requested:
      break;
  }
  return "";
}

std::string progress_percent(uint32_t percent) { return std::to_string(percent) + "%"; }
