// The dialogs' callbacks driven directly against a real window that records
// the task-dialog messages it receives, as the task dialog would.
#include <doctest/doctest.h>

#include <windows.h>
#include <commctrl.h>

#include <string>
#include <vector>

#include "app/run_state.h"
#include "ui/failure_dialog.h"
#include "ui/progress_dialog.h"
#include "test_support.h"

namespace {

struct Message {
    UINT message;
    WPARAM wparam;
    LPARAM lparam;
    std::wstring text; // for TDM_SET_ELEMENT_TEXT

    bool operator==(const Message &other) const
    {
        return message == other.message && wparam == other.wparam &&
               (message == TDM_SET_ELEMENT_TEXT ? text == other.text : lparam == other.lparam);
    }
};

std::vector<Message> received;

LRESULT CALLBACK recording_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam)
{
    if (message >= WM_USER && message < WM_USER + 200) {
        Message m = {message, wparam, lparam, L""};
        if (message == TDM_SET_ELEMENT_TEXT)
            m.text = (const wchar_t *)lparam;
        received.push_back(m);
        return 0;
    }
    return DefWindowProcW(window, message, wparam, lparam);
}

HWND recording_window()
{
    static HWND window = nullptr;
    if (window == nullptr) {
        WNDCLASSW window_class = {};
        window_class.lpfnWndProc = recording_proc;
        window_class.hInstance = GetModuleHandleW(nullptr);
        window_class.lpszClassName = L"TarvikRecordingWindow";
        RegisterClassW(&window_class);
        window = CreateWindowW(L"TarvikRecordingWindow", L"", 0, 0, 0, 10, 10, nullptr, nullptr,
                               GetModuleHandleW(nullptr), nullptr);
    }
    return window;
}

// One timer tick in `phase`; returns the messages the tick sent.
std::vector<Message> tick(LONG phase)
{
    InterlockedExchange(&run_state.phase, phase);
    received.clear();
    CHECK(progress_dialog_proc(recording_window(), TDN_TIMER, 200, 0, 0) == S_OK);
    return received;
}

Message text(WPARAM element, const std::wstring &value)
{
    return {TDM_SET_ELEMENT_TEXT, element, 0, value};
}

std::vector<Message> downloading_tick()
{
    return {{TDM_SET_PROGRESS_BAR_POS, (WPARAM)run_state.download_percent, 0, L""},
            text(TDE_CONTENT, run_state.status_text)};
}

const std::vector<Message> INSTALLING_ENTRY = {
    {TDM_SET_MARQUEE_PROGRESS_BAR, TRUE, 0, L""},
    {TDM_SET_PROGRESS_BAR_MARQUEE, TRUE, 30, L""},
    text(TDE_MAIN_INSTRUCTION, L"Installing Tarvik"),
    text(TDE_CONTENT, L"Installing\u2026"),
    {TDM_ENABLE_BUTTON, IDCANCEL, 0, L""},
};
const std::vector<Message> CLICK_CANCEL = {{TDM_CLICK_BUTTON, IDCANCEL, 0, L""}};
const std::vector<Message> NOTHING = {};

std::vector<Message> security_wait(bool entry)
{
    std::vector<Message> messages;
    if (entry) {
        messages.push_back(text(TDE_MAIN_INSTRUCTION, L"Waiting for your security check"));
        messages.push_back({TDM_ENABLE_BUTTON, IDCANCEL, 1, L""});
    }
    messages.push_back(text(TDE_CONTENT, run_state.status_text));
    return messages;
}

HRESULT click(int button)
{
    return progress_dialog_proc(recording_window(), TDN_BUTTON_CLICKED, button, 0, 0);
}

} // namespace

TEST_SUITE("dialog_callbacks")
{
    TEST_CASE("a worker that fails at once: 0 then 2, without a marquee")
    {
        reset_run_state();
        InterlockedExchange(&run_state.download_percent, 37);
        CHECK(tick(PHASE_DOWNLOADING) == downloading_tick());
        CHECK(tick(PHASE_DOWNLOADING) == downloading_tick()); // sent on every tick
        CHECK(tick(PHASE_FINISHED) == CLICK_CANCEL);
        CHECK(shown_phase == PHASE_FINISHED);
    }

    TEST_CASE("a successful run: 0, 1, 2, entry actions once per entry")
    {
        reset_run_state();
        tick(PHASE_DOWNLOADING);
        CHECK(tick(PHASE_INSTALLING) == INSTALLING_ENTRY);
        CHECK(tick(PHASE_INSTALLING) == NOTHING);
        CHECK(tick(PHASE_FINISHED) == CLICK_CANCEL);
        CHECK(tick(PHASE_FINISHED) == CLICK_CANCEL);
    }

    TEST_CASE("a retried run: 1, 3, 1 repeats the entry actions on each entry")
    {
        reset_run_state();
        CHECK(tick(PHASE_INSTALLING) == INSTALLING_ENTRY);
        wcscpy(run_state.status_text, L"Trying again in 60 s");
        CHECK(tick(PHASE_SECURITY_WAIT) == security_wait(true));
        wcscpy(run_state.status_text, L"Trying again in 59 s");
        CHECK(tick(PHASE_SECURITY_WAIT) == security_wait(false));
        CHECK(tick(PHASE_INSTALLING) == INSTALLING_ENTRY);
        CHECK(tick(PHASE_SECURITY_WAIT) == security_wait(true));
    }

    TEST_CASE("an unknown phase changes nothing but is remembered")
    {
        reset_run_state();
        tick(PHASE_INSTALLING);
        CHECK(tick(9) == NOTHING);
        CHECK(shown_phase == 9);
        // Back from the unknown phase is a new entry.
        CHECK(tick(PHASE_INSTALLING) == INSTALLING_ENTRY);
    }

    TEST_CASE("Cancel: allowed and flagged while downloading or waiting, refused while installing")
    {
        struct Case {
            LONG phase;
            HRESULT result;
            LONG flag;
        } cases[] = {
            {PHASE_DOWNLOADING, S_OK, 1}, {PHASE_INSTALLING, S_FALSE, 0},
            {PHASE_FINISHED, S_OK, 0},    {PHASE_SECURITY_WAIT, S_OK, 1},
            {5, S_OK, 0},                 {-1, S_OK, 0},
        };
        for (const Case &c : cases) {
            CAPTURE(c.phase);
            reset_run_state();
            InterlockedExchange(&run_state.phase, c.phase);
            CHECK(click(IDCANCEL) == c.result);
            CHECK(run_state.cancel_requested == c.flag);
        }
        // Other buttons close nothing and cancel nothing.
        for (int button : {IDOK, IDCLOSE, IDYES, 100}) {
            reset_run_state();
            CHECK(click(button) == S_OK);
            CHECK(run_state.cancel_requested == 0);
        }
    }

    TEST_CASE("creation starts the worker, which finishes on its own")
    {
        reset_run_state();
        site_fault("/windows-setup.json", R"({"status": 404})");
        received.clear();
        CHECK(progress_dialog_proc(recording_window(), TDN_CREATED, 0, 0, 0) == S_OK);
        CHECK(received.empty());
        for (int i = 0; i < 200 && run_state.phase != PHASE_FINISHED; i++)
            Sleep(50);
        CHECK(run_state.phase == PHASE_FINISHED);
        CHECK(run_state.final_result == RESULT_NO_RELEASE_INFO);
        site_fault("/windows-setup.json", "");
    }

    TEST_CASE("links open through the shell and leave both dialogs as they are")
    {
        reset_run_state();
        std::wstring links = harness_path(L"links");
        std::wstring target = install_test_app(links);
        CHECK(progress_dialog_proc(recording_window(), TDN_HYPERLINK_CLICKED, 0,
                                   (LPARAM)target.c_str(), 0) == S_OK);
        CHECK(app_opened(links));
        CHECK(run_state.cancel_requested == 0);

        target = install_test_app(links);
        CHECK(failure_dialog_proc(recording_window(), TDN_HYPERLINK_CLICKED, 0,
                                  (LPARAM)target.c_str(), 0) == S_OK);
        CHECK(app_opened(links));
        // The failure dialog handles no button: Close, Esc and the close
        // box all end it.
        CHECK(failure_dialog_proc(recording_window(), TDN_BUTTON_CLICKED, IDCLOSE, 0, 0) == S_OK);
        CHECK(failure_dialog_proc(recording_window(), TDN_BUTTON_CLICKED, IDCANCEL, 0, 0) == S_OK);
    }
}
