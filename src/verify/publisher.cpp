#include "verify/publisher.h"

#include <windows.h>
#include <softpub.h>
#include <wincrypt.h>
#include <wintrust.h>

#include "app/system_dll.h"
#include "app/text.h"

// WINTRUST_DATA as the current platform defines it. The toolchain's header
// stops at dwUIContext; the structure size must also cover the final
// pSignatureSettings member (null here), as the platform documents it.
struct TrustData {
    WINTRUST_DATA data;
    void *pSignatureSettings;
};

int get_signer_name(const wchar_t *path, wchar_t *name, unsigned capacity)
{
    WINTRUST_FILE_INFO file = {};
    file.cbStruct = sizeof file;
    file.pcwszFilePath = path;

    TrustData trust = {};
    trust.data.cbStruct = sizeof trust;
    trust.data.dwUIChoice = WTD_UI_NONE;
    trust.data.fdwRevocationChecks = WTD_REVOKE_NONE;
    trust.data.dwUnionChoice = WTD_CHOICE_FILE;
    trust.data.pFile = &file;
    trust.data.dwStateAction = WTD_STATEACTION_VERIFY;

    // Nothing of WINTRUST or CRYPT32 is called unless all of it is bound.
    if (!load_system_dll("WINTRUST.dll") || !load_system_dll("CRYPT32.dll"))
        return -1;

    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    int ok = 0;
    if (WinVerifyTrust(nullptr, &action, &trust.data) == 0) {
        CRYPT_PROVIDER_DATA *provider = WTHelperProvDataFromStateData(trust.data.hWVTStateData);
        CRYPT_PROVIDER_SGNR *signer =
            provider != nullptr ? WTHelperGetProvSignerFromChain(provider, 0, FALSE, 0) : nullptr;
        CRYPT_PROVIDER_CERT *cert =
            signer != nullptr ? WTHelperGetProvCertFromChain(signer, 0) : nullptr;
        // The count includes the final NUL, so 1 means an empty name, and
        // a name that filled the buffer may have been cut. The count tells
        // the whole name: a NUL before its end would hide the rest from
        // every comparison ("Braskworks\0Evil" would pass as "Braskworks"),
        // so such a name is no name.
        DWORD count = cert != nullptr ? CertGetNameStringW(cert->pCert,
                                                           CERT_NAME_SIMPLE_DISPLAY_TYPE, 0,
                                                           nullptr, name, capacity)
                                      : 0;
        if (count > 1 && count < capacity && text_length(name) == count - 1)
            ok = 1;
    }
    // The state opened by the verification is released on every path.
    trust.data.dwStateAction = WTD_STATEACTION_CLOSE;
    WinVerifyTrust(nullptr, &action, &trust.data);
    return ok;
}

InstallResult check_publisher(const wchar_t *path)
{
    wchar_t own_path[PATH_CAPACITY];
    wchar_t own_name[256];
    wchar_t download_name[256];

    // An own path that cannot be read whole would make the own signature
    // unreadable and so turn the comparison off for a signed bootstrapper.
    // Refuse instead: this program cannot tell who it is.
    DWORD length = GetModuleFileNameW(nullptr, own_path, PATH_CAPACITY);
    if (length == 0 || length >= PATH_CAPACITY)
        return RESULT_PUBLISHER_MISMATCH;
    // For the same reason, so does a bootstrapper that cannot load the
    // functions that would read its own signature.
    int own = get_signer_name(own_path, own_name, 256);
    if (own < 0)
        return RESULT_PUBLISHER_MISMATCH;
    if (own == 0)
        return RESULT_OK;
    if (get_signer_name(path, download_name, 256) != 1)
        return RESULT_PUBLISHER_MISMATCH;
    return text_equal(own_name, download_name) ? RESULT_OK : RESULT_PUBLISHER_MISMATCH;
}
