// Helpers shared by the toolkit's Wine tests.
#pragma once

#include <windows.h>
#include <commctrl.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "toolkit/builder.h"
#include "toolkit/handlers.h"

inline HINSTANCE self() { return GetModuleHandleA(nullptr); }

inline void pump() {
  MSG msg;
  while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
  }
}

inline std::string class_of(HWND window) {
  char name[64] = "";
  GetClassNameA(window, name, sizeof name);
  return name;
}

inline std::string text_of(HWND window) {
  char text[128] = "";
  GetWindowTextA(window, text, sizeof text);
  return text;
}

// The window's rectangle in its parent's client coordinates.
inline RECT rect_in_parent(HWND window) {
  RECT r;
  GetWindowRect(window, &r);
  MapWindowPoints(nullptr, GetParent(window), reinterpret_cast<POINT*>(&r), 2);
  return r;
}

inline void expect_rect(HWND window, const ControlRect& expected) {
  RECT r = rect_in_parent(window);
  EXPECT_EQ(r.left, expected.x);
  EXPECT_EQ(r.top, expected.y);
  EXPECT_EQ(r.right - r.left, expected.width);
  EXPECT_EQ(r.bottom - r.top, expected.height);
}

// Saves the window as it is on screen, as a .bmp in DAVERIDUR_SHOTS.
inline void save_screenshot(HWND window, const char* name) {
  const char* dir = std::getenv("DAVERIDUR_SHOTS");
  if (dir == nullptr || *dir == 0) return;
  std::string folder = dir[0] == '/' ? std::string("Z:") + dir : std::string(dir);
  for (char& c : folder)
    if (c == '/') c = '\\';
  CreateDirectoryA(folder.c_str(), nullptr);
  const std::string path = folder + "\\" + name;

  RedrawWindow(window, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_FRAME | RDW_ALLCHILDREN | RDW_UPDATENOW);
  pump();
  RECT r;
  GetWindowRect(window, &r);
  const int width = r.right - r.left, height = r.bottom - r.top;
  HDC source = GetWindowDC(window);
  HDC memory = CreateCompatibleDC(source);
  HBITMAP bitmap = CreateCompatibleBitmap(source, width, height);
  HGDIOBJ old = SelectObject(memory, bitmap);
  BitBlt(memory, 0, 0, width, height, source, 0, 0, SRCCOPY);
  SelectObject(memory, old);

  BITMAPINFOHEADER info{};
  info.biSize = sizeof info;
  info.biWidth = width;
  info.biHeight = height;
  info.biPlanes = 1;
  info.biBitCount = 24;
  info.biCompression = BI_RGB;
  const DWORD row = ((width * 3 + 3) / 4) * 4;
  std::vector<BYTE> pixels(static_cast<size_t>(row) * height);
  GetDIBits(memory, bitmap, 0, height, pixels.data(), reinterpret_cast<BITMAPINFO*>(&info),
            DIB_RGB_COLORS);
  BITMAPFILEHEADER file{};
  file.bfType = 0x4D42;
  file.bfOffBits = sizeof file + sizeof info;
  file.bfSize = file.bfOffBits + static_cast<DWORD>(pixels.size());
  HANDLE out = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  if (out != INVALID_HANDLE_VALUE) {
    DWORD written;
    WriteFile(out, &file, sizeof file, &written, nullptr);
    WriteFile(out, &info, sizeof info, &written, nullptr);
    WriteFile(out, pixels.data(), static_cast<DWORD>(pixels.size()), &written, nullptr);
    CloseHandle(out);
  }
  DeleteObject(bitmap);
  DeleteDC(memory);
  ReleaseDC(window, source);
}

class ToolkitWindows : public ::testing::Test {
 protected:
  void SetUp() override {
    static bool initialised = false;
    if (!initialised) {
      INITCOMMONCONTROLSEX icc{sizeof icc, ICC_WIN95_CLASSES | ICC_TAB_CLASSES | ICC_LISTVIEW_CLASSES};
      InitCommonControlsEx(&icc);
      initialised = true;
    }
    clear_handler_tables();
  }
  void TearDown() override {
    for (HWND w : windows)
      if (IsWindow(w)) DestroyWindow(w);
    pump();
  }
  HWND keep(HWND w) {
    windows.push_back(w);
    return w;
  }
  std::vector<HWND> windows;
};

