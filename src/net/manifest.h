// The release manifest: a flat JSON object of at most 4,095 bytes at
// MANIFEST_URL naming the current release's version, download URL, SHA-256
// digest and size.
//
// The lookup and the checks work on 8-bit text only and use no platform
// call, so they are also built natively (fuzz target, manifest tool).
#pragma once

// The validated release. Filled once per process by fetch_release_info;
// `version` and `download_url` are written only after every check passed,
// so an empty `version` means that no usable manifest was found.
struct ReleaseInfo {
    wchar_t version[32];       // 1 to 31 characters, digits and dots
    wchar_t download_url[512]; // begins with DOWNLOAD_URL_PREFIX, no ".." and no "%2e"
    char sha256_hex[65];       // 64 lowercase hexadecimal digits
    long long expected_size;   // 1 to MAX_RELEASE_SIZE bytes
};

// Largest setup program the bootstrapper accepts: 300 MiB.
#define MAX_RELEASE_SIZE 314572800LL

// Capacity of the manifest text, including its terminating NUL.
#define MANIFEST_CAPACITY 4096

// Sink context of the manifest transfer. `text` always holds a NUL at index
// `used`, and `used` never exceeds MANIFEST_CAPACITY - 1.
struct ManifestBuffer {
    char text[MANIFEST_CAPACITY];
    unsigned used;
};

// The values as taken out of the manifest text, before conversion.
struct ManifestFields {
    char version[32];
    char url[512];
    char size[24];
};

// The checks of a manifest, in the order in which they are made. The first
// one that fails is the answer; MANIFEST_VALID means that all passed.
enum ManifestRule {
    MANIFEST_VALID = 0,
    MANIFEST_NO_VERSION,        // "version" missing, empty, too long or unreadable
    MANIFEST_NO_URL,            // "url" missing, empty, longer than 511 bytes or unreadable
    MANIFEST_NO_SHA256,         // "sha256" missing, empty, longer than 64 or unreadable
    MANIFEST_NO_SIZE,           // "size" missing, empty or unreadable
    MANIFEST_URL_NOT_OURS,      // "url" does not begin with the download prefix
    MANIFEST_URL_DOT_DOT,       // "url" contains ".."
    MANIFEST_URL_ENCODED_DOT,   // "url" contains "%2e" or "%2E"
    MANIFEST_URL_CHARACTER,     // "url" has a byte that a URL never holds unescaped
    MANIFEST_SHA256_LENGTH,     // "sha256" is not exactly 64 characters
    MANIFEST_SHA256_NOT_HEX,    // "sha256" has a character other than 0-9, a-f
    MANIFEST_VERSION_CHARACTER, // "version" has a character other than 0-9 and "."
    MANIFEST_SIZE_RANGE,        // "size" is not a number from 1 to MAX_RELEASE_SIZE
};

// Finds `key` in the manifest text and copies its value into `out`, which
// holds `capacity` bytes (at least 1). The key is looked up as "key" (with
// its quotes) at its first occurrence only, and must be followed by a colon;
// TAB, LF, CR and space may surround the colon. A string value is copied up
// to its closing quote and fails on a backslash, on the end of the text or
// when longer than capacity - 1 bytes. Any other value yields its leading
// ASCII digits, silently cut at capacity - 1. Returns true when a non-empty
// value was stored and terminated; on false `out` may hold a partial copy.
bool json_find_value(const char *text, const char *key, char *out, unsigned capacity);

// ChunkSink of the manifest transfer: appends the bytes to the ManifestBuffer
// given as context. A piece that would fill the buffer to 4,096 bytes or more
// is refused whole (returns 0), which ends the transfer as a failure.
int append_manifest_chunk(const unsigned char *bytes, unsigned count, void *context);

// True for the printable ASCII that may stand in a download URL as it is:
// letters, digits and - . _ ~ : / ? [ ] @ ! $ & ' ( ) * + , ; = %. Not space,
// control bytes, non-ASCII, " < > \ ^ ` { | }: the URL also becomes the href
// of a link in the failure dialog, where < and > would break the link markup.
// Not # either: a fragment means nothing to a download, and HTTP clients
// differ on it.
bool is_url_byte(char c);

// Takes the four values out of the NUL-terminated manifest `text` into
// `fields` and applies every rule in order. The digest goes straight into
// release->sha256_hex and the converted size into release->expected_size;
// `version` and `download_url` of `release` are not touched.
ManifestRule check_manifest(const char *text, ManifestFields *fields, ReleaseInfo *release);
