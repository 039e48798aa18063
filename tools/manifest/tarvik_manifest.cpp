// tarvik-manifest: the publisher's tool for the release manifest
// (windows-setup.json) that the bootstrapper reads.
//
//   tarvik-manifest make SETUP.exe VERSION URL [-o FILE] [--publisher NAME]
//                        [--allow-no-timestamp] [--allow-unversioned-url]
//   tarvik-manifest check MANIFEST [SETUP.exe [--publisher NAME]
//                                             [--bootstrapper FILE]]
//   tarvik-manifest signature FILE [--publisher NAME] [--timestamped]
//   tarvik-manifest live [--address ADDR]... [--cacert FILE] [--publisher NAME]
//                        [--bootstrapper FILE] [--expect MANIFEST [SETUP.exe]]
//                        [--wait SECONDS] [--json]
//
// `make` and `check` report the setup program's signer and the time of its signature's
// timestamp. `make` writes nothing for a setup program that is unsigned,
// signed by another publisher, or signed without a timestamp (a signature
// that Windows stops trusting when its certificate expires);
// --allow-no-timestamp lifts the last refusal only, for tests: an unsigned
// program is refused for its missing signer either way. `make` also refuses a
// download URL whose last path segment does not hold the version as a whole
// token (--allow-unversioned-url lifts it). `check` requires a
// timestamp only with --bootstrapper, which confirms that the signed,
// timestamped bootstrapper FILE has the setup program's signer. `signature`
// judges one file's signature alone: the build's check of a signed
// bootstrapper. `live` fetches the published release back (live.cpp).
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
// Exit codes: 0 accepted, 1 refused or failed, 2 bad arguments.

#include <openssl/evp.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "app/config.h"
#include "checks.h"
#include "live.h"
#include "manifest_json.h"
#include "net/fetch.h"
#include "net/manifest.h"
#include "signature.h"

const char *const DEFAULT_PUBLISHER = "Braskworks";
const char *const DEFAULT_OUTPUT = "windows-setup.json";

enum ExitCode { EXIT_OK = 0, EXIT_REFUSED = 1, EXIT_USAGE = 2 };

// Writes a refusal and returns false. Standard output is flushed first, so
// that the report lines keep their order when both streams go to one file.
bool refuse(const std::string &message)
{
    fflush(stdout);
    fprintf(stderr, "refused: %s\n", message.c_str());
    return false;
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

// A value that `make` was asked to write, for the messages of the lookup
// rules, whose own copies may be partial; "" without one.
std::string given_value(const std::string *value)
{
    return value == nullptr ? ""
                            : " (got " + shown(*value) + ", " + std::to_string(value->size()) +
                                  " bytes)";
}

// What the rule that refused a manifest means, on one line, with the values
// given to `make` when there are any. The values of
// `fields` and `release` are complete for every rule after MANIFEST_NO_SIZE;
// for the four lookup rules they may hold partial copies and are not shown.
// There is deliberately no default: a rule added to ManifestRule makes the
// compiler warn here until it has its message.
std::string rule_message(ManifestRule rule, const ManifestFields &fields,
                         const ReleaseInfo &release, const std::string *given_version,
                         const std::string *given_url)
{
    switch (rule) {
    case MANIFEST_VALID:
        return "";
    case MANIFEST_NO_VERSION:
        return "no usable \"version\": it must be present as \"version\": \"...\" at its first "
               "occurrence, 1 to 31 characters, without backslash escapes" +
               given_value(given_version);
    case MANIFEST_NO_URL:
        return "no usable \"url\": it must be present as \"url\": \"...\" at its first "
               "occurrence, 1 to 511 bytes, without backslash escapes" +
               given_value(given_url);
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

// Each of the functions below that returns a bool writes its refusal itself.

EVP_MD_CTX *new_sha256()
{
    EVP_MD_CTX *sha = EVP_MD_CTX_new();
    if (sha != nullptr && EVP_DigestInit_ex(sha, EVP_sha256(), nullptr) != 1) {
        EVP_MD_CTX_free(sha);
        sha = nullptr;
    }
    return sha;
}

std::string finish_sha256(EVP_MD_CTX *sha)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned length = 0;
    std::string hex;
    if (EVP_DigestFinal_ex(sha, digest, &length) != 1 || length != 32)
        return hex;
    for (unsigned i = 0; i < length; i++) {
        char pair[3];
        snprintf(pair, sizeof pair, "%02x", digest[i]);
        hex += pair;
    }
    return hex;
}

// Reads the size of a regular file into facts->size.
bool stat_file(const std::string &path, FileFacts *facts)
{
    struct stat info;
    if (stat(path.c_str(), &info) != 0)
        return refuse("cannot read " + path + ": " + strerror(errno));
    if (!S_ISREG(info.st_mode))
        return refuse(path + " is not a regular file");
    facts->size = (long long)info.st_size;
    return true;
}

// Reads the file that stat_file measured in pieces of the bootstrapper's
// transfer size, hashing it and, with `bytes`, keeping its contents. Refuses
// a file whose size then differs from the measured one.
bool read_file(const std::string &path, FileFacts *facts, std::string *bytes)
{
    std::ifstream file(path, std::ios::binary);
    if (!file)
        return refuse("cannot read " + path + ": " + strerror(errno));
    // Every EVP call's result counts: a digest that was not computed must
    // never reach a manifest.
    EVP_MD_CTX *sha = new_sha256();
    bool hashed = sha != nullptr;
    std::vector<char> buffer(TRANSFER_BUFFER_SIZE);
    long long size = 0;
    while (file && hashed) {
        file.read(buffer.data(), (std::streamsize)buffer.size());
        size_t got = (size_t)file.gcount();
        hashed = EVP_DigestUpdate(sha, buffer.data(), got) == 1;
        if (bytes != nullptr)
            bytes->append(buffer.data(), got);
        size += (long long)got;
    }
    std::string digest = hashed ? finish_sha256(sha) : "";
    EVP_MD_CTX_free(sha);
    if (digest.empty())
        return refuse("cannot compute the SHA-256 of " + path);
    if (file.bad())
        return refuse("error while reading " + path);
    if (size != facts->size)
        return refuse(path + " changed while it was read");
    facts->sha256 = digest;
    return true;
}

// The checks of the size of a setup program that the bootstrapper makes
// through the manifest's "size" rule, stated in terms of the file.
bool setup_size_acceptable(const std::string &path, long long size)
{
    if (size == 0)
        return refuse(path + " is empty (0 bytes); the bootstrapper accepts 1 to " +
                      std::to_string(MAX_RELEASE_SIZE) + " bytes");
    if (size > MAX_RELEASE_SIZE)
        return refuse(path + " is " + std::to_string(size) +
                      " bytes; the bootstrapper accepts at most " +
                      std::to_string(MAX_RELEASE_SIZE) + " bytes (300 MiB)");
    return true;
}

// Hands `bytes` to the bootstrapper's own transfer sink as one transfer read
// would, so that the 4,095-byte limit is the sink's own, and applies its
// rules. Also refuses a text that holds a NUL: the bootstrapper's lookups
// stop at the first NUL, so what follows would be invisible to it while
// other readers see it.
bool passes_rules(const std::string &bytes, ManifestFields *fields, ReleaseInfo *release,
                  const std::string *given_version, const std::string *given_url)
{
    static ManifestBuffer buffer;
    buffer.used = 0;
    buffer.text[0] = 0;
    if (bytes.size() > TRANSFER_BUFFER_SIZE ||
        !append_manifest_chunk((const unsigned char *)bytes.data(), (unsigned)bytes.size(),
                               &buffer))
        return refuse(too_long((long long)bytes.size()));
    size_t nul = bytes.find('\0');
    if (nul != std::string::npos)
        return refuse("the manifest holds a NUL byte at offset " + std::to_string(nul) +
                      "; the bootstrapper reads no further than that");
    ManifestRule rule = check_manifest(buffer.text, fields, release);
    return rule == MANIFEST_VALID ||
           refuse(rule_message(rule, *fields, *release, given_version, given_url));
}

// A signer name as the report shows it: as it stands when it is printable
// ASCII, otherwise quoted with its other bytes escaped, so that no name can
// pass itself off as another on the screen.
std::string shown_name(const std::string &name)
{
    for (unsigned char c : name)
        if (c < 0x20 || c > 0x7E)
            return shown(name);
    return name;
}

// Reports the signer of the program at `path` beside the expected publisher,
// and the time of its timestamp, each line headed by `role`. Accepts it when
// its signature verifies, its signer's display name is `publisher` byte for
// byte and, if `need_timestamp`, it has a timestamp that verifies;
// otherwise refuses, naming the fault and then `consequence`.
bool check_signer(const char *role, const std::string &path, const std::string &publisher,
                  bool need_timestamp, const std::string &consequence)
{
    Signature signature;
    if (!read_signature(path, &signature))
        return false;
    std::string signer = shown_name(signature.signer);
    std::string fault;
    const std::string &detail = signature.detail;
    switch (signature.state) {
    case SIGNATURE_NONE:
        signer = "none (unsigned)";
        fault = path + " is not signed";
        break;
    case SIGNATURE_MALFORMED:
        signer = "unreadable signature";
        fault = "the signature of " + path + " cannot be read: " + detail;
        break;
    case SIGNATURE_AMBIGUOUS:
        signer = "ambiguous signer certificate";
        fault = "the signer of " + path + " is ambiguous: " + detail;
        break;
    case SIGNATURE_NOT_VERIFIED:
        signer = "signature does not verify";
        fault = "the signature of " + path + " does not verify: " + detail;
        break;
    case SIGNATURE_ALTERED:
        signer = "signature does not match the file";
        fault = path + " was changed after it was signed (" + detail +
                "), so Windows does not trust its signature";
        break;
    case SIGNATURE_ALGORITHM_REFUSED:
        signer = "algorithm refused (" + detail + ")";
        fault = "the signature of " + path + " uses an algorithm that is refused: " + detail;
        break;
    case SIGNATURE_NAME_REFUSED:
        signer = "no usable name (" + detail + ")";
        fault = "the signer of " + path + " has no usable name: " + detail;
        break;
    case SIGNATURE_DIGEST_FAILED:
        signer = "not checked (" + detail + ")";
        fault = "the signature of " + path + " cannot be checked: " + detail;
        break;
    case SIGNATURE_FOUND:
        // A timestamp that is there but does not verify makes Windows
        // refuse the whole signature.
        if (signature.signer != publisher)
            fault = path + " is signed by " + shown(signature.signer) + ", not " + shown(publisher);
        else if (!signature.timestamp_fault.empty())
            fault = "the timestamp of " + path + " does not verify, so Windows does not trust "
                    "its signature: " + signature.timestamp_fault;
        else if (need_timestamp && signature.timestamp.empty())
            fault = "the signature of " + path +
                    " has no timestamp, so Windows stops trusting it when its certificate expires";
    }
    printf("%ssigner: %s (expected %s)\n", role, signer.c_str(), shown_name(publisher).c_str());
    printf("%stimestamp: %s\n", role,
           signature.timestamp.empty() ? "none" : signature.timestamp.c_str());
    if (!signature.timestamp_fault.empty())
        printf("%stimestamp refused: %s\n", role, signature.timestamp_fault.c_str());
    if (signature.nested > 0)
        printf("%snested signatures: %d, not judged (Windows judges the primary one)\n", role,
               signature.nested);
    return fault.empty() || refuse(fault + "; " + consequence);
}

// True when the last path segment of `url` (before any query) holds
// `version` as a whole token: not preceded by a digit or a dot, and not
// followed by a digit or by a dot and a digit, so that "2" is not found in
// "12" or in "1.2", nor "1.4" in "1.4.2".
bool url_names_version(const std::string &url, const std::string &version)
{
    std::string path = url.substr(0, url.find('?'));
    std::string segment = path.substr(path.rfind('/') + 1);
    auto digit = [&](size_t i) { return i < segment.size() && segment[i] >= '0' && segment[i] <= '9'; };
    for (size_t at = segment.find(version); at != std::string::npos;
         at = segment.find(version, at + 1)) {
        size_t end = at + version.size();
        bool open = at == 0 || (!digit(at - 1) && segment[at - 1] != '.');
        bool closed = !digit(end) && !(end < segment.size() && segment[end] == '.' && digit(end + 1));
        if (open && closed)
            return true;
    }
    return false;
}

// What a setup program that fails check_signer meets.
std::string setup_refused(const std::string &publisher)
{
    return "a bootstrapper signed by " + shown(publisher) + " refuses it";
}

void usage(FILE *out)
{
    fprintf(out,
            "usage: tarvik-manifest make SETUP.exe VERSION URL [-o FILE] [--publisher NAME]\n"
            "                            [--allow-no-timestamp] [--allow-unversioned-url]\n"
            "       tarvik-manifest check MANIFEST [SETUP.exe [--publisher NAME]\n"
            "                                                 [--bootstrapper FILE]]\n"
            "       tarvik-manifest signature FILE [--publisher NAME] [--timestamped]\n"
            "       tarvik-manifest live [--address ADDR]... [--cacert FILE] [--publisher NAME]\n"
            "                            [--bootstrapper FILE] [--expect MANIFEST [SETUP.exe]]\n"
            "                            [--wait SECONDS] [--json]\n"
            "\n"
            "  make    write the release manifest for SETUP.exe to FILE\n"
            "          (default %s), only if the bootstrapper would accept it\n"
            "          and the signature of SETUP.exe has a timestamp\n"
            "  check   apply the bootstrapper's rules to MANIFEST; with SETUP.exe also\n"
            "          compare its size and SHA-256 with the manifest's\n"
            "  signature  judge the signature of FILE alone (the build's check of a\n"
            "          signed bootstrapper)\n"
            "  live    fetch the published release back from https://" TARVIK_SITE_HOST_TEXT "\n"
            "          as the bootstrapper would, from every address of the host (or\n"
            "          of each --address ADDR, an address or a host name), and judge\n"
            "          it as check does; every address must serve the same files,\n"
            "          with TLS for the site host. A transfer ends after 120 s,\n"
            "          or after 30 s without data; --cacert FILE trusts a private\n"
            "          authority. --expect: every address must serve exactly MANIFEST\n"
            "          (and SETUP.exe must be the file it describes); --wait: repeat\n"
            "          a failing check every 5 s until it passes or SECONDS are up;\n"
            "          --json: the findings as one JSON object\n"
            "  All report the signer and the time of the timestamp, read from the\n"
            "  file's own signature: the signer certificate must verify the primary\n"
            "  signature, and the signed digest must be the file's. Trust in the\n"
            "  certificate chain is left to Windows on the user's machine.\n"
            "\n"
            "  --publisher NAME      the signer display name that SETUP.exe must carry\n"
            "                        (default %s)\n"
            "  --allow-no-timestamp  let make accept a SETUP.exe signed without a timestamp\n"
            "                        (for tests; an unsigned one is still refused)\n"
            "  --allow-unversioned-url\n"
            "                        let make accept a URL whose last path segment does\n"
            "                        not hold VERSION as a whole token\n"
            "  --bootstrapper FILE   confirm that the signed bootstrapper FILE accepts\n"
            "                        SETUP.exe: the same signer, both with a timestamp\n"
            "  --timestamped         let signature require a timestamp that verifies\n"
            "\n"
            "Built for download URLs beginning with " DOWNLOAD_URL_PREFIX "\n"
            "Exit codes: 0 accepted, 1 refused, 2 bad arguments.\n",
            DEFAULT_OUTPUT, DEFAULT_PUBLISHER);
}

bool command_make(const std::string &setup, const std::string &version, const std::string &url,
                  const std::string &output, const std::string &publisher, bool need_timestamp,
                  bool allow_unversioned)
{
    FileFacts facts;
    if (!stat_file(setup, &facts) || !setup_size_acceptable(setup, facts.size) ||
        !read_file(setup, &facts, nullptr))
        return false;
    // The exact text to be written goes through the bootstrapper's sink and
    // rules, and the values they read back must be the ones meant.
    std::string text = manifest_text(version, url, facts.sha256, facts.size);
    ManifestFields fields = {};
    ReleaseInfo release = {};
    if (!passes_rules(text, &fields, &release, &version, &url))
        return false;
    if (fields.version != version || fields.url != url || release.sha256_hex != facts.sha256 ||
        release.expected_size != facts.size)
        return refuse("the bootstrapper would read other values than the ones given (version " +
                      shown(fields.version) + ", url " + shown(fields.url) + ")");
    // A setup program republished under the same URL with other bytes fails
    // for every user whose manifest or download some cache still holds.
    if (!allow_unversioned && !url_names_version(url, version))
        return refuse("the url's last path segment must hold the version " + shown(version) +
                      " as a whole token, so that each release has a URL of its own (got " +
                      shown(url) + "; --allow-unversioned-url lets it through)");
    if (!check_signer("", setup, publisher, need_timestamp, setup_refused(publisher)) ||
        !write_file(output, text))
        return false;
    printf("wrote %s (%zu bytes): version %s, size %lld, sha256 %s\n", output.c_str(),
           text.size(), version.c_str(), facts.size, facts.sha256.c_str());
    return true;
}

// With `bootstrapper` (not empty) also judges the bootstrapper's signature;
// both must then have a timestamp.
bool command_check(const std::string &manifest, const std::string *setup,
                   const std::string &publisher, const std::string &bootstrapper)
{
    FileFacts text_facts;
    std::string bytes;
    if (!stat_file(manifest, &text_facts))
        return false;
    // A file far beyond the limit is refused by its size alone, unread.
    if (text_facts.size > TRANSFER_BUFFER_SIZE)
        return refuse(too_long(text_facts.size));
    ManifestFields fields = {};
    ReleaseInfo release = {};
    if (!read_file(manifest, &text_facts, &bytes) || !passes_rules(bytes, &fields, &release))
        return false;
    printf("ok: %s passes the bootstrapper's rules (%zu bytes)\n", manifest.c_str(),
           bytes.size());
    printf("ok: version %s\nok: url %s\nok: sha256 %s\nok: size %lld\n", fields.version,
           fields.url, release.sha256_hex, release.expected_size);
    if (setup == nullptr)
        return true;

    FileFacts facts;
    if (!stat_file(*setup, &facts) || !read_file(*setup, &facts, nullptr))
        return false;
    if (facts.size != release.expected_size)
        return refuse(*setup + " is " + std::to_string(facts.size) + " bytes, the manifest says " +
                      std::to_string(release.expected_size));
    printf("ok: %s is %lld bytes\n", setup->c_str(), facts.size);
    if (facts.sha256 != release.sha256_hex)
        return refuse("the SHA-256 of " + *setup + " is " + facts.sha256 +
                      ", the manifest says " + release.sha256_hex);
    printf("ok: %s has the manifest's SHA-256\n", setup->c_str());
    bool pair = !bootstrapper.empty();
    FileFacts ignored;
    return check_signer("", *setup, publisher, pair, setup_refused(publisher)) &&
           (!pair || (stat_file(bootstrapper, &ignored) &&
                      check_signer("bootstrapper ", bootstrapper, publisher, true,
                                   "the setup program needs a bootstrapper signed by " +
                                       shown(publisher) + ", with a timestamp")));
}

int main(int argc, char **argv)
{
    // The options that take a value, with their defaults (--address may be
    // given again and again, and gathers into `live`), and the flags.
    std::map<std::string, std::string> values = {
        {"-o", DEFAULT_OUTPUT}, {"--publisher", DEFAULT_PUBLISHER}, {"--bootstrapper", ""},
        {"--cacert", ""}, {"--address", ""}, {"--expect", ""}, {"--wait", "0"}};
    const std::string ALLOW_NO_TIMESTAMP = "--allow-no-timestamp";
    const std::string TIMESTAMPED = "--timestamped";
    const std::string ALLOW_UNVERSIONED = "--allow-unversioned-url";
    const std::string JSON = "--json";
    std::set<std::string> given;
    std::vector<std::string> positional;
    LiveOptions live;
    for (int i = 1; i < argc; i++) {
        std::string arg = argv[i];
        if (arg == "-h" || arg == "--help") {
            usage(stdout);
            return EXIT_OK;
        }
        if (arg.size() < 2 || arg[0] != '-') {
            positional.push_back(arg);
            continue;
        }
        given.insert(arg);
        if (arg == "--address" && i + 1 < argc && argv[i + 1][0] != 0) {
            live.addresses.push_back(argv[++i]);
            continue;
        }
        if (arg == ALLOW_NO_TIMESTAMP || arg == TIMESTAMPED || arg == ALLOW_UNVERSIONED ||
            arg == JSON)
            continue;
        const char *fault = values.count(arg) == 0                  ? "is not an option"
                            : i + 1 == argc || argv[i + 1][0] == 0 ? "needs a value"
                                                                   : nullptr;
        if (fault != nullptr) {
            fprintf(stderr, "tarvik-manifest: %s %s\n", arg.c_str(), fault);
            usage(stderr);
            return EXIT_USAGE;
        }
        values[arg] = argv[++i];
    }

    std::string command = positional.empty() ? "" : positional[0];
    size_t operands = positional.empty() ? 0 : positional.size() - 1;
    bool allow_no_timestamp = given.count(ALLOW_NO_TIMESTAMP) != 0;
    bool timestamped = given.count(TIMESTAMPED) != 0;
    bool allow_unversioned = given.count(ALLOW_UNVERSIONED) != 0;
    bool make = command == "make" && operands == 3 && given.count("--bootstrapper") == 0 &&
                !timestamped;
    // The options of check all concern the setup program.
    bool check = command == "check" &&
                 ((operands == 2 && given.count("-o") == 0 && !allow_no_timestamp &&
                   !timestamped && !allow_unversioned) ||
                  (operands == 1 && given.empty()));
    bool signature = command == "signature" && operands == 1 && given.count("-o") == 0 &&
                     given.count("--bootstrapper") == 0 && !allow_no_timestamp &&
                     !allow_unversioned;
    // These options belong to live alone; a setup program only with --expect.
    bool live_only = given.count("--address") != 0 || given.count("--cacert") != 0 ||
                     given.count("--expect") != 0 || given.count("--wait") != 0 ||
                     given.count(JSON) != 0;
    char *wait_end = nullptr;
    live.wait_seconds = strtol(values["--wait"].c_str(), &wait_end, 10);
    bool live_command = command == "live" &&
                        (operands == 0 || (operands == 1 && given.count("--expect") != 0)) &&
                        given.count("-o") == 0 && !allow_no_timestamp && !allow_unversioned &&
                        !timestamped && *wait_end == 0 && live.wait_seconds >= 0 &&
                        live.wait_seconds <= 86400;
    if ((!make && !check && !signature && !live_command) || (live_only && !live_command)) {
        usage(stderr);
        return EXIT_USAGE;
    }
    live.cacert = values["--cacert"];
    live.publisher = values["--publisher"];
    live.bootstrapper = values["--bootstrapper"];
    live.expect = values["--expect"];
    live.json = given.count(JSON) != 0;
    live.expect_setup = live_command && operands == 1 ? positional[1] : "";
    bool accepted =
        make ? command_make(positional[1], positional[2], positional[3], values["-o"],
                            values["--publisher"], !allow_no_timestamp, allow_unversioned)
        : check ? command_check(positional[1], operands == 2 ? &positional[2] : nullptr,
                                values["--publisher"], values["--bootstrapper"])
        : signature ? check_signer("", positional[1], values["--publisher"], timestamped,
                                   "it is not fit to publish")
                    : command_live(live);
    return accepted ? EXIT_OK : EXIT_REFUSED;
}
