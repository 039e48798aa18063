#include "verify/download.h"

#include "app/system_dll.h"
#include "app/text.h"
#include "net/fetch.h"
#include "net/release_info.h"
#include "verify/publisher.h"

int write_and_hash_chunk(const unsigned char *bytes, unsigned count, void *context)
{
    DownloadTarget *target = (DownloadTarget *)context;
    // Nothing of a chunk that would pass the promised size is kept: the
    // file never grows beyond it.
    if (target->received + count > target->expected)
        return 0;
    DWORD written = 0;
    if (!WriteFile(target->file, bytes, count, &written, nullptr) || written != count)
        return 0;
    if (BCryptHashData(target->hash, (PUCHAR)bytes, count, 0) != 0)
        return 0;
    target->received += count;
    InterlockedExchange(&run_state.download_percent,
                        (LONG)(target->received * 100 / target->expected));
    return 1;
}

// Writes the digest as 64 lowercase hexadecimal digits and a NUL.
static void digest_to_hex(const unsigned char digest[32], char hex[65])
{
    static const char digits[] = "0123456789abcdef";
    for (int i = 0; i < 32; i++) {
        hex[2 * i] = digits[digest[i] >> 4];
        hex[2 * i + 1] = digits[digest[i] & 15];
    }
    hex[64] = 0;
}

static bool same_bytes(const char *a, const char *b)
{
    while (*a != 0 && *a == *b) {
        a++;
        b++;
    }
    return *a == *b;
}

// The temporary folder. GetTempPath2W, where the system has it, gives SYSTEM
// a folder that only SYSTEM can write (GetTempPathW gives it the Windows
// folder's Temp, where every user may create folders and links), and every
// other account the same folder as GetTempPathW. Returns the length, as both
// calls do: 0 on failure, PATH_CAPACITY or more when the path does not fit.
static DWORD get_temp_folder(wchar_t path[PATH_CAPACITY])
{
    typedef DWORD(WINAPI * GetTempPath2Proc)(DWORD, LPWSTR);
    // Through void *: the found address has the generic FARPROC type.
    GetTempPath2Proc get_temp_path2 = (GetTempPath2Proc)(void *)GetProcAddress(
        GetModuleHandleW(L"kernel32.dll"), "GetTempPath2W");
    if (get_temp_path2 != nullptr)
        return get_temp_path2(PATH_CAPACITY, path);
    return GetTempPathW(PATH_CAPACITY, path);
}

bool make_private_access(PrivateAccess *access)
{
    const DWORD inherit = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;
    DWORD system_size = sizeof access->system;
    DWORD administrators_size = sizeof access->administrators;
    DWORD user_size = 0;
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        return false;
    BOOL have_user = GetTokenInformation(token, TokenUser, &access->user, sizeof access->user,
                                         &user_size);
    CloseHandle(token);
    access->attributes = {sizeof access->attributes, &access->descriptor, FALSE};
    return have_user &&
           CreateWellKnownSid(WinLocalSystemSid, nullptr, access->system, &system_size) &&
           CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, access->administrators,
                              &administrators_size) &&
           InitializeAcl(&access->dacl.acl, sizeof access->dacl, ACL_REVISION) &&
           AddAccessAllowedAceEx(&access->dacl.acl, ACL_REVISION, inherit, FILE_ALL_ACCESS,
                                 access->user.user.User.Sid) &&
           AddAccessAllowedAceEx(&access->dacl.acl, ACL_REVISION, inherit, FILE_ALL_ACCESS,
                                 access->system) &&
           AddAccessAllowedAceEx(&access->dacl.acl, ACL_REVISION, inherit, FILE_ALL_ACCESS,
                                 access->administrators) &&
           InitializeSecurityDescriptor(&access->descriptor, SECURITY_DESCRIPTOR_REVISION) &&
           SetSecurityDescriptorDacl(&access->descriptor, TRUE, &access->dacl.acl, FALSE) &&
           SetSecurityDescriptorControl(&access->descriptor, SE_DACL_PROTECTED,
                                        SE_DACL_PROTECTED);
}

// Tries for a download folder of this run's own; each further attempt
// takes a name that cannot be guessed in advance.
#define FOLDER_ATTEMPTS 100
// CreateDirectoryW takes at most 248 units, the NUL included.
#define DIRECTORY_CAPACITY 248

// Creates a new download folder of this run's own under `temp_path` and
// forms installer_path in it. Only a folder that CreateDirectoryW has just
// created is used: a name that exists already, whatever it is (the folder
// of an earlier run with the same process id, or a folder, link or
// junction planted by another user of a shared temporary folder), is
// passed over for "TarvikInstaller-<pid>-<n>". Any other error ends the
// tries at once. Returns false, with installer_path empty, when a path
// would be cut or no folder could be made.
static bool make_download_folder(const wchar_t *temp_path, const wchar_t *version)
{
    PrivateAccess access;
    if (make_private_access(&access)) {
        unsigned long pid = (unsigned long)GetCurrentProcessId();
        for (int attempt = 0; attempt < FOLDER_ATTEMPTS; attempt++) {
            wchar_t directory[PATH_CAPACITY];
            unsigned length;
            if (attempt == 0) {
                length = format_text(directory, PATH_CAPACITY, L"%sTarvikInstaller-%lu", temp_path,
                                     pid);
            } else {
                LARGE_INTEGER ticks;
                QueryPerformanceCounter(&ticks);
                length = format_text(directory, PATH_CAPACITY, L"%sTarvikInstaller-%lu-%lu",
                                     temp_path, pid, (unsigned long)ticks.LowPart);
            }
            // A path cut to fit its buffer would name another file than the
            // one meant, so it is refused rather than written, verified and
            // run.
            if (length >= DIRECTORY_CAPACITY ||
                format_text(run_state.installer_path, PATH_CAPACITY, L"%s\\Tarvik-Setup-%s.exe",
                            directory, version) >= PATH_CAPACITY)
                break;
            if (CreateDirectoryW(directory, &access.attributes))
                return true;
            if (GetLastError() != ERROR_ALREADY_EXISTS)
                break;
        }
    }
    run_state.installer_path[0] = 0;
    return false;
}

InstallResult prepare_installer()
{
    ReleaseInfo *release = &run_state.release;
    InstallResult result = fetch_release_info(release);
    if (result != RESULT_OK)
        return result;

    format_text(run_state.status_text, STATUS_TEXT_CAPACITY, L"Downloading Tarvik %s\u2026",
                release->version);

    // A temporary path that does not fit is reported by a length of 260 or
    // more without filling the buffer.
    wchar_t temp_path[PATH_CAPACITY];
    DWORD temp_length = get_temp_folder(temp_path);
    if (temp_length == 0 || temp_length >= PATH_CAPACITY ||
        !make_download_folder(temp_path, release->version))
        return RESULT_DOWNLOAD_FAILED;

    DownloadTarget target = {INVALID_HANDLE_VALUE, nullptr, 0,
                             (unsigned long long)release->expected_size};
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    result = RESULT_DOWNLOAD_FAILED;

    if (!load_system_dll("bcrypt.dll") ||
        BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0) != 0) {
        algorithm = nullptr;
        goto release_hash;
    }
    if (BCryptCreateHash(algorithm, &target.hash, nullptr, 0, nullptr, 0, 0) != 0) {
        target.hash = nullptr;
        goto release_hash;
    }
    // The folder is new and closed to others, so nothing can be there yet;
    // CREATE_NEW still refuses to open anything that is.
    target.file = CreateFileW(run_state.installer_path, GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (target.file == INVALID_HANDLE_VALUE)
        goto release_hash;

    {
        int fetched = fetch_https(release->download_url, write_and_hash_chunk, &target);
        CloseHandle(target.file);

        unsigned char digest[32];
        char digest_hex[65];
        // A cancel wins even over a complete transfer; it is read once, here.
        if (run_state.cancel_requested != 0)
            result = RESULT_CANCELLED;
        else if (!fetched || target.received != target.expected)
            result = RESULT_DOWNLOAD_FAILED;
        else if (BCryptFinishHash(target.hash, digest, sizeof digest, 0) != 0)
            result = RESULT_DOWNLOAD_FAILED;
        else {
            digest_to_hex(digest, digest_hex);
            result = same_bytes(digest_hex, release->sha256_hex) ? RESULT_OK
                                                                 : RESULT_DIGEST_MISMATCH;
        }
    }

release_hash:
    if (target.hash != nullptr)
        BCryptDestroyHash(target.hash);
    if (algorithm != nullptr)
        BCryptCloseAlgorithmProvider(algorithm, 0);

    if (result == RESULT_OK)
        result = check_publisher(run_state.installer_path);
    if (result != RESULT_OK)
        DeleteFileW(run_state.installer_path);
    return result;
}
