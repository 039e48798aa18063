// Reading an Authenticode signature with libcrypto, from the file's bytes.
//
// The PE image names its certificate table in the security directory entry
// (a file offset and a size, not an address). The table's one entry is a
// WIN_CERTIFICATE holding a DER PKCS#7 SignedData, whose content is an
// SpcIndirectDataContent: a SEQUENCE whose second member is the DigestInfo
// of the image. Windows judges the primary signature, the one SignerInfo;
// further signatures are nested inside its unsigned attributes.
//
// OpenSSL's PKCS7 API is used rather than CMS because the signed content is
// a SEQUENCE, not an OCTET STRING. Where OpenSSL is more forgiving than
// Windows, this reader holds to what Windows does:
// - OpenSSL re-encodes the signed attributes as DER before it hashes them,
//   and compares names canonically (case, string type). Windows hashes the
//   attributes as they stand in the file, and compares the encoded issuer
//   and serial number byte for byte. So the attributes must be DER as they
//   stand (then both hash the same bytes), and the signer's certificate is
//   matched here by the encoded bytes.
// - PKCS7_get0_signers takes the first certificate that matches; a forged
//   certificate with the same issuer and serial number placed first would
//   then name the signer. Two matches are refused here.
// - A parsed PKCS#7 may lack any optional part, its signed content among
//   them; every pointer into it is checked before use.

#include "signature.h"

#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/pem.h>
#include <openssl/pkcs7.h>
#include <openssl/ts.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <vector>

#include "manifest_json.h"

namespace {

const char *const OID_SPC_INDIRECT_DATA = "1.3.6.1.4.1.311.2.1.4";
const char *const OID_NESTED_SIGNATURE = "1.3.6.1.4.1.311.2.4.1";
const char *const OID_RFC3161_TIMESTAMP = "1.3.6.1.4.1.311.3.3.1";
const char *const OID_TST_INFO = "1.2.840.113549.1.9.16.1.4";
const char *const OID_CONTENT_TYPE = "1.2.840.113549.1.9.3";
const char *const OID_COUNTERSIGNATURE = "1.2.840.113549.1.9.6";
const char *const OID_MESSAGE_DIGEST = "1.2.840.113549.1.9.4";
const char *const OID_LIFETIME_SIGNING = "1.3.6.1.4.1.311.10.3.13";
const unsigned WIN_CERT_REVISION_2_0 = 0x0200;
const unsigned WIN_CERT_TYPE_PKCS_SIGNED_DATA = 2;
// A certificate table is a few kilobytes; far more is not a signature.
const unsigned long MAX_TABLE_SIZE = 16ul << 20;
// The bootstrapper reads a signer's name into 256 UTF-16 units, and takes
// it only when it and its NUL fit with a unit to spare.
const size_t MAX_NAME_UNITS = 254;

unsigned read_u16(const unsigned char *p)
{
    return p[0] | (unsigned)p[1] << 8;
}

unsigned long read_u32(const unsigned char *p)
{
    return read_u16(p) | (unsigned long)read_u16(p + 2) << 16;
}

bool is_oid(const ASN1_OBJECT *object, const char *oid)
{
    char text[80];
    return object != nullptr && OBJ_obj2txt(text, sizeof text, object, 1) > 0 &&
           strcmp(text, oid) == 0;
}

// An algorithm's name for a message: OpenSSL's short name, or the OID.
std::string algorithm_name(const ASN1_OBJECT *object)
{
    char text[80] = "";
    int nid = OBJ_obj2nid(object);
    if (nid != NID_undef)
        return OBJ_nid2sn(nid);
    if (object == nullptr || OBJ_obj2txt(text, sizeof text, object, 1) <= 0)
        return "an unreadable algorithm";
    return text;
}

// The first attribute `oid` of `attributes`, or null.
X509_ATTRIBUTE *find_attribute(STACK_OF(X509_ATTRIBUTE) *attributes, const char *oid)
{
    for (int i = 0; i < sk_X509_ATTRIBUTE_num(attributes); i++) {
        X509_ATTRIBUTE *attribute = sk_X509_ATTRIBUTE_value(attributes, i);
        if (is_oid(X509_ATTRIBUTE_get0_object(attribute), oid))
            return attribute;
    }
    return nullptr;
}

// The values of every attribute `oid` of `attributes`, counted.
int attribute_count(STACK_OF(X509_ATTRIBUTE) *attributes, const char *oid)
{
    int count = 0;
    for (int i = 0; i < sk_X509_ATTRIBUTE_num(attributes); i++) {
        X509_ATTRIBUTE *attribute = sk_X509_ATTRIBUTE_value(attributes, i);
        if (is_oid(X509_ATTRIBUTE_get0_object(attribute), oid))
            count += X509_ATTRIBUTE_count(attribute);
    }
    return count;
}

// 1 when the `md` digest of `data` is `expected`, 0 when it is not, -1 when
// it cannot be computed.
int digest_matches(const EVP_MD *md, const unsigned char *data, size_t size,
                   const ASN1_OCTET_STRING *expected)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned length = 0;
    if (md == nullptr || EVP_Digest(data, size, digest, &length, md, nullptr) != 1)
        return -1;
    return expected != nullptr && (int)length == ASN1_STRING_length(expected) &&
           memcmp(digest, ASN1_STRING_get0_data(expected), length) == 0;
}

// True for the digests that a published signature may use. Otherwise
// writes why `what` (a digest's role) is refused.
bool digest_accepted(const ASN1_OBJECT *algorithm, const char *what, std::string *detail)
{
    int nid = OBJ_obj2nid(algorithm);
    if (nid == NID_sha256 || nid == NID_sha384 || nid == NID_sha512)
        return true;
    if (nid == NID_sha1)
        *detail = std::string(what) + " is SHA-1, which is not fit to publish: sign with SHA-256";
    else
        *detail = std::string(what) + " is " + algorithm_name(algorithm) +
                  "; only SHA-256, SHA-384 and SHA-512 are accepted";
    return false;
}

// One DER element: its tag, class, and where it and its content stand.
struct DerElement {
    int tag;
    int cls; // V_ASN1_UNIVERSAL, V_ASN1_CONTEXT_SPECIFIC, ...
    const unsigned char *start, *content, *end;
};

// Reads the definite-length DER element at *at, which must end by `end`,
// and moves *at past it. False when there is none.
bool der_next(const unsigned char **at, const unsigned char *end, DerElement *element)
{
    const unsigned char *p = *at;
    long length;
    if (p >= end)
        return false;
    int flags = ASN1_get_object(&p, &length, &element->tag, &element->cls, end - p);
    if ((flags & 0x80) != 0 || flags == 0x21 || length > end - p)
        return false;
    element->start = *at;
    element->content = p;
    element->end = p + length;
    *at = element->end;
    return true;
}

// Where the parts of a PKCS#7 SignedData that OpenSSL does not keep as
// they were stand in its DER.
struct SignedLayout {
    int signers = 0;             // SignerInfos
    bool key_identifier = false; // SignerInfo 0 names its signer by subject key identifier
    const unsigned char *attributes = nullptr; // SignerInfo 0's [0] signed attributes
    long attributes_size = 0;
};

// Walks ContentInfo { OID, [0] SignedData { ..., SET OF SignerInfo } } in
// `der`. False when that structure is not there.
bool signed_layout(const unsigned char *der, long size, SignedLayout *layout)
{
    const unsigned char *at = der;
    DerElement info, type, wrapper, data, field, signers, signer;
    if (!der_next(&at, der + size, &info))
        return false;
    at = info.content;
    if (!der_next(&at, info.end, &type) || !der_next(&at, info.end, &wrapper))
        return false;
    at = wrapper.content;
    if (!der_next(&at, wrapper.end, &data))
        return false;
    // The SignerInfos are the SignedData's last member.
    bool any = false;
    for (at = data.content; der_next(&at, data.end, &field);) {
        signers = field;
        any = true;
    }
    if (!any || signers.tag != V_ASN1_SET || signers.cls != V_ASN1_UNIVERSAL)
        return false;
    for (at = signers.content; der_next(&at, signers.end, &signer);)
        layout->signers++;
    if (layout->signers == 0)
        return true;
    // SignerInfo 0: version, signer identifier, digestAlgorithm, [0] ...
    at = signers.content;
    der_next(&at, signers.end, &signer);
    at = signer.content;
    for (int index = 0; der_next(&at, signer.end, &field) && index < 4; index++) {
        if (index == 1)
            layout->key_identifier = field.cls == V_ASN1_CONTEXT_SPECIFIC;
        if (index == 3 && field.cls == V_ASN1_CONTEXT_SPECIFIC && field.tag == 0) {
            layout->attributes = field.start;
            layout->attributes_size = field.end - field.start;
        }
    }
    return true;
}

// Parses the PKCS#7 SignedData `der` (`size` bytes), which `what` names
// in messages. Returns null, with the reason in `detail`, when it cannot
// be read or holds no signed content.
PKCS7 *parse_signed_data(const unsigned char *der, long size, const char *what,
                         std::string *detail)
{
    const unsigned char *p = der;
    PKCS7 *p7 = d2i_PKCS7(nullptr, &p, size);
    SignedLayout layout;
    if (p7 == nullptr) {
        // OpenSSL's PKCS#7 code reads only version 1 SignerInfos.
        *detail = std::string(what) +
                  (signed_layout(der, size, &layout) && layout.key_identifier
                       ? " names its signer by a subject key identifier, which this reader "
                         "cannot read"
                       : " is not a DER PKCS#7 SignedData");
    } else if (!PKCS7_type_is_signed(p7) || p7->d.sign == nullptr ||
               p7->d.sign->contents == nullptr) {
        *detail = std::string(what) + " is a PKCS#7 without signed content";
        PKCS7_free(p7);
        p7 = nullptr;
    }
    return p7;
}

// True for keys that Windows takes for a published signature, used with
// the signature algorithm `algorithm` and the digest `digest_nid`:
// RSA of at least 2,048 bits, ECDSA on P-256 or P-384.
bool key_accepted(X509 *cert, const ASN1_OBJECT *algorithm, int digest_nid, std::string *detail)
{
    EVP_PKEY *key = X509_get0_pubkey(cert);
    int type = key == nullptr ? NID_undef : EVP_PKEY_get_base_id(key);
    int used = OBJ_obj2nid(algorithm), with_digest = NID_undef;
    char group[32] = "";
    if (type == EVP_PKEY_RSA) {
        if (EVP_PKEY_get_bits(key) < 2048) {
            *detail = "the signer's RSA key has " + std::to_string(EVP_PKEY_get_bits(key)) +
                      " bits; at least 2048 are needed";
            return false;
        }
        OBJ_find_sigid_by_algs(&with_digest, digest_nid, NID_rsaEncryption);
        if (used == NID_rsaEncryption || (used == with_digest && used != NID_undef))
            return true;
    } else if (type == EVP_PKEY_EC) {
        EVP_PKEY_get_group_name(key, group, sizeof group, nullptr);
        if (strcmp(group, "prime256v1") != 0 && strcmp(group, "secp384r1") != 0) {
            *detail = "the signer's ECDSA key is on the curve " +
                      std::string(*group != 0 ? group : "(unknown)") +
                      "; only P-256 and P-384 are accepted";
            return false;
        }
        OBJ_find_sigid_by_algs(&with_digest, digest_nid, NID_X9_62_id_ecPublicKey);
        if (used == NID_X9_62_id_ecPublicKey || (used == with_digest && used != NID_undef))
            return true;
    } else {
        *detail = "the signer's key is neither RSA nor ECDSA";
        return false;
    }
    *detail = "the signature algorithm " + algorithm_name(algorithm) +
              " does not fit the signer's key and digest";
    return false;
}

// True when `cert` may sign code as Windows sees it: an extended key usage,
// when it has one, that names codeSigning, and a key usage, when it has
// one, that allows digitalSignature.
bool for_code_signing(X509 *cert)
{
    uint32_t flags = X509_get_extension_flags(cert);
    return ((flags & EXFLAG_XKUSAGE) == 0 || (X509_get_extended_key_usage(cert) & XKU_CODE_SIGN)) &&
           ((flags & EXFLAG_KUSAGE) == 0 || (X509_get_key_usage(cert) & KU_DIGITAL_SIGNATURE));
}

// The one certificate of `certs` with the issuer and serial number of
// `id`, compared as encoded; `*matches` counts the different ones.
X509 *find_signer_certificate(STACK_OF(X509) *certs, const PKCS7_ISSUER_AND_SERIAL *id,
                              int *matches)
{
    const unsigned char *issuer, *other;
    size_t issuer_size, other_size;
    X509 *match = nullptr;
    *matches = 0;
    if (X509_NAME_get0_der(id->issuer, &issuer, &issuer_size) != 1)
        return nullptr;
    for (int i = 0; i < sk_X509_num(certs); i++) {
        X509 *cert = sk_X509_value(certs, i);
        if (X509_NAME_get0_der(X509_get_issuer_name(cert), &other, &other_size) == 1 &&
            other_size == issuer_size && memcmp(other, issuer, issuer_size) == 0 &&
            ASN1_STRING_cmp(X509_get0_serialNumber(cert), id->serial) == 0 &&
            (match == nullptr || X509_cmp(match, cert) != 0)) {
            // The same certificate listed twice is one certificate.
            match = cert;
            ++*matches;
        }
    }
    return match;
}

// The bytes that the signature over the signed attributes covers, when
// they stand in the file as DER: the file's [0] element with its tag read
// as SET OF, equal to OpenSSL's encoding, so that OpenSSL and Windows hash
// the same bytes. False when they do not.
bool attributes_as_stored(PKCS7_SIGNER_INFO *si, const SignedLayout &layout,
                          std::vector<unsigned char> *covered)
{
    unsigned char *encoded = nullptr;
    int length = ASN1_item_i2d((ASN1_VALUE *)si->auth_attr, &encoded,
                               ASN1_ITEM_rptr(PKCS7_ATTR_VERIFY));
    bool same = length > 0 && length == layout.attributes_size && encoded[0] == 0x31 &&
                memcmp(encoded + 1, layout.attributes + 1, (size_t)length - 1) == 0;
    if (same)
        covered->assign(encoded, encoded + length);
    OPENSSL_free(encoded);
    return same;
}

// 1 when the signature value of `si` verifies over `covered` with the key
// of `cert` and the digest `md`, 0 when it does not, -1 when it cannot be
// checked.
int signature_verifies(PKCS7_SIGNER_INFO *si, X509 *cert, const EVP_MD *md,
                       const std::vector<unsigned char> &covered)
{
    EVP_MD_CTX *verify = EVP_MD_CTX_new();
    int result = -1;
    if (verify != nullptr &&
        EVP_DigestVerifyInit(verify, nullptr, md, nullptr, X509_get0_pubkey(cert)) == 1)
        result = EVP_DigestVerify(verify, ASN1_STRING_get0_data(si->enc_digest),
                                  (size_t)ASN1_STRING_length(si->enc_digest), covered.data(),
                                  covered.size()) == 1;
    EVP_MD_CTX_free(verify);
    return result;
}

// The one signer of a SignedData, once verified.
struct Signer {
    PKCS7_SIGNER_INFO *info;
    X509 *cert; // owned by the SignedData
};

// Verifies the one SignerInfo of the SignedData `p7`, parsed from `der`
// (`size` bytes), over `content`: its signed attributes as DER, naming the
// content type `content_type` and one message digest, which must be the
// content's; an accepted digest; the one certificate of p7 with the
// signer's issuer and serial number, with an accepted key that verifies
// the signature over the attributes. Fills `signer` on SIGNATURE_FOUND.
SignatureState verify_signed_data(PKCS7 *p7, const unsigned char *der, long size,
                                  const char *content_type, const unsigned char *content,
                                  size_t content_size, Signer *signer, std::string *detail)
{
    SignedLayout layout;
    STACK_OF(PKCS7_SIGNER_INFO) *infos = PKCS7_get_signer_info(p7);
    if (!signed_layout(der, size, &layout)) {
        // OpenSSL also reads indefinite lengths, which this walk does not.
        *detail = "the SignedData is not DER";
        return SIGNATURE_MALFORMED;
    }
    if (layout.signers != 1 || sk_PKCS7_SIGNER_INFO_num(infos) != 1) {
        *detail = std::to_string(layout.signers) + " SignerInfos where Authenticode has one";
        return SIGNATURE_MALFORMED;
    }
    PKCS7_SIGNER_INFO *si = sk_PKCS7_SIGNER_INFO_value(infos, 0);
    std::vector<unsigned char> covered;
    if (si->auth_attr == nullptr || layout.attributes == nullptr) {
        *detail = "the signer has no signed attributes";
        return SIGNATURE_MALFORMED;
    }
    if (!attributes_as_stored(si, layout, &covered)) {
        *detail = "the signed attributes are not DER as they stand in the file, so Windows "
                  "would hash other bytes than these";
        return SIGNATURE_MALFORMED;
    }
    X509_ATTRIBUTE *type = find_attribute(si->auth_attr, OID_CONTENT_TYPE);
    ASN1_TYPE *type_value = type == nullptr ? nullptr : X509_ATTRIBUTE_get0_type(type, 0);
    if (attribute_count(si->auth_attr, OID_CONTENT_TYPE) != 1 || type_value == nullptr ||
        type_value->type != V_ASN1_OBJECT || !is_oid(type_value->value.object, content_type)) {
        *detail = std::string("the signed attributes do not name the content type ") +
                  content_type + " once";
        return SIGNATURE_MALFORMED;
    }
    if (attribute_count(si->auth_attr, OID_MESSAGE_DIGEST) != 1) {
        *detail = "the signed attributes do not hold one message digest";
        return SIGNATURE_MALFORMED;
    }
    if (!digest_accepted(si->digest_alg->algorithm, "the signer's digest", detail))
        return SIGNATURE_ALGORITHM_REFUSED;
    int matches;
    X509 *cert = find_signer_certificate(p7->d.sign->cert, si->issuer_and_serial, &matches);
    if (matches > 1) {
        // A forged certificate may even carry the real signer's key: no
        // choice between them is safe.
        *detail = std::to_string(matches) +
                  " certificates match the signer's issuer and serial number";
        return SIGNATURE_AMBIGUOUS;
    }
    if (cert == nullptr) {
        *detail = "no certificate matches the signer's issuer and serial number";
        return SIGNATURE_NOT_VERIFIED;
    }
    const EVP_MD *md = EVP_get_digestbyobj(si->digest_alg->algorithm);
    int digest = digest_matches(md, content, content_size,
                                PKCS7_digest_from_attributes(si->auth_attr));
    if (digest != 1) {
        *detail = digest < 0 ? "the signed content's digest cannot be computed"
                             : "the signed attributes do not match the signed content";
        return digest < 0 ? SIGNATURE_DIGEST_FAILED : SIGNATURE_NOT_VERIFIED;
    }
    if (!key_accepted(cert, si->digest_enc_alg->algorithm, EVP_MD_get_type(md), detail))
        return SIGNATURE_ALGORITHM_REFUSED;
    int verified = signature_verifies(si, cert, md, covered);
    if (verified != 1) {
        *detail = verified < 0 ? "the signature value cannot be checked here"
                               : "the signature value does not verify with the signer "
                                 "certificate's key";
        return verified < 0 ? SIGNATURE_DIGEST_FAILED : SIGNATURE_NOT_VERIFIED;
    }
    *signer = Signer{si, cert};
    return SIGNATURE_FOUND;
}

// True for well-formed UTF-8 without overlong forms, surrogates or values
// beyond U+10FFFF. Counts the UTF-16 units it makes into `*units`.
bool valid_utf8(const unsigned char *text, size_t size, size_t *units)
{
    *units = 0;
    for (size_t i = 0; i < size;) {
        unsigned c = text[i];
        size_t extra = c < 0x80 ? 0 : (c & 0xE0) == 0xC0 ? 1 : (c & 0xF0) == 0xE0 ? 2
                                    : (c & 0xF8) == 0xF0 ? 3 : 4;
        if (extra == 4 || i + extra >= size)
            return false;
        unsigned long value = extra == 0 ? c : c & (0x3F >> extra);
        for (size_t k = 1; k <= extra; k++) {
            if ((text[i + k] & 0xC0) != 0x80)
                return false;
            value = value << 6 | (text[i + k] & 0x3F);
        }
        static const unsigned long LEAST[] = {0, 0x80, 0x800, 0x10000};
        if (value < LEAST[extra] || value > 0x10FFFF || (value >= 0xD800 && value < 0xE000))
            return false;
        *units += value > 0xFFFF ? 2 : 1;
        i += extra + 1;
    }
    return true;
}

// One name value as Windows shows it, in UTF-8: a T61String read as UTF-8
// when it is valid UTF-8 (and as 8-bit text otherwise), every other string
// type by libcrypto's conversion, which refuses what is not text. Refuses
// a name that is empty, holds a NUL, or is too long for the bootstrapper.
SignatureState name_text(const ASN1_STRING *value, std::string *name, std::string *detail)
{
    unsigned char *text = nullptr;
    size_t units = 0;
    int length;
    if (ASN1_STRING_type(value) == V_ASN1_T61STRING &&
        valid_utf8(ASN1_STRING_get0_data(value), (size_t)ASN1_STRING_length(value), &units)) {
        length = ASN1_STRING_length(value);
        text = (unsigned char *)OPENSSL_memdup(ASN1_STRING_get0_data(value), (size_t)length);
    } else {
        length = ASN1_STRING_to_UTF8(&text, value);
    }
    const void *nul = length > 0 && text != nullptr ? memchr(text, 0, (size_t)length) : nullptr;
    SignatureState state = SIGNATURE_NAME_REFUSED;
    if (length <= 0 || text == nullptr)
        *detail = length == 0 ? "the signer's name is empty" : "the signer's name is not text";
    else if (nul != nullptr)
        *detail = "the signer's name holds a NUL at offset " +
                  std::to_string((const unsigned char *)nul - text);
    else if (!valid_utf8(text, (size_t)length, &units))
        *detail = "the signer's name is not valid UTF-8";
    else if (units > MAX_NAME_UNITS)
        *detail = "the signer's name is " + std::to_string(units) +
                  " UTF-16 units; the bootstrapper reads at most " +
                  std::to_string(MAX_NAME_UNITS);
    else {
        name->assign((const char *)text, (size_t)length);
        state = SIGNATURE_FOUND;
    }
    OPENSSL_free(text);
    return state;
}

// The e-mail address of the subject alternative name of `cert`, when it
// names exactly one: SIGNATURE_FOUND with it in `name`; SIGNATURE_NONE when
// it names none.
SignatureState alternative_email(X509 *cert, std::string *name, std::string *detail)
{
    int critical = 0;
    GENERAL_NAMES *names =
        (GENERAL_NAMES *)X509_get_ext_d2i(cert, NID_subject_alt_name, &critical, nullptr);
    const ASN1_IA5STRING *email = nullptr;
    int emails = 0;
    for (int i = 0; i < sk_GENERAL_NAME_num(names); i++) {
        GENERAL_NAME *entry = sk_GENERAL_NAME_value(names, i);
        if (entry->type == GEN_EMAIL) {
            email = entry->d.rfc822Name;
            emails++;
        }
    }
    SignatureState state = SIGNATURE_NONE;
    if (emails > 1 || critical == -2) {
        *detail = "the signer's alternative name is ambiguous: which e-mail address Windows "
                  "shows is not known";
        state = SIGNATURE_NAME_REFUSED;
    } else if (emails == 1) {
        state = name_text(email, name, detail);
    }
    GENERAL_NAMES_free(names);
    return state;
}

// The simple display name as Windows forms it: the value of the common
// name, else the organisational unit, organisation or e-mail address, else
// the subject alternative name's e-mail address, else the subject's first
// attribute. More than one value of the type that decides is refused:
// which of them Windows shows is not documented (Wine shows the first).
SignatureState display_name(X509 *cert, std::string *name, std::string *detail)
{
    static const struct {
        int nid;
        const char *what;
    } FIELDS[] = {{NID_commonName, "common names"},
                  {NID_organizationalUnitName, "organisational units"},
                  {NID_organizationName, "organisations"},
                  {NID_pkcs9_emailAddress, "e-mail addresses"}};
    X509_NAME *subject = X509_get_subject_name(cert);
    for (const auto &field : FIELDS) {
        int index = X509_NAME_get_index_by_NID(subject, field.nid, -1);
        if (index < 0)
            continue;
        if (X509_NAME_get_index_by_NID(subject, field.nid, index) >= 0) {
            *detail = std::string("the signer's name is ambiguous: its subject holds more than "
                                  "one of its ") +
                      field.what + ", and which one Windows shows is not known";
            return SIGNATURE_NAME_REFUSED;
        }
        return name_text(X509_NAME_ENTRY_get_data(X509_NAME_get_entry(subject, index)), name,
                         detail);
    }
    SignatureState state = alternative_email(cert, name, detail);
    if (state != SIGNATURE_NONE)
        return state;
    if (X509_NAME_entry_count(subject) > 0)
        return name_text(X509_NAME_ENTRY_get_data(X509_NAME_get_entry(subject, 0)), name, detail);
    *detail = "the signer certificate has an empty subject and no alternative e-mail address";
    return SIGNATURE_NAME_REFUSED;
}

// A certificate's name for messages: its first common name, else its first
// attribute, escaped, in single quotes.
std::string label(const X509_NAME *name)
{
    int index = X509_NAME_get_index_by_NID(name, NID_commonName, -1);
    X509_NAME_ENTRY *entry = X509_NAME_get_entry(name, index >= 0 ? index : 0);
    unsigned char *text = nullptr;
    int length =
        entry == nullptr ? -1 : ASN1_STRING_to_UTF8(&text, X509_NAME_ENTRY_get_data(entry));
    std::string shown = length < 0 ? "(no readable name)"
                                   : escaped(std::string((char *)text, (size_t)length));
    OPENSSL_free(text);
    return "'" + shown + "'";
}

// `time` as the reports print times ("Jan  1 00:00:00 2021 GMT"); "" when
// it cannot be read.
std::string time_text(const ASN1_TIME *time)
{
    BIO *text = BIO_new(BIO_s_mem());
    char *data = nullptr;
    long length = text != nullptr && time != nullptr && ASN1_TIME_print(text, time) == 1
                      ? BIO_get_mem_data(text, &data) : 0;
    std::string printed = length > 0 ? std::string(data, (size_t)length) : "";
    BIO_free(text);
    return printed;
}

std::string time_text(time_t when)
{
    ASN1_TIME *time = ASN1_TIME_set(nullptr, when);
    std::string printed = time_text(time);
    ASN1_TIME_free(time);
    return printed;
}

// True when `cert` has the lifetime-signing usage: a signature by it
// expires with the certificate, timestamp or not.
bool for_lifetime_signing(X509 *cert)
{
    EXTENDED_KEY_USAGE *usages =
        (EXTENDED_KEY_USAGE *)X509_get_ext_d2i(cert, NID_ext_key_usage, nullptr, nullptr);
    bool found = false;
    for (int i = 0; i < sk_ASN1_OBJECT_num(usages); i++)
        found = found || is_oid(sk_ASN1_OBJECT_value(usages, i), OID_LIFETIME_SIGNING);
    EXTENDED_KEY_USAGE_free(usages);
    return found;
}

// What a certificate path is judged for.
struct PathRole {
    const char *leaf;  // its first certificate, in messages
    const char *path;  // the path, in messages
    uint32_t usage;    // the extended key usage that each certificate must allow
    const char *usage_name;
};

const PathRole SIGNER_PATH = {"the signer's certificate", "the signer's path", XKU_CODE_SIGN,
                              "codeSigning"};
const PathRole TIMESTAMP_PATH = {"the time-stamping certificate", "the timestamp's path",
                                 XKU_TIMESTAMP, "timeStamping"};

// The certificate named `name`, `depth` steps above the first of a path
// judged as `role`, in messages.
std::string path_member(const PathRole &role, int depth, const std::string &name)
{
    return depth == 0 ? std::string(role.leaf) + " " + name
                      : "the certificate " + name + " in " + role.path;
}

bool self_issued(X509 *cert)
{
    return X509_check_issued(cert, cert) == X509_V_OK;
}

// OpenSSL checks the dates of the root too; Windows does not refuse a path
// for an expired root, so that one error is let through.
int let_expired_root_through(int ok, X509_STORE_CTX *context)
{
    X509 *cert = X509_STORE_CTX_get_current_cert(context);
    return ok || (X509_STORE_CTX_get_error(context) == X509_V_ERR_CERT_HAS_EXPIRED &&
                  X509_STORE_CTX_get_error_depth(context) ==
                      sk_X509_num(X509_STORE_CTX_get0_chain(context)) - 1 &&
                  cert != nullptr && self_issued(cert));
}

// The topmost certificate of the path from `cert` up through `carried`:
// a root, or the last one whose issuer the signature does not carry.
X509 *topmost(X509 *cert, STACK_OF(X509) *carried)
{
    // A path longer than the certificates carried has a loop.
    for (int steps = 0; steps <= sk_X509_num(carried) && !self_issued(cert); steps++) {
        X509 *issuer = nullptr;
        for (int i = 0; i < sk_X509_num(carried) && issuer == nullptr; i++)
            if (X509_check_issued(sk_X509_value(carried, i), cert) == X509_V_OK)
                issuer = sk_X509_value(carried, i);
        if (issuer == nullptr)
            break;
        cert = issuer;
    }
    return cert;
}

// True when one of `certs` has the subject `name`.
bool carries_name(STACK_OF(X509) *certs, const X509_NAME *name)
{
    for (int i = 0; i < sk_X509_num(certs); i++)
        if (X509_NAME_cmp(X509_get_subject_name(sk_X509_value(certs, i)), name) == 0)
            return true;
    return false;
}

// Why a path that OpenSSL refused with `error` at the certificate `cert`,
// `depth` steps above the first, with the certificates `carried`, is
// refused, judged at `judged_at` (the time with its source).
std::string path_error(int error, X509 *cert, int depth, STACK_OF(X509) *carried,
                       const std::string &judged_at, const PathRole &role)
{
    std::string name = label(X509_get_subject_name(cert)), who = path_member(role, depth, name);
    std::string issuer = label(X509_get_issuer_name(cert));
    std::string period = "; it is valid from " + time_text(X509_get0_notBefore(cert)) + " to " +
                         time_text(X509_get0_notAfter(cert));
    switch (error) {
    case X509_V_ERR_CERT_HAS_EXPIRED:
        return who + " expired on " + time_text(X509_get0_notAfter(cert)) + ", before " +
               judged_at + period;
    case X509_V_ERR_CERT_NOT_YET_VALID:
        return who + " was not yet valid at " + judged_at + period;
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
        return who + " is issued by " + issuer + ", which the signature " +
               (carries_name(carried, X509_get_issuer_name(cert)) ? "carries only with another key"
                                                                   : "does not carry") +
               " and which is none of the given roots: if it is an intermediate certificate, "
               "Windows must fetch it itself from the AIA address of " + name +
               ", so whether users trust the signature depends on their machine; sign with the "
               "whole chain";
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
        return std::string(role.path) + " ends at the root " + name +
               ", which is none of the given roots";
    case X509_V_ERR_CERT_SIGNATURE_FAILURE:
        return who + " does not verify with the key of its issuer " + issuer;
    case X509_V_ERR_INVALID_CA:
    case X509_V_ERR_KEYUSAGE_NO_CERTSIGN:
        return who + " issues a certificate of the path but is not a certificate authority (basic "
               "constraints, and keyCertSign where it has a key usage)";
    case X509_V_ERR_PATH_LENGTH_EXCEEDED:
        return who + " allows a shorter path below it than this one";
    }
    return who + ": " + X509_verify_cert_error_string(error);
}

// Why the path from `cert` up through the certificates `carried`, judged
// at `when` (`judged_at` in words) against `roots`, is refused as `role`:
// "" when it holds. Fills `path`.
std::string path_fault(X509 *cert, STACK_OF(X509) *carried, time_t when,
                       const std::string &judged_at, X509_STORE *roots, const PathRole &role,
                       CertificatePath *path)
{
    // Without the users' roots, the topmost certificate found is trusted,
    // so that only its issuer's trust is left to Windows.
    X509_STORE *store = roots != nullptr ? roots : X509_STORE_new();
    X509_STORE_CTX *context = X509_STORE_CTX_new();
    std::string fault = "the certificate path cannot be checked here";
    if (store == nullptr || context == nullptr ||
        (roots == nullptr && X509_STORE_add_cert(store, topmost(cert, carried)) != 1) ||
        X509_STORE_CTX_init(context, store, cert, carried) != 1)
        goto done;
    if (roots == nullptr)
        X509_STORE_CTX_set_flags(context, X509_V_FLAG_PARTIAL_CHAIN);
    X509_STORE_CTX_set_time(context, 0, when);
    X509_STORE_CTX_set_verify_cb(context, let_expired_root_through);
    {
        bool verified = X509_verify_cert(context) == 1;
        STACK_OF(X509) *chain = X509_STORE_CTX_get0_chain(context);
        for (int i = 0; i < sk_X509_num(chain); i++)
            path->names.push_back(label(X509_get_subject_name(sk_X509_value(chain, i))));
        X509 *failed = X509_STORE_CTX_get_current_cert(context);
        int error = X509_STORE_CTX_get_error(context);
        fault = verified ? ""
                : failed != nullptr
                    ? path_error(error, failed, X509_STORE_CTX_get_error_depth(context), carried,
                                 judged_at, role)
                    : std::string(role.path) + " does not verify: " +
                          X509_verify_cert_error_string(error);
        // Windows intersects the extended key usages along the path.
        for (int i = 0; i < sk_X509_num(chain) && fault.empty(); i++) {
            X509 *link = sk_X509_value(chain, i);
            if ((X509_get_extension_flags(link) & EXFLAG_XKUSAGE) != 0 &&
                (X509_get_extended_key_usage(link) & role.usage) == 0)
                fault = path_member(role, i, path->names[i]) +
                        " has an extended key usage without " + role.usage_name +
                        ", and Windows allows a path only the usages that all its certificates "
                        "allow";
        }
        X509 *top = sk_X509_value(chain, sk_X509_num(chain) - 1);
        if (fault.empty())
            path->end = roots != nullptr ? "ends at " + path->names.back() +
                                               ", one of the given roots"
                        : self_issued(top) ? "ends at the root " + path->names.back() +
                                                 ", which Windows must trust"
                                           : "ends at " + path->names.back() + ", issued by " +
                                                 label(X509_get_issuer_name(top)) +
                                                 ", which Windows must trust";
    }
done:
    X509_STORE_CTX_free(context);
    if (store != roots)
        X509_STORE_free(store);
    return fault;
}

// The content octets of the DER element at `data` (its tag and length
// skipped), or null. `*size` is the element's size on entry, the content's
// on return.
const unsigned char *der_content(const unsigned char *data, long *size)
{
    DerElement element;
    const unsigned char *at = data;
    if (!der_next(&at, data + *size, &element))
        return nullptr;
    *size = element.end - element.content;
    return element.content;
}

// Why the TSTInfo `info` does not stamp the signature value of `si`, or
// "" when it does: its message imprint, with an accepted digest, must be
// the digest of that value. Sets `*time` to its time as printed, `*when`
// to the same as a time.
std::string imprint_fault(TS_TST_INFO *info, PKCS7_SIGNER_INFO *si, std::string *time,
                          time_t *when)
{
    TS_MSG_IMPRINT *imprint = TS_TST_INFO_get_msg_imprint(info);
    const ASN1_OBJECT *algorithm = TS_MSG_IMPRINT_get_algo(imprint)->algorithm;
    std::string fault;
    if (!digest_accepted(algorithm, "the timestamp's imprint", &fault))
        return fault;
    int match = digest_matches(EVP_get_digestbyobj(algorithm), ASN1_STRING_get0_data(si->enc_digest),
                               (size_t)ASN1_STRING_length(si->enc_digest),
                               TS_MSG_IMPRINT_get_msg(imprint));
    if (match != 1)
        return match < 0 ? "the timestamp's imprint cannot be computed"
                         : "the timestamp is for another signature";
    struct tm parts = {};
    *time = time_text(TS_TST_INFO_get_time(info));
    if (time->empty() || ASN1_TIME_to_tm(TS_TST_INFO_get_time(info), &parts) != 1)
        return "the timestamp's time cannot be read";
    *when = timegm(&parts);
    return "";
}

// Why the RFC 3161 token `token`, parsed from `der` (`size` bytes), does
// not stamp the primary signer `si`, or "" when it does: a SignedData over
// a TSTInfo, held to the primary signature's rules and signed by a
// time-stamping certificate whose path holds at the timestamp's own time.
// Fills `signature`'s timestamp and its path; `*when` is its time.
std::string token_fault(PKCS7 *token, const unsigned char *der, long size, PKCS7_SIGNER_INFO *si,
                        X509_STORE *roots, Signature *signature, time_t *when)
{
    PKCS7 *inner = token->d.sign->contents;
    ASN1_TYPE *content = is_oid(inner->type, OID_TST_INFO) ? inner->d.other : nullptr;
    if (content == nullptr || content->type != V_ASN1_OCTET_STRING)
        return "the timestamp holds no TSTInfo";
    const unsigned char *octets = content->value.octet_string->data;
    long octets_size = content->value.octet_string->length;
    Signer tsa = {};
    std::string detail;
    if (verify_signed_data(token, der, size, OID_TST_INFO, octets, (size_t)octets_size, &tsa,
                           &detail) != SIGNATURE_FOUND)
        return "the timestamp's signature does not verify: " + detail;
    // timeStamping as the only extended key usage, marked critical: a
    // certificate without any would pass for every purpose, the signer's
    // own among them.
    if (X509_check_purpose(tsa.cert, X509_PURPOSE_TIMESTAMP_SIGN, 0) != 1)
        return "the timestamp's certificate is not for time-stamping (its only extended key "
               "usage must be timeStamping, marked critical)";
    TS_TST_INFO *info = d2i_TS_TST_INFO(nullptr, &octets, octets_size);
    std::string time;
    std::string fault = info == nullptr ? "the timestamp's TSTInfo cannot be read"
                                        : imprint_fault(info, si, &time, when);
    TS_TST_INFO_free(info);
    if (fault.empty())
        fault = path_fault(tsa.cert, token->d.sign->cert, *when, "the timestamp's time " + time,
                           roots, TIMESTAMP_PATH, &signature->timestamp_path);
    if (fault.empty())
        signature->timestamp = time;
    return fault;
}

// Judges the timestamp among the unsigned attributes of the primary signer
// `si` into `signature`: its time, or why one that is there does not
// verify. True when one verifies, with its time in `*when`.
bool judge_timestamp(PKCS7_SIGNER_INFO *si, X509_STORE *roots, Signature *signature,
                     time_t *when)
{
    X509_ATTRIBUTE *attribute = find_attribute(si->unauth_attr, OID_RFC3161_TIMESTAMP);
    ASN1_TYPE *value = attribute == nullptr ? nullptr : X509_ATTRIBUTE_get0_type(attribute, 0);
    std::string &fault = signature->timestamp_fault;
    PKCS7 *token = nullptr;
    // Windows checks an old-style countersignature; this reader cannot, so
    // it is not taken on trust.
    signature->countersigned = attribute == nullptr &&
                               find_attribute(si->unauth_attr, OID_COUNTERSIGNATURE) != nullptr;
    if (signature->countersigned) {
        fault = "the timestamp is an old-style countersignature, which this reader does not "
                "read and Windows would check: timestamp with RFC 3161";
    } else if (attribute != nullptr && (value == nullptr || value->type != V_ASN1_SEQUENCE)) {
        fault = "the timestamp is not an RFC 3161 token";
    } else if (attribute != nullptr) {
        const unsigned char *der = value->value.sequence->data;
        long size = value->value.sequence->length;
        token = parse_signed_data(der, size, "the timestamp", &fault);
        if (token != nullptr)
            fault = token_fault(token, der, size, si, roots, signature, when);
    }
    PKCS7_free(token);
    return !signature->timestamp.empty();
}

// Judges the primary signature: the PKCS#7 SignedData `der` (`size` bytes),
// with its certificate paths at the signing time (`now` without a
// timestamp) against `roots`.
void judge_pkcs7(const unsigned char *der, long size, ImageDigest image_digest, void *context,
                 time_t now, X509_STORE *roots, Signature *signature)
{
    std::string &detail = signature->detail;
    signature->state = SIGNATURE_MALFORMED;
    PKCS7 *p7 = parse_signed_data(der, size, "the signature", &detail);
    if (p7 == nullptr)
        return;
    PKCS7 *inner = p7->d.sign->contents;
    ASN1_TYPE *indirect = is_oid(inner->type, OID_SPC_INDIRECT_DATA) ? inner->d.other : nullptr;
    // The message digest covers the SpcIndirectDataContent without its own
    // tag and length; its second member is the image's DigestInfo.
    long content_size = indirect != nullptr && indirect->type == V_ASN1_SEQUENCE
                            ? indirect->value.sequence->length : 0;
    const unsigned char *content =
        content_size > 0 ? der_content(indirect->value.sequence->data, &content_size) : nullptr;
    long first = content_size;
    const unsigned char *after = content == nullptr ? nullptr : der_content(content, &first);
    const unsigned char *digest_info = after == nullptr ? nullptr : after + first;
    X509_SIG *signed_digest =
        digest_info == nullptr ? nullptr
                               : d2i_X509_SIG(nullptr, &digest_info,
                                              content_size - (digest_info - content));
    const X509_ALGOR *algorithm = nullptr;
    const ASN1_OCTET_STRING *expected = nullptr;
    Signer signer = {};
    if (signed_digest == nullptr) {
        detail = indirect == nullptr ? "the signature is not an Authenticode SignedData"
                                     : "the signed content holds no image digest";
    } else {
        X509_SIG_get0(signed_digest, &algorithm, &expected);
        PKCS7_SIGNER_INFO *first = sk_PKCS7_SIGNER_INFO_value(PKCS7_get_signer_info(p7), 0);
        signature->nested =
            first == nullptr ? 0 : attribute_count(first->unauth_attr, OID_NESTED_SIGNATURE);
        signature->state = verify_signed_data(p7, der, size, OID_SPC_INDIRECT_DATA, content,
                                              (size_t)content_size, &signer, &detail);
    }
    if (signature->state == SIGNATURE_FOUND &&
        !digest_accepted(algorithm->algorithm, "the image digest", &detail)) {
        signature->state = SIGNATURE_ALGORITHM_REFUSED;
    } else if (signature->state == SIGNATURE_FOUND &&
               OBJ_cmp(algorithm->algorithm, signer.info->digest_alg->algorithm) != 0) {
        // Authenticode digests the image and the signed content alike.
        signature->state = SIGNATURE_ALGORITHM_REFUSED;
        detail = "the image digest is " + algorithm_name(algorithm->algorithm) +
                 " and the signer's " + algorithm_name(signer.info->digest_alg->algorithm) +
                 "; Authenticode uses one digest for both";
    }
    if (signature->state == SIGNATURE_FOUND) {
        unsigned char digest[EVP_MAX_MD_SIZE];
        unsigned length = image_digest(OBJ_obj2nid(algorithm->algorithm), digest, context);
        if (length == 0) {
            signature->state = SIGNATURE_DIGEST_FAILED;
            detail = "the image digest cannot be computed";
        } else if ((int)length != ASN1_STRING_length(expected) ||
                   memcmp(digest, ASN1_STRING_get0_data(expected), length) != 0) {
            signature->state = SIGNATURE_ALTERED;
            detail = "the signed image digest is not the file's";
        }
    }
    if (signature->state == SIGNATURE_FOUND && !for_code_signing(signer.cert)) {
        signature->state = SIGNATURE_NOT_VERIFIED;
        detail = "the signer certificate is not for code signing (its extended key usage lacks "
                 "codeSigning, or its key usage digitalSignature)";
    }
    if (signature->state == SIGNATURE_FOUND)
        signature->state = display_name(signer.cert, &signature->signer, &detail);
    // The signing time: the timestamp's, unless there is none that
    // verifies, or the certificate is for lifetime signing. A signing-time
    // attribute is only the signer's own claim, which Windows does not use.
    if (signature->state == SIGNATURE_FOUND) {
        time_t stamped = now;
        bool timestamped = judge_timestamp(signer.info, roots, signature, &stamped);
        bool lifetime = for_lifetime_signing(signer.cert);
        time_t when = timestamped && !lifetime ? stamped : now;
        signature->signing_time =
            time_text(when) + (timestamped && !lifetime ? " (the timestamp's)"
                               : lifetime ? " (the current time: the signer's certificate is "
                                            "for lifetime signing)"
                                          : " (the current time: there is no timestamp that "
                                            "verifies)");
        detail = path_fault(signer.cert, p7->d.sign->cert, when,
                            "the signing time " + signature->signing_time, roots, SIGNER_PATH,
                            &signature->path);
        if (!detail.empty())
            signature->state = SIGNATURE_PATH_REFUSED;
    }
    X509_SIG_free(signed_digest);
    PKCS7_free(p7);
}

// The file whose image digest is computed, with the parts that it leaves
// out: the checksum, the security directory entry and the certificate table.
struct ImageFile {
    FILE *file;
    unsigned long checksum;
    unsigned long security_entry;
    unsigned long table_offset;
};

unsigned digest_image_file(int md_nid, unsigned char *digest, void *context)
{
    const ImageFile *image = (const ImageFile *)context;
    const EVP_MD *md = EVP_get_digestbynid(md_nid);
    EVP_MD_CTX *hash = EVP_MD_CTX_new();
    const unsigned long ranges[][2] = {{0, image->checksum},
                                       {image->checksum + 4, image->security_entry},
                                       {image->security_entry + 8, image->table_offset}};
    bool good = md != nullptr && hash != nullptr && EVP_DigestInit_ex(hash, md, nullptr) == 1;
    static unsigned char buffer[65536];
    for (const auto &range : ranges) {
        good = good && fseek(image->file, (long)range[0], SEEK_SET) == 0;
        for (unsigned long left = range[1] - range[0]; good && left > 0;) {
            size_t piece = left < sizeof buffer ? left : sizeof buffer;
            good = fread(buffer, 1, piece, image->file) == piece &&
                   EVP_DigestUpdate(hash, buffer, piece) == 1;
            left -= piece;
        }
    }
    unsigned length = 0;
    if (!good || EVP_DigestFinal_ex(hash, digest, &length) != 1)
        length = 0;
    EVP_MD_CTX_free(hash);
    return length;
}

bool read_at(FILE *file, unsigned long offset, unsigned char *out, size_t size)
{
    return fseek(file, (long)offset, SEEK_SET) == 0 && fread(out, 1, size, file) == size;
}

// Finds the certificate table of the PE image in `file` (`file_size`
// bytes). Returns SIGNATURE_FOUND with `image` filled, SIGNATURE_NONE for
// an image without one, or SIGNATURE_MALFORMED with the detail.
SignatureState find_table(FILE *file, unsigned long file_size, ImageFile *image,
                          unsigned long *table_size, std::string *detail)
{
    unsigned char header[0x40], pe[24], optional[2], entry[8];
    unsigned long at;
    if (!read_at(file, 0, header, sizeof header) || header[0] != 'M' || header[1] != 'Z' ||
        (at = read_u32(header + 0x3C)) > file_size - sizeof pe || !read_at(file, at, pe, sizeof pe) ||
        memcmp(pe, "PE\0\0", 4) != 0 || !read_at(file, at + 24, optional, 2)) {
        *detail = "the file is not a complete PE image";
        return SIGNATURE_MALFORMED;
    }
    unsigned long optional_start = at + 24, optional_size = read_u16(pe + 20);
    unsigned magic = read_u16(optional);
    unsigned long directories = optional_start + (magic == 0x20B ? 112 : 96);
    unsigned char count[4];
    if ((magic != 0x10B && magic != 0x20B) || optional_start + optional_size > file_size ||
        directories > optional_start + optional_size ||
        !read_at(file, directories - 4, count, 4)) {
        *detail = "the file's optional header is not a PE32 or PE32+ one";
        return SIGNATURE_MALFORMED;
    }
    image->checksum = optional_start + 64;
    image->security_entry = directories + 4 * 8;
    if (read_u32(count) < 5 || image->security_entry + 8 > optional_start + optional_size)
        return SIGNATURE_NONE;
    if (!read_at(file, image->security_entry, entry, sizeof entry)) {
        *detail = "the file is not a complete PE image";
        return SIGNATURE_MALFORMED;
    }
    image->table_offset = read_u32(entry);
    *table_size = read_u32(entry + 4);
    if (image->table_offset == 0 && *table_size == 0)
        return SIGNATURE_NONE;
    // The table must follow the headers and end the file: bytes after it
    // would be covered by no digest.
    std::string where = "the certificate table (offset " + std::to_string(image->table_offset) +
                        ", " + std::to_string(*table_size) + " bytes)";
    if (image->table_offset < optional_start + optional_size || *table_size < 8 ||
        *table_size > MAX_TABLE_SIZE || image->table_offset > file_size ||
        *table_size != file_size - image->table_offset)
        *detail = where + " does not end the file of " + std::to_string(file_size) + " bytes";
    else if (image->table_offset % 8 != 0)
        *detail = where + " does not start on an 8-byte boundary";
    return detail->empty() ? SIGNATURE_FOUND : SIGNATURE_MALFORMED;
}

} // namespace

void judge_certificate_table(const unsigned char *table, size_t size, ImageDigest image_digest,
                             void *context, time_t now, X509_STORE *roots, Signature *signature)
{
    *signature = Signature();
    signature->state = SIGNATURE_MALFORMED;
    std::string &detail = signature->detail;
    unsigned long length = size >= 8 ? read_u32(table) : 0;
    const unsigned char *at = size >= 8 ? table + 8 : table;
    DerElement pkcs7;
    if (size < 8 || read_u16(table + 4) != WIN_CERT_REVISION_2_0 ||
        read_u16(table + 6) != WIN_CERT_TYPE_PKCS_SIGNED_DATA) {
        detail = "the certificate table's first entry is not a revision 2.0 PKCS#7 SignedData";
    } else if (length < 8 || (length + 7) / 8 * 8 != size) {
        // The entry's length, rounded up to 8 bytes, is the whole table.
        detail = "the certificate table of " + std::to_string(size) +
                 " bytes is not one entry of " + std::to_string(length) + " bytes";
    } else if (!der_next(&at, table + length, &pkcs7)) {
        detail = "the signature is not a DER PKCS#7 SignedData";
    } else {
        // Windows refuses anything but padding zeros after the signature.
        size_t after = (size_t)(table + size - pkcs7.end);
        size_t zeros = 0;
        while (zeros < after && pkcs7.end[zeros] == 0)
            zeros++;
        if (after > 7 || zeros != after)
            detail = "the certificate table holds " + std::to_string(after) +
                     " bytes after the signature, not only up to 7 padding zeros";
        else
            judge_pkcs7(pkcs7.start, pkcs7.end - pkcs7.start, image_digest, context, now, roots,
                        signature);
    }
}

bool read_signature_file(FILE *file, X509_STORE *roots, Signature *signature)
{
    *signature = Signature();
    struct stat info;
    if (fstat(fileno(file), &info) != 0)
        return false;
    ImageFile image = {file, 0, 0, 0};
    unsigned long table_size = 0;
    // A file too short for a PE header is refused by find_table's reads.
    signature->state = find_table(file, (unsigned long)info.st_size, &image, &table_size,
                                  &signature->detail);
    if (signature->state == SIGNATURE_FOUND) {
        std::vector<unsigned char> table(table_size);
        if (read_at(file, image.table_offset, table.data(), table_size)) {
            judge_certificate_table(table.data(), table_size, digest_image_file, &image,
                                    time(nullptr), roots, signature);
        } else {
            signature->state = SIGNATURE_MALFORMED;
            signature->detail = "the certificate table cannot be read";
        }
    }
    return true;
}

bool read_signature(const std::string &path, X509_STORE *roots, Signature *signature)
{
    FILE *file = fopen(path.c_str(), "rb");
    bool read = file != nullptr && read_signature_file(file, roots, signature);
    if (!read)
        fprintf(stderr, "tarvik-manifest: cannot read %s: %s\n", path.c_str(), strerror(errno));
    if (file != nullptr)
        fclose(file);
    return read;
}

X509_STORE *load_roots(const std::string &path, std::string *fault)
{
    BIO *file = BIO_new_file(path.c_str(), "r");
    STACK_OF(X509_INFO) *items =
        file == nullptr ? nullptr : PEM_X509_INFO_read_bio(file, nullptr, nullptr, nullptr);
    X509_STORE *roots = X509_STORE_new();
    int count = 0;
    for (int i = 0; i < sk_X509_INFO_num(items) && roots != nullptr; i++) {
        X509 *cert = sk_X509_INFO_value(items, i)->x509;
        if (cert != nullptr && X509_STORE_add_cert(roots, cert) == 1)
            count++;
    }
    if (roots == nullptr || count == 0) {
        *fault = file == nullptr ? "cannot read " + path + ": " + strerror(errno)
                                 : path + " holds no PEM certificate";
        X509_STORE_free(roots);
        roots = nullptr;
    }
    sk_X509_INFO_pop_free(items, X509_INFO_free);
    BIO_free(file);
    return roots;
}
