// Screenshot of a window's screen rectangle as a 24-bit BMP file.
#include "tools/uidrive/uidrive.h"

#include <cstdio>
#include <memory>

namespace {

struct ScreenDc {
  HDC dc = GetDC(nullptr);
  ~ScreenDc() {
    if (dc) ReleaseDC(nullptr, dc);
  }
};

struct MemoryDc {
  HDC dc;
  explicit MemoryDc(HDC like) : dc(CreateCompatibleDC(like)) {}
  ~MemoryDc() {
    if (dc) DeleteDC(dc);
  }
};

struct Bitmap {
  HBITMAP bitmap = nullptr;
  ~Bitmap() {
    if (bitmap) DeleteObject(bitmap);
  }
};

struct File {
  FILE* f;
  explicit File(const char* path) : f(std::fopen(path, "wb")) {}
  ~File() {
    if (f) std::fclose(f);
  }
};

// Rows of a 24-bit bitmap are padded to four bytes.
size_t stride_of(int width) { return (static_cast<size_t>(width) * 3 + 3) & ~static_cast<size_t>(3); }

int write_bmp(const char* path, const BYTE* pixels, int width, int height) {
  size_t image = stride_of(width) * height;
  BITMAPFILEHEADER file{};
  BITMAPINFOHEADER info{};
  file.bfType = 0x4D42;  // "BM"
  file.bfOffBits = sizeof file + sizeof info;
  file.bfSize = static_cast<DWORD>(file.bfOffBits + image);
  info.biSize = sizeof info;
  info.biWidth = width;
  info.biHeight = height;  // bottom-up, as the section was made
  info.biPlanes = 1;
  info.biBitCount = 24;
  info.biCompression = BI_RGB;
  info.biSizeImage = static_cast<DWORD>(image);
  File out(path);
  return out.f && std::fwrite(&file, sizeof file, 1, out.f) == 1 && std::fwrite(&info, sizeof info, 1, out.f) == 1 &&
         std::fwrite(pixels, 1, image, out.f) == image;
}

}  // namespace

std::string cmd_shot(const Args& args) {
  HWND h = nullptr;
  if (args.size() < 2 || !parse_hwnd(args[0], &h)) return err("usage: shot HWND PATH.bmp");
  RECT r{};
  if (!GetWindowRect(h, &r)) return err("no rectangle");
  int width = r.right - r.left, height = r.bottom - r.top;
  if (width <= 0 || height <= 0) return err("empty window");
  // Drawing may be pending after the last input; let the owner paint first.
  RedrawWindow(h, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW | RDW_ALLCHILDREN);
  settle(h);
  ScreenDc screen;
  MemoryDc memory(screen.dc);
  if (!screen.dc || !memory.dc) return err("no device context");
  BITMAPINFO bi{};
  bi.bmiHeader.biSize = sizeof bi.bmiHeader;
  bi.bmiHeader.biWidth = width;
  bi.bmiHeader.biHeight = height;
  bi.bmiHeader.biPlanes = 1;
  bi.bmiHeader.biBitCount = 24;
  bi.bmiHeader.biCompression = BI_RGB;
  void* bits = nullptr;
  Bitmap bitmap;
  bitmap.bitmap = CreateDIBSection(screen.dc, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
  if (!bitmap.bitmap || !bits) return err("no bitmap");
  HGDIOBJ old = SelectObject(memory.dc, bitmap.bitmap);
  BOOL copied = BitBlt(memory.dc, 0, 0, width, height, screen.dc, r.left, r.top, SRCCOPY | CAPTUREBLT);
  GdiFlush();
  SelectObject(memory.dc, old);
  if (!copied) return err("copy failed");
  if (!write_bmp(args[1].c_str(), static_cast<const BYTE*>(bits), width, height)) return err("cannot write " + args[1]);
  return ok(join_fields({std::to_string(width), std::to_string(height)}));
}
