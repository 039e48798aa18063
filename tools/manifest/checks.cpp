// The checks that the tool's commands share (checks.h).

#include "checks.h"

#include <openssl/evp.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <vector>

#include "app/config.h"
#include "manifest_json.h"
#include "net/fetch.h"
#include "report.h"
#include "signature.h"

namespace {

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

} // namespace

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

std::string sha256_of(const std::string &bytes)
{
    EVP_MD_CTX *sha = new_sha256();
    std::string digest = sha != nullptr && EVP_DigestUpdate(sha, bytes.data(), bytes.size()) == 1
                             ? finish_sha256(sha) : "";
    EVP_MD_CTX_free(sha);
    return digest;
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

bool read_manifest(const std::string &path, CheckedManifest *checked)
{
    FileFacts facts;
    *checked = CheckedManifest();
    if (!stat_file(path, &facts))
        return false;
    // A file far beyond the limit is refused by its size alone, unread.
    if (facts.size > TRANSFER_BUFFER_SIZE)
        return refuse(too_long(facts.size));
    return read_file(path, &facts, &checked->text) &&
           passes_rules(checked->text, &checked->fields, &checked->release);
}

// A signer name as the report shows it: as it stands when it is printable
// ASCII, otherwise quoted with its other bytes escaped, so that no name can
// pass itself off as another on the screen.
std::string shown_name(const std::string &name)
{
    for (unsigned char c : name)
        if (c < 0x20 || c > 0x7E || c == '\\')
            return shown(name);
    return name;
}

std::string judge_signature(const Signature &signature, const std::string &what,
                            const std::string &publisher, bool need_timestamp,
                            SignerFindings *found)
{
    std::string fault;
    const std::string &detail = signature.detail;
    found->signer = shown_name(signature.signer);
    found->expected = shown_name(publisher);
    found->timestamp = signature.timestamp;
    found->timestamp_fault = signature.timestamp_fault;
    found->signing_time = signature.signing_time;
    found->path = signature.path;
    found->timestamp_path = signature.timestamp_path;
    found->nested = signature.nested;
    switch (signature.state) {
    case SIGNATURE_NONE:
        found->signer = "none (unsigned)";
        fault = what + " is not signed";
        break;
    case SIGNATURE_MALFORMED:
        found->signer = "unreadable signature";
        fault = "the signature of " + what + " cannot be read: " + detail;
        break;
    case SIGNATURE_AMBIGUOUS:
        found->signer = "ambiguous signer certificate";
        fault = "the signer of " + what + " is ambiguous: " + detail;
        break;
    case SIGNATURE_NOT_VERIFIED:
        found->signer = "signature does not verify";
        fault = "the signature of " + what + " does not verify: " + detail;
        break;
    case SIGNATURE_ALTERED:
        found->signer = "signature does not match the file";
        fault = what + " was changed after it was signed (" + detail +
                "), so Windows does not trust its signature";
        break;
    case SIGNATURE_ALGORITHM_REFUSED:
        found->signer = "algorithm refused (" + detail + ")";
        fault = "the signature of " + what + " uses an algorithm that is refused: " + detail;
        break;
    case SIGNATURE_NAME_REFUSED:
        found->signer = "no usable name (" + detail + ")";
        fault = "the signer of " + what + " has no usable name: " + detail;
        break;
    case SIGNATURE_DIGEST_FAILED:
        found->signer = "not checked (" + detail + ")";
        fault = "the signature of " + what + " cannot be checked: " + detail;
        break;
    case SIGNATURE_PATH_REFUSED:
        found->signer = found->signer + ", whose certificates Windows refuses";
        fault = "Windows does not trust the signature of " + what + ": " + detail;
        break;
    case SIGNATURE_FOUND:
        // A timestamp that is there but does not verify makes Windows
        // refuse the whole signature.
        if (signature.signer != publisher)
            fault = what + " is signed by " + shown(signature.signer) + ", not " + shown(publisher);
        else if (signature.countersigned)
            fault = "the timestamp of " + what + " cannot be judged here: " +
                    signature.timestamp_fault;
        else if (!signature.timestamp_fault.empty())
            fault = "the timestamp of " + what + " does not verify, so Windows does not trust "
                    "its signature: " + signature.timestamp_fault;
        else if (need_timestamp && signature.timestamp.empty())
            fault = "the signature of " + what +
                    " has no timestamp, so Windows stops trusting it when its certificate expires";
    }
    return fault;
}

bool check_signer(const char *role, const std::string &path, const std::string &publisher,
                  X509_STORE *roots, bool need_timestamp, const std::string &consequence)
{
    Signature signature;
    SignerFindings found;
    found.role = role;
    if (!read_signature(path, roots, &signature))
        return false;
    std::string fault = judge_signature(signature, path, publisher, need_timestamp, &found);
    write_signer(found, "");
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

std::string bootstrapper_refused(const std::string &publisher)
{
    return "the setup program needs a bootstrapper signed by " + shown(publisher) +
           ", with a timestamp";
}

