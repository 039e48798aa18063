// Reading the Authenticode signature of a Windows program from its
// structure, as Windows does: the PE's certificate table, its PKCS#7
// SignedData, the primary signer, its certificate, the signature's checks,
// the signer's simple display name and the RFC 3161 timestamp. No program's
// printed output is read, and no text field (the description, any name) is
// taken for structure.
//
// Trust in the certificate chain up to a root (and revocation, and the
// certificates' lifetimes) is not judged here: that stays the user's
// machine's question.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>

enum SignatureState {
    SIGNATURE_FOUND,         // verified; `signer` holds the simple display name
    SIGNATURE_NONE,          // no certificate table: not signed
    SIGNATURE_MALFORMED,     // the image, its certificate table or the signature's structure
                             // is not what Windows reads as Authenticode
    SIGNATURE_AMBIGUOUS,     // more than one certificate matches the signer's issuer and serial
    SIGNATURE_NOT_VERIFIED,  // no certificate for the signer, or its signature does not verify
    SIGNATURE_ALTERED,       // the signed digest is not the file's: changed after signing
    SIGNATURE_ALGORITHM_REFUSED, // a digest, key or signature algorithm that Windows refuses,
                                 // or that is not fit to publish
    SIGNATURE_NAME_REFUSED,  // no display name that the bootstrapper reads as Windows forms it
    SIGNATURE_DIGEST_FAILED, // a digest could not be computed here: nothing is known
};

struct Signature {
    SignatureState state = SIGNATURE_NONE;
    std::string detail;    // for every state but FOUND and NONE: what was found, one line
    std::string signer;    // FOUND: the signer's simple display name, UTF-8
    std::string timestamp; // the verified RFC 3161 signing time; "" for none
    std::string timestamp_fault; // why a timestamp that is present does not verify; "" if none
    int nested = 0;        // nested signatures, reported but not judged
};

// Computes the Authenticode digest of the image that the certificate table
// belongs to with the digest `md_nid` (an OpenSSL NID) into `digest`, which
// has room for EVP_MAX_MD_SIZE bytes. Returns its length, 0 on failure.
typedef unsigned (*ImageDigest)(int md_nid, unsigned char *digest, void *context);

// Judges a certificate table, `size` bytes from `table`: its first entry
// must be a PKCS#7 SignedData. `image_digest` gives the digest of the image
// that the signature must match. Fills `signature` (never NONE).
void judge_certificate_table(const unsigned char *table, size_t size, ImageDigest image_digest,
                             void *context, Signature *signature);

// Reads the signature of the PE program at `path`. Returns false, with the
// reason written to standard error, when the file cannot be read at all;
// an image that is not a PE, or whose certificate table lies outside the
// file, is SIGNATURE_MALFORMED.
bool read_signature(const std::string &path, Signature *signature);

// The same for the PE program open as `file`, read from its start; false
// when its size cannot be read.
bool read_signature_file(FILE *file, Signature *signature);
