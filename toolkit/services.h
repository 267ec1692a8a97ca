#pragma once
// What a module's windows get from the program around them, handed over once
// when the main window registers the module: the owner of their dialogs and
// message boxes and the boxes themselves. A module keeps its own copy and
// never reaches up into the program for it. Windows build only.
#include <functional>

#include "toolkit/builder.h"

inline constexpr const char* PRODUCT_NAME = "Daveridur";
inline constexpr const char* CONFIRM_TITLE = "Daveridur -- Confirmation";
inline constexpr const char* INFORMATION_TITLE = "Daveridur -- Information";

struct WindowServices {
  InstanceHandle instance = nullptr;
  WindowHandle owner = nullptr;  // the main window
  // Message boxes owned by the main window and kept on top.
  std::function<int(const char*)> ask;                // Yes/No; 1 for Yes
  std::function<int(const char*)> ask_default_no;     // the same, No the default button
  std::function<void(const char*)> show_error;        // error icon, OK
  std::function<void(const char*)> show_information;  // information icon, OK
};
