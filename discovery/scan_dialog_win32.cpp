// The scan dialog: ranges typed (and remembered), the rate, Scan, Cancel
// and Close. The scan runs on its own thread; its replies become rows as
// any direct query's do, while a timer here shows how far it has got.
#include <windows.h>
#include <commctrl.h>

#include <memory>
#include <string>
#include <vector>

#include "settings/settings.h"
#include "discovery/discovery.h"
#include "discovery/discovery_commands.h"
#include "discovery/scan.h"
#include "resources/resource.h"

namespace {

const UINT_PTR SCAN_TIMER = 13193;
const UINT SCAN_TICK_MS = 200;
const char* const RANGES_SETTING = "ScanRanges";
const char* const RATE_SETTING = "ScanRate";
const uint32_t RANGES_SETTING_MAX = 16384;
const int PROGRESS_STEPS = 1000;

struct ScanDialog {
  Scan scan;
  bool running = false;
  uint64_t longest_ms = 0;  // the longest time left seen, the bar's whole
};

void error_box(const char* text) { discovery_services().window.show_error(text); }

ScanDialog* state_of(HWND dialog) {
  return reinterpret_cast<ScanDialog*>(GetWindowLongPtrA(dialog, DWLP_USER));
}

std::string item_text(HWND dialog, int id) {
  HWND item = GetDlgItem(dialog, id);
  std::string text(static_cast<size_t>(GetWindowTextLengthA(item)) + 1, '\0');
  text.resize(static_cast<size_t>(GetWindowTextA(item, text.data(), static_cast<int>(text.size()))));
  return text;
}

// The field's ranges, one or more a line, blanks and commas between them.
std::vector<std::string> range_texts(const std::string& text) {
  std::vector<std::string> out;
  std::string item;
  for (char c : text + "\n") {
    if (c == '\r' || c == '\n' || c == ' ' || c == '\t' || c == ',') {
      if (!item.empty()) out.push_back(item);
      item.clear();
    } else {
      item += c;
    }
  }
  return out;
}

void show_running(HWND dialog, bool running) {
  EnableWindow(GetDlgItem(dialog, IDC_SCAN_START), !running);
  EnableWindow(GetDlgItem(dialog, IDC_SCAN_STOP), running);
  SendDlgItemMessageA(dialog, IDC_SCAN_RANGES, EM_SETREADONLY, running, 0);
  SendDlgItemMessageA(dialog, IDC_SCAN_RATE, EM_SETREADONLY, running, 0);
}

void show_progress(HWND dialog, ScanDialog* d, const ScanProgress& p) {
  char text[160];
  uint64_t silent = p.asked - (p.found < p.asked ? p.found : p.asked);
  if (!p.finished) {
    wsprintfA(text, "Asked %lu of %lu addresses, %lu cards found", static_cast<unsigned long>(p.asked),
              static_cast<unsigned long>(p.total), static_cast<unsigned long>(p.found));
  } else {
    wsprintfA(text, "%s: %lu addresses asked, %lu cards found, %lu silent",
              p.cancelled ? "Cancelled" : "Done", static_cast<unsigned long>(p.asked),
              static_cast<unsigned long>(p.found), static_cast<unsigned long>(silent));
  }
  SetDlgItemTextA(dialog, IDC_SCAN_STATUS, text);
  // The bar follows the time left: the queries still to go and the wait.
  if (p.ms_left > d->longest_ms) d->longest_ms = p.ms_left;
  uint64_t position = PROGRESS_STEPS;
  if (!p.finished && d->longest_ms > 0)
    position = (d->longest_ms - p.ms_left) * PROGRESS_STEPS / d->longest_ms;
  SendDlgItemMessageA(dialog, IDC_SCAN_PROGRESS, PBM_SETPOS, static_cast<WPARAM>(position), 0);
}

// The scan has ended (or is cancelled): its thread is joined and the
// dialog is ready for another.
void finish_scan(HWND dialog, ScanDialog* d) {
  if (!d->running) return;
  KillTimer(dialog, SCAN_TIMER);
  cancel_scan(d->scan);
  end_scan(d->scan);
  d->running = false;
  show_progress(dialog, d, scan_progress(d->scan));
  show_running(dialog, false);
}

void start_scan_from_fields(HWND dialog, ScanDialog* d) {
  std::string ranges = item_text(dialog, IDC_SCAN_RANGES);
  std::string rate_text = item_text(dialog, IDC_SCAN_RATE);
  ScanSettings settings;
  unsigned long rate = rate_text.empty() || rate_text.size() > 6 ? 0 : strtoul(rate_text.c_str(), nullptr, 10);
  if (rate < 1 || rate > SCAN_RATE_MAX) {
    error_box("The rate is 1 to 100000 queries a second.");
    return;
  }
  settings.rate = static_cast<uint32_t>(rate);
  std::vector<std::string> texts = range_texts(ranges);
  if (texts.empty()) {
    error_box("Type the addresses to scan.");
    return;
  }
  AddressSet addresses;
  std::string why;
  // The window does not force a scan larger than the bound.
  if (!read_scan_addresses(texts, {}, false, &addresses, &why)) {
    // The size rule's hint to force it is not the window's to give.
    why = "Not scanned: " + why.substr(0, why.find(';')) + ".";
    error_box(why.c_str());
    return;
  }
  write_setting_text(SETTINGS_KEY, RANGES_SETTING, ranges.c_str());
  write_setting_text(SETTINGS_KEY, RATE_SETTING, rate_text.c_str());
  if (!start_scan(d->scan, *discovery_services().service, addresses, settings)) {
    error_box("The scan could not be started.");
    return;
  }
  d->running = true;
  d->longest_ms = 0;
  show_running(dialog, true);
  SendDlgItemMessageA(dialog, IDC_SCAN_PROGRESS, PBM_SETPOS, 0, 0);
  show_progress(dialog, d, scan_progress(d->scan));
  SetTimer(dialog, SCAN_TIMER, SCAN_TICK_MS, nullptr);
}

void init_scan_dialog(HWND dialog, ScanDialog* d) {
  SetWindowLongPtrA(dialog, DWLP_USER, reinterpret_cast<LONG_PTR>(d));
  std::vector<char> ranges(RANGES_SETTING_MAX, '\0');
  if (read_setting_text(SETTINGS_KEY, RANGES_SETTING, ranges.data(), RANGES_SETTING_MAX - 1))
    SetDlgItemTextA(dialog, IDC_SCAN_RANGES, ranges.data());
  char rate[16] = "";
  if (!read_setting_text(SETTINGS_KEY, RATE_SETTING, rate, sizeof rate - 1) || !rate[0])
    wsprintfA(rate, "%lu", static_cast<unsigned long>(SCAN_DEFAULT_RATE));
  SetDlgItemTextA(dialog, IDC_SCAN_RATE, rate);
  SendDlgItemMessageA(dialog, IDC_SCAN_RANGES, EM_SETLIMITTEXT, RANGES_SETTING_MAX - 1, 0);
  SendDlgItemMessageA(dialog, IDC_SCAN_RATE, EM_SETLIMITTEXT, 6, 0);
  SendDlgItemMessageA(dialog, IDC_SCAN_PROGRESS, PBM_SETRANGE32, 0, PROGRESS_STEPS);
  SetFocus(GetDlgItem(dialog, IDC_SCAN_RANGES));
}

INT_PTR CALLBACK scan_proc(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == WM_INITDIALOG) {
    init_scan_dialog(dialog, reinterpret_cast<ScanDialog*>(lparam));
    return FALSE;  // the focus is set
  }
  ScanDialog* d = state_of(dialog);
  if (!d) return FALSE;
  if (message == WM_TIMER && wparam == SCAN_TIMER) {
    ScanProgress p = scan_progress(d->scan);
    if (p.finished)
      finish_scan(dialog, d);
    else
      show_progress(dialog, d, p);
    return TRUE;
  }
  if (message != WM_COMMAND) return FALSE;
  switch (LOWORD(wparam)) {
    case IDC_SCAN_START:
      if (!d->running) start_scan_from_fields(dialog, d);
      return TRUE;
    case IDC_SCAN_STOP:
      finish_scan(dialog, d);
      return TRUE;
    case IDCANCEL:  // Close, Esc and the close box: a scan under way stops
      finish_scan(dialog, d);
      SetWindowLongPtrA(dialog, DWLP_USER, 0);
      EndDialog(dialog, 0);
      return TRUE;
    default:
      return FALSE;
  }
}

}  // namespace

void scan_addresses_command() {
  ScanDialog d;
  // Not a modal step: the refresh pass and the checks after an upgrade go
  // on while the dialog is open, and check the rows the scan adds.
  const WindowServices& window = discovery_services().window;
  DialogBoxParamA(reinterpret_cast<HINSTANCE>(window.instance), MAKEINTRESOURCEA(IDD_SCAN),
                  reinterpret_cast<HWND>(window.owner), scan_proc, reinterpret_cast<LPARAM>(&d));
  if (d.running) end_scan(d.scan);
}
