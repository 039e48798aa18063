// Reading the signer and the timestamp of the Authenticode signature of a
// Windows program with the helper programs osslsigncode and openssl, each
// started by name from PATH.
//
// This reads names and times only, as a publisher's check before upload:
// whether Windows trusts the signature (the chain up to a trusted root, the
// file's hash against the signed one) is decided on the user's machine, by
// the bootstrapper. The bootstrapper compares the display names of its own
// signer and of the download's; for a code-signing certificate that is the
// subject's common name.

#include "signature.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

extern char **environ;

namespace {

const char *const HELPERS[] = {"osslsigncode", "openssl"};

// Runs a program found in PATH with no input, its standard output written
// to the file `output` and its standard error discarded. Returns -1 when it
// could not be started, else its exit status (255 when it did not exit
// normally).
int run_program(const std::vector<std::string> &args, const std::string &output)
{
    std::vector<char *> argv;
    for (const std::string &arg : args)
        argv.push_back(const_cast<char *>(arg.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0600);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid;
    int started = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (started != 0)
        return -1;
    int status;
    while (waitpid(pid, &status, 0) < 0)
        if (errno != EINTR)
            return 255;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 255;
}

std::string file_text(const std::string &path)
{
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

// The rest of the first line of `text` that begins, after blanks, with
// `key`, from after the first `separator` that follows the key; "" when
// there is no such line.
std::string line_value(const std::string &text, const std::string &key,
                       const std::string &separator)
{
    for (size_t start = 0; start < text.size();) {
        size_t end = std::min(text.find('\n', start), text.size());
        size_t first = text.find_first_not_of(" \t", start);
        size_t value = text.find(separator, first);
        if (first < end && text.compare(first, key.size(), key) == 0 && value < end)
            return text.substr(value + separator.size(), end - value - separator.size());
        start = end + 1;
    }
    return "";
}

// Takes the signature out of the file (osslsigncode), reads the time of its
// timestamp from osslsigncode's report, has OpenSSL pick the certificate that
// its signer information names (issuer and serial number; the signature also
// carries the issuing authorities' certificates) and reads that
// certificate's subject common name.
void read_signature_in(const std::string &path, const std::string &work_dir,
                       Signature *signature)
{
    std::string extracted = work_dir + "/signature.p7";
    std::string signer = work_dir + "/signer.pem";
    std::string output = work_dir + "/output.txt";
    signature->state = SIGNATURE_NONE;
    if (run_program({"osslsigncode", "extract-signature", "-in", path, "-out", extracted},
                    "/dev/null") != 0 ||
        !std::filesystem::exists(extracted))
        return;
    // A file changed after signing: osslsigncode recomputes the image digest
    // and marks it when it differs from the signed one. (Its verdict on
    // trust is not used: that is decided on the user's machine.)
    signature->state = SIGNATURE_ALTERED;
    run_program({"osslsigncode", "verify", "-in", path}, output);
    std::string verified = file_text(output);
    // Only the primary signature's timestamp counts; nested signatures
    // follow it under their own index.
    signature->timestamp = line_value(verified.substr(0, verified.find("Signature Index: 1")),
                                      "Timestamp time", ": ");
    if (verified.find("MISMATCH") != std::string::npos)
        return;
    // -nosigs and -noverify: only the signer certificate is wanted here; the
    // content digest of an Authenticode signature is not one that S/MIME
    // verification understands, and trust is not this tool's question.
    signature->state = SIGNATURE_UNREADABLE;
    if (run_program({"openssl", "smime", "-verify", "-noverify", "-nosigs", "-inform", "DER",
                     "-in", extracted, "-signer", signer, "-out", "/dev/null"},
                    "/dev/null") != 0 ||
        run_program({"openssl", "x509", "-in", signer, "-noout", "-subject", "-nameopt",
                     "multiline,utf8,-esc_msb"},
                    output) != 0)
        return;
    // One field a line: "    commonName                = Braskworks".
    signature->state = SIGNATURE_FOUND;
    signature->signer = line_value(file_text(output), "commonName ", " = ");
}

} // namespace

// A helper is started once with no useful arguments: posix_spawnp fails
// only when it finds no such program in PATH.
bool helpers_installed()
{
    for (const char *program : HELPERS)
        if (run_program({program, "--version"}, "/dev/null") == -1) {
            fprintf(stderr,
                    "tarvik-manifest: %s is not installed; it is needed to read the setup "
                    "program's signer (Debian: apt-get install %s)\n",
                    program, program);
            return false;
        }
    return true;
}

bool read_signature(const std::string &path, Signature *signature)
{
    const char *temp = getenv("TMPDIR");
    std::string dir = std::string(temp != nullptr && *temp != 0 ? temp : "/tmp") +
                      "/tarvik-manifest.XXXXXX";
    if (mkdtemp(dir.data()) == nullptr) {
        fprintf(stderr, "tarvik-manifest: cannot make a temporary folder: %s\n", strerror(errno));
        return false;
    }
    read_signature_in(path, dir, signature);
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
    return true;
}
