// The checks that the tool's commands share (tarvik_manifest.cpp). Each
// function that returns a bool writes its refusal itself.
#pragma once

#include <openssl/evp.h>

#include <string>

#include "net/manifest.h"

// Writes "refused: MESSAGE" to standard error and returns false.
bool refuse(const std::string &message);

// `value` quoted for a message line.
std::string shown(const std::string &value);

// A new SHA-256 context, or null when libcrypto cannot make one.
EVP_MD_CTX *new_sha256();

// The lowercase hexadecimal digest that `sha` ends with; "" on failure.
std::string finish_sha256(EVP_MD_CTX *sha);

struct FileFacts {
    long long size = 0;
    std::string sha256; // lowercase hexadecimal
};

// Reads the size of the regular file at `path` into facts->size.
bool stat_file(const std::string &path, FileFacts *facts);

// Hashes the file that stat_file measured, keeping its bytes in `bytes`
// unless that is null.
bool read_file(const std::string &path, FileFacts *facts, std::string *bytes);

// Applies the bootstrapper's transfer limit and manifest rules to `bytes`.
bool passes_rules(const std::string &bytes, ManifestFields *fields, ReleaseInfo *release,
                  const std::string *given_version = nullptr,
                  const std::string *given_url = nullptr);

// Reports and judges the signer and timestamp of the program at `path`.
bool check_signer(const char *role, const std::string &path, const std::string &publisher,
                  bool need_timestamp, const std::string &consequence);

// What a setup program that fails check_signer meets.
std::string setup_refused(const std::string &publisher);

// True when the last path segment of `url` holds `version` as a token.
bool url_names_version(const std::string &url, const std::string &version);
