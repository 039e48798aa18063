#include "ui/progress_dialog.h"

#include <shellapi.h>

#include "app/config.h"
#include "app/run_state.h"
#include "install/install_worker.h"

LONG shown_phase = -1;

static void set_text(HWND dialog, WPARAM element, const wchar_t *text)
{
    SendMessageW(dialog, TDM_SET_ELEMENT_TEXT, element, (LPARAM)text);
}

// Applies one phase to the dialog: entry actions when the phase differs from
// the one shown at the last tick, then the tick actions.
static void mirror_run_state(HWND dialog)
{
    LONG phase = run_state.phase; // one read decides the whole tick
    bool entered = phase != shown_phase;
    switch (phase) {
    case PHASE_DOWNLOADING:
        SendMessageW(dialog, TDM_SET_PROGRESS_BAR_POS, run_state.download_percent, 0);
        set_text(dialog, TDE_CONTENT, run_state.status_text);
        break;
    case PHASE_INSTALLING:
        if (entered) {
            SendMessageW(dialog, TDM_SET_MARQUEE_PROGRESS_BAR, TRUE, 0);
            SendMessageW(dialog, TDM_SET_PROGRESS_BAR_MARQUEE, TRUE, 30);
            set_text(dialog, TDE_MAIN_INSTRUCTION, L"Installing Tarvik");
            set_text(dialog, TDE_CONTENT, L"Installing\u2026");
            SendMessageW(dialog, TDM_ENABLE_BUTTON, IDCANCEL, 0);
        }
        break;
    case PHASE_FINISHED:
        // Closes the dialog through the Cancel path, even while the button
        // is still disabled after a setup run.
        SendMessageW(dialog, TDM_CLICK_BUTTON, IDCANCEL, 0);
        break;
    case PHASE_SECURITY_WAIT:
        if (entered) {
            set_text(dialog, TDE_MAIN_INSTRUCTION, L"Waiting for your security check");
            SendMessageW(dialog, TDM_ENABLE_BUTTON, IDCANCEL, 1);
        }
        set_text(dialog, TDE_CONTENT, run_state.status_text);
        break;
    }
    shown_phase = phase;
}

HRESULT CALLBACK progress_dialog_proc(HWND dialog, UINT notification, WPARAM wparam,
                                      LPARAM lparam, LONG_PTR data)
{
    (void)data;
    switch (notification) {
    case TDN_CREATED: {
        // Nobody joins the worker; its end shows as PHASE_FINISHED.
        HANDLE worker = CreateThread(nullptr, 0, install_worker, nullptr, 0, nullptr);
        if (worker != nullptr)
            CloseHandle(worker);
        return S_OK;
    }
    case TDN_BUTTON_CLICKED:
        // Esc, Alt+F4 and the close box arrive as IDCANCEL too.
        if (wparam != IDCANCEL)
            return S_OK;
        if (run_state.phase == PHASE_DOWNLOADING || run_state.phase == PHASE_SECURITY_WAIT)
            InterlockedExchange(&run_state.cancel_requested, 1);
        // A setup run once started is always waited for.
        return run_state.phase == PHASE_INSTALLING ? S_FALSE : S_OK;
    case TDN_HYPERLINK_CLICKED:
        ShellExecuteW(nullptr, L"open", (const wchar_t *)lparam, nullptr, nullptr,
                      SW_SHOWNORMAL);
        return S_OK;
    case TDN_TIMER:
        mirror_run_state(dialog);
        return S_OK;
    }
    return S_OK;
}

void show_progress_dialog(HINSTANCE instance)
{
    TASKDIALOGCONFIG config = {};
    config.cbSize = sizeof config;
    config.hwndParent = nullptr;
    config.hInstance = instance;
    config.dwFlags = TDF_ENABLE_HYPERLINKS | TDF_USE_HICON_MAIN | TDF_ALLOW_DIALOG_CANCELLATION |
                     TDF_SHOW_PROGRESS_BAR | TDF_CALLBACK_TIMER;
    config.dwCommonButtons = TDCBF_CANCEL_BUTTON;
    config.pszWindowTitle = L"Tarvik";
    config.hMainIcon = LoadIconW(instance, MAKEINTRESOURCEW(1));
    config.pszMainInstruction = L"Installing Tarvik";
    config.pszContent = run_state.status_text;
    config.pszFooter = L"By installing Tarvik you agree to its <a href=\"https://" SITE_HOST
                       L"/terms\">Terms</a> and <a href=\"https://" SITE_HOST
                       L"/privacy\">Privacy Policy</a>.";
    config.pfCallback = progress_dialog_proc;
    config.lpCallbackData = 0;
    config.cxWidth = 240;
    TaskDialogIndirect(&config, nullptr, nullptr, nullptr);
}
