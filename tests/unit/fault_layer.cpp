// The wrappers of the fault-injection layer: one row for each entry of
// fault_table.inc, each failing its way, and a few hooks where a function
// opens or closes a handle, needs more than a return value to fail, or has
// arguments or answers that a test reads or changes.
#include "fault_layer.h"

#include <windows.h>
#include <bcrypt.h>
#include <commctrl.h>
#include <shellapi.h>
#include <softpub.h>
#include <wincrypt.h>
#include <winhttp.h>
#include <wintrust.h>

#include <cstring>
#include <type_traits>

#include "app/system_dll.h"

namespace {

enum Form {
    FAILS,       // returns `value`, with `error` as last error when not 0
    NEVER_FAILS, // documented to succeed always: every call passes
    SHORT_WRITE, // writes and reports one byte less than asked
};

// The table's entries become rows: one for each platform function, and one
// of load_system_dll for each delay-loaded DLL. The exemptions are for the
// image check alone.
#define FAULT_EXEMPT(name, reason)

enum FunctionId {
#define FAULT_FUNCTION(name, form, value, error) ID_##name,
#define FAULT_DLL(stem) ID_load_##stem,
#include "fault_table.inc"
#undef FAULT_FUNCTION
#undef FAULT_DLL
    FUNCTION_COUNT
};

struct Function {
    const char *name;
    Form form;
    ULONG_PTR value;
    DWORD error;
    const char *dll; // the DLL of a load_system_dll row, else null
};

const Function functions[FUNCTION_COUNT] = {
#define FAULT_FUNCTION(name, form, value, error)                                                 \
    {#name, form, (ULONG_PTR)(value), (DWORD)(error), nullptr},
#define FAULT_DLL(stem) {"load_system_dll(" #stem ".dll)", FAILS, 0, 0, #stem ".dll"},
#include "fault_table.inc"
#undef FAULT_FUNCTION
#undef FAULT_DLL
};

volatile LONG calls;
volatile LONG fail_at;
volatile LONG counts[FUNCTION_COUNT];
volatile LONG armed[FUNCTION_COUNT];
FaultCall injected;

struct OpenHandle {
    void *handle;
    FaultCall by;
};
OpenHandle open_handles[64];
SRWLOCK handle_lock = SRWLOCK_INIT;

void remember(void *handle, const FaultCall &by)
{
    AcquireSRWLockExclusive(&handle_lock);
    for (OpenHandle &slot : open_handles)
        if (slot.handle == nullptr) {
            slot = {handle, by};
            break;
        }
    ReleaseSRWLockExclusive(&handle_lock);
}

void forget(void *handle)
{
    AcquireSRWLockExclusive(&handle_lock);
    for (OpenHandle &slot : open_handles)
        if (handle != nullptr && slot.handle == handle) {
            slot.handle = nullptr;
            break;
        }
    ReleaseSRWLockExclusive(&handle_lock);
}

// Hooks, chosen by overload: the templates do nothing; a function that
// opens or closes a handle, fails in more than its return value, or whose
// call a test reads or changes, has its own. `before` runs on every call,
// `after` once the real call returned, `fail` instead of the table's value
// when it returns true.
template <int id> struct Fn {};
template <int id, class... A> void before(Fn<id>, A...) {}
template <int id, class R, class... A> R after(Fn<id>, const FaultCall &, R result, A...)
{
    return result;
}
template <int id, class R, class... A> bool fail(Fn<id>, R *, A...)
{
    return false;
}

void before(Fn<ID_CloseHandle>, HANDLE handle)
{
    forget(handle);
}
void before(Fn<ID_WinHttpCloseHandle>, HINTERNET handle)
{
    forget(handle);
}
void before(Fn<ID_BCryptCloseAlgorithmProvider>, BCRYPT_ALG_HANDLE handle, ULONG)
{
    forget(handle);
}
void before(Fn<ID_BCryptDestroyHash>, BCRYPT_HASH_HANDLE handle)
{
    forget(handle);
}
void before(Fn<ID_WinVerifyTrust>, HWND, GUID *, LPVOID data)
{
    WINTRUST_DATA *trust = (WINTRUST_DATA *)data;
    if (trust->dwStateAction == WTD_STATEACTION_CLOSE)
        forget(trust->hWVTStateData);
}

HANDLE after(Fn<ID_CreateFileW>, const FaultCall &by, HANDLE file, LPCWSTR, DWORD, DWORD,
             LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE)
{
    if (file != INVALID_HANDLE_VALUE)
        remember(file, by);
    return file;
}
HINTERNET after(Fn<ID_WinHttpOpen>, const FaultCall &by, HINTERNET session, LPCWSTR, DWORD,
                LPCWSTR, LPCWSTR, DWORD)
{
    if (session != nullptr)
        remember(session, by);
    return session;
}
HINTERNET after(Fn<ID_WinHttpConnect>, const FaultCall &by, HINTERNET connection, HINTERNET,
                LPCWSTR, INTERNET_PORT, DWORD)
{
    if (connection != nullptr)
        remember(connection, by);
    return connection;
}
HINTERNET after(Fn<ID_WinHttpOpenRequest>, const FaultCall &by, HINTERNET request, HINTERNET,
                LPCWSTR, LPCWSTR, LPCWSTR, LPCWSTR, LPCWSTR *, DWORD)
{
    if (request != nullptr)
        remember(request, by);
    return request;
}
BOOL after(Fn<ID_OpenProcessToken>, const FaultCall &by, BOOL ok, HANDLE, DWORD, PHANDLE token)
{
    if (ok)
        remember(*token, by);
    return ok;
}
NTSTATUS after(Fn<ID_BCryptOpenAlgorithmProvider>, const FaultCall &by, NTSTATUS status,
               BCRYPT_ALG_HANDLE *algorithm, LPCWSTR, LPCWSTR, ULONG)
{
    if (status == 0)
        remember(*algorithm, by);
    return status;
}
NTSTATUS after(Fn<ID_BCryptCreateHash>, const FaultCall &by, NTSTATUS status, BCRYPT_ALG_HANDLE,
               BCRYPT_HASH_HANDLE *hash, PUCHAR, ULONG, PUCHAR, ULONG, ULONG)
{
    if (status == 0)
        remember(*hash, by);
    return status;
}
BOOL after(Fn<ID_CreateProcessW>, const FaultCall &by, BOOL ok, LPCWSTR, LPWSTR,
           LPSECURITY_ATTRIBUTES, LPSECURITY_ATTRIBUTES, BOOL, DWORD, LPVOID, LPCWSTR,
           LPSTARTUPINFOW, LPPROCESS_INFORMATION process)
{
    if (ok) {
        remember(process->hProcess, by);
        remember(process->hThread, by);
    }
    return ok;
}
HANDLE after(Fn<ID_CreateThread>, const FaultCall &by, HANDLE thread, LPSECURITY_ATTRIBUTES,
             SIZE_T, LPTHREAD_START_ROUTINE, LPVOID, DWORD, LPDWORD)
{
    if (thread != nullptr)
        remember(thread, by);
    return thread;
}
LONG after(Fn<ID_WinVerifyTrust>, const FaultCall &by, LONG status, HWND, GUID *, LPVOID data)
{
    WINTRUST_DATA *trust = (WINTRUST_DATA *)data;
    if (trust->dwStateAction == WTD_STATEACTION_VERIFY && trust->hWVTStateData != nullptr)
        remember(trust->hWVTStateData, by);
    return status;
}
DWORD after(Fn<ID_GetModuleFileNameW>, const FaultCall &, DWORD length, HMODULE module,
            LPWSTR path, DWORD capacity)
{
    if (module != nullptr || fault_own_image == nullptr)
        return length;
    DWORD own = (DWORD)wcslen(fault_own_image);
    if (own >= capacity)
        return capacity;
    wcscpy(path, fault_own_image);
    return own;
}
FARPROC after(Fn<ID_GetProcAddress>, const FaultCall &, FARPROC found, HMODULE, LPCSTR name)
{
    return fault_lookup != nullptr ? fault_lookup(name, found) : found;
}
void before(Fn<ID_LoadLibraryExW>, LPCWSTR, HANDLE, DWORD flags)
{
    fault_library_flags = flags;
}

bool fail(Fn<ID_WriteFile>, BOOL *result, HANDLE file, LPCVOID bytes, DWORD count,
          LPDWORD written, LPOVERLAPPED overlapped)
{
    *result = WriteFile(file, bytes, count > 0 ? count - 1 : 0, written, overlapped);
    return true;
}
bool fail(Fn<ID_CertGetNameStringW>, DWORD *result, PCCERT_CONTEXT, DWORD, DWORD, void *,
          LPWSTR name, DWORD capacity)
{
    if (name != nullptr && capacity > 0)
        name[0] = 0;
    *result = 1;
    return true;
}

// Counts the call and says whether it is to fail.
bool choose(int id, FaultCall *self)
{
    if (fault_before_call != nullptr)
        fault_before_call(functions[id].name);
    self->function = functions[id].name;
    self->call = InterlockedIncrement(&calls);
    self->ordinal = InterlockedIncrement(&counts[id]);
    if (functions[id].form == NEVER_FAILS ||
        (self->call != fail_at && self->ordinal != armed[id]))
        return false;
    if (injected.function == nullptr)
        injected = *self;
    return true;
}

template <class R> R failure_value(ULONG_PTR value)
{
    if constexpr (std::is_pointer<R>::value)
        return reinterpret_cast<R>(value);
    else
        return static_cast<R>(value);
}

template <int id, class F, F *real> struct Wrap;
template <int id, class R, class... A, R (*real)(A...)> struct Wrap<id, R(A...), real> {
    static R call(A... args)
    {
        before(Fn<id>(), args...);
        FaultCall self;
        if (choose(id, &self)) {
            R result;
            if (!fail(Fn<id>(), &result, args...)) {
                result = failure_value<R>(functions[id].value);
                if (functions[id].error != 0)
                    SetLastError(functions[id].error);
            }
            return result;
        }
        R result = real(args...);
        DWORD error = GetLastError();
        result = after(Fn<id>(), self, result, args...);
        SetLastError(error);
        return result;
    }
};

// Sleep returns nothing: it only passes.
template <> struct Wrap<ID_Sleep, decltype(Sleep), Sleep> {
    static void call(DWORD ms)
    {
        FaultCall self;
        choose(ID_Sleep, &self);
        Sleep(ms);
    }
};

} // namespace

void (*fault_before_call)(const char *function);
const wchar_t *fault_own_image;
FARPROC (*fault_lookup)(const char *, FARPROC);
DWORD fault_library_flags;

// The redirected objects call __imp_fault_X through the pointer, or fault_X
// directly where they called the import thunk.
#define FAULT_FUNCTION(name, form, value, error)                                                 \
    extern "C" void *fault_slot_##name __asm__("__imp_fault_" #name);                           \
    void *fault_slot_##name = (void *)&Wrap<ID_##name, decltype(name), name>::call;              \
    __asm__("\t.text\n\t.globl fault_" #name "\nfault_" #name ":\n\tjmp *__imp_fault_" #name "(%rip)\n");
#define FAULT_DLL(stem)
#include "fault_table.inc"
#undef FAULT_FUNCTION
#undef FAULT_DLL

// The unit program links the delay-loaded DLLs directly, so they are
// loaded before any test runs (and mingw's delay-load helper, which keeps
// what it bound, is not involved): load_system_dll is this stub, which
// passes unless its DLL's row is the call chosen to fail. A DLL without a
// row always fails, so that a clean run shows it.
bool load_system_dll(const char *dll)
{
    for (int id = 0; id < FUNCTION_COUNT; id++)
        if (functions[id].dll != nullptr && strcmp(functions[id].dll, dll) == 0) {
            FaultCall self;
            return !choose(id, &self);
        }
    return false;
}

void fault_reset(long at)
{
    InterlockedExchange(&calls, 0);
    InterlockedExchange(&fail_at, at);
    for (int id = 0; id < FUNCTION_COUNT; id++) {
        InterlockedExchange(&counts[id], 0);
        InterlockedExchange(&armed[id], 0);
    }
    injected = FaultCall{nullptr, 0, 0};
    AcquireSRWLockExclusive(&handle_lock);
    for (OpenHandle &slot : open_handles)
        slot.handle = nullptr;
    ReleaseSRWLockExclusive(&handle_lock);
}

void fault_arm(const char *function, int ordinal)
{
    for (int id = 0; id < FUNCTION_COUNT; id++)
        if (strcmp(functions[id].name, function) == 0)
            InterlockedExchange(&armed[id], ordinal);
}

long fault_calls()
{
    return calls;
}

int fault_count(const char *function)
{
    for (int id = 0; id < FUNCTION_COUNT; id++)
        if (strcmp(functions[id].name, function) == 0)
            return counts[id];
    return 0;
}

FaultCall fault_injected()
{
    return injected;
}

int fault_open_handles(FaultCall *first)
{
    int open = 0;
    AcquireSRWLockExclusive(&handle_lock);
    for (const OpenHandle &slot : open_handles)
        if (slot.handle != nullptr && open++ == 0 && first != nullptr)
            *first = slot.by;
    ReleaseSRWLockExclusive(&handle_lock);
    return open;
}
