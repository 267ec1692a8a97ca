#pragma once
// Win32 code only: a portable window handle as the Windows calls take it.
#include <windows.h>

#include "toolkit/handlers.h"

inline HWND hwnd(WindowHandle w) { return reinterpret_cast<HWND>(w); }
