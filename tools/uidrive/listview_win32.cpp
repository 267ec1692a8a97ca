// List-view access from outside the owning process: the structures the
// list-view messages point to must live in the target's address space, so
// they are written to and read from a buffer allocated there.
#include "tools/uidrive/uidrive.h"

#include <commctrl.h>

#include <cstdio>
#include <cstdlib>

namespace {

constexpr UINT SEND_TIMEOUT_MS = 3000;
constexpr size_t TEXT_CHARS = 512;

struct RemoteBuffer {
  HANDLE process = nullptr;
  char* base = nullptr;
  size_t size = 0;
  RemoteBuffer() = default;
  RemoteBuffer(const RemoteBuffer&) = delete;
  RemoteBuffer& operator=(const RemoteBuffer&) = delete;
  ~RemoteBuffer() {
    if (base) VirtualFreeEx(process, base, 0, MEM_RELEASE);
    if (process) CloseHandle(process);
  }
};

int remote_open(RemoteBuffer* rb, HWND owner, size_t size) {
  DWORD pid = 0;
  GetWindowThreadProcessId(owner, &pid);
  rb->process = OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE, FALSE, pid);
  if (!rb->process) return 0;
  rb->base = static_cast<char*>(VirtualAllocEx(rb->process, nullptr, size, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
  rb->size = size;
  return rb->base != nullptr;
}

int remote_write(const RemoteBuffer& rb, size_t offset, const void* data, size_t n) {
  SIZE_T done = 0;
  return offset + n <= rb.size && WriteProcessMemory(rb.process, rb.base + offset, data, n, &done) && done == n;
}

int remote_read(const RemoteBuffer& rb, size_t offset, void* data, size_t n) {
  SIZE_T done = 0;
  return offset + n <= rb.size && ReadProcessMemory(rb.process, rb.base + offset, data, n, &done) && done == n;
}

int send(HWND h, UINT msg, WPARAM wp, LPARAM lp, LRESULT* result) {
  DWORD_PTR r = 0;
  if (!SendMessageTimeoutA(h, msg, wp, lp, SMTO_ABORTIFHUNG, SEND_TIMEOUT_MS, &r)) return 0;
  if (result) *result = static_cast<LRESULT>(r);
  return 1;
}

LPARAM remote_ptr(const RemoteBuffer& rb, size_t offset = 0) { return reinterpret_cast<LPARAM>(rb.base + offset); }

int is_list(HWND h) { return class_name(h) == WC_LISTVIEWA; }

int column_count(HWND list) {
  LRESULT header = 0, n = 0;
  if (!send(list, LVM_GETHEADER, 0, 0, &header) || !header) return 1;
  if (!send(reinterpret_cast<HWND>(header), HDM_GETITEMCOUNT, 0, 0, &n) || n < 1) return 1;
  return static_cast<int>(n);
}

int cell_text(HWND list, const RemoteBuffer& rb, int row, int col, std::string* text) {
  LVITEMA item{};
  item.mask = LVIF_TEXT;
  item.iItem = row;
  item.iSubItem = col;
  item.pszText = rb.base + sizeof(LVITEMA);
  item.cchTextMax = TEXT_CHARS;
  char empty = 0;
  if (!remote_write(rb, 0, &item, sizeof item) || !remote_write(rb, sizeof item, &empty, 1)) return 0;
  LRESULT n = 0;
  if (!send(list, LVM_GETITEMTEXTA, row, remote_ptr(rb), &n)) return 0;
  char buf[TEXT_CHARS + 1] = "";
  if (!remote_read(rb, sizeof item, buf, TEXT_CHARS)) return 0;
  buf[TEXT_CHARS] = 0;
  *text = buf;
  return 1;
}

int item_image_state(HWND list, const RemoteBuffer& rb, int row, int* image, UINT* state) {
  LVITEMA item{};
  item.mask = LVIF_IMAGE | LVIF_STATE;
  item.iItem = row;
  item.stateMask = 0xFFFF;
  if (!remote_write(rb, 0, &item, sizeof item)) return 0;
  LRESULT okay = 0;
  if (!send(list, LVM_GETITEMA, 0, remote_ptr(rb), &okay) || !okay) return 0;
  if (!remote_read(rb, 0, &item, sizeof item)) return 0;
  *image = item.iImage;
  *state = item.state;
  return 1;
}

int set_state(HWND list, int row, UINT state, UINT mask) {
  RemoteBuffer rb;
  if (!remote_open(&rb, list, sizeof(LVITEMA))) return 0;
  LVITEMA item{};
  item.stateMask = mask;
  item.state = state;
  LRESULT okay = 0;
  return remote_write(rb, 0, &item, sizeof item) &&
         send(list, LVM_SETITEMSTATE, static_cast<WPARAM>(row), remote_ptr(rb), &okay) && okay;
}

int list_and_row(const Args& args, size_t need, HWND* list, long long* row, std::string* why) {
  if (args.size() < need || !parse_hwnd(args[0], list) || !parse_number(args[1], row)) {
    *why = "bad arguments";
    return 0;
  }
  if (!is_list(*list)) {
    *why = "not a list view";
    return 0;
  }
  LRESULT count = 0;
  send(*list, LVM_GETITEMCOUNT, 0, 0, &count);
  if (*row < -1 || *row >= count) {
    *why = "no row " + std::to_string(*row);
    return 0;
  }
  return 1;
}

// A press and release of the left button at a client point, posted as the
// mouse would deliver them.
void post_click(HWND h, POINT pt, int twice) {
  LPARAM at = MAKELPARAM(pt.x, pt.y);
  PostMessageA(h, WM_MOUSEMOVE, 0, at);
  PostMessageA(h, WM_LBUTTONDOWN, MK_LBUTTON, at);
  PostMessageA(h, WM_LBUTTONUP, 0, at);
  if (twice) {
    PostMessageA(h, WM_LBUTTONDBLCLK, MK_LBUTTON, at);
    PostMessageA(h, WM_LBUTTONUP, 0, at);
  }
}

void post_right_click(HWND h, POINT pt) {
  LPARAM at = MAKELPARAM(pt.x, pt.y);
  PostMessageA(h, WM_MOUSEMOVE, 0, at);
  PostMessageA(h, WM_RBUTTONDOWN, MK_RBUTTON, at);
  PostMessageA(h, WM_RBUTTONUP, 0, at);
}

}  // namespace

// The row count, asked without giving up on a busy owner: the answer comes
// once the list's thread takes messages again (at most wait_ms, 120 s).
std::string cmd_count(const Args& args) {
  HWND list = nullptr;
  if (args.empty() || !parse_hwnd(args[0], &list)) return err("usage: count HWND [WAIT_MS]");
  if (!is_list(list)) return err("not a list view");
  unsigned long wait_ms = args.size() > 1 ? std::strtoul(args[1].c_str(), nullptr, 10) : SEND_TIMEOUT_MS;
  if (wait_ms > 120000) wait_ms = 120000;
  DWORD_PTR count = 0;
  if (!SendMessageTimeoutA(list, LVM_GETITEMCOUNT, 0, 0, SMTO_NORMAL, static_cast<UINT>(wait_ms), &count))
    return err("list does not answer");
  return ok(std::to_string(count));
}

std::string cmd_rows(const Args& args) {
  HWND list = nullptr;
  if (args.empty() || !parse_hwnd(args[0], &list)) return err("usage: rows HWND");
  if (!is_list(list)) return err("not a list view");
  LRESULT count = 0;
  if (!send(list, LVM_GETITEMCOUNT, 0, 0, &count)) return err("list does not answer");
  int columns = column_count(list);
  RemoteBuffer rb;
  if (!remote_open(&rb, list, sizeof(LVITEMA) + TEXT_CHARS + 1)) return err("no access to the list's process");
  std::string out = join_fields({std::to_string(count), std::to_string(columns)});
  for (int row = 0; row < count; ++row) {
    int image = -1;
    UINT state = 0;
    if (!item_image_state(list, rb, row, &image, &state)) return err("row " + std::to_string(row) + " unreadable");
    int check = static_cast<int>((state & LVIS_STATEIMAGEMASK) >> 12) - 1;
    std::vector<std::string> fields = {std::to_string(row), std::to_string(image), std::to_string(check),
                                       (state & LVIS_SELECTED) ? "1" : "0", (state & LVIS_FOCUSED) ? "1" : "0"};
    for (int col = 0; col < columns; ++col) {
      std::string text;
      if (!cell_text(list, rb, row, col, &text)) return err("cell unreadable");
      fields.push_back(text);
    }
    out.append(1, '|').append(join_fields(fields));
  }
  return ok(out);
}

std::string cmd_check(const Args& args) {
  HWND list = nullptr;
  long long row = 0, on = 0;
  std::string why;
  if (!list_and_row(args, 3, &list, &row, &why)) return err(why);
  if (!parse_number(args[2], &on)) return err("usage: check HWND ROW 0|1");
  if (!set_state(list, static_cast<int>(row), INDEXTOSTATEIMAGEMASK(on ? 2 : 1), LVIS_STATEIMAGEMASK))
    return err("state not set");
  return ok();
}

std::string cmd_select(const Args& args) {
  HWND list = nullptr;
  long long row = 0, on = 0;
  std::string why;
  if (!list_and_row(args, 3, &list, &row, &why)) return err(why);
  if (!parse_number(args[2], &on)) return err("usage: select HWND ROW|-1 0|1");
  if (!set_state(list, static_cast<int>(row), on ? LVIS_SELECTED : 0, LVIS_SELECTED)) return err("state not set");
  return ok();
}

namespace {

std::string click_row(const Args& args, bool right_button) {
  HWND list = nullptr;
  long long row = 0;
  std::string why;
  if (!list_and_row(args, 2, &list, &row, &why) || row < 0) return err(why.empty() ? "no row" : why);
  if (!clickable(list, &why)) return err(why);
  send(list, LVM_ENSUREVISIBLE, static_cast<WPARAM>(row), FALSE, nullptr);
  RemoteBuffer rb;
  if (!remote_open(&rb, list, sizeof(RECT))) return err("no access to the list's process");
  RECT r{};
  r.left = LVIR_BOUNDS;
  LRESULT okay = 0;
  if (!remote_write(rb, 0, &r, sizeof r) || !send(list, LVM_GETITEMRECT, static_cast<WPARAM>(row), remote_ptr(rb), &okay) ||
      !okay || !remote_read(rb, 0, &r, sizeof r))
    return err("row rectangle unreadable");
  RECT client{};
  GetClientRect(list, &client);
  // The centre of the row's visible part: the owner may read the cursor.
  LONG left = r.left > client.left ? r.left : client.left;
  LONG right = r.right < client.right ? r.right : client.right;
  POINT pt{(left + right) / 2, (r.top + r.bottom) / 2};
  POINT screen = pt;
  ClientToScreen(list, &screen);
  SetCursorPos(screen.x, screen.y);
  if (right_button)
    post_right_click(list, pt);
  else
    post_click(list, pt, 1);
  settle(list);
  char buf[48];
  std::snprintf(buf, sizeof buf, "%ld\t%ld", screen.x, screen.y);
  return ok(buf);
}

}  // namespace

std::string cmd_dblclick(const Args& args) { return click_row(args, false); }
// A right click opens the owner's context menu, whose loop holds its thread:
// the answer comes once the settling round trips get through.
std::string cmd_rclick(const Args& args) { return click_row(args, true); }

std::string cmd_header(const Args& args) {
  HWND list = nullptr;
  long long col = 0;
  if (args.size() < 2 || !parse_hwnd(args[0], &list) || !parse_number(args[1], &col)) return err("usage: header HWND COL");
  if (!is_list(list)) return err("not a list view");
  std::string why;
  if (!clickable(list, &why)) return err(why);
  LRESULT h = 0;
  if (!send(list, LVM_GETHEADER, 0, 0, &h) || !h) return err("no header");
  HWND header = reinterpret_cast<HWND>(h);
  if (col < 0 || col >= column_count(list)) return err("no column " + std::to_string(col));
  RemoteBuffer rb;
  if (!remote_open(&rb, header, sizeof(RECT))) return err("no access to the list's process");
  RECT r{};
  LRESULT okay = 0;
  if (!remote_write(rb, 0, &r, sizeof r) || !send(header, HDM_GETITEMRECT, static_cast<WPARAM>(col), remote_ptr(rb), &okay) ||
      !okay || !remote_read(rb, 0, &r, sizeof r))
    return err("header rectangle unreadable");
  POINT pt{(r.left + r.right) / 2, (r.top + r.bottom) / 2};
  POINT screen = pt;
  ClientToScreen(header, &screen);
  SetCursorPos(screen.x, screen.y);
  post_click(header, pt, 0);
  settle(list);
  return ok();
}
