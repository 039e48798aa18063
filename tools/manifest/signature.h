// Reading the signer and the timestamp of the Authenticode signature of a
// Windows program with the helper programs osslsigncode and openssl.
#pragma once

#include <string>

enum SignatureState {
    SIGNATURE_FOUND,      // signed; `signer` holds the signer's common name
    SIGNATURE_NONE,       // not signed
    SIGNATURE_UNREADABLE, // a signature whose signer certificate cannot be read
    SIGNATURE_ALTERED,    // the file was changed after it was signed
};

struct Signature {
    SignatureState state = SIGNATURE_NONE;
    std::string signer;    // may be empty when the certificate names no common name
    std::string timestamp; // time of the timestamp, as osslsigncode shows it; "" for none
};

// True when every helper program can be started; otherwise writes which one
// is missing to standard error and returns false.
bool helpers_installed();

// Reads the signature of the program at `path`. Returns false, with the
// reason written to standard error, when no temporary folder could be made.
bool read_signature(const std::string &path, Signature *signature);
