// The Upgrade command in the product: the ticked cards become a request and
// its plan, then a run held by the main window's run holder and driven on a
// thread of its own; logoff and shutdown while it runs.
#include "upgrade/win32/window_run_win32.h"

namespace {

const DWORD SESSION_END_WAIT_MS = 2000;
const wchar_t SHUTDOWN_REASON[] = L"Firmware upgrade in progress";
// A refresh pass counts every card as unanswered when it sends the query; the
// answer clears the count when the receive thread merges it, up to about a
// second later. No pass starts while the batch runs, so this long after the
// batch began every answer to the last pass is in.
const uint32_t ANSWER_WINDOW_MS = 1500;

// While a batch runs the system is asked to wait (FALSE); the operator sees
// the reason and may end the session anyway.
int on_query_end_session(WindowHandle, HandlerArg, HandlerArg, HandlerArg, HandlerArg) {
  UpgradeRunHolder* holder = ui().runs;
  return holder && holder->run && !holder->run->over ? 0 : 1;
}

// The session ends: every running transfer is aborted with its line, the
// cards not started yet are so in the kept report, before the process goes.
int on_end_session(WindowHandle, HandlerArg, HandlerArg ending, HandlerArg, HandlerArg) {
  UpgradeRunHolder* holder = ui().runs;
  if (!ending || !holder || !holder->run || !holder->run->run) return 0;
  WindowRun& w = *holder->run;
  w.run->post({RunCommandKind::shutdown});
  const bool loop_over = w.loop_done.wait(SESSION_END_WAIT_MS);
  // Their closing was posted; the process may go before it is taken.
  w.session_ended = true;
  for (int slot = 0; slot < static_cast<int>(w.places.size()); ++slot) w.close_place(slot);
  // The run reports the cards it will not start; the process may go
  // before it does.
  // The journal is the loop's while it goes: touched here only once it is over.
  if (loop_over && w.journal) journal_end_pending(w.journal.get(), CardOutcome::aborted);
  return 0;
}

// The ticked rows as the run takes them: a rollout in the table's order, top
// row first; a plain batch bottom row first. False when a ticked row has no
// record (nothing may start then).
bool ticked_cards(bool top_first, std::vector<RequestCard>* cards,
                  std::vector<DeviceRecord>* records) {
  DeviceTable& t = *ui().table;
  const int rows = row_count(t);
  for (int i = 0; i < rows; ++i) {
    const int row = top_first ? i : rows - 1 - i;
    if ((t.list->item_state(row, STATE_CHECK_MASK) & STATE_CHECK_MASK) == STATE_UNCHECKED) continue;
    const DeviceRecord* r = row_record(t, row);
    if (!r) return false;
    RequestCard c;
    c.record = *r;
    c.row = row;
    cards->push_back(c);
    records->push_back(*r);
  }
  return true;
}

// The cards, the plan, the image read again: what the Upgrade command asks
// before anything goes. False when nothing is to run.
bool prepare_run(const RolloutSetting& setting, bool fleet, const RunOptions& options,
                 RunPlan* plan, ImageFile* file) {
  RunRequest request;
  request.image = opened_image();
  request.options = options;
  // The question below warns of cards at the image's version or newer;
  // those the operator confirms are sent.
  request.send_current = true;
  std::vector<DeviceRecord> records;
  if (!ticked_cards(fleet, &request.cards, &records)) return false;
  std::string refusal;
  if (!plan_run(request, plan, &refusal)) {
    refusal[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(refusal[0])));
    refusal += ". Untick \"Upgrade in waves\" in the Rollout dialog to send it to every card at once.";
    ui().window.show_error(refusal.c_str());
    return false;
  }
  // In waves, the question names the plan on a last line of its own.
  std::string question = confirm_upgrade_text(records, request.image.version);
  const std::string refusing = refusing_cards_text(records);
  if (!refusing.empty()) question += "\r\n\r\n" + refusing;
  const std::string line = rollout_setting_line(setting);
  if (!line.empty()) question += "\r\n" + line;
  const bool newer = confirm_warns_newer(records, request.image.version);
  if (!(newer ? ui().window.ask_default_no : ui().window.ask)(question.c_str())) return false;
  // Bytes that cannot be read, are too many, fail the checks, or are not the
  // image opened and confirmed are never sent, and the operator who said
  // Yes is told why.
  if (const char* image_refused = image_refusal(request.image, file)) {
    ui().window.show_error(image_refused);
    return false;
  }
  return true;
}

}  // namespace

bool upgrade_dialog_message(void* msg) {
  UpgradeRunHolder* holder = ui().runs;
  if (!holder || !holder->run) return false;
  for (const WindowRun::Place& place : holder->run->places)
    if (place.dialog && IsDialogMessageA(place.dialog, static_cast<MSG*>(msg))) return true;
  HWND window = static_cast<HWND>(holder->run->window);
  return window && IsDialogMessageA(window, static_cast<MSG*>(msg));
}

RunQuit ask_quit_during_run() {
  UpgradeRunHolder* holder = ui().runs;
  if (!holder || !holder->run || !holder->run->run) return RunQuit::no_run;
  WindowRun& w = *holder->run;
  if (w.over || w.reporting) return RunQuit::no_run;
  if (w.stop_asked) {
    // Stopping already: the quit follows the report.
    w.quit_after = true;
    return RunQuit::after_report;
  }
  const int left = w.tally.not_started();
  const std::string question = std::string(w.fleet ? "A rollout" : "An upgrade") + " is running: " +
                               std::to_string(left) + (left == 1 ? " card" : " cards") +
                               " not started. Stop it and quit ?";
  ++w.asking;
  const bool yes = ui().window.ask(question.c_str()) != 0;
  --w.asking;
  // The box gave the main window back its input; a plain batch keeps it
  // disabled until its report.
  if (!w.fleet) EnableWindow(main_hwnd(), FALSE);
  if (w.over && !w.reporting && !w.asking) {
    // It ended while the question was open: finish quits for a Yes.
    w.quit_after = yes;
    w.finish();
    return yes ? RunQuit::after_report : RunQuit::stay;
  }
  if (!yes) return RunQuit::stay;
  w.quit_after = true;
  w.stop();
  return RunQuit::after_report;
}

void guard_session_end(WindowHandle main_window) {
  register_handlers(main_window, {{WM_QUERYENDSESSION, on_query_end_session, 0, 0},
                                  {WM_ENDSESSION, on_end_session, 0, 0},
                                  {task_message(), on_task, 0, 0}});
}

int upgrade_command(WindowHandle, HandlerArg, HandlerArg, HandlerArg, HandlerArg) {
  UpgradeRunHolder* holder = ui().runs;
  if (!holder || holder->run) return 0;
  const RolloutSetting setting = read_rollout_setting();
  const int parallel = static_cast<int>(read_transfers_setting());
  const uint32_t settle_seconds = read_settle_setting();
  const uint32_t recheck_minutes = read_recheck_setting();
  show_setting_problems();
  const bool fleet = setting.waves || parallel > WINDOW_SESSIONS;
  RunOptions options;
  options.rollout = rollout_options_of(setting, read_policy_setting());
  options.schedule = rollout_schedule_of(setting);
  options.parallel = parallel;
  options.answer_window_ms = ANSWER_WINDOW_MS;
  options.reports_folder = reports_folder();
  // The run checks its cards in its loop, and its report is on disk before it ends.
  options.checks = RunChecks::each_ok;
  options.settle_ms = int64_t{settle_seconds} * 1000;
  options.recheck_after_ms = int64_t{recheck_minutes} * 60000;
  options.keep_until_saved = true;
  RunPlan plan;
  ImageFile file;
  if (!prepare_run(setting, fleet, options, &plan, &file)) return 0;
  std::vector<RunCard> cards = std::move(plan.cards);
  holder->run = std::make_unique<WindowRun>(holder, options.parallel);
  WindowRun& w = *holder->run;
  w.waves = setting.waves;
  w.fleet = fleet;
  w.state.schedule = options.schedule;
  ui().modal_step->set();
  // A rollout leaves the main window to look at while it holds its cards;
  // a plain batch disables it.
  hold_for_run(*ui().table, true);
  if (!fleet) EnableWindow(main_hwnd(), FALSE);
  ShutdownBlockReasonCreate(main_hwnd(), SHUTDOWN_REASON);
  w.run = std::make_unique<UpgradeRun>(std::move(cards), std::move(file.bytes), file.opened, options,
                                       &w, &w.io, open_check_transport(&w.io), &w);
  w.open_window();
  // A card still counted unanswered is waited for once: its answer's merge.
  std::weak_ptr<RunInbox> inbox = w.run->inbox();
  w.merge_listener = subscribe_merges(*ui().table, [inbox](const DeviceRecord& r) {
    if (auto in = inbox.lock()) in->post({RunCommandKind::answered, r.ip});
  });
  w.run->post({RunCommandKind::start});
  try {
    w.thread = std::thread([&w] {
      w.run->run();
      w.loop_done.set();
    });
  } catch (const std::system_error&) {
    w.run.reset();
    w.over = true;
    w.finish();
  }
  return 0;
}
