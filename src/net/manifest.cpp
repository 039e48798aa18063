#include "net/manifest.h"

#include "app/config.h"

// This file uses no platform and no C library call: it is also compiled
// natively for fuzzing and for the publisher's manifest tool.

static bool is_json_blank(char c)
{
    return c == '\t' || c == '\n' || c == '\r' || c == ' ';
}

static bool is_digit(char c)
{
    return c >= '0' && c <= '9';
}

bool is_url_byte(char c)
{
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || is_digit(c))
        return true;
    for (const char *p = "-._~:/?[]@!$&'()*+,;=%"; *p != 0; p++)
        if (c == *p)
            return true;
    return false;
}

static unsigned byte_length(const char *text)
{
    unsigned length = 0;
    while (text[length] != 0)
        length++;
    return length;
}

// Returns the first occurrence of `needle` in `text`, or null.
static const char *find_bytes(const char *text, const char *needle)
{
    for (; *text != 0; text++) {
        unsigned i = 0;
        while (needle[i] != 0 && text[i] == needle[i])
            i++;
        if (needle[i] == 0)
            return text;
    }
    return nullptr;
}

bool json_find_value(const char *text, const char *key, char *out, unsigned capacity)
{
    // The key between double quotes, cut to 63 bytes like a truncating
    // format of "\"%s\"" into 64 bytes would cut it.
    char quoted[64];
    unsigned q = 0;
    quoted[q++] = '"';
    for (const char *k = key; *k != 0 && q < 63; k++)
        quoted[q++] = *k;
    if (q < 63)
        quoted[q++] = '"';
    quoted[q] = 0;

    const char *p = find_bytes(text, quoted);
    if (p == nullptr)
        return false;
    p += q;
    while (is_json_blank(*p))
        p++;
    // Only the first occurrence is tried: a key name that appears earlier as
    // a value makes the lookup fail.
    if (*p != ':')
        return false;
    p++;
    while (is_json_blank(*p))
        p++;

    unsigned length = 0;
    if (*p == '"') {
        // A string: no escape of any kind is understood.
        for (p++; *p != '"'; p++) {
            if (*p == 0 || *p == '\\' || length + 1 >= capacity)
                return false;
            out[length++] = *p;
        }
    } else {
        // Anything else yields its leading digits, cut silently.
        for (; is_digit(*p) && length + 1 < capacity; p++)
            out[length++] = *p;
    }
    out[length] = 0;
    return length > 0;
}

int append_manifest_chunk(const unsigned char *bytes, unsigned count, void *context)
{
    ManifestBuffer *buffer = (ManifestBuffer *)context;
    // used <= 4,095 and count <= 65,536, so the sum cannot wrap.
    if (buffer->used + count >= MANIFEST_CAPACITY)
        return 0;
    for (unsigned i = 0; i < count; i++)
        buffer->text[buffer->used + i] = (char)bytes[i];
    buffer->used += count;
    buffer->text[buffer->used] = 0;
    return 1;
}

// Reads a size the way strtoll reads base 10: leading white space, one
// optional sign, then digits up to the first other byte. Saturates at the
// 64-bit limits; a text without digits reads as 0.
static long long parse_size(const char *text)
{
    const long long max = 0x7FFFFFFFFFFFFFFFLL;
    while (*text == ' ' || (*text >= '\t' && *text <= '\r'))
        text++;
    bool negative = false;
    if (*text == '+' || *text == '-')
        negative = *text++ == '-';
    unsigned long long magnitude = 0;
    bool overflow = false;
    for (; is_digit(*text); text++) {
        unsigned digit = (unsigned)(*text - '0');
        if (magnitude > ((unsigned long long)max - digit) / 10)
            overflow = true;
        else
            magnitude = magnitude * 10 + digit;
    }
    if (negative)
        return overflow ? -max - 1 : -(long long)magnitude;
    return overflow ? max : (long long)magnitude;
}

ManifestRule check_manifest(const char *text, ManifestFields *fields, ReleaseInfo *release)
{
    if (!json_find_value(text, "version", fields->version, sizeof fields->version))
        return MANIFEST_NO_VERSION;
    if (!json_find_value(text, "url", fields->url, sizeof fields->url))
        return MANIFEST_NO_URL;
    if (!json_find_value(text, "sha256", release->sha256_hex, sizeof release->sha256_hex))
        return MANIFEST_NO_SHA256;
    if (!json_find_value(text, "size", fields->size, sizeof fields->size))
        return MANIFEST_NO_SIZE;

    const char *prefix = DOWNLOAD_URL_PREFIX;
    for (unsigned i = 0; prefix[i] != 0; i++)
        if (fields->url[i] != prefix[i])
            return MANIFEST_URL_NOT_OURS;
    if (find_bytes(fields->url, "..") != nullptr)
        return MANIFEST_URL_DOT_DOT;
    // Servers decode "%2e%2e" to ".." before they map the path to a file,
    // so an encoded dot could climb out of /downloads/ like a plain "..".
    if (find_bytes(fields->url, "%2e") != nullptr || find_bytes(fields->url, "%2E") != nullptr)
        return MANIFEST_URL_ENCODED_DOT;
    for (const char *c = fields->url; *c != 0; c++)
        if (!is_url_byte(*c))
            return MANIFEST_URL_CHARACTER;

    if (byte_length(release->sha256_hex) != 64)
        return MANIFEST_SHA256_LENGTH;
    for (const char *c = release->sha256_hex; *c != 0; c++)
        if (!is_digit(*c) && !(*c >= 'a' && *c <= 'f'))
            return MANIFEST_SHA256_NOT_HEX;

    for (const char *c = fields->version; *c != 0; c++)
        if (!is_digit(*c) && *c != '.')
            return MANIFEST_VERSION_CHARACTER;

    release->expected_size = parse_size(fields->size);
    if (release->expected_size < 1 || release->expected_size > MAX_RELEASE_SIZE)
        return MANIFEST_SIZE_RANGE;
    return MANIFEST_VALID;
}
