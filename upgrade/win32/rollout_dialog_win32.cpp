// The rollout dialog (122), from the device list's menu: whether Upgrade
// runs the ticked cards in waves, the waves' sizes, the failure that stops
// the run (a count or a share), the policy beside them (cards without an
// answer, the least settled, the time and gate between waves, the order),
// when its cards may start, how many transfers run at once, the
// checks' settle period and the recheck after the run, kept in the
// settings at OK. The fields of the waves are greyed while the
// box is unticked.
#include <windows.h>

#include <string>

#include "resources/resource.h"
#include "settings/settings.h"
#include "upgrade/policy/rollout_fields.h"
#include "upgrade/win32/upgrade_commands.h"

namespace {

// The longest text a field takes: a number with a "%", a window, a
// shuffle with its seed, and blanks around.
const int FIELD_LIMIT = 24;

// The fields of the waves and their policy, in the dialog's order.
const int FIELDS[] = {IDC_ROLLOUT_FIRST,       IDC_ROLLOUT_LATER,       IDC_ROLLOUT_STOP,
                      IDC_ROLLOUT_START,       IDC_ROLLOUT_WINDOW,      IDC_ROLLOUT_UNREACHABLE,
                      IDC_ROLLOUT_MIN_SETTLED, IDC_ROLLOUT_DELAY,       IDC_ROLLOUT_ORDER,
                      IDC_ROLLOUT_GATE};

void grey_fields(HWND dialog) {
  const BOOL on = IsDlgButtonChecked(dialog, IDC_ROLLOUT_WAVES) == BST_CHECKED;
  for (int id : FIELDS) EnableWindow(GetDlgItem(dialog, id), on);
}

std::string item_text(HWND dialog, int id) {
  char text[FIELD_LIMIT + 4] = "";
  GetDlgItemTextA(dialog, id, text, sizeof text);
  return text;
}

int field_id(RolloutField field) {
  switch (field) {
    case RolloutField::first:
      return IDC_ROLLOUT_FIRST;
    case RolloutField::later:
      return IDC_ROLLOUT_LATER;
    case RolloutField::stop_after:
      return IDC_ROLLOUT_STOP;
    case RolloutField::start_at:
      return IDC_ROLLOUT_START;
    case RolloutField::window:
      return IDC_ROLLOUT_WINDOW;
    case RolloutField::max_unreachable:
      return IDC_ROLLOUT_UNREACHABLE;
    case RolloutField::min_settled:
      return IDC_ROLLOUT_MIN_SETTLED;
    case RolloutField::wave_delay:
      return IDC_ROLLOUT_DELAY;
    case RolloutField::order:
      return IDC_ROLLOUT_ORDER;
    default:
      return 0;
  }
}

void init_rollout_dialog(HWND dialog) {
  RolloutFields fields = rollout_fields_of(read_rollout_setting());
  policy_fields_of(read_policy_setting(), &fields);
  CheckDlgButton(dialog, IDC_ROLLOUT_WAVES, fields.waves ? BST_CHECKED : BST_UNCHECKED);
  CheckDlgButton(dialog, IDC_ROLLOUT_GATE, fields.gate ? BST_CHECKED : BST_UNCHECKED);
  const std::string transfers = std::to_string(read_transfers_setting());
  const std::string settle = std::to_string(read_settle_setting());
  const std::string recheck = recheck_field_of(read_recheck_setting());
  const std::pair<int, const std::string*> edits[] = {
      {IDC_ROLLOUT_FIRST, &fields.first},     {IDC_ROLLOUT_LATER, &fields.later},
      {IDC_ROLLOUT_STOP, &fields.stop_after}, {IDC_ROLLOUT_START, &fields.start_at},
      {IDC_ROLLOUT_WINDOW, &fields.window},   {IDC_ROLLOUT_PARALLEL, &transfers},
      {IDC_ROLLOUT_SETTLE, &settle},          {IDC_ROLLOUT_RECHECK, &recheck},
      {IDC_ROLLOUT_UNREACHABLE, &fields.max_unreachable},
      {IDC_ROLLOUT_MIN_SETTLED, &fields.min_settled},
      {IDC_ROLLOUT_DELAY, &fields.wave_delay},
      {IDC_ROLLOUT_ORDER, &fields.order}};
  for (const auto& [id, text] : edits) {
    SendDlgItemMessageA(dialog, id, EM_SETLIMITTEXT, FIELD_LIMIT, 0);
    SetDlgItemTextA(dialog, id, text->c_str());
  }
  grey_fields(dialog);
  SetFocus(GetDlgItem(dialog, IDC_ROLLOUT_WAVES));
}

// The refusal named; the field focused unless it is greyed (the box
// unticked).
void refuse_field(HWND dialog, int id, const std::string& why) {
  upgrade_services().window.show_error(why.c_str());
  HWND edit = GetDlgItem(dialog, id);
  if (edit && IsWindowEnabled(edit)) {
    SetFocus(edit);
    SendMessageA(edit, EM_SETSEL, 0, -1);
  }
}

// OK: the fields read and kept, or the one refused named and focused.
bool keep_fields(HWND dialog) {
  RolloutFields fields;
  fields.waves = IsDlgButtonChecked(dialog, IDC_ROLLOUT_WAVES) == BST_CHECKED;
  fields.first = item_text(dialog, IDC_ROLLOUT_FIRST);
  fields.later = item_text(dialog, IDC_ROLLOUT_LATER);
  fields.stop_after = item_text(dialog, IDC_ROLLOUT_STOP);
  fields.start_at = item_text(dialog, IDC_ROLLOUT_START);
  fields.window = item_text(dialog, IDC_ROLLOUT_WINDOW);
  fields.max_unreachable = item_text(dialog, IDC_ROLLOUT_UNREACHABLE);
  fields.min_settled = item_text(dialog, IDC_ROLLOUT_MIN_SETTLED);
  fields.wave_delay = item_text(dialog, IDC_ROLLOUT_DELAY);
  fields.order = item_text(dialog, IDC_ROLLOUT_ORDER);
  fields.gate = IsDlgButtonChecked(dialog, IDC_ROLLOUT_GATE) == BST_CHECKED;
  // A share typed in Stop after leaves the count kept as it was.
  RolloutSetting setting = read_rollout_setting();
  RolloutPolicy policy;
  std::string why;
  RolloutField refused = RolloutField::none;
  if (!read_rollout_fields(fields, &setting, &why, &refused) ||
      !read_policy_fields(fields, &policy, &why, &refused)) {
    refuse_field(dialog, field_id(refused), why);
    return false;
  }
  const std::string parallel = item_text(dialog, IDC_ROLLOUT_PARALLEL);
  uint32_t transfers = 0;
  if (!read_transfers_text(parallel, &transfers)) {
    refuse_field(dialog, IDC_ROLLOUT_PARALLEL,
                 "Transfers at once: \"" + parallel + "\" is not a number of 1 to 64.");
    return false;
  }
  uint32_t settle = 0, recheck = 0;
  if (!read_settle_field(item_text(dialog, IDC_ROLLOUT_SETTLE), &settle, &why)) {
    refuse_field(dialog, IDC_ROLLOUT_SETTLE, why);
    return false;
  }
  if (!read_recheck_field(item_text(dialog, IDC_ROLLOUT_RECHECK), &recheck, &why)) {
    refuse_field(dialog, IDC_ROLLOUT_RECHECK, why);
    return false;
  }
  if (!write_rollout_setting(setting) || !write_policy_setting(policy) ||
      !write_transfers_setting(transfers) ||
      !write_settle_setting(settle) || !write_recheck_setting(recheck)) {
    upgrade_services().window.show_error(
        "The rollout could not be kept: the settings cannot be written.");
    return false;
  }
  return true;
}

INT_PTR CALLBACK rollout_proc(HWND dialog, UINT message, WPARAM wparam, LPARAM) {
  if (message == WM_INITDIALOG) {
    init_rollout_dialog(dialog);
    return FALSE;  // the focus is set
  }
  if (message != WM_COMMAND) return FALSE;
  switch (LOWORD(wparam)) {
    case IDOK:
      if (keep_fields(dialog)) EndDialog(dialog, 1);
      return TRUE;
    case IDCANCEL:
      EndDialog(dialog, 0);
      return TRUE;
    case IDC_ROLLOUT_WAVES:
      if (HIWORD(wparam) == BN_CLICKED) grey_fields(dialog);
      return TRUE;
    default:
      return FALSE;
  }
}

}  // namespace

void rollout_command() {
  const WindowServices& window = upgrade_services().window;
  DialogBoxParamA(reinterpret_cast<HINSTANCE>(window.instance), MAKEINTRESOURCEA(IDD_ROLLOUT),
                  reinterpret_cast<HWND>(window.owner), rollout_proc, 0);
}
