#include "net/release_info.h"

#include "app/config.h"
#include "net/fetch.h"

InstallResult fetch_release_info(ReleaseInfo *release)
{
    ManifestBuffer manifest = {};
    if (!fetch_https(MANIFEST_URL, append_manifest_chunk, &manifest))
        return RESULT_NO_RELEASE_INFO;

    ManifestFields fields;
    if (check_manifest(manifest.text, &fields, release) != MANIFEST_VALID)
        return RESULT_NO_RELEASE_INFO;

    // Both always fit: each byte gives at most one UTF-16 unit, and the
    // lookups bounded the values to the capacities of the fields.
    MultiByteToWideChar(CP_UTF8, 0, fields.version, -1, release->version, 32);
    MultiByteToWideChar(CP_UTF8, 0, fields.url, -1, release->download_url, 512);
    return RESULT_OK;
}
