#include "verify/download.h"

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
    DWORD temp_length = GetTempPathW(PATH_CAPACITY, temp_path);
    if (temp_length == 0 || temp_length >= PATH_CAPACITY)
        return RESULT_DOWNLOAD_FAILED;

    // Both paths are formed before anything is created: a path cut to fit
    // its buffer would name another file than the one meant, so it is
    // refused rather than written, verified and run.
    wchar_t directory[PATH_CAPACITY];
    if (format_text(directory, PATH_CAPACITY, L"%sTarvikInstaller-%lu", temp_path,
                    (unsigned long)GetCurrentProcessId()) >= PATH_CAPACITY ||
        format_text(run_state.installer_path, PATH_CAPACITY, L"%s\\Tarvik-Setup-%s.exe",
                    directory, release->version) >= PATH_CAPACITY) {
        run_state.installer_path[0] = 0;
        return RESULT_DOWNLOAD_FAILED;
    }
    // An existing directory is fine; any other problem shows when the file
    // cannot be created.
    CreateDirectoryW(directory, nullptr);

    DownloadTarget target = {INVALID_HANDLE_VALUE, nullptr, 0,
                             (unsigned long long)release->expected_size};
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    result = RESULT_DOWNLOAD_FAILED;

    if (BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0) != 0) {
        algorithm = nullptr;
        goto release_hash;
    }
    if (BCryptCreateHash(algorithm, &target.hash, nullptr, 0, nullptr, 0, 0) != 0) {
        target.hash = nullptr;
        goto release_hash;
    }
    target.file = CreateFileW(run_state.installer_path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
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
