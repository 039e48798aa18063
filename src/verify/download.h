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

// Security attributes of the download folder: full access for the current
// user, SYSTEM and the Administrators, inherited by what is created inside,
// and a protected list, so that nothing is inherited from a parent folder
// that others may write to. Every part lives in the record itself.
struct PrivateAccess {
    SECURITY_ATTRIBUTES attributes; // points at `descriptor`
    SECURITY_DESCRIPTOR descriptor; // its list is `dacl`
    union {
        TOKEN_USER user;
        unsigned char bytes[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    } user;
    // A SID and an access list are read and written in 32-bit units.
    alignas(DWORD) unsigned char system[SECURITY_MAX_SID_SIZE];
    alignas(DWORD) unsigned char administrators[SECURITY_MAX_SID_SIZE];
    union alignas(DWORD) {
        ACL acl;
        unsigned char bytes[sizeof(ACL) + 3 * (sizeof(ACCESS_ALLOWED_ACE) + SECURITY_MAX_SID_SIZE)];
    } dacl;
};

// Fills `access` in place, so it must not be copied afterwards. Returns
// false when any part of it cannot be made.
bool make_private_access(PrivateAccess *access);

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
