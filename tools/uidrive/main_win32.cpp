// uidrive.exe: reads commands from stdin, answers each on one stdout line.
#include "tools/uidrive/uidrive.h"

#include <cstdio>
#include <cstring>
#include <iostream>

namespace {

using Command = std::string (*)(const Args&);

struct CommandEntry {
  const char* name;
  Command run;
};

std::string cmd_sleep(const Args& args) {
  long long ms = 0;
  if (args.empty() || !parse_number(args[0], &ms)) return err("usage: sleep MS");
  Sleep(static_cast<DWORD>(bounded_ms(ms)));
  return ok();
}

std::string cmd_ping(const Args&) { return ok("uidrive 1"); }

const CommandEntry COMMANDS[] = {
    {"windows", cmd_windows},   {"find", cmd_find},         {"findall", cmd_findall},
    {"gone", cmd_gone},         {"child", cmd_child},       {"children", cmd_children},
    {"text", cmd_text},         {"settext", cmd_settext},   {"click", cmd_click},
    {"enabled", cmd_enabled},   {"visible", cmd_visible},   {"rect", cmd_rect},
    {"msgbox", cmd_msgbox},     {"answer", cmd_answer},     {"close", cmd_close},
    {"focus", cmd_focus},       {"setfocus", cmd_setfocus}, {"foreground", cmd_foreground},
    {"key", cmd_key},           {"press", cmd_press},       {"type", cmd_type},
    {"rows", cmd_rows},         {"check", cmd_check},       {"select", cmd_select},
    {"dblclick", cmd_dblclick}, {"rclick", cmd_rclick}, {"header", cmd_header},     {"shot", cmd_shot},
    {"fit", cmd_fit},
    {"sleep", cmd_sleep},       {"ping", cmd_ping},       {"count", cmd_count},
    {"textw", cmd_textw},       {"settextw", cmd_settextw}, {"session", cmd_session},
    {"hold", cmd_hold},         {"checked", cmd_checked},   {"icon", cmd_icon},
    {"latency", cmd_latency},   {"resize", cmd_resize},     {"maximize", cmd_maximize},
    {"menu", cmd_menu},         {"menucmd", cmd_menucmd},
};

std::string run_line(const std::string& line) {
  Args fields = split_line(line);
  if (fields.empty()) return err("empty command");
  Args args(fields.begin() + 1, fields.end());
  for (const CommandEntry& c : COMMANDS) {
    if (fields[0] != c.name) continue;
    std::string answer = c.run(args);
    // A handle that died since it was found is the usual cause of a refused
    // argument; say so rather than repeat the usage.
    long long handle = 0;
    if (answer.rfind("ERR usage", 0) == 0 && !args.empty() && parse_number(args[0], &handle) && handle > 0 &&
        !IsWindow(reinterpret_cast<HWND>(static_cast<uintptr_t>(handle))))
      return err("no window " + args[0]);
    return answer;
  }
  return err("unknown command " + fields[0]);
}

}  // namespace

int main() {
  // A message queue of our own: AttachThreadInput needs one on both sides.
  MSG msg;
  PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE);
  std::string line;
  while (std::getline(std::cin, line)) {
    Args fields = split_line(line);
    if (!fields.empty() && fields[0] == "quit") {
      std::fputs("OK bye\n", stdout);
      std::fflush(stdout);
      break;
    }
    std::string answer = run_line(line);
    std::fputs(answer.c_str(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
  }
  return 0;
}
