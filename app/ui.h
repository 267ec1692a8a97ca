#pragma once
// The program's own interface state, private to app/: the main window and
// its children and the main panel's handles in table order. The modules
// never see it; the main window hands each one its services record.
// Windows build only.
#include "devices/device_table.h"
#include "toolkit/builder.h"
#include "toolkit/handlers.h"
#include "toolkit/services.h"

struct Ui {
  InstanceHandle instance = nullptr;
  WindowHandle main_window = nullptr;
  WindowHandle tab_control = nullptr;
  WindowHandle quit_button = nullptr;
  WindowHandle panel[PANEL_HANDLES] = {};  // indexed by PanelControl
};
extern Ui ui;

// Message boxes owned by the main window and kept on top.
int ask_operator(const char* text);       // Yes/No; 1 for Yes
void show_error(const char* text);        // error icon, OK
void show_information(const char* text);  // information icon, OK
