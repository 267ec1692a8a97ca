// Which of the system's message icons a dialog shows: its icon control's
// pixels on the screen, against each icon drawn over a copy of them. The
// icon's handle belongs to the other process, so only its pixels tell.
#include "tools/uidrive/uidrive.h"

#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

struct Pixels {
  HDC dc = nullptr;
  HBITMAP bitmap = nullptr;
  HGDIOBJ old = nullptr;
  uint32_t* bits = nullptr;
  Pixels(HDC like, int width, int height) {
    BITMAPINFO bi{};
    bi.bmiHeader.biSize = sizeof bi.bmiHeader;
    bi.bmiHeader.biWidth = width;
    bi.bmiHeader.biHeight = -height;  // top-down
    bi.bmiHeader.biPlanes = 1;
    bi.bmiHeader.biBitCount = 32;
    bi.bmiHeader.biCompression = BI_RGB;
    void* raw = nullptr;
    dc = CreateCompatibleDC(like);
    bitmap = CreateDIBSection(like, &bi, DIB_RGB_COLORS, &raw, nullptr, 0);
    bits = static_cast<uint32_t*>(raw);
    if (dc && bitmap) old = SelectObject(dc, bitmap);
  }
  ~Pixels() {
    if (old) SelectObject(dc, old);
    if (bitmap) DeleteObject(bitmap);
    if (dc) DeleteDC(dc);
  }
  bool ready() const { return dc && bitmap && bits; }
};

BOOL CALLBACK find_icon(HWND child, LPARAM found) {
  if ((GetWindowLongA(child, GWL_STYLE) & SS_TYPEMASK) == SS_ICON && IsWindowVisible(child) &&
      class_name(child) == "Static") {
    *reinterpret_cast<HWND*>(found) = child;
    return FALSE;
  }
  return TRUE;
}

int channel_gap(uint32_t a, uint32_t b) {
  int gap = 0;
  for (int shift = 0; shift < 24; shift += 8)
    gap += std::abs(static_cast<int>((a >> shift) & 0xFF) - static_cast<int>((b >> shift) & 0xFF));
  return gap;
}

}  // namespace

std::string cmd_icon(const Args& args) {
  HWND h = nullptr;
  if (args.empty() || !parse_hwnd(args[0], &h)) return err("usage: icon HWND");
  HWND control = nullptr;
  EnumChildWindows(h, find_icon, reinterpret_cast<LPARAM>(&control));
  if (!control) return ok("none");
  RedrawWindow(h, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW | RDW_ALLCHILDREN);
  settle(h);
  const int width = GetSystemMetrics(SM_CXICON), height = GetSystemMetrics(SM_CYICON);
  POINT at{0, 0};
  ClientToScreen(control, &at);
  HDC screen = GetDC(nullptr);
  Pixels shown(screen, width, height), drawn(screen, width, height);
  if (!shown.ready() || !drawn.ready()) {
    ReleaseDC(nullptr, screen);
    return err("no bitmap");
  }
  BitBlt(shown.dc, 0, 0, width, height, screen, at.x, at.y, SRCCOPY | CAPTUREBLT);
  ReleaseDC(nullptr, screen);
  GdiFlush();
  const size_t count = static_cast<size_t>(width) * height;
  // An empty control shows its background alone.
  size_t ink = 0;
  for (size_t i = 0; i < count; ++i) ink += channel_gap(shown.bits[i], shown.bits[0]) > 48;
  if (ink < count / 20) return ok("none");
  const struct {
    const char* name;
    LPCSTR id;
  } icons[] = {{"error", IDI_HAND},
               {"question", IDI_QUESTION},
               {"warning", IDI_EXCLAMATION},
               {"information", IDI_ASTERISK}};
  // The same icon drawn over itself changes (almost) nothing.
  std::string best;
  size_t best_changed = count + 1;
  std::vector<std::string> fields;
  for (const auto& icon : icons) {
    std::memcpy(drawn.bits, shown.bits, count * sizeof(uint32_t));
    DrawIconEx(drawn.dc, 0, 0, LoadIconA(nullptr, icon.id), width, height, 0, nullptr, DI_NORMAL);
    GdiFlush();
    size_t changed = 0;
    for (size_t i = 0; i < count; ++i) changed += channel_gap(shown.bits[i], drawn.bits[i]) > 48;
    fields.push_back(std::string(icon.name) + "=" + std::to_string(changed));
    if (changed < best_changed) {
      best_changed = changed;
      best = icon.name;
    }
  }
  fields.insert(fields.begin(), best);
  return ok(join_fields(fields));
}
