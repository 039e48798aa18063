#include "ui/failure_dialog.h"

#include <shellapi.h>

#include "app/config.h"
#include "app/run_state.h"
#include "app/text.h"

#define FOOTER_CAPACITY 400

HRESULT CALLBACK failure_dialog_proc(HWND dialog, UINT notification, WPARAM wparam,
                                     LPARAM lparam, LONG_PTR data)
{
    (void)dialog;
    (void)wparam;
    (void)data;
    if (notification == TDN_HYPERLINK_CLICKED)
        ShellExecuteW(nullptr, L"open", (const wchar_t *)lparam, nullptr, nullptr,
                      SW_SHOWNORMAL);
    return S_OK;
}

static const wchar_t *failure_message(LONG result)
{
    switch (result) {
    case RESULT_NO_RELEASE_INFO:
        return L"Tarvik couldn\u2019t reach " SITE_HOST
               L" to find the latest version. Check your internet connection and try again.";
    case RESULT_DOWNLOAD_FAILED:
        return L"The download stopped before it finished. Check your internet connection and "
               L"try again.";
    case RESULT_DIGEST_MISMATCH:
    case RESULT_PUBLISHER_MISMATCH:
        return L"The downloaded installer didn\u2019t pass Tarvik\u2019s safety check, so it "
               L"wasn\u2019t run. Please try again.";
    default:
        return L"The installer didn\u2019t finish. If your computer is managed by your company, "
               L"ask your IT team to allow apps signed by Braskworks (" SITE_HOST
               L"/work explains how).";
    }
}

void show_failure_dialog(LONG result)
{
    wchar_t footer[FOOTER_CAPACITY];
    // The release is known exactly when its version was filled in.
    if (run_state.release.version[0] != 0)
        format_text(footer, FOOTER_CAPACITY,
                    L"You can also <a href=\"%s\">download the full installer</a> or write to "
                    L"<a href=\"mailto:" SUPPORT_EMAIL L"\">" SUPPORT_EMAIL L"</a>.",
                    run_state.release.download_url);
    else
        format_text(footer, FOOTER_CAPACITY,
                    L"Still stuck? Write to <a href=\"mailto:" SUPPORT_EMAIL L"\">" SUPPORT_EMAIL
                    L"</a>.");

    TASKDIALOGCONFIG config = {};
    config.cbSize = sizeof config;
    config.dwFlags = TDF_ENABLE_HYPERLINKS | TDF_ALLOW_DIALOG_CANCELLATION;
    config.dwCommonButtons = TDCBF_CLOSE_BUTTON;
    config.pszWindowTitle = L"Tarvik";
    config.pszMainIcon = TD_ERROR_ICON;
    config.pszMainInstruction = L"Tarvik couldn\u2019t be installed";
    config.pszContent = failure_message(result);
    config.pszFooter = footer;
    config.pfCallback = failure_dialog_proc;
    config.cxWidth = 0;
    TaskDialogIndirect(&config, nullptr, nullptr, nullptr);
}
