#pragma once
// Editing cards by hand: the account dialog and the batch setting dialog.
// Windows build only.
#include "protocol/sysinfo.h"

// Runs the account dialog on the record (edited in place); 1 for OK.
int edit_account(DeviceRecord* record);
// The account dialog for one row; on OK the row is shown again and the card
// asked for its system information. 1 for OK.
int edit_row(int row);
// The batch setting dialog for column 3 (user name) or 4 (password).
void open_batch_setting(int column);
