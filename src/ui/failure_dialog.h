// The failure dialog of the dialog mode: one plain message per result, a
// link to the full installer when the release is known, and the support
// address.
#pragma once

#include <windows.h>
#include <commctrl.h>

// Callback of the failure dialog: opens a clicked link and leaves the dialog
// open; returns S_OK for every notification.
HRESULT CALLBACK failure_dialog_proc(HWND dialog, UINT notification, WPARAM wparam,
                                     LPARAM lparam, LONG_PTR data);

// Shows the failure dialog for `result` and returns when the user closed it.
void show_failure_dialog(LONG result);
