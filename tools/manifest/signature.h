// Reading the Authenticode signature of a Windows program from its
// structure, as Windows does: the PE's certificate table, its PKCS#7
// SignedData, the primary signer, its certificate, the signature's checks,
// the signer's simple display name and the RFC 3161 timestamp. No program's
// printed output is read, and no text field (the description, any name) is
// taken for structure.
//
// The certificate paths, of the signer and of the time-stamping
// authority, are judged as Windows judges them at the signing time: each
// certificate below the root valid then, each link verified with its
// issuer's key, every issuer a certificate authority, every extended key
// usage on the path allowing the use. What is left to the user's machine:
// whether the root is trusted (unless `roots` names the roots that users'
// Windows trusts), revocation, and any certificate that Windows fetches
// itself to complete a path.
#pragma once

#include <openssl/types.h>

#include <cstddef>
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

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
    SIGNATURE_PATH_REFUSED,  // the signer's certificate path is one that Windows refuses at the
                             // signing time, or it does not end at one of the given roots
};

// A certificate path, from the signer's certificate up.
struct CertificatePath {
    std::vector<std::string> names; // each certificate's name, quoted and escaped
    std::string end; // where it ends and what Windows must trust; "" unless it holds
};

struct Signature {
    SignatureState state = SIGNATURE_NONE;
    std::string detail;    // for every state but FOUND and NONE: what was found, one line
    std::string signer;    // FOUND: the signer's simple display name, UTF-8
    std::string timestamp; // the verified RFC 3161 signing time; "" for none
    std::string timestamp_fault; // why a timestamp that is present does not verify; "" if none
    bool countersigned = false;  // the timestamp is an old-style countersignature, not read here
    std::string signing_time; // what the signer's path was judged at, and whose time it is
    CertificatePath path;           // the signer's
    CertificatePath timestamp_path; // the time-stamping certificate's
    int nested = 0;        // nested signatures, reported but not judged
};

// Computes the Authenticode digest of the image that the certificate table
// belongs to with the digest `md_nid` (an OpenSSL NID) into `digest`, which
// has room for EVP_MAX_MD_SIZE bytes. Returns its length, 0 on failure.
typedef unsigned (*ImageDigest)(int md_nid, unsigned char *digest, void *context);

// Judges a certificate table, `size` bytes from `table`: its first entry
// must be a PKCS#7 SignedData. `image_digest` gives the digest of the image
// that the signature must match. The certificate paths are judged at the
// timestamp's time, or at `now` when there is no timestamp that verifies
// or the signer's certificate is for lifetime signing. With `roots` (the
// roots that users' Windows trusts), both paths must end at one of them;
// without, the topmost certificate that the signature carries is taken as
// trusted, and the path's `end` names it. Fills `signature` (never NONE).
void judge_certificate_table(const unsigned char *table, size_t size, ImageDigest image_digest,
                             void *context, time_t now, X509_STORE *roots, Signature *signature);

// Reads the signature of the PE program at `path`, judged at the current
// time against `roots` (may be null) as above. Returns false, with the
// reason written to standard error, when the file cannot be read at all;
// an image that is not a PE, or whose certificate table lies outside the
// file, is SIGNATURE_MALFORMED.
bool read_signature(const std::string &path, X509_STORE *roots, Signature *signature);

// The same for the PE program open as `file`, read from its start; false
// when its size cannot be read.
bool read_signature_file(FILE *file, X509_STORE *roots, Signature *signature);

// Loads the PEM certificates of `path` as the roots that users' Windows
// trusts. Returns null, with the reason in `fault`, when it cannot be read
// or holds no certificate.
X509_STORE *load_roots(const std::string &path, std::string *fault);
