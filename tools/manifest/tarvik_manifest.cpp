// tarvik-manifest: the publisher's tool for the release manifest
// (windows-setup.json) that the bootstrapper reads.
//
//   tarvik-manifest make SETUP.exe VERSION URL [-o FILE] [--publisher NAME]
//   tarvik-manifest check MANIFEST [SETUP.exe] [--publisher NAME]
//
// It is a native Linux program compiled together with the bootstrapper's own
// src/net/manifest.cpp, for the same TARVIK_SITE_HOST: a manifest that it
// writes or passes has been judged by the very code, and the very download
// URL prefix, that the bootstrapper uses. A tool built for another site host
// refuses every URL of this one, which is what the bootstrapper would do.
//
// This file holds the argument handling and the commands; the signature is
// read in signature.cpp and the file written in manifest_json.cpp.
//
// Exit codes: 0 accepted, 1 refused or failed, 2 bad arguments or a helper
// program (osslsigncode, openssl) that is not installed.

#include <openssl/evp.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "app/config.h"
#include "manifest_json.h"
#include "net/fetch.h"
#include "net/manifest.h"
#include "signature.h"

namespace {

const char *const DEFAULT_PUBLISHER = "Braskworks";
const char *const DEFAULT_OUTPUT = "windows-setup.json";

enum ExitCode { EXIT_OK = 0, EXIT_REFUSED = 1, EXIT_USAGE = 2 };

// ---------------------------------------------------------------------------
// Messages.

// Writes a refusal. Standard output is flushed first, so that the report
// lines keep their order when both streams go to one file.
void refuse(const std::string &message)
{
    fflush(stdout);
    fprintf(stderr, "refused: %s\n", message.c_str());
}

std::string shown(const std::string &value)
{
    return quoted(value, QUOTE_MESSAGE);
}

std::string first_non_url_byte(const std::string &url)
{
    for (size_t i = 0; i < url.size(); i++) {
        unsigned char c = (unsigned char)url[i];
        if (!is_url_byte((char)c)) {
            std::string byte = c == ' '                  ? std::string("a space")
                               : c > 0x20 && c < 0x7F ? "'" + std::string(1, (char)c) + "'"
                                                        : shown(std::string(1, (char)c));
            return byte + " at offset " + std::to_string(i);
        }
    }
    return "none found";
}

// The version and URL that `make` was asked to write, for the messages of
// the lookup rules, whose own copies may be partial.
struct GivenValues {
    std::string version;
    std::string url;
};

std::string given_value(const GivenValues *given, const std::string GivenValues::*member)
{
    if (given == nullptr)
        return "";
    const std::string &value = given->*member;
    return " (got " + shown(value) + ", " + std::to_string(value.size()) + " bytes)";
}

// What the rule that refused a manifest means, on one line. The values of
// `fields` and `release` are complete for every rule after MANIFEST_NO_SIZE;
// for the four lookup rules they may hold partial copies and are not shown.
// There is deliberately no default: a rule added to ManifestRule makes the
// compiler warn here until it has its message.
std::string rule_message(ManifestRule rule, const ManifestFields &fields,
                         const ReleaseInfo &release, const GivenValues *given)
{
    switch (rule) {
    case MANIFEST_VALID:
        return "";
    case MANIFEST_NO_VERSION:
        return "no usable \"version\": it must be present as \"version\": \"...\" at its first "
               "occurrence, 1 to 31 characters, without backslash escapes" +
               given_value(given, &GivenValues::version);
    case MANIFEST_NO_URL:
        return "no usable \"url\": it must be present as \"url\": \"...\" at its first "
               "occurrence, 1 to 511 bytes, without backslash escapes" +
               given_value(given, &GivenValues::url);
    case MANIFEST_NO_SHA256:
        return "no usable \"sha256\": it must be present as \"sha256\": \"...\" at its first "
               "occurrence, at most 64 characters, without backslash escapes";
    case MANIFEST_NO_SIZE:
        return "no usable \"size\": it must be present as \"size\": followed by a number of "
               "bytes (a negative number does not count)";
    case MANIFEST_URL_NOT_OURS:
        return "the url must begin with " DOWNLOAD_URL_PREFIX ", byte for byte (got " +
               shown(fields.url) + ")";
    case MANIFEST_URL_DOT_DOT:
        return "the url may not contain \"..\" (got " + shown(fields.url) + ")";
    case MANIFEST_URL_ENCODED_DOT:
        return "the url may not contain an encoded dot, %2e or %2E (got " + shown(fields.url) +
               ")";
    case MANIFEST_URL_CHARACTER:
        return "the url may only hold letters, digits and -._~:/?[]@!$&'()*+,;=% (found " +
               first_non_url_byte(fields.url) + " in " + shown(fields.url) + ")";
    case MANIFEST_SHA256_LENGTH:
        return "the sha256 must be exactly 64 hexadecimal digits (got " +
               std::to_string(strlen(release.sha256_hex)) + ": " + shown(release.sha256_hex) + ")";
    case MANIFEST_SHA256_NOT_HEX:
        return "the sha256 may only hold 0-9 and lowercase a-f (got " +
               shown(release.sha256_hex) + ")";
    case MANIFEST_VERSION_CHARACTER:
        return "the version may only hold digits and dots (got " + shown(fields.version) + ")";
    case MANIFEST_SIZE_RANGE:
        return "the size must be a number from 1 to " + std::to_string(MAX_RELEASE_SIZE) +
               " (got " + shown(fields.size) + ")";
    }
    return "unknown rule " + std::to_string((int)rule);
}

std::string too_long(long long size)
{
    return "the manifest is " + std::to_string(size) + " bytes; the bootstrapper reads at most " +
           std::to_string(MANIFEST_CAPACITY - 1);
}

// ---------------------------------------------------------------------------
// Files. Each function writes its refusal itself and returns false.

struct FileFacts {
    long long size = 0;
    std::string sha256;
};

// Reads the size of a regular file.
bool file_size(const std::string &path, long long *size)
{
    struct stat info;
    if (stat(path.c_str(), &info) != 0) {
        refuse("cannot read " + path + ": " + strerror(errno));
        return false;
    }
    if (!S_ISREG(info.st_mode)) {
        refuse(path + " is not a regular file");
        return false;
    }
    *size = (long long)info.st_size;
    return true;
}

// Reads a whole file in pieces of the bootstrapper's transfer size, hashing
// it and, with `bytes`, keeping its contents. The size is what was read.
bool read_file(const std::string &path, FileFacts *facts, std::string *bytes)
{
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        refuse("cannot read " + path + ": " + strerror(errno));
        return false;
    }
    EVP_MD_CTX *sha = EVP_MD_CTX_new();
    EVP_DigestInit_ex(sha, EVP_sha256(), nullptr);
    std::vector<char> buffer(TRANSFER_BUFFER_SIZE);
    facts->size = 0;
    while (file) {
        file.read(buffer.data(), (std::streamsize)buffer.size());
        size_t got = (size_t)file.gcount();
        EVP_DigestUpdate(sha, buffer.data(), got);
        if (bytes != nullptr)
            bytes->append(buffer.data(), got);
        facts->size += (long long)got;
    }
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned length = 0;
    EVP_DigestFinal_ex(sha, digest, &length);
    EVP_MD_CTX_free(sha);
    if (file.bad()) {
        refuse("error while reading " + path);
        return false;
    }
    facts->sha256.clear();
    for (unsigned i = 0; i < length; i++) {
        char hex[3];
        snprintf(hex, sizeof hex, "%02x", digest[i]);
        facts->sha256 += hex;
    }
    return true;
}

// The checks of the size of a setup program that the bootstrapper makes
// through the manifest's "size" rule, stated in terms of the file.
bool setup_size_acceptable(const std::string &path, long long size)
{
    if (size == 0) {
        refuse(path + " is empty (0 bytes); the bootstrapper accepts 1 to " +
               std::to_string(MAX_RELEASE_SIZE) + " bytes");
        return false;
    }
    if (size > MAX_RELEASE_SIZE) {
        refuse(path + " is " + std::to_string(size) + " bytes; the bootstrapper accepts at most " +
               std::to_string(MAX_RELEASE_SIZE) + " bytes (300 MiB)");
        return false;
    }
    return true;
}

// ---------------------------------------------------------------------------
// The manifest text as the bootstrapper holds it.

// Feeds `bytes` to the bootstrapper's own transfer sink in pieces no larger
// than its transfers deliver, so that the 4,095-byte limit is the sink's own.
// Returns false, with a refusal written, when the bootstrapper would not get
// a text out of it, or when the text holds a NUL: its lookups stop at the
// first NUL, so what follows would be invisible to it while other readers
// see it.
bool load_like_bootstrapper(const std::string &bytes, ManifestBuffer *buffer)
{
    buffer->used = 0;
    buffer->text[0] = 0;
    for (size_t at = 0; at < bytes.size(); at += TRANSFER_BUFFER_SIZE) {
        size_t count = std::min(bytes.size() - at, (size_t)TRANSFER_BUFFER_SIZE);
        if (!append_manifest_chunk((const unsigned char *)bytes.data() + at, (unsigned)count,
                                   buffer)) {
            refuse(too_long((long long)bytes.size()));
            return false;
        }
    }
    size_t nul = bytes.find('\0');
    if (nul != std::string::npos) {
        refuse("the manifest holds a NUL byte at offset " + std::to_string(nul) +
               "; the bootstrapper reads no further than that");
        return false;
    }
    return true;
}

// Loads `bytes` like the bootstrapper and applies its rules; on a refusal,
// writes it and returns false.
bool passes_rules_text(const std::string &bytes, ManifestBuffer *buffer, ManifestFields *fields,
                       ReleaseInfo *release, const GivenValues *given = nullptr)
{
    if (!load_like_bootstrapper(bytes, buffer))
        return false;
    ManifestRule rule = check_manifest(buffer->text, fields, release);
    if (rule == MANIFEST_VALID)
        return true;
    refuse(rule_message(rule, *fields, *release, given));
    return false;
}

// ---------------------------------------------------------------------------
// The setup program's signer.

// Reports the signer beside the expected publisher and judges it. Returns
// an exit code: EXIT_OK when the names are equal.
int check_signer(const std::string &setup, const std::string &publisher)
{
    if (!helpers_installed())
        return EXIT_USAGE;
    Signature signature;
    if (!read_signature(setup, &signature))
        return EXIT_REFUSED;
    std::string expected = " (expected " + publisher + ")";
    switch (signature.state) {
    case SIGNATURE_NONE:
        printf("signer: none (unsigned)%s\n", expected.c_str());
        refuse(setup + " is not signed; a bootstrapper signed by " + shown(publisher) +
               " refuses it");
        return EXIT_REFUSED;
    case SIGNATURE_UNREADABLE:
        printf("signer: unreadable signature%s\n", expected.c_str());
        refuse("the signature of " + setup + " cannot be read; a bootstrapper signed by " +
               shown(publisher) + " refuses it");
        return EXIT_REFUSED;
    case SIGNATURE_ALTERED:
        printf("signer: signature does not match the file%s\n", expected.c_str());
        refuse(setup + " was changed after it was signed; Windows does not trust its signature, so "
               "the bootstrapper refuses it");
        return EXIT_REFUSED;
    case SIGNATURE_FOUND:
        break;
    }
    const std::string &name = signature.signer;
    if (name.empty()) {
        printf("signer: no common name%s\n", expected.c_str());
        refuse("the signer certificate of " + setup + " names no common name");
        return EXIT_REFUSED;
    }
    printf("signer: %s%s\n", name.c_str(), expected.c_str());
    if (name != publisher) {
        refuse(setup + " is signed by " + shown(name) + ", not " + shown(publisher) +
               "; a bootstrapper signed by " + shown(publisher) + " refuses it");
        return EXIT_REFUSED;
    }
    return EXIT_OK;
}

// ---------------------------------------------------------------------------
// Commands.

void usage(FILE *out)
{
    fprintf(out,
            "usage: tarvik-manifest make SETUP.exe VERSION URL [-o FILE] [--publisher NAME]\n"
            "       tarvik-manifest check MANIFEST [SETUP.exe] [--publisher NAME]\n"
            "\n"
            "  make    write the release manifest for SETUP.exe to FILE\n"
            "          (default %s), only if the bootstrapper would accept it\n"
            "  check   apply the bootstrapper's rules to MANIFEST; with SETUP.exe also\n"
            "          compare its size and SHA-256 with the manifest's\n"
            "  --publisher NAME  the signer common name that SETUP.exe must carry\n"
            "                    (default %s)\n"
            "\n"
            "Built for download URLs beginning with " DOWNLOAD_URL_PREFIX "\n"
            "Exit codes: 0 accepted, 1 refused, 2 bad arguments or a missing helper program.\n",
            DEFAULT_OUTPUT, DEFAULT_PUBLISHER);
}

int command_make(const std::string &setup, const std::string &version, const std::string &url,
                 const std::string &output, const std::string &publisher)
{
    long long size;
    FileFacts facts;
    if (!file_size(setup, &size) || !setup_size_acceptable(setup, size) ||
        !read_file(setup, &facts, nullptr))
        return EXIT_REFUSED;
    if (facts.size != size) {
        refuse(setup + " changed while it was read");
        return EXIT_REFUSED;
    }
    std::string text = manifest_text(version, url, facts.sha256, facts.size);

    // The exact text to be written goes through the bootstrapper's sink and
    // rules, and the values they read back must be the ones meant.
    static ManifestBuffer buffer;
    ManifestFields fields = {};
    ReleaseInfo release = {};
    GivenValues given = {version, url};
    if (!passes_rules_text(text, &buffer, &fields, &release, &given))
        return EXIT_REFUSED;
    if (fields.version != version || fields.url != url || release.sha256_hex != facts.sha256 ||
        release.expected_size != facts.size) {
        refuse("the bootstrapper would read other values than the ones given (version " +
               shown(fields.version) + ", url " + shown(fields.url) + ")");
        return EXIT_REFUSED;
    }

    int signer = check_signer(setup, publisher);
    if (signer != EXIT_OK)
        return signer;
    if (!write_file(output, text))
        return EXIT_REFUSED;
    printf("wrote %s (%zu bytes): version %s, size %lld, sha256 %s\n", output.c_str(),
           text.size(), version.c_str(), facts.size, facts.sha256.c_str());
    return EXIT_OK;
}

int command_check(const std::string &manifest, const std::string *setup,
                  const std::string &publisher)
{
    long long length;
    if (!file_size(manifest, &length))
        return EXIT_REFUSED;
    // A file far beyond the limit is refused by its size alone; anything
    // shorter goes through the bootstrapper's sink, which has the last word.
    if (length > TRANSFER_BUFFER_SIZE) {
        refuse(too_long(length));
        return EXIT_REFUSED;
    }
    FileFacts manifest_facts;
    std::string bytes;
    if (!read_file(manifest, &manifest_facts, &bytes))
        return EXIT_REFUSED;

    static ManifestBuffer buffer;
    ManifestFields fields = {};
    ReleaseInfo release = {};
    if (!passes_rules_text(bytes, &buffer, &fields, &release))
        return EXIT_REFUSED;
    printf("ok: %s passes the bootstrapper's rules (%zu bytes)\n", manifest.c_str(),
           bytes.size());
    printf("ok: version %s\n", fields.version);
    printf("ok: url %s\n", fields.url);
    printf("ok: sha256 %s\n", release.sha256_hex);
    printf("ok: size %lld\n", release.expected_size);
    if (setup == nullptr)
        return EXIT_OK;

    FileFacts facts;
    long long ignored;
    if (!file_size(*setup, &ignored) || !read_file(*setup, &facts, nullptr))
        return EXIT_REFUSED;
    if (facts.size != release.expected_size) {
        refuse(*setup + " is " + std::to_string(facts.size) + " bytes, the manifest says " +
               std::to_string(release.expected_size));
        return EXIT_REFUSED;
    }
    printf("ok: %s is %lld bytes\n", setup->c_str(), facts.size);
    if (facts.sha256 != release.sha256_hex) {
        refuse("the SHA-256 of " + *setup + " is " + facts.sha256 + ", the manifest says " +
               release.sha256_hex);
        return EXIT_REFUSED;
    }
    printf("ok: %s has the manifest's SHA-256\n", setup->c_str());
    return check_signer(*setup, publisher);
}

} // namespace

int main(int argc, char **argv)
{
    std::vector<std::string> positional;
    std::string output = DEFAULT_OUTPUT;
    std::string publisher = DEFAULT_PUBLISHER;
    bool output_given = false;
    bool publisher_given = false;
    for (int i = 1; i < argc; i++) {
        std::string arg = argv[i];
        if (arg == "-h" || arg == "--help") {
            usage(stdout);
            return EXIT_OK;
        }
        if (arg == "-o" || arg == "--publisher") {
            if (i + 1 == argc || argv[i + 1][0] == 0) {
                fprintf(stderr, "tarvik-manifest: %s needs a value\n", arg.c_str());
                usage(stderr);
                return EXIT_USAGE;
            }
            (arg == "-o" ? output : publisher) = argv[++i];
            (arg == "-o" ? output_given : publisher_given) = true;
        } else if (arg.size() > 1 && arg[0] == '-') {
            fprintf(stderr, "tarvik-manifest: unknown option %s\n", arg.c_str());
            usage(stderr);
            return EXIT_USAGE;
        } else {
            positional.push_back(arg);
        }
    }

    std::string command = positional.empty() ? "" : positional[0];
    size_t operands = positional.empty() ? 0 : positional.size() - 1;
    if (command == "make" && operands == 3)
        return command_make(positional[1], positional[2], positional[3], output, publisher);
    // check's signer report needs the setup program.
    if (command == "check" && !output_given && (operands == 2 || (operands == 1 && !publisher_given)))
        return command_check(positional[1], operands == 2 ? &positional[2] : nullptr, publisher);
    usage(stderr);
    return EXIT_USAGE;
}
