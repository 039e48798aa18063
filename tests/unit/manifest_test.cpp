// The flat manifest lookup and the manifest rules, on text in memory.
#include <doctest/doctest.h>

#include <cstring>
#include <string>

#include "app/config.h"
#include "net/manifest.h"
#include "test_support.h"

namespace {

std::string find(const char *text, const char *key, unsigned capacity = 64)
{
    char out[600];
    memset(out, '#', sizeof out);
    if (!json_find_value(text, key, out, capacity))
        return "<none>";
    CHECK(strlen(out) < capacity);
    return out;
}

const std::string PREFIX = DOWNLOAD_URL_PREFIX;
const std::string DIGEST = SAMPLE_SHA256;

ManifestRule check(const Manifest &manifest, ReleaseInfo *release = nullptr)
{
    ManifestFields fields;
    ReleaseInfo scratch = {};
    return check_manifest(manifest.text().c_str(), &fields, release ? release : &scratch);
}

} // namespace

TEST_SUITE("manifest")
{
    TEST_CASE("lookup: white space, key order, case and first occurrence")
    {
        CHECK(find("{\"a\":\"x\",\"version\"\t\r\n :\n\t \"2.0\"}", "version") == "2.0");
        CHECK(find("{\"size\" : 12 , \"version\":\"1\"}", "size") == "12");
        CHECK(find("{\"Version\": \"2.0\"}", "version") == "<none>");
        // Only the first occurrence counts: a value that equals a key name
        // ahead of that key's member hides the member.
        CHECK(find("{\"name\": \"version\", \"version\": \"2.0\"}", "version") == "<none>");
        CHECK(find("{\"version\" \"2.0\"}", "version") == "<none>");
        // Other white space is not skipped.
        CHECK(find("{\"version\":\v\"2.0\"}", "version") == "<none>");
        CHECK(find("{}", "version") == "<none>");
    }

    TEST_CASE("lookup: string values")
    {
        CHECK(find("{\"v\": \"\"}", "v") == "<none>");
        CHECK(find("{\"v\": \"a\\\"b\"}", "v") == "<none>");
        CHECK(find("{\"v\": \"\\u0041\"}", "v") == "<none>");
        CHECK(find("{\"v\": \"unterminated", "v") == "<none>");
        CHECK(find("{\"v\": \"caf\xc3\xa9 \x01\"}", "v") == "caf\xc3\xa9 \x01");
        // capacity - 1 bytes fit, one more does not.
        CHECK(find("{\"v\": \"abcd\"}", "v", 5) == "abcd");
        CHECK(find("{\"v\": \"abcde\"}", "v", 5) == "<none>");
    }

    TEST_CASE("lookup: bare values yield their leading digits")
    {
        CHECK(find("{\"v\": 2.1}", "v") == "2");
        CHECK(find("{\"v\": 12.5e3}", "v") == "12");
        CHECK(find("{\"v\": -5}", "v") == "<none>");
        CHECK(find("{\"v\": true}", "v") == "<none>");
        CHECK(find("{\"v\": [1]}", "v") == "<none>");
        // Silently cut at capacity - 1 digits.
        CHECK(find("{\"v\": 123456789}", "v", 5) == "1234");
    }

    TEST_CASE("a valid manifest fills the digest and the size")
    {
        ReleaseInfo release = {};
        CHECK(check(Manifest(), &release) == MANIFEST_VALID);
        CHECK(std::string(release.sha256_hex) == DIGEST);
        CHECK(release.expected_size == 1000000);
        CHECK(release.version[0] == 0); // filled only after conversion
    }

    TEST_CASE("version: 1 to 31 digits and dots")
    {
        Manifest m;
        m.version = quoted(std::string(31, '1'));
        CHECK(check(m) == MANIFEST_VALID);
        m.version = quoted(std::string(32, '1'));
        CHECK(check(m) == MANIFEST_NO_VERSION);
        m.version = quoted("...");
        CHECK(check(m) == MANIFEST_VALID);
        m.version = quoted("1.4.2-beta");
        CHECK(check(m) == MANIFEST_VERSION_CHARACTER);
        m.version = quoted("1.4a");
        CHECK(check(m) == MANIFEST_VERSION_CHARACTER);
        m.version = "2.1"; // bare: read as 2
        CHECK(check(m) == MANIFEST_VALID);
        m.version = quoted("");
        CHECK(check(m) == MANIFEST_NO_VERSION);
    }

    TEST_CASE("url: up to 511 bytes, our prefix exactly, no ..")
    {
        Manifest m;
        m.url = quoted(PREFIX + std::string(511 - PREFIX.size(), 'a'));
        CHECK(check(m) == MANIFEST_VALID);
        m.url = quoted(PREFIX + std::string(512 - PREFIX.size(), 'a'));
        CHECK(check(m) == MANIFEST_NO_URL);
        m.url = quoted(PREFIX);
        CHECK(check(m) == MANIFEST_VALID);
        m.url = quoted(PREFIX + "a/../b.exe");
        CHECK(check(m) == MANIFEST_URL_DOT_DOT);
        m.url = quoted(PREFIX + "b.exe?x=..");
        CHECK(check(m) == MANIFEST_URL_DOT_DOT);
        m.url = quoted(PREFIX + "%2e%2e/b.exe");
        CHECK(check(m) == MANIFEST_URL_ENCODED_DOT);
        m.url = quoted(PREFIX + "%2E%2E/b.exe");
        CHECK(check(m) == MANIFEST_URL_ENCODED_DOT);
        m.url = quoted("https://elsewhere.example/downloads/b.exe");
        CHECK(check(m) == MANIFEST_URL_NOT_OURS);
        m.url = quoted("HTTPS" + PREFIX.substr(5) + "b.exe");
        CHECK(check(m) == MANIFEST_URL_NOT_OURS);
        m.url = quoted(PREFIX.substr(0, PREFIX.size() - 1));
        CHECK(check(m) == MANIFEST_URL_NOT_OURS);
    }

    TEST_CASE("url: only bytes that a URL holds as they are")
    {
        Manifest m;
        m.url = quoted(PREFIX + "Tarvik-Setup_1.4.2.exe?a=1&b=%20~x[1]@!$'()*+,;");
        CHECK(check(m) == MANIFEST_VALID);
        // Each of these would end up inside the failure dialog's link markup
        // or is not a URL byte at all. (A quote cannot get in: it ends the
        // string value.)
        for (const char *bad : {"a<b", "a>b", "a b", "a\tb", "a^b", "a`b", "a{b", "a|b", "a}b", "a#b",
                                "caf\xc3\xa9", "a\x7f"}) {
            CAPTURE(bad);
            m.url = quoted(PREFIX + bad);
            CHECK(check(m) == MANIFEST_URL_CHARACTER);
        }
    }

    TEST_CASE("sha256: exactly 64 lowercase hexadecimal digits")
    {
        Manifest m;
        m.sha256 = quoted(DIGEST.substr(0, 63));
        CHECK(check(m) == MANIFEST_SHA256_LENGTH);
        m.sha256 = quoted(DIGEST + "0");
        CHECK(check(m) == MANIFEST_NO_SHA256);
        std::string upper = DIGEST;
        upper[10] = 'A';
        m.sha256 = quoted(upper);
        CHECK(check(m) == MANIFEST_SHA256_NOT_HEX);
        m.sha256 = quoted(DIGEST.substr(0, 63) + "g");
        CHECK(check(m) == MANIFEST_SHA256_NOT_HEX);
    }

    TEST_CASE("size: 1 to 314,572,800, read like a C integer")
    {
        struct Case {
            const char *size;
            ManifestRule rule;
            long long value;
        } cases[] = {
            {"1", MANIFEST_VALID, 1},
            {"0", MANIFEST_SIZE_RANGE, 0},
            {"314572800", MANIFEST_VALID, 314572800},
            {"314572801", MANIFEST_SIZE_RANGE, 314572801},
            {"\" \\t+42\"", MANIFEST_NO_SIZE, 0}, // a backslash: the lookup fails
            {"\" \t+42\"", MANIFEST_VALID, 42},
            {"\"\n\v\f\r 7 bytes\"", MANIFEST_VALID, 7},
            {"\"-5\"", MANIFEST_SIZE_RANGE, -5},
            {"\"+-5\"", MANIFEST_SIZE_RANGE, 0},
            {"\"abc\"", MANIFEST_SIZE_RANGE, 0},
            {"12.5e3", MANIFEST_VALID, 12},
            {"\"99999999999999999999\"", MANIFEST_SIZE_RANGE, 0x7FFFFFFFFFFFFFFFLL},
            {"\"9223372036854775807\"", MANIFEST_SIZE_RANGE, 0x7FFFFFFFFFFFFFFFLL},
            {"\"18446744073709551617\"", MANIFEST_SIZE_RANGE, 0x7FFFFFFFFFFFFFFFLL},
            {"\"-99999999999999999999\"", MANIFEST_SIZE_RANGE, -0x7FFFFFFFFFFFFFFFLL - 1},
            {"-1", MANIFEST_NO_SIZE, 0},
            // Bare digits are cut at 23: a huge number stays huge.
            {"100000000000000000000000000001", MANIFEST_SIZE_RANGE, 0x7FFFFFFFFFFFFFFFLL},
        };
        for (const Case &c : cases) {
            CAPTURE(c.size);
            Manifest m;
            m.size = c.size;
            ReleaseInfo release = {};
            CHECK(check(m, &release) == c.rule);
            if (c.rule != MANIFEST_NO_SIZE)
                CHECK(release.expected_size == c.value);
        }
    }

    TEST_CASE("the rules apply in order")
    {
        Manifest m;
        m.url = quoted("https://elsewhere.example/a..b");
        m.sha256 = quoted("XYZ");
        m.version = quoted("x");
        m.size = "0";
        CHECK(check(m) == MANIFEST_URL_NOT_OURS);
        m.url = quoted(PREFIX + "a..b");
        CHECK(check(m) == MANIFEST_URL_DOT_DOT);
        m.url = quoted(PREFIX + "b");
        CHECK(check(m) == MANIFEST_SHA256_LENGTH);
        m.sha256 = quoted(std::string(64, 'F'));
        CHECK(check(m) == MANIFEST_SHA256_NOT_HEX);
        m.sha256 = quoted(DIGEST);
        CHECK(check(m) == MANIFEST_VERSION_CHARACTER);
        m.version = quoted("1");
        CHECK(check(m) == MANIFEST_SIZE_RANGE);
    }

    TEST_CASE("the buffer takes at most 4,095 bytes, whatever the pieces")
    {
        ManifestBuffer buffer = {};
        std::string piece(4000, 'a');
        CHECK(append_manifest_chunk((const unsigned char *)piece.data(), 4000, &buffer) == 1);
        CHECK(append_manifest_chunk((const unsigned char *)piece.data(), 95, &buffer) == 1);
        CHECK(buffer.used == 4095);
        CHECK(buffer.text[4095] == 0);
        CHECK(append_manifest_chunk((const unsigned char *)piece.data(), 1, &buffer) == 0);
        CHECK(buffer.used == 4095);

        ManifestBuffer whole = {};
        std::string big(4096, 'b');
        CHECK(append_manifest_chunk((const unsigned char *)big.data(), 4096, &whole) == 0);
        CHECK(whole.used == 0);
        CHECK(whole.text[0] == 0);
    }
}
