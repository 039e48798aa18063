// libFuzzer target of the manifest lookup and checks (src/net/manifest.cpp),
// built natively with AddressSanitizer and UBSan by run_fuzz.sh.
//
// Input layout: two control bytes, then the manifest body.
//   The body goes to append_manifest_chunk in pieces that alternate between
//   `input[0]` bytes and `input[1] * 17` bytes (0 to 4,335, so one piece can
//   cross the 4,096-byte limit on its own); two zero control bytes hand the
//   whole body over in one piece. Feeding stops at the first refused piece,
//   as the transfer does.
// A plain manifest file becomes an input with `printf '\0\0' | cat - FILE`.
//
// Every output buffer and every text handed to the code under test is a heap
// block of exactly the size the callee may use, so that a write past the
// capacity or a read past the terminating NUL is an ASan report. Results are
// compared with a reference model written on the C library (strstr, strspn,
// strtoll); a mismatch aborts with the failing condition.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

#include "app/config.h"
#include "net/manifest.h"

#define CHECK(condition)                                                             \
    do {                                                                             \
        if (!(condition)) {                                                          \
            std::fprintf(stderr, "manifest_fuzz.cpp:%d: check failed: %s\n", __LINE__, \
                         #condition);                                                \
            std::abort();                                                            \
        }                                                                            \
    } while (0)

namespace {

const char kJsonBlanks[] = " \t\n\r";
const char kDigits[] = "0123456789";

// A heap copy of `size` bytes, so that ASan sees any access past them.
char *heap_copy(const void *bytes, size_t size)
{
    char *copy = static_cast<char *>(std::malloc(size == 0 ? 1 : size));
    CHECK(copy != nullptr);
    if (size != 0)
        std::memcpy(copy, bytes, size);
    return copy;
}

// What a lookup of `key` must give with a buffer of `capacity` bytes.
struct Expected {
    bool found;
    bool bare; // the value is not a quoted string
    std::string value;
};

// Reference lookup: the key with its quotes, cut like "\"%s\"" formatted into
// 64 bytes; first occurrence only; blanks around a colon; a string value up
// to its closing quote (no backslash, 1 to capacity - 1 bytes), otherwise the
// leading digits cut to capacity - 1.
Expected reference_lookup(const char *text, const std::string &key, unsigned capacity)
{
    Expected expected = {false, false, std::string()};
    std::string needle = "\"" + key.substr(0, 62);
    if (key.size() <= 61)
        needle += '"';
    const char *p = std::strstr(text, needle.c_str());
    if (p == nullptr)
        return expected;
    p += needle.size();
    p += std::strspn(p, kJsonBlanks);
    if (*p != ':')
        return expected;
    p++;
    p += std::strspn(p, kJsonBlanks);
    if (*p == '"') {
        p++;
        size_t length = std::strcspn(p, "\"\\");
        if (p[length] != '"' || length == 0 || length > capacity - 1)
            return expected;
        expected.found = true;
        expected.value.assign(p, length);
        return expected;
    }
    size_t length = std::strspn(p, kDigits);
    if (length > capacity - 1)
        length = capacity - 1;
    expected.found = length > 0;
    expected.bare = true;
    expected.value.assign(p, length);
    return expected;
}

// Looks `key` up with an output block of exactly `capacity` bytes and checks
// the outcome against the reference.
void checked_lookup(const char *text, const std::string &key, unsigned capacity)
{
    char *out = static_cast<char *>(std::malloc(capacity));
    CHECK(out != nullptr);
    std::memset(out, 0xA5, capacity);
    const bool found = json_find_value(text, key.c_str(), out, capacity);
    const Expected expected = reference_lookup(text, key, capacity);
    CHECK(found == expected.found);
    if (found) {
        const char *end = static_cast<const char *>(std::memchr(out, 0, capacity));
        CHECK(end != nullptr); // terminated inside the capacity
        const std::string value(out, static_cast<size_t>(end - out));
        CHECK(!value.empty());
        CHECK(value.find_first_of("\"\\") == std::string::npos);
        if (expected.bare)
            CHECK(value.find_first_not_of(kDigits) == std::string::npos);
        CHECK(value == expected.value);
    }
    std::free(out);
}

// The bytes a download URL may hold as they are.
const char URL_BYTES[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789"
                         "-._~:/?[]@!$&'()*+,;=%";

// Reference of check_manifest's answer, the first failing rule in order.
ManifestRule reference_rule(const char *text)
{
    const Expected version = reference_lookup(text, "version", 32);
    if (!version.found)
        return MANIFEST_NO_VERSION;
    const Expected url = reference_lookup(text, "url", 512);
    if (!url.found)
        return MANIFEST_NO_URL;
    const Expected sha256 = reference_lookup(text, "sha256", 65);
    if (!sha256.found)
        return MANIFEST_NO_SHA256;
    const Expected size = reference_lookup(text, "size", 24);
    if (!size.found)
        return MANIFEST_NO_SIZE;
    if (url.value.compare(0, std::strlen(DOWNLOAD_URL_PREFIX), DOWNLOAD_URL_PREFIX) != 0)
        return MANIFEST_URL_NOT_OURS;
    if (url.value.find("..") != std::string::npos)
        return MANIFEST_URL_DOT_DOT;
    if (url.value.find("%2e") != std::string::npos || url.value.find("%2E") != std::string::npos)
        return MANIFEST_URL_ENCODED_DOT;
    if (url.value.find_first_not_of(URL_BYTES) != std::string::npos)
        return MANIFEST_URL_CHARACTER;
    if (sha256.value.size() != 64)
        return MANIFEST_SHA256_LENGTH;
    if (sha256.value.find_first_not_of("0123456789abcdef") != std::string::npos)
        return MANIFEST_SHA256_NOT_HEX;
    if (version.value.find_first_not_of("0123456789.") != std::string::npos)
        return MANIFEST_VERSION_CHARACTER;
    const long long bytes = std::strtoll(size.value.c_str(), nullptr, 10);
    if (bytes < 1 || bytes > 314572800)
        return MANIFEST_SIZE_RANGE;
    return MANIFEST_VALID;
}

// Length of a NUL-terminated field, which must end inside its array.
template <size_t N> size_t field_length(const char (&field)[N])
{
    const void *end = std::memchr(field, 0, N);
    CHECK(end != nullptr);
    return static_cast<size_t>(static_cast<const char *>(end) - field);
}

ManifestRule check_the_manifest(const char *text)
{
    ManifestFields *fields = new ManifestFields;
    ReleaseInfo *release = new ReleaseInfo;
    std::memset(fields, 0x5A, sizeof *fields);
    std::memset(release, 0x5A, sizeof *release);
    ReleaseInfo before;
    std::memcpy(&before, release, sizeof before);

    const ManifestRule rule = check_manifest(text, fields, release);
    CHECK(rule == reference_rule(text));

    // version and download_url belong to the caller.
    CHECK(std::memcmp(release->version, before.version, sizeof before.version) == 0);
    CHECK(std::memcmp(release->download_url, before.download_url, sizeof before.download_url) == 0);

    // Past the four lookups, the fields hold exactly what the lookups give.
    if (rule >= MANIFEST_URL_NOT_OURS) {
        CHECK(std::string(fields->version, field_length(fields->version)) ==
              reference_lookup(text, "version", 32).value);
        CHECK(std::string(fields->url, field_length(fields->url)) ==
              reference_lookup(text, "url", 512).value);
        CHECK(std::string(release->sha256_hex, field_length(release->sha256_hex)) ==
              reference_lookup(text, "sha256", 65).value);
        CHECK(std::string(fields->size, field_length(fields->size)) ==
              reference_lookup(text, "size", 24).value);
    }

    // Every rule before the size rule passed: the size was converted, and the
    // conversion must agree with the C library's.
    if (rule == MANIFEST_VALID || rule == MANIFEST_SIZE_RANGE) {
        field_length(fields->size); // terminated, so strtoll stays inside
        CHECK(release->expected_size == std::strtoll(fields->size, nullptr, 10));
    }

    if (rule == MANIFEST_VALID) {
        const size_t version_length = field_length(fields->version);
        CHECK(version_length >= 1 && version_length <= 31);
        CHECK(std::strspn(fields->version, "0123456789.") == version_length);

        const size_t url_length = field_length(fields->url);
        CHECK(url_length <= 511);
        CHECK(std::strncmp(fields->url, DOWNLOAD_URL_PREFIX, std::strlen(DOWNLOAD_URL_PREFIX)) == 0);
        CHECK(std::strstr(fields->url, "..") == nullptr);
        CHECK(std::strspn(fields->url, URL_BYTES) == url_length);

        CHECK(field_length(release->sha256_hex) == 64);
        CHECK(std::strspn(release->sha256_hex, "0123456789abcdef") == 64);

        CHECK(release->expected_size >= 1 && release->expected_size <= 314572800);
    }

    delete release;
    delete fields;
    return rule;
}

// A manifest whose other values pass and whose size is a string made of the
// first bytes of the body (up to 23, ending before a quote, a backslash or a
// NUL). This puts the size conversion right under the mutations, which it
// otherwise rarely is: white space, signs and long digit runs must reach it
// inside a quoted "size" value after three valid values.
void check_size_text(const uint8_t *body, size_t size)
{
    std::string size_text;
    for (size_t i = 0; i < size && size_text.size() < 23; i++) {
        const char c = static_cast<char>(body[i]);
        if (c == '"' || c == '\\' || c == 0)
            break;
        size_text += c;
    }
    const std::string manifest = std::string("{\"version\":\"1.0\",\"url\":\"") + DOWNLOAD_URL_PREFIX +
                                 "a.exe\",\"sha256\":\"" + std::string(64, 'a') + "\",\"size\":\"" +
                                 size_text + "\"}";
    char *text = heap_copy(manifest.c_str(), manifest.size() + 1);
    const ManifestRule rule = check_the_manifest(text);
    if (size_text.empty())
        CHECK(rule == MANIFEST_NO_SIZE);
    else
        CHECK(rule == MANIFEST_VALID || rule == MANIFEST_SIZE_RANGE);
    std::free(text);
}

// The bytes between the double quote at `open` and the next one (or the end
// of the text), at most 80 of them: lets the fuzzer pick keys of any shape
// and length.
std::string quoted_token(const char *open)
{
    const char *start = open + 1;
    const char *close = std::strchr(start, '"');
    size_t length = close == nullptr ? std::strlen(start) : static_cast<size_t>(close - start);
    return std::string(start, length < 80 ? length : 80);
}

// Hands `body` to append_manifest_chunk in pieces of the alternating sizes
// and checks the buffer after every call.
void fill_buffer(ManifestBuffer *buffer, const uint8_t *body, size_t size, unsigned piece_a,
                 unsigned piece_b)
{
    std::vector<char> accepted; // what the buffer must hold
    const bool whole = piece_a == 0 && piece_b == 0;
    size_t offset = 0;
    for (bool use_a = true;; use_a = !use_a) {
        size_t count = whole ? size : use_a ? piece_a : piece_b;
        if (count > size - offset)
            count = size - offset;

        unsigned char *piece = reinterpret_cast<unsigned char *>(heap_copy(body + offset, count));
        const unsigned used_before = buffer->used;
        const int result = append_manifest_chunk(piece, static_cast<unsigned>(count), buffer);
        const bool fits = used_before + count <= 4095;
        CHECK((result != 0) == fits);
        if (fits) {
            CHECK(buffer->used == used_before + count);
            CHECK(std::memcmp(buffer->text + used_before, piece, count) == 0);
            accepted.insert(accepted.end(), body + offset, body + offset + count);
        } else {
            CHECK(buffer->used == used_before);
        }
        CHECK(buffer->used <= 4095);
        CHECK(buffer->text[buffer->used] == 0);
        std::free(piece);

        offset += count;
        if (!fits || offset == size)
            break;
    }
    CHECK(buffer->used == accepted.size());
    CHECK(accepted.empty() || std::memcmp(buffer->text, accepted.data(), accepted.size()) == 0);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2)
        return 0;
    const unsigned piece_a = data[0];
    const unsigned piece_b = data[1] * 17u;

    // Bytes after `used` hold junk, as a reused buffer would: only the NUL
    // at `used` may end the text.
    ManifestBuffer *buffer = new ManifestBuffer;
    std::memset(buffer->text, 0xA5, sizeof buffer->text);
    buffer->text[0] = 0;
    buffer->used = 0;
    fill_buffer(buffer, data + 2, size - 2, piece_a, piece_b);

    // The text up to its first NUL, in a block of exactly that many bytes.
    const size_t text_length = std::strlen(buffer->text);
    char *text = heap_copy(buffer->text, text_length + 1);
    delete buffer;

    check_the_manifest(text);
    check_size_text(data + 2, size - 2);

    static const unsigned small_capacities[] = {1, 2, 3, 4, 5, 8};
    struct RealKey {
        const char *name;
        unsigned capacity;
    };
    static const RealKey real_keys[] = {{"version", 32}, {"url", 512}, {"sha256", 65}, {"size", 24}};
    for (const RealKey &key : real_keys) {
        checked_lookup(text, key.name, key.capacity);
        checked_lookup(text, key.name, key.capacity - 1);
        for (unsigned capacity : small_capacities)
            checked_lookup(text, key.name, capacity);
    }

    // Other keys: empty, parts of the real ones, quote and colon inside the
    // key, and keys around the 61/62-byte cut of the quoted key.
    static const std::string other_keys[] = {
        "",
        "siz",
        "ize",
        "sha",
        "url\"",
        "\"",
        ":",
        std::string(61, 'k'),
        std::string(62, 'k'),
        std::string(70, 'k'),
    };
    std::vector<std::string> keys(std::begin(other_keys), std::end(other_keys));
    if (const char *first_quote = std::strchr(text, '"'))
        keys.push_back(quoted_token(first_quote));
    // The last quoted token that opens before the last colon.
    if (const char *last_colon = std::strrchr(text, ':')) {
        const char *open = nullptr;
        int quotes = 0;
        for (const char *c = last_colon; c > text && quotes < 2;)
            if (*--c == '"') {
                open = c;
                quotes++;
            }
        if (quotes == 2)
            keys.push_back(quoted_token(open));
    }
    for (const std::string &key : keys)
        for (unsigned capacity : {1u, 2u, 3u, 64u})
            checked_lookup(text, key, capacity);

    std::free(text);
    return 0;
}
