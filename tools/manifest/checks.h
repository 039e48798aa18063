// The checks that the tool's commands share (checks.cpp). Each function
// that returns a bool writes its refusal itself, through refuse()
// (report.h).
#pragma once

#include <openssl/evp.h>
#include <openssl/types.h>

#include <string>
#include <vector>

#include "net/manifest.h"
#include "report.h"

struct Signature;

// A new SHA-256 context, or null when libcrypto cannot make one.
EVP_MD_CTX *new_sha256();

// The lowercase hexadecimal digest that `sha` ends with; "" on failure.
std::string finish_sha256(EVP_MD_CTX *sha);

// The lowercase hexadecimal SHA-256 of `bytes`; "" on failure.
std::string sha256_of(const std::string &bytes);

struct FileFacts {
    long long size = 0;
    std::string sha256; // lowercase hexadecimal
};

// Reads the size of the regular file at `path` into facts->size.
bool stat_file(const std::string &path, FileFacts *facts);

// Hashes the file that stat_file measured, keeping its bytes in `bytes`
// unless that is null.
bool read_file(const std::string &path, FileFacts *facts, std::string *bytes);

// The refusal of a manifest of `size` bytes, more than the bootstrapper reads.
std::string too_long(long long size);

// Applies the bootstrapper's transfer limit and manifest rules to `bytes`.
bool passes_rules(const std::string &bytes, ManifestFields *fields, ReleaseInfo *release,
                  const std::string *given_version = nullptr,
                  const std::string *given_url = nullptr);

// A signer name as reports show it: as it is when it is printable ASCII,
// otherwise quoted and escaped.
std::string shown_name(const std::string &name);

// Judges a signature that was read of `what` (a file's path, or what it
// is): accepted when it verifies, its certificate paths hold, its signer's
// display name is `publisher` byte for byte, any timestamp that it has
// verifies and, if `need_timestamp`, it has one. Fills `found` (but its
// role) and returns the fault, "" when accepted.
std::string judge_signature(const Signature &signature, const std::string &what,
                            const std::string &publisher, bool need_timestamp,
                            SignerFindings *found);

// Reads, reports (each line headed by `role`) and judges the signer and
// timestamp of the program at `path`, its certificate paths against
// `roots` (null: the topmost certificates are named); a refusal names the
// fault and then `consequence`.
bool check_signer(const char *role, const std::string &path, const std::string &publisher,
                  X509_STORE *roots, bool need_timestamp, const std::string &consequence);

// A manifest as read_manifest() read it, once it passed the rules.
struct CheckedManifest {
    std::string text;
    ManifestFields fields;
    ReleaseInfo release;
};

// Reads the manifest at `path` into `checked` and applies the
// bootstrapper's limit and rules to it; a file far beyond the limit is
// refused unread.
bool read_manifest(const std::string &path, CheckedManifest *checked);

// `check`'s checks of `manifest` and, when given, the setup program
// `setup`, with the bootstrapper `bootstrapper` ("" for none) and the
// signatures' paths against `roots` (may be null): the local
// checks that publish makes first (tarvik_manifest.cpp). Fills `checked`,
// unless it is null, once the manifest passes the rules.
bool command_check(const std::string &manifest, const std::string *setup,
                   const std::string &publisher, X509_STORE *roots,
                   const std::string &bootstrapper, CheckedManifest *checked = nullptr);

// What a setup program that fails check_signer meets.
std::string setup_refused(const std::string &publisher);

// What a setup program meets whose bootstrapper fails check_signer.
std::string bootstrapper_refused(const std::string &publisher);

// True when the last path segment of `url` holds `version` as a token.
bool url_names_version(const std::string &url, const std::string &version);
