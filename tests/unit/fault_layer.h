// The test build's fault-injection layer. The unit-test program links
// copies of the program's objects whose platform calls come here
// (redirect_imports.py) instead of going to the DLLs, and whose
// load_system_dll is the layer's too. The table of what can fail is
// fault_table.inc. Each wrapper counts
// the call and passes it on, last error intact, unless it is the call
// chosen to fail: then it fails the way the platform documents for that
// function. The wrappers also keep a table of the handles that opening
// calls returned and closing calls released.
#pragma once

#include <windows.h>

struct FaultCall {
    const char *function; // null: none
    int ordinal;          // 1 for the function's first call since the reset
    long call;            // 1 for the first platform call since the reset
};

// Clears the counts, the handle table and every armed fault, then arms
// the `fail_at`-th platform call (0: none).
void fault_reset(long fail_at);
// Also fails the `ordinal`-th call of `function`.
void fault_arm(const char *function, int ordinal);
// Platform calls since the reset, and those of one function.
long fault_calls();
int fault_count(const char *function);
// The call that was made to fail; function is null when none was (the
// armed call never came, or that function cannot fail).
FaultCall fault_injected();
// Handles open now (the single-instance mutex is not tracked), and the
// call that opened the first of them.
int fault_open_handles(FaultCall *first);

// With a path set, GetModuleFileNameW(nullptr, ...) answers it: the
// bootstrapper's own image is taken to be that file.
extern const wchar_t *fault_own_image;
// With a function set, GetProcAddress answers what it returns for the name
// looked up and the address found: GetTempPath2W present, as on a Windows
// that has it, or SetDefaultDllDirectories missing.
extern FARPROC (*fault_lookup)(const char *name, FARPROC found);
// The flags of the last LoadLibraryExW call that was made.
extern DWORD fault_library_flags;
// With a function set, each platform call of the program calls it first
// with the function's name.
extern void (*fault_before_call)(const char *function);
