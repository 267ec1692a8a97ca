// The checks after " OK." in the product: the verifier runs on the main
// window's thread, ticked by a one-second timer, asking through the
// discovery service's query socket and hearing the table's merges.
#include <windows.h>

#include "app/ui.h"
#include "devices/device_table.h"
#include "discovery/discovery.h"
#include "upgrade/verify.h"

namespace {

const UINT_PTR CHECK_TIMER = 0x3000;  // apart from the session timers
const UINT CHECK_EVERY_MS = 1000;

Verifier verifier;

int64_t now_ms() { return static_cast<int64_t>(GetTickCount64()); }

class TablePorts : public VerifyPorts {
 public:
  void query(uint32_t ip) override { query_device(discovery(), ip); }
  bool row_listed(uint32_t ip) override { return find_row(devices(), ip) >= 0; }
  void show_result(const CardResult& card) override {
    set_row_result(devices(), card.ip, result_column_text(card).c_str());
  }
};

TablePorts table_ports;

int on_check_timer(WindowHandle, HandlerArg, HandlerArg, HandlerArg, HandlerArg) {
  verifier_tick(verifier, table_ports, now_ms());
  return 0;
}

}  // namespace

void start_upgrade_checks(WindowHandle main_window) {
  // A record without a version was not read from a card's reply.
  devices().merged = [](const DeviceRecord& r) {
    if (r.version) verifier_answer(verifier, r.ip, r.version, now_ms());
  };
  register_handlers(main_window, {{WM_TIMER, on_check_timer, CHECK_TIMER, 0}});
  SetTimer(reinterpret_cast<HWND>(main_window), CHECK_TIMER, CHECK_EVERY_MS, nullptr);
}

void check_card(const std::shared_ptr<Report>& report, const CardResult& card) {
  verifier_card_done(verifier, report, card);
  // Shown before the batch goes on: the report box may open right after
  // the last card's line, and its Result must already be there.
  table_executor().run([] { verifier_take(verifier, table_ports, now_ms()); });
}
