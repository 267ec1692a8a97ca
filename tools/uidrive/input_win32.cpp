// Keyboard focus and key input: posted key messages to a window, real input
// through SendInput, characters typed into a control.
#include "tools/uidrive/uidrive.h"

#include <cctype>

namespace {

struct KeyName {
  const char* name;
  UINT vk;
  int extended;
};

const KeyName KEYS[] = {
    {"TAB", VK_TAB, 0},       {"ESC", VK_ESCAPE, 0},   {"ESCAPE", VK_ESCAPE, 0}, {"RETURN", VK_RETURN, 0},
    {"ENTER", VK_RETURN, 0},  {"DELETE", VK_DELETE, 1}, {"DEL", VK_DELETE, 1},    {"SPACE", VK_SPACE, 0},
    {"BACK", VK_BACK, 0},     {"UP", VK_UP, 1},         {"DOWN", VK_DOWN, 1},     {"LEFT", VK_LEFT, 1},
    {"RIGHT", VK_RIGHT, 1},   {"HOME", VK_HOME, 1},     {"END", VK_END, 1},       {"F1", VK_F1, 0},
    {"F4", VK_F4, 0},         {"F5", VK_F5, 0},         {"F10", VK_F10, 0},       {"APPS", VK_APPS, 1},
};

struct Modifiers {
  int alt = 0, ctrl = 0, shift = 0;
};

int parse_key(const std::string& name, UINT* vk, int* extended) {
  std::string upper;
  for (char c : name) upper += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  for (const KeyName& k : KEYS) {
    if (upper == k.name) {
      *vk = k.vk;
      *extended = k.extended;
      return 1;
    }
  }
  if (upper.size() == 1 && std::isalnum(static_cast<unsigned char>(upper[0]))) {
    *vk = static_cast<UINT>(upper[0]);  // 'A'..'Z' and '0'..'9' are their own key codes
    *extended = 0;
    return 1;
  }
  return 0;
}

// "alt", "ctrl", "shift", or several joined by '+'.
int parse_modifiers(const std::string& text, Modifiers* mods) {
  size_t start = 0;
  while (start <= text.size()) {
    size_t plus = text.find('+', start);
    std::string word = text.substr(start, plus == std::string::npos ? std::string::npos : plus - start);
    if (word == "alt") mods->alt = 1;
    else if (word == "ctrl") mods->ctrl = 1;
    else if (word == "shift") mods->shift = 1;
    else if (!word.empty() && word != "-") return 0;
    if (plus == std::string::npos) break;
    start = plus + 1;
  }
  return 1;
}

LPARAM key_lparam(UINT vk, int extended, int alt, int up) {
  UINT scan = MapVirtualKeyA(vk, MAPVK_VK_TO_VSC);
  LPARAM lp = 1 | (static_cast<LPARAM>(scan & 0xFF) << 16);
  if (extended) lp |= 1 << 24;
  if (alt) lp |= 1 << 29;  // context code: Alt is down
  if (up) lp |= (1u << 30) | (1u << 31);
  return lp;
}

// Shares the target thread's input state for the lifetime of the record, so
// that SetFocus and SetKeyboardState act on the target's queue.
struct AttachedInput {
  DWORD self = GetCurrentThreadId();
  DWORD target = 0;
  int attached = 0;
  explicit AttachedInput(HWND hwnd) : target(GetWindowThreadProcessId(hwnd, nullptr)) {
    if (target && target != self) attached = AttachThreadInput(self, target, TRUE) != 0;
  }
  ~AttachedInput() {
    if (attached) AttachThreadInput(self, target, FALSE);
  }
  AttachedInput(const AttachedInput&) = delete;
  AttachedInput& operator=(const AttachedInput&) = delete;
};

// Modifier keys held down in the (attached) key state while posted key
// messages are taken: accelerator translation reads GetKeyState, not the
// message. Released again on destruction.
struct HeldModifiers {
  BYTE saved[256] = {};
  int held = 0;
  HeldModifiers(const Modifiers& mods) {
    if (!mods.alt && !mods.ctrl && !mods.shift) return;
    if (!GetKeyboardState(saved)) return;
    BYTE state[256];
    CopyMemory(state, saved, sizeof state);
    if (mods.alt) state[VK_MENU] = state[VK_LMENU] = 0x80;
    if (mods.ctrl) state[VK_CONTROL] = state[VK_LCONTROL] = 0x80;
    if (mods.shift) state[VK_SHIFT] = state[VK_LSHIFT] = 0x80;
    held = SetKeyboardState(state) != 0;
  }
  ~HeldModifiers() {
    if (held) SetKeyboardState(saved);
  }
  HeldModifiers(const HeldModifiers&) = delete;
  HeldModifiers& operator=(const HeldModifiers&) = delete;
};

HWND focus_of_thread(DWORD thread) {
  GUITHREADINFO info{};
  info.cbSize = sizeof info;
  if (!GetGUIThreadInfo(thread, &info)) return nullptr;
  return info.hwndFocus;
}

void add_key(std::vector<INPUT>* inputs, UINT vk, int extended, int up) {
  INPUT in{};
  in.type = INPUT_KEYBOARD;
  in.ki.wVk = static_cast<WORD>(vk);
  in.ki.wScan = static_cast<WORD>(MapVirtualKeyA(vk, MAPVK_VK_TO_VSC));
  in.ki.dwFlags = (extended ? KEYEVENTF_EXTENDEDKEY : 0) | (up ? KEYEVENTF_KEYUP : 0);
  inputs->push_back(in);
}

}  // namespace

std::string cmd_focus(const Args& args) {
  GUITHREADINFO info{};
  info.cbSize = sizeof info;
  DWORD thread = 0;  // the foreground thread
  if (!args.empty()) {
    HWND h = nullptr;
    if (!parse_hwnd(args[0], &h)) return err("usage: focus [HWND]");
    thread = GetWindowThreadProcessId(h, nullptr);
  }
  if (!GetGUIThreadInfo(thread, &info)) return ok(join_fields({"none", "none", hwnd_text(GetForegroundWindow())}));
  return ok(join_fields({hwnd_text(info.hwndFocus), hwnd_text(info.hwndActive), hwnd_text(GetForegroundWindow())}));
}

std::string cmd_setfocus(const Args& args) {
  HWND h = nullptr;
  if (args.empty() || !parse_hwnd(args[0], &h)) return err("usage: setfocus HWND");
  std::string why;
  if (!clickable(h, &why)) return err(why);
  DWORD thread = GetWindowThreadProcessId(h, nullptr);
  {
    AttachedInput attach(h);
    SetForegroundWindow(GetAncestor(h, GA_ROOT));
    SetFocus(h);
  }
  settle(h);
  if (focus_of_thread(thread) != h) return err("focus is at " + hwnd_text(focus_of_thread(thread)));
  return ok();
}

std::string cmd_foreground(const Args& args) {
  HWND h = nullptr;
  if (args.empty() || !parse_hwnd(args[0], &h)) return err("usage: foreground HWND");
  HWND root = GetAncestor(h, GA_ROOT);
  {
    AttachedInput attach(root);
    SetForegroundWindow(root);
  }
  settle(root);
  return ok(hwnd_text(GetForegroundWindow()));
}

std::string cmd_key(const Args& args) {
  HWND h = nullptr;
  UINT vk = 0;
  int extended = 0;
  Modifiers mods;
  if (args.size() < 2 || !parse_hwnd(args[0], &h) || !parse_key(args[1], &vk, &extended) ||
      (args.size() > 2 && !parse_modifiers(args[2], &mods)))
    return err("usage: key HWND KEY [alt|ctrl|shift]");
  UINT down = mods.alt ? WM_SYSKEYDOWN : WM_KEYDOWN;
  UINT up = mods.alt ? WM_SYSKEYUP : WM_KEYUP;
  AttachedInput attach(h);
  HeldModifiers held(mods);
  if (!PostMessageA(h, down, vk, key_lparam(vk, extended, mods.alt, 0)) ||
      !PostMessageA(h, up, vk, key_lparam(vk, extended, mods.alt, 1)))
    return err("post failed");
  settle(h);
  return ok();
}

std::string cmd_press(const Args& args) {
  UINT vk = 0;
  int extended = 0;
  Modifiers mods;
  HWND target = nullptr;
  if (args.empty() || !parse_key(args[0], &vk, &extended) || (args.size() > 1 && !parse_modifiers(args[1], &mods)) ||
      (args.size() > 2 && !parse_hwnd(args[2], &target)))
    return err("usage: press KEY [alt|ctrl|shift|-] [HWND]");
  if (target) {
    HWND root = GetAncestor(target, GA_ROOT);
    AttachedInput attach(target);
    SetForegroundWindow(root);
    if (target != root) SetFocus(target);
  }
  std::vector<INPUT> inputs;
  if (mods.ctrl) add_key(&inputs, VK_CONTROL, 0, 0);
  if (mods.shift) add_key(&inputs, VK_SHIFT, 0, 0);
  if (mods.alt) add_key(&inputs, VK_MENU, 0, 0);
  add_key(&inputs, vk, extended, 0);
  add_key(&inputs, vk, extended, 1);
  if (mods.alt) add_key(&inputs, VK_MENU, 0, 1);
  if (mods.shift) add_key(&inputs, VK_SHIFT, 0, 1);
  if (mods.ctrl) add_key(&inputs, VK_CONTROL, 0, 1);
  UINT sent = SendInput(static_cast<UINT>(inputs.size()), inputs.data(), sizeof(INPUT));
  if (sent != inputs.size()) return err("SendInput failed");
  HWND fg = GetForegroundWindow();
  if (fg) settle(fg);
  return ok(hwnd_text(fg));
}

std::string cmd_type(const Args& args) {
  HWND h = nullptr;
  if (args.size() < 2 || !parse_hwnd(args[0], &h)) return err("usage: type HWND TEXT");
  std::string why;
  if (!clickable(h, &why)) return err(why);
  // Sent, not posted: the characters are in the control when this answers.
  for (unsigned char c : args[1]) {
    DWORD_PTR result = 0;
    if (!SendMessageTimeoutA(h, WM_CHAR, c, 1, SMTO_ABORTIFHUNG, 3000, &result)) return err("window does not answer");
  }
  return ok();
}
