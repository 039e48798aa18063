// Watches the bootstrapper's dialogs from another process, as a person
// would see them, and acts on them on request.
//
// Every 50 ms it looks at the top-level windows titled "Tarvik" and, when
// anything visible changed, prints one JSON line on stdout:
//   {"windows": [{"hwnd": 1234, "pid": 56, "children": [
//       {"class": "Static", "text": "...", "visible": 1, "enabled": 1, "style": 1342308352},
//       {"class": "msctls_progress32", ..., "pos": 40, "marquee": 0}, ...]}]}
// Commands, one per line on stdin:
//   click TEXT   press the button labelled TEXT ("Cancel", "Close")
//   escape       press Esc in the dialog
//   close        the close box / Alt+F4
//   quit         end the watcher
// Each command is answered with {"done": "COMMAND", "ok": 0 or 1}.
#include <windows.h>
#include <commctrl.h>

#include <cstdio>
#include <string>
#include <vector>

static CRITICAL_SECTION queue_lock;
static std::vector<std::string> queue;

static DWORD WINAPI read_commands(LPVOID)
{
    char line[1024];
    while (fgets(line, sizeof line, stdin) != nullptr) {
        std::string command(line);
        while (!command.empty() && (command.back() == '\n' || command.back() == '\r'))
            command.pop_back();
        EnterCriticalSection(&queue_lock);
        queue.push_back(command);
        LeaveCriticalSection(&queue_lock);
    }
    EnterCriticalSection(&queue_lock);
    queue.push_back("quit");
    LeaveCriticalSection(&queue_lock);
    return 0;
}

static std::string json_text(const wchar_t *text)
{
    std::string out = "\"";
    for (const wchar_t *p = text; *p != 0; p++) {
        if (*p == L'"' || *p == L'\\') {
            out += '\\';
            out += (char)*p;
        } else if (*p >= 0x20 && *p < 0x7F) {
            out += (char)*p;
        } else {
            char escape[8];
            snprintf(escape, sizeof escape, "\\u%04x", (unsigned)*p);
            out += escape;
        }
    }
    return out + "\"";
}

static std::string window_text(HWND window)
{
    wchar_t text[2048] = L"";
    DWORD_PTR length = 0;
    // WM_GETTEXT is marshalled across processes and gives the current text.
    SendMessageTimeoutW(window, WM_GETTEXT, 2048, (LPARAM)text, SMTO_ABORTIFHUNG, 1000, &length);
    text[2047] = 0;
    return json_text(text);
}

static BOOL CALLBACK describe_child(HWND child, LPARAM context)
{
    std::string *out = (std::string *)context;
    wchar_t class_name[64];
    GetClassNameW(child, class_name, 64);
    LONG style = GetWindowLongW(child, GWL_STYLE);
    char numbers[160];
    snprintf(numbers, sizeof numbers, ", \"visible\": %d, \"enabled\": %d, \"style\": %ld",
             IsWindowVisible(child) ? 1 : 0, IsWindowEnabled(child) ? 1 : 0, (long)style);
    if (out->back() != '[')
        *out += ", ";
    *out += "{\"class\": " + json_text(class_name) + ", \"text\": " + window_text(child) + numbers;
    if (lstrcmpiW(class_name, PROGRESS_CLASSW) == 0) {
        DWORD_PTR position = 0;
        SendMessageTimeoutW(child, PBM_GETPOS, 0, 0, SMTO_ABORTIFHUNG, 1000, &position);
        snprintf(numbers, sizeof numbers, ", \"pos\": %d, \"marquee\": %d", (int)position,
                 (style & PBS_MARQUEE) ? 1 : 0);
        *out += numbers;
    }
    *out += "}";
    return TRUE;
}

static std::vector<HWND> dialogs;

static BOOL CALLBACK find_dialog(HWND window, LPARAM)
{
    wchar_t title[64];
    if (IsWindowVisible(window) && GetWindowTextW(window, title, 64) > 0 &&
        lstrcmpW(title, L"Tarvik") == 0)
        dialogs.push_back(window);
    return TRUE;
}

static std::string describe_dialogs()
{
    dialogs.clear();
    EnumWindows(find_dialog, 0);
    std::string out = "{\"windows\": [";
    for (size_t i = 0; i < dialogs.size(); i++) {
        DWORD pid = 0;
        GetWindowThreadProcessId(dialogs[i], &pid);
        char head[96];
        snprintf(head, sizeof head, "%s{\"hwnd\": %lu, \"pid\": %lu, \"children\": [",
                 i ? ", " : "", (unsigned long)(ULONG_PTR)dialogs[i], (unsigned long)pid);
        out += head;
        EnumChildWindows(dialogs[i], describe_child, (LPARAM)&out);
        out += "]}";
    }
    return out + "]}";
}

// The description reads each text with a message of its own, so a dialog
// that changes meanwhile (one timer tick sets the headline, then the
// content) could be caught half old, half new. Only a description that the
// next reading repeats is taken; "" when the dialog kept changing.
static std::string settled_description()
{
    std::string state = describe_dialogs();
    for (int reading = 0; reading < 10; reading++) {
        std::string again = describe_dialogs();
        if (again == state)
            return state;
        state = again;
    }
    return "";
}

struct ButtonSearch {
    std::wstring text;
    HWND found;
};

static BOOL CALLBACK find_button(HWND child, LPARAM context)
{
    ButtonSearch *search = (ButtonSearch *)context;
    wchar_t class_name[64], text[256] = L"";
    GetClassNameW(child, class_name, 64);
    SendMessageTimeoutW(child, WM_GETTEXT, 256, (LPARAM)text, SMTO_ABORTIFHUNG, 1000, nullptr);
    std::wstring label;
    for (const wchar_t *p = text; *p; p++)
        if (*p != L'&')
            label += *p;
    if (lstrcmpiW(class_name, L"Button") == 0 && label == search->text) {
        search->found = child;
        return FALSE;
    }
    return TRUE;
}

static bool run_command(const std::string &command)
{
    dialogs.clear();
    EnumWindows(find_dialog, 0);
    if (dialogs.empty())
        return false;
    HWND dialog = dialogs.back();
    if (command.rfind("click ", 0) == 0) {
        ButtonSearch search = {std::wstring(command.begin() + 6, command.end()), nullptr};
        EnumChildWindows(dialog, find_button, (LPARAM)&search);
        if (search.found == nullptr)
            return false;
        // A click arrives like a mouse click: only an enabled button acts.
        if (!IsWindowEnabled(search.found))
            return true;
        PostMessageW(search.found, BM_CLICK, 0, 0);
        return true;
    }
    if (command == "escape") {
        // The dialog's message loop turns Esc on any of its controls into
        // its cancel command.
        HWND target = GetWindow(dialog, GW_CHILD);
        PostMessageW(target ? target : dialog, WM_KEYDOWN, VK_ESCAPE, 0x00010001);
        PostMessageW(target ? target : dialog, WM_KEYUP, VK_ESCAPE, 0xC0010001);
        return true;
    }
    if (command == "close") {
        PostMessageW(dialog, WM_SYSCOMMAND, SC_CLOSE, 0);
        return true;
    }
    return false;
}

int main()
{
    InitializeCriticalSection(&queue_lock);
    setvbuf(stdout, nullptr, _IONBF, 0);
    // Joins the interactive desktop (and starts it if this process comes
    // first), so that the windows of programs started later are seen.
    GetDesktopWindow();
    CloseHandle(CreateThread(nullptr, 0, read_commands, nullptr, 0, nullptr));
    std::string last;
    for (;;) {
        std::string state = settled_description();
        if (!state.empty() && state != last) {
            printf("%s\n", state.c_str());
            fflush(stdout);
            last = state;
        }
        EnterCriticalSection(&queue_lock);
        std::vector<std::string> commands;
        commands.swap(queue);
        LeaveCriticalSection(&queue_lock);
        for (const std::string &command : commands) {
            if (command == "quit")
                return 0;
            bool ok = run_command(command);
            printf("{\"done\": \"%s\", \"ok\": %d}\n", command.c_str(), ok ? 1 : 0);
            fflush(stdout);
        }
        Sleep(50);
    }
}
