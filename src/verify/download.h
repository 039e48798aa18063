// Download of the setup program into a private temporary directory, with a
// streaming SHA-256 and the size, digest and publisher checks.
#pragma once

#include <windows.h>
#include <bcrypt.h>

#include "app/run_state.h"

// Sink context of the download. The sink only uses it; prepare_installer
// owns and releases both handles.
struct DownloadTarget {
    HANDLE file;                  // the setup program, open for writing
    BCRYPT_HASH_HANDLE hash;      // SHA-256 of exactly the bytes written
    unsigned long long received;  // bytes written and hashed so far
    unsigned long long expected;  // the manifest's size; received never exceeds it
};

// ChunkSink of the download: refuses a chunk that would take `received` past
// `expected`, writes the chunk, hashes it and publishes download_percent.
// Returns 1 to go on, 0 to stop the transfer.
int write_and_hash_chunk(const unsigned char *bytes, unsigned count, void *context);

// Fetches the release information, downloads the setup program to
// installer_path ("<temp>TarvikInstaller-<pid>\Tarvik-Setup-<version>.exe")
// and checks its size, SHA-256 and publisher. On RESULT_OK the verified file
// is left for the caller to run and delete; on any other result no file is
// left behind. The download directory always stays.
InstallResult prepare_installer();
