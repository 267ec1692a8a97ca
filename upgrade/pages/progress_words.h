#pragma once
// The progress window's words for a transfer's stages: its title ("Upg
// <ip>"), its status line and its percent. The session tells data; the
// window (and a test's view) words it here.
#include <cstdint>
#include <string>

#include "upgrade/session/session.h"

std::string progress_title(const char* ip_text);
// The status line of a stage; empty for one that changes no text
// (requested: the window shows itself).
std::string progress_status(SessionStage stage, const char* ip_text);
std::string progress_percent(uint32_t percent);
