// tarvik-manifest: the publisher's tool for the release manifest
// (windows-setup.json) that the bootstrapper reads.
//
//   tarvik-manifest make SETUP.exe VERSION URL [-o FILE] [--publisher NAME]
//   tarvik-manifest check MANIFEST [SETUP.exe] [--publisher NAME]
//   tarvik-manifest sha256 FILE...
//
// It is a native Linux program compiled together with the bootstrapper's own
// src/net/manifest.cpp, for the same TARVIK_SITE_HOST: a manifest that it
// writes or passes has been judged by the very code, and the very download
// URL prefix, that the bootstrapper uses. A tool built for another site host
// refuses every URL of this one, which is what the bootstrapper would do.
//
// Exit codes: 0 accepted, 1 refused or failed, 2 bad arguments or a helper
// program (osslsigncode, openssl) that is not installed.

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "app/config.h"
#include "net/manifest.h"

extern char **environ;

namespace {

const char *const DEFAULT_PUBLISHER = "Braskworks";
const char *const DEFAULT_OUTPUT = "windows-setup.json";

enum ExitCode { EXIT_OK = 0, EXIT_REFUSED = 1, EXIT_USAGE = 2 };

// ---------------------------------------------------------------------------
// SHA-256 (FIPS 180-4), streaming.

class Sha256 {
public:
    void update(const unsigned char *data, size_t count)
    {
        total_ += count;
        while (count > 0) {
            size_t take = 64 - used_ < count ? 64 - used_ : count;
            memcpy(block_ + used_, data, take);
            used_ += take;
            data += take;
            count -= take;
            if (used_ == 64) {
                compress(block_);
                used_ = 0;
            }
        }
    }

    // Pads the message and returns the digest as 64 lowercase hex digits.
    // The object is spent afterwards.
    std::string finish()
    {
        uint64_t bits = total_ * 8;
        unsigned char pad = 0x80;
        update(&pad, 1);
        pad = 0;
        while (used_ != 56)
            update(&pad, 1);
        unsigned char length[8];
        for (int i = 0; i < 8; i++)
            length[i] = (unsigned char)(bits >> (56 - 8 * i));
        update(length, 8);

        static const char hex[] = "0123456789abcdef";
        std::string out;
        for (uint32_t word : state_)
            for (int shift = 28; shift >= 0; shift -= 4)
                out += hex[(word >> shift) & 15];
        return out;
    }

private:
    static uint32_t rotr(uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

    void compress(const unsigned char *block)
    {
        static const uint32_t k[64] = {
            0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4,
            0xab1c5ed5, 0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe,
            0x9bdc06a7, 0xc19bf174, 0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f,
            0x4a7484aa, 0x5cb0a9dc, 0x76f988da, 0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7,
            0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967, 0x27b70a85, 0x2e1b2138, 0x4d2c6dfc,
            0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85, 0xa2bfe8a1, 0xa81a664b,
            0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070, 0x19a4c116,
            0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
            0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7,
            0xc67178f2};
        uint32_t w[64];
        for (int i = 0; i < 16; i++)
            w[i] = (uint32_t)block[4 * i] << 24 | (uint32_t)block[4 * i + 1] << 16 |
                   (uint32_t)block[4 * i + 2] << 8 | (uint32_t)block[4 * i + 3];
        for (int i = 16; i < 64; i++) {
            uint32_t s0 = rotr(w[i - 15], 7) ^ rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
            uint32_t s1 = rotr(w[i - 2], 17) ^ rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
            w[i] = w[i - 16] + s0 + w[i - 7] + s1;
        }
        uint32_t a = state_[0], b = state_[1], c = state_[2], d = state_[3];
        uint32_t e = state_[4], f = state_[5], g = state_[6], h = state_[7];
        for (int i = 0; i < 64; i++) {
            uint32_t t1 = h + (rotr(e, 6) ^ rotr(e, 11) ^ rotr(e, 25)) + ((e & f) ^ (~e & g)) +
                          k[i] + w[i];
            uint32_t t2 = (rotr(a, 2) ^ rotr(a, 13) ^ rotr(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
            h = g;
            g = f;
            f = e;
            e = d + t1;
            d = c;
            c = b;
            b = a;
            a = t1 + t2;
        }
        state_[0] += a;
        state_[1] += b;
        state_[2] += c;
        state_[3] += d;
        state_[4] += e;
        state_[5] += f;
        state_[6] += g;
        state_[7] += h;
    }

    uint32_t state_[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                          0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    unsigned char block_[64];
    size_t used_ = 0;
    uint64_t total_ = 0;
};

// ---------------------------------------------------------------------------
// Messages.

// Writes a refusal. Standard output is flushed first, so that the report
// lines keep their order when both streams go to one file.
void refuse(const std::string &message)
{
    fflush(stdout);
    fprintf(stderr, "refused: %s\n", message.c_str());
}

// A value as it may be shown on one line: in double quotes, with quotes,
// backslashes, control and non-ASCII bytes escaped, cut after 80 bytes.
std::string shown(const std::string &value)
{
    std::string out = "\"";
    size_t count = 0;
    for (unsigned char c : value) {
        if (count++ == 80) {
            out += "\"...";
            return out;
        }
        if (c == '"' || c == '\\') {
            out += '\\';
            out += (char)c;
        } else if (c < 0x20 || c >= 0x7F) {
            char escaped[8];
            snprintf(escaped, sizeof escaped, "\\x%02x", c);
            out += escaped;
        } else {
            out += (char)c;
        }
    }
    return out + "\"";
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

// ---------------------------------------------------------------------------
// Files.

struct FileFacts {
    long long size = 0;
    std::string sha256;
};

// Reads the size of a regular file; false with `error` set otherwise.
bool file_size(const std::string &path, long long *size, std::string *error)
{
    struct stat info;
    if (stat(path.c_str(), &info) != 0) {
        *error = "cannot read " + path + ": " + strerror(errno);
        return false;
    }
    if (!S_ISREG(info.st_mode)) {
        *error = path + " is not a regular file";
        return false;
    }
    *size = (long long)info.st_size;
    return true;
}

// Hashes a whole file; the size is what was actually read.
bool hash_file(const std::string &path, FileFacts *facts, std::string *error)
{
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        *error = "cannot read " + path + ": " + strerror(errno);
        return false;
    }
    Sha256 sha;
    std::vector<char> buffer(1 << 16);
    facts->size = 0;
    while (file) {
        file.read(buffer.data(), (std::streamsize)buffer.size());
        std::streamsize got = file.gcount();
        sha.update((const unsigned char *)buffer.data(), (size_t)got);
        facts->size += got;
    }
    if (file.bad()) {
        *error = "error while reading " + path;
        return false;
    }
    facts->sha256 = sha.finish();
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
    for (size_t at = 0; at < bytes.size(); at += 4096) {
        size_t count = bytes.size() - at < 4096 ? bytes.size() - at : 4096;
        if (!append_manifest_chunk((const unsigned char *)bytes.data() + at, (unsigned)count,
                                   buffer)) {
            refuse("the manifest is " + std::to_string(bytes.size()) +
                   " bytes; the bootstrapper reads at most " +
                   std::to_string(MANIFEST_CAPACITY - 1));
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
//
// This reads the signer's name only, as a publisher's check before upload:
// whether Windows trusts the signature (the chain up to a trusted root, the
// file's hash against the signed one) is decided on the user's machine, by
// the bootstrapper. The bootstrapper compares the display names of its own
// signer and of the download's; for a code-signing certificate that is the
// subject's common name.

bool find_in_path(const std::string &name)
{
    const char *path = getenv("PATH");
    std::string dirs = path != nullptr ? path : "/usr/bin:/bin";
    size_t start = 0;
    while (start <= dirs.size()) {
        size_t end = dirs.find(':', start);
        if (end == std::string::npos)
            end = dirs.size();
        std::string dir = dirs.substr(start, end - start);
        std::string candidate = (dir.empty() ? "." : dir) + "/" + name;
        struct stat info;
        if (stat(candidate.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
            access(candidate.c_str(), X_OK) == 0)
            return true;
        start = end + 1;
    }
    return false;
}

// Runs a program found in PATH with its standard error discarded and, with
// `output`, its standard output collected. Returns its exit status, or -1
// when it could not be started or did not exit normally.
int run_program(const std::vector<std::string> &args, std::string *output)
{
    std::vector<char *> argv;
    for (const std::string &arg : args)
        argv.push_back(const_cast<char *>(arg.c_str()));
    argv.push_back(nullptr);

    int pipe_ends[2] = {-1, -1};
    if (output != nullptr && pipe(pipe_ends) != 0)
        return -1;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    if (output != nullptr) {
        posix_spawn_file_actions_adddup2(&actions, pipe_ends[1], 1);
        posix_spawn_file_actions_addclose(&actions, pipe_ends[0]);
        posix_spawn_file_actions_addclose(&actions, pipe_ends[1]);
    } else {
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    }
    pid_t pid;
    int started = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (output != nullptr) {
        close(pipe_ends[1]);
        char chunk[4096];
        ssize_t got;
        while (started == 0 && (got = read(pipe_ends[0], chunk, sizeof chunk)) != 0) {
            if (got < 0 && errno != EINTR)
                break;
            if (got > 0)
                output->append(chunk, (size_t)got);
        }
        close(pipe_ends[0]);
    }
    if (started != 0)
        return -1;
    int status;
    while (waitpid(pid, &status, 0) < 0)
        if (errno != EINTR)
            return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

enum SignerResult { SIGNER_FOUND, SIGNER_NONE, SIGNER_UNREADABLE, SIGNER_ALTERED };

// The value of the first commonName line of `openssl x509 -nameopt
// multiline` output ("    commonName                = Braskworks").
bool common_name_from_subject(const std::string &subject, std::string *name)
{
    size_t start = 0;
    while (start < subject.size()) {
        size_t end = subject.find('\n', start);
        if (end == std::string::npos)
            end = subject.size();
        std::string line = subject.substr(start, end - start);
        size_t key = line.find_first_not_of(' ');
        if (key != std::string::npos && line.compare(key, 11, "commonName ") == 0) {
            size_t equals = line.find(" = ", key);
            if (equals != std::string::npos) {
                *name = line.substr(equals + 3);
                return true;
            }
        }
        start = end + 1;
    }
    return false;
}

// Takes the Authenticode signature out of the file (osslsigncode), has
// OpenSSL pick the certificate that its signer information names (issuer and
// serial number; the signature also carries the issuing authorities'
// certificates) and reads that certificate's subject common name.
SignerResult read_signer(const std::string &setup, const std::string &work_dir, std::string *name)
{
    std::string signature = work_dir + "/signature.p7";
    std::string signer = work_dir + "/signer.pem";
    if (run_program({"osslsigncode", "extract-signature", "-in", setup, "-out", signature},
                    nullptr) != 0 ||
        !std::filesystem::exists(signature))
        return SIGNER_NONE;
    // A file changed after signing: osslsigncode recomputes the image digest
    // and marks it when it differs from the signed one. (Its verdict on
    // trust is not used: that is decided on the user's machine.)
    std::string verification;
    run_program({"osslsigncode", "verify", "-in", setup}, &verification);
    if (verification.find("MISMATCH") != std::string::npos)
        return SIGNER_ALTERED;
    // -nosigs and -noverify: only the signer certificate is wanted here; the
    // content digest of an Authenticode signature is not one that S/MIME
    // verification understands, and trust is not this tool's question.
    if (run_program({"openssl", "smime", "-verify", "-noverify", "-nosigs", "-inform", "DER",
                     "-in", signature, "-signer", signer, "-out", "/dev/null"},
                    nullptr) != 0)
        return SIGNER_UNREADABLE;
    std::string subject;
    if (run_program({"openssl", "x509", "-in", signer, "-noout", "-subject", "-nameopt",
                     "multiline,utf8,-esc_msb"},
                    &subject) != 0)
        return SIGNER_UNREADABLE;
    if (!common_name_from_subject(subject, name))
        *name = "";
    return SIGNER_FOUND;
}

// Reports the signer beside the expected publisher and judges it. Returns
// an exit code: EXIT_OK when the names are equal.
int check_signer(const std::string &setup, const std::string &publisher)
{
    for (const char *program : {"osslsigncode", "openssl"})
        if (!find_in_path(program)) {
            fprintf(stderr,
                    "tarvik-manifest: %s is not installed; it is needed to read the setup "
                    "program's signer (Debian: apt-get install %s)\n",
                    program, program);
            return EXIT_USAGE;
        }

    const char *temp = getenv("TMPDIR");
    std::string templ = std::string(temp != nullptr && *temp != 0 ? temp : "/tmp") +
                        "/tarvik-manifest.XXXXXX";
    std::vector<char> dir(templ.begin(), templ.end());
    dir.push_back(0);
    if (mkdtemp(dir.data()) == nullptr) {
        fprintf(stderr, "tarvik-manifest: cannot make a temporary folder: %s\n", strerror(errno));
        return EXIT_REFUSED;
    }
    std::string name;
    SignerResult result = read_signer(setup, dir.data(), &name);
    std::error_code ignored;
    std::filesystem::remove_all(dir.data(), ignored);

    std::string expected = " (expected " + publisher + ")";
    switch (result) {
    case SIGNER_NONE:
        printf("signer: none (unsigned)%s\n", expected.c_str());
        refuse(setup + " is not signed; a bootstrapper signed by " + shown(publisher) +
               " refuses it");
        return EXIT_REFUSED;
    case SIGNER_UNREADABLE:
        printf("signer: unreadable signature%s\n", expected.c_str());
        refuse("the signature of " + setup + " cannot be read; a bootstrapper signed by " +
               shown(publisher) + " refuses it");
        return EXIT_REFUSED;
    case SIGNER_ALTERED:
        printf("signer: signature does not match the file%s\n", expected.c_str());
        refuse(setup + " was changed after it was signed; Windows does not trust its signature, so "
               "the bootstrapper refuses it");
        return EXIT_REFUSED;
    case SIGNER_FOUND:
        break;
    }
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
            "       tarvik-manifest sha256 FILE...\n"
            "\n"
            "  make    write the release manifest for SETUP.exe to FILE\n"
            "          (default %s), only if the bootstrapper would accept it\n"
            "  check   apply the bootstrapper's rules to MANIFEST; with SETUP.exe also\n"
            "          compare its size and SHA-256 with the manifest's\n"
            "  sha256  print the SHA-256 of each FILE\n"
            "  --publisher NAME  the signer common name that SETUP.exe must carry\n"
            "                    (default %s)\n"
            "\n"
            "Built for download URLs beginning with " DOWNLOAD_URL_PREFIX "\n"
            "Exit codes: 0 accepted, 1 refused, 2 bad arguments or a missing helper program.\n",
            DEFAULT_OUTPUT, DEFAULT_PUBLISHER);
}

// A JSON string literal of `value`. Quotes, backslashes and control bytes
// are escaped so that the file stays JSON; the bootstrapper understands no
// escape, so such a value is then refused by its rules.
std::string json_string(const std::string &value)
{
    std::string out = "\"";
    for (unsigned char c : value) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += (char)c;
        } else if (c < 0x20) {
            char escaped[8];
            snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
        } else {
            out += (char)c;
        }
    }
    return out + "\"";
}

bool write_file(const std::string &path, const std::string &text)
{
    // Written beside the target and renamed over it, so that a failed write
    // never leaves a partial manifest under the published name.
    std::string temporary = path + ".tmp";
    {
        std::ofstream file(temporary, std::ios::binary | std::ios::trunc);
        if (file)
            file.write(text.data(), (std::streamsize)text.size());
        if (!file || !file.flush()) {
            fprintf(stderr, "tarvik-manifest: cannot write %s: %s\n", temporary.c_str(),
                    strerror(errno));
            std::remove(temporary.c_str());
            return false;
        }
    }
    if (std::rename(temporary.c_str(), path.c_str()) != 0) {
        fprintf(stderr, "tarvik-manifest: cannot write %s: %s\n", path.c_str(), strerror(errno));
        std::remove(temporary.c_str());
        return false;
    }
    return true;
}

int command_make(const std::string &setup, const std::string &version, const std::string &url,
                 const std::string &output, const std::string &publisher)
{
    long long size;
    std::string error;
    if (!file_size(setup, &size, &error)) {
        refuse(error);
        return EXIT_REFUSED;
    }
    if (!setup_size_acceptable(setup, size))
        return EXIT_REFUSED;
    FileFacts facts;
    if (!hash_file(setup, &facts, &error)) {
        refuse(error);
        return EXIT_REFUSED;
    }
    if (facts.size != size) {
        refuse(setup + " changed while it was read");
        return EXIT_REFUSED;
    }

    std::string text = "{\n  \"version\": " + json_string(version) + ",\n  \"url\": " +
                       json_string(url) + ",\n  \"sha256\": \"" + facts.sha256 +
                       "\",\n  \"size\": " + std::to_string(facts.size) + "\n}\n";

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
    std::string error;
    if (!file_size(manifest, &length, &error)) {
        refuse(error);
        return EXIT_REFUSED;
    }
    // A file far beyond the limit is refused by its size alone; anything
    // shorter goes through the bootstrapper's sink, which has the last word.
    if (length > 65536) {
        refuse("the manifest is " + std::to_string(length) +
               " bytes; the bootstrapper reads at most " + std::to_string(MANIFEST_CAPACITY - 1));
        return EXIT_REFUSED;
    }
    std::string bytes;
    std::ifstream file(manifest, std::ios::binary);
    char chunk[4096];
    while (file) {
        file.read(chunk, sizeof chunk);
        bytes.append(chunk, (size_t)file.gcount());
    }
    if (!file.eof()) {
        refuse("cannot read " + manifest + ": " + strerror(errno));
        return EXIT_REFUSED;
    }

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
    if (!file_size(*setup, &ignored, &error) || !hash_file(*setup, &facts, &error)) {
        refuse(error);
        return EXIT_REFUSED;
    }
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

int command_sha256(const std::vector<std::string> &files)
{
    int status = EXIT_OK;
    for (const std::string &path : files) {
        FileFacts facts;
        std::string error;
        long long size;
        if (!file_size(path, &size, &error) || !hash_file(path, &facts, &error)) {
            fprintf(stderr, "tarvik-manifest: %s\n", error.c_str());
            status = EXIT_REFUSED;
            continue;
        }
        printf("%s  %s\n", facts.sha256.c_str(), path.c_str());
    }
    return status;
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
    if (command == "sha256" && !output_given && !publisher_given && operands >= 1)
        return command_sha256(std::vector<std::string>(positional.begin() + 1, positional.end()));
    usage(stderr);
    return EXIT_USAGE;
}
