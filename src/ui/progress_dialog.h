// The progress dialog of the dialog mode: a task dialog that starts the
// install worker, mirrors the run state on its timer and turns Cancel into a
// cancel request.
#pragma once

#include <windows.h>
#include <commctrl.h>

// The phase that the last timer tick applied, -1 before the first tick.
// Entry actions of a phase run when a tick sees a phase other than this.
extern LONG shown_phase;

// Callback of the progress dialog. Handles TDN_CREATED (starts the worker),
// TDN_BUTTON_CLICKED (cancel rules), TDN_HYPERLINK_CLICKED (opens the link)
// and TDN_TIMER (mirrors phase, percentage and status text); every other
// notification does nothing. Returns S_FALSE only to refuse a Cancel while a
// setup run is in progress.
HRESULT CALLBACK progress_dialog_proc(HWND dialog, UINT notification, WPARAM wparam,
                                      LPARAM lparam, LONG_PTR data);

// Shows the progress dialog and returns when it has closed.
void show_progress_dialog(HINSTANCE instance);
