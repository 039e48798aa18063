// The wrappers of the fault-injection layer: one table of the platform
// functions that the program imports, each with the way it fails, and a
// few hooks where a function opens or closes a handle or needs more than a
// return value to fail.
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

namespace {

enum Form {
    FAILS,       // returns `value`, with `error` as last error when not 0
    NEVER_FAILS, // documented to succeed always: every call passes
    SHORT_WRITE, // writes and reports one byte less than asked
};

// Function, form, value returned on failure, last error set on failure.
#define FAULT_FUNCTIONS(X)                                                                       \
    X(AddAccessAllowedAceEx, FAILS, FALSE, ERROR_ALLOTTED_SPACE_EXCEEDED)                         \
    X(BCryptCloseAlgorithmProvider, FAILS, 0xC0000008 /* STATUS_INVALID_HANDLE */, 0)             \
    X(BCryptCreateHash, FAILS, 0xC0000017 /* STATUS_NO_MEMORY */, 0)                              \
    X(BCryptDestroyHash, FAILS, 0xC0000008 /* STATUS_INVALID_HANDLE */, 0)                        \
    X(BCryptFinishHash, FAILS, 0xC0000001 /* STATUS_UNSUCCESSFUL */, 0)                           \
    X(BCryptHashData, FAILS, 0xC0000001 /* STATUS_UNSUCCESSFUL */, 0)                             \
    X(BCryptOpenAlgorithmProvider, FAILS, 0xC0000225 /* STATUS_NOT_FOUND */, 0)                   \
    X(CertGetNameStringW, FAILS, 1 /* an empty name */, 0)                                        \
    X(CloseHandle, FAILS, FALSE, ERROR_INVALID_HANDLE)                                            \
    X(CreateDirectoryW, FAILS, FALSE, ERROR_PATH_NOT_FOUND)                                       \
    X(CreateFileW, FAILS, (ULONG_PTR)INVALID_HANDLE_VALUE, ERROR_ACCESS_DENIED)                   \
    X(CreateMutexW, FAILS, 0, ERROR_ACCESS_DENIED)                                                \
    X(CreateProcessW, FAILS, FALSE, ERROR_ACCESS_DENIED)                                          \
    X(CreateThread, FAILS, 0, ERROR_NOT_ENOUGH_MEMORY)                                            \
    X(CreateWellKnownSid, FAILS, FALSE, ERROR_INSUFFICIENT_BUFFER)                                \
    X(DeleteFileW, FAILS, FALSE, ERROR_ACCESS_DENIED)                                             \
    X(GetCurrentProcess, NEVER_FAILS, 0, 0)                                                       \
    X(GetCurrentProcessId, NEVER_FAILS, 0, 0)                                                     \
    X(GetEnvironmentVariableW, FAILS, 0, ERROR_ENVVAR_NOT_FOUND)                                  \
    X(GetExitCodeProcess, FAILS, FALSE, ERROR_INVALID_HANDLE)                                     \
    X(GetLastError, NEVER_FAILS, 0, 0)                                                            \
    X(GetModuleFileNameW, FAILS, 0, ERROR_INSUFFICIENT_BUFFER)                                    \
    X(GetModuleHandleW, FAILS, 0, ERROR_MOD_NOT_FOUND)                                            \
    X(GetProcAddress, FAILS, 0, ERROR_PROC_NOT_FOUND)                                             \
    X(GetTempPathW, FAILS, 0, ERROR_ACCESS_DENIED)                                                \
    X(GetTokenInformation, FAILS, FALSE, ERROR_INSUFFICIENT_BUFFER)                               \
    X(InitCommonControlsEx, FAILS, FALSE, 0)                                                      \
    X(InitializeAcl, FAILS, FALSE, ERROR_INSUFFICIENT_BUFFER)                                     \
    X(InitializeSecurityDescriptor, FAILS, FALSE, ERROR_INVALID_PARAMETER)                        \
    X(LoadIconW, FAILS, 0, ERROR_RESOURCE_NAME_NOT_FOUND)                                         \
    X(MultiByteToWideChar, FAILS, 0, ERROR_NO_UNICODE_TRANSLATION)                                \
    X(OpenProcessToken, FAILS, FALSE, ERROR_ACCESS_DENIED)                                        \
    X(QueryPerformanceCounter, NEVER_FAILS, 0, 0)                                                 \
    X(RegGetValueW, FAILS, ERROR_FILE_NOT_FOUND, 0)                                               \
    X(SendMessageW, NEVER_FAILS, 0, 0)                                                            \
    X(SetProcessDPIAware, FAILS, FALSE, 0)                                                        \
    X(SetSecurityDescriptorControl, FAILS, FALSE, ERROR_INVALID_PARAMETER)                        \
    X(SetSecurityDescriptorDacl, FAILS, FALSE, ERROR_INVALID_SECURITY_DESCR)                      \
    X(ShellExecuteW, FAILS, SE_ERR_FNF, ERROR_FILE_NOT_FOUND)                                     \
    X(Sleep, NEVER_FAILS, 0, 0)                                                                   \
    X(TaskDialogIndirect, FAILS, (ULONG_PTR)E_FAIL, 0)                                            \
    X(WaitForSingleObject, FAILS, WAIT_FAILED, ERROR_INVALID_HANDLE)                              \
    X(WinHttpCloseHandle, FAILS, FALSE, ERROR_INVALID_HANDLE)                                     \
    X(WinHttpConnect, FAILS, 0, ERROR_WINHTTP_INTERNAL_ERROR)                                     \
    X(WinHttpCrackUrl, FAILS, FALSE, ERROR_WINHTTP_INVALID_URL)                                   \
    X(WinHttpOpen, FAILS, 0, ERROR_INVALID_PARAMETER)                                             \
    X(WinHttpOpenRequest, FAILS, 0, ERROR_WINHTTP_INTERNAL_ERROR)                                 \
    X(WinHttpQueryHeaders, FAILS, FALSE, ERROR_WINHTTP_HEADER_NOT_FOUND)                          \
    X(WinHttpReadData, FAILS, FALSE, ERROR_WINHTTP_CONNECTION_ERROR)                              \
    X(WinHttpReceiveResponse, FAILS, FALSE, ERROR_WINHTTP_TIMEOUT)                                \
    X(WinHttpSendRequest, FAILS, FALSE, ERROR_WINHTTP_CANNOT_CONNECT)                             \
    X(WinHttpSetOption, FAILS, FALSE, ERROR_WINHTTP_INVALID_OPTION)                               \
    X(WinVerifyTrust, FAILS, (ULONG_PTR)TRUST_E_SUBJECT_NOT_TRUSTED, 0)                           \
    X(WTHelperGetProvCertFromChain, FAILS, 0, 0)                                                  \
    X(WTHelperGetProvSignerFromChain, FAILS, 0, 0)                                                \
    X(WTHelperProvDataFromStateData, FAILS, 0, 0)                                                 \
    X(WriteFile, SHORT_WRITE, 0, 0)

enum FunctionId {
#define FAULT_ID(name, form, value, error) ID_##name,
    FAULT_FUNCTIONS(FAULT_ID) FUNCTION_COUNT
};

struct Function {
    const char *name;
    Form form;
    ULONG_PTR value;
    DWORD error;
};

const Function functions[FUNCTION_COUNT] = {
#define FAULT_ROW(name, form, value, error) {#name, form, (ULONG_PTR)(value), (DWORD)(error)},
    FAULT_FUNCTIONS(FAULT_ROW)};

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
// opens or closes a handle, or fails in more than its return value, has its
// own. `before` runs on every call, `after` once the real call returned,
// `fail` instead of the table's value when it returns true.
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
    if (fault_temp_path2 != nullptr && strcmp(name, "GetTempPath2W") == 0)
        return (FARPROC)(void *)fault_temp_path2;
    return found;
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
DWORD(WINAPI *fault_temp_path2)(DWORD, LPWSTR);

// The redirected objects call __imp_fault_X through the pointer, or fault_X
// directly where they called the import thunk.
#define FAULT_SLOT(name, form, value, error)                                                     \
    extern "C" void *fault_slot_##name __asm__("__imp_fault_" #name);       \
    void *fault_slot_##name = (void *)&Wrap<ID_##name, decltype(name), name>::call;              \
    __asm__("\t.text\n\t.globl fault_" #name "\nfault_" #name ":\n\tjmp *__imp_fault_" #name "(%rip)\n");
FAULT_FUNCTIONS(FAULT_SLOT)

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
