// Reading an Authenticode signature with libcrypto, from the file's bytes.
//
// The PE image names its certificate table in the security directory entry
// (a file offset and a size, not an address). The table's first entry is a
// WIN_CERTIFICATE holding a DER PKCS#7 SignedData, whose content is an
// SpcIndirectDataContent: a SEQUENCE whose second member is the DigestInfo
// of the image. Windows judges the primary signature, SignerInfo 0; further
// signatures are nested inside its unsigned attributes.
//
// OpenSSL's PKCS7 API is used rather than CMS because the signed content is
// a SEQUENCE, not an OCTET STRING. The signer's certificate is matched by
// issuer and serial number here: PKCS7_get0_signers takes the first match,
// and a forged certificate with the same issuer and serial number placed
// first would then name the signer.

#include "signature.h"

#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/pkcs7.h>
#include <openssl/ts.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

const char *const OID_SPC_INDIRECT_DATA = "1.3.6.1.4.1.311.2.1.4";
const char *const OID_NESTED_SIGNATURE = "1.3.6.1.4.1.311.2.4.1";
const char *const OID_RFC3161_TIMESTAMP = "1.3.6.1.4.1.311.3.3.1";
const unsigned short WIN_CERT_TYPE_PKCS_SIGNED_DATA = 2;
// A certificate table is a few kilobytes; far more is not a signature.
const unsigned long MAX_TABLE_SIZE = 16ul << 20;

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

// The values of the first attribute `oid` of `attributes`, or null.
ASN1_TYPE *attribute_value(STACK_OF(X509_ATTRIBUTE) *attributes, const char *oid, int index)
{
    for (int i = 0; i < sk_X509_ATTRIBUTE_num(attributes); i++) {
        X509_ATTRIBUTE *attribute = sk_X509_ATTRIBUTE_value(attributes, i);
        if (is_oid(X509_ATTRIBUTE_get0_object(attribute), oid))
            return X509_ATTRIBUTE_get0_type(attribute, index);
    }
    return nullptr;
}

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

bool digest_equals(const EVP_MD *md, const unsigned char *data, size_t size,
                   const ASN1_OCTET_STRING *expected)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned length = 0;
    return md != nullptr && expected != nullptr && EVP_Digest(data, size, digest, &length, md, nullptr) == 1 &&
           (int)length == ASN1_STRING_length(expected) &&
           memcmp(digest, ASN1_STRING_get0_data(expected), length) == 0;
}

// Verifies SignerInfo `si` of the SignedData `p7` over `content`: the one
// certificate of p7 with the signer's issuer and serial number, the
// message-digest attribute against the content's digest, and the signature
// over the authenticated attributes with that certificate's key. On
// SIGNATURE_FOUND `*signer` is that certificate (owned by p7).
SignatureState verify_signer(PKCS7 *p7, PKCS7_SIGNER_INFO *si, const unsigned char *content,
                             size_t size, X509 **signer, std::string *detail)
{
    STACK_OF(X509) *certs = p7->d.sign->cert;
    X509 *match = nullptr;
    int matches = 0;
    for (int i = 0; i < sk_X509_num(certs); i++) {
        X509 *cert = sk_X509_value(certs, i);
        if (X509_NAME_cmp(X509_get_issuer_name(cert), si->issuer_and_serial->issuer) == 0 &&
            ASN1_INTEGER_cmp(X509_get0_serialNumber(cert), si->issuer_and_serial->serial) == 0 &&
            (match == nullptr || X509_cmp(match, cert) != 0)) {
            // The same certificate listed twice is one certificate.
            match = cert;
            matches++;
        }
    }
    if (matches > 1) {
        // A forged certificate may even carry the real signer's key: no
        // choice between them is safe.
        *detail = std::to_string(matches) +
                  " certificates match the signer's issuer and serial number";
        return SIGNATURE_AMBIGUOUS;
    }
    if (match == nullptr) {
        *detail = "no certificate matches the signer's issuer and serial number";
        return SIGNATURE_NOT_VERIFIED;
    }
    const EVP_MD *md = EVP_get_digestbyobj(si->digest_alg->algorithm);
    if (si->auth_attr == nullptr ||
        !digest_equals(md, content, size, PKCS7_digest_from_attributes(si->auth_attr))) {
        *detail = "the signed attributes do not match the signed content";
        return SIGNATURE_NOT_VERIFIED;
    }
    // The signature covers the attributes' DER as a SET OF.
    unsigned char *attributes = nullptr;
    int length = ASN1_item_i2d((ASN1_VALUE *)si->auth_attr, &attributes,
                               ASN1_ITEM_rptr(PKCS7_ATTR_VERIFY));
    EVP_MD_CTX *verify = EVP_MD_CTX_new();
    bool good = length > 0 && verify != nullptr &&
                EVP_DigestVerifyInit(verify, nullptr, md, nullptr, X509_get0_pubkey(match)) == 1 &&
                EVP_DigestVerify(verify, ASN1_STRING_get0_data(si->enc_digest),
                                 (size_t)ASN1_STRING_length(si->enc_digest), attributes,
                                 (size_t)length) == 1;
    EVP_MD_CTX_free(verify);
    OPENSSL_free(attributes);
    if (!good) {
        *detail = "the signature value does not verify with the signer certificate's key";
        return SIGNATURE_NOT_VERIFIED;
    }
    *signer = match;
    return SIGNATURE_FOUND;
}

// True for well-formed UTF-8 without overlong forms, surrogates or values
// beyond U+10FFFF.
bool valid_utf8(const unsigned char *text, size_t size)
{
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
        i += extra + 1;
    }
    return true;
}

// The simple display name as Windows forms it: the value of the first
// attribute, in the subject's order (multi-valued names included), of
// common name, then organisational unit, organisation, e-mail address.
SignatureState display_name(X509 *cert, std::string *name, std::string *detail)
{
    static const int FIELDS[] = {NID_commonName, NID_organizationalUnitName,
                                 NID_organizationName, NID_pkcs9_emailAddress};
    X509_NAME *subject = X509_get_subject_name(cert);
    for (int nid : FIELDS) {
        int index = X509_NAME_get_index_by_NID(subject, nid, -1);
        if (index < 0)
            continue;
        unsigned char *text = nullptr;
        int length = ASN1_STRING_to_UTF8(&text, X509_NAME_ENTRY_get_data(
                                                    X509_NAME_get_entry(subject, index)));
        const void *nul = length > 0 ? memchr(text, 0, (size_t)length) : nullptr;
        SignatureState state = SIGNATURE_NAME_REFUSED;
        if (length <= 0)
            *detail = length == 0 ? "the signer's name is empty" : "the signer's name is not text";
        else if (nul != nullptr)
            *detail = "the signer's name holds a NUL at offset " +
                      std::to_string((const unsigned char *)nul - text);
        else if (!valid_utf8(text, (size_t)length))
            *detail = "the signer's name is not valid UTF-8";
        else {
            name->assign((const char *)text, (size_t)length);
            state = SIGNATURE_FOUND;
        }
        OPENSSL_free(text);
        return state;
    }
    *detail = "the signer certificate names no common name, organisational unit, organisation "
              "or e-mail address";
    return SIGNATURE_NAME_REFUSED;
}

// The content octets of the DER element at `data` (its tag and length
// skipped), or null. `*size` is the element's size on entry, the content's
// on return.
const unsigned char *der_content(const unsigned char *data, long *size)
{
    const unsigned char *p = data;
    long length;
    int tag, cls;
    if (ASN1_get_object(&p, &length, &tag, &cls, *size) & 0x80 || length > *size - (p - data))
        return nullptr;
    *size = length;
    return p;
}

// Judges the RFC 3161 timestamp of the primary signer `si`: a SignedData
// over a TSTInfo whose message imprint is the digest of si's signature
// value. Sets signature->timestamp to its time, or timestamp_fault.
void judge_timestamp(PKCS7_SIGNER_INFO *si, Signature *signature)
{
    ASN1_TYPE *value = attribute_value(si->unauth_attr, OID_RFC3161_TIMESTAMP, 0);
    if (value == nullptr)
        return;
    std::string &fault = signature->timestamp_fault;
    const unsigned char *p = value->type == V_ASN1_SEQUENCE ? value->value.sequence->data : nullptr;
    PKCS7 *token = p == nullptr ? nullptr : d2i_PKCS7(nullptr, &p, value->value.sequence->length);
    PKCS7 *inner = token != nullptr && PKCS7_type_is_signed(token) ? token->d.sign->contents : nullptr;
    PKCS7_SIGNER_INFO *tsa =
        sk_PKCS7_SIGNER_INFO_value(token != nullptr ? PKCS7_get_signer_info(token) : nullptr, 0);
    ASN1_TYPE *content = inner != nullptr && OBJ_obj2nid(inner->type) == NID_id_smime_ct_TSTInfo
                             ? inner->d.other : nullptr;
    TS_TST_INFO *info = nullptr;
    X509 *tsa_cert = nullptr;
    if (tsa == nullptr || content == nullptr || content->type != V_ASN1_OCTET_STRING) {
        fault = "the timestamp is not an RFC 3161 token";
    } else {
        const unsigned char *octets = content->value.octet_string->data;
        long size = content->value.octet_string->length;
        std::string detail;
        const unsigned char *q = octets;
        if (verify_signer(token, tsa, octets, (size_t)size, &tsa_cert, &detail) != SIGNATURE_FOUND)
            fault = "the timestamp's signature does not verify: " + detail;
        else if (!(X509_get_extended_key_usage(tsa_cert) & XKU_TIMESTAMP))
            fault = "the timestamp's certificate is not for time-stamping";
        else if ((info = d2i_TS_TST_INFO(nullptr, &q, size)) == nullptr)
            fault = "the timestamp's TSTInfo cannot be read";
        else {
            TS_MSG_IMPRINT *imprint = TS_TST_INFO_get_msg_imprint(info);
            const EVP_MD *md = EVP_get_digestbyobj(TS_MSG_IMPRINT_get_algo(imprint)->algorithm);
            if (!digest_equals(md, ASN1_STRING_get0_data(si->enc_digest),
                               (size_t)ASN1_STRING_length(si->enc_digest),
                               TS_MSG_IMPRINT_get_msg(imprint)))
                fault = "the timestamp is for another signature";
        }
    }
    if (fault.empty()) {
        BIO *text = BIO_new(BIO_s_mem());
        char *data;
        if (text != nullptr && ASN1_TIME_print(text, TS_TST_INFO_get_time(info)) == 1) {
            long length = BIO_get_mem_data(text, &data);
            signature->timestamp.assign(data, (size_t)length);
        } else {
            fault = "the timestamp's time cannot be read";
        }
        BIO_free(text);
    }
    TS_TST_INFO_free(info);
    PKCS7_free(token);
}

// Judges the SignedData that judge_certificate_table parsed.
void judge_signed_data(PKCS7 *p7, ImageDigest image_digest, void *context, Signature *signature)
{
    std::string &detail = signature->detail;
    PKCS7 *inner = PKCS7_type_is_signed(p7) ? p7->d.sign->contents : nullptr;
    PKCS7_SIGNER_INFO *si = sk_PKCS7_SIGNER_INFO_value(
        PKCS7_type_is_signed(p7) ? PKCS7_get_signer_info(p7) : nullptr, 0);
    signature->state = SIGNATURE_MALFORMED;
    if (inner == nullptr || si == nullptr || !is_oid(inner->type, OID_SPC_INDIRECT_DATA) ||
        inner->d.other == nullptr || inner->d.other->type != V_ASN1_SEQUENCE) {
        detail = "the signature is not an Authenticode SignedData";
        return;
    }
    // The message digest covers the SpcIndirectDataContent without its own
    // tag and length; its second member is the image's DigestInfo.
    long size = inner->d.other->value.sequence->length;
    const unsigned char *content = der_content(inner->d.other->value.sequence->data, &size);
    long first = size;
    const unsigned char *after = content == nullptr ? nullptr : der_content(content, &first);
    const unsigned char *digest_info = after == nullptr ? nullptr : after + first;
    X509_SIG *signed_digest = digest_info == nullptr ? nullptr
                              : d2i_X509_SIG(nullptr, &digest_info, size - (digest_info - content));
    if (signed_digest == nullptr) {
        detail = "the signed content holds no image digest";
        return;
    }
    signature->nested = attribute_count(si->unauth_attr, OID_NESTED_SIGNATURE);
    X509 *signer = nullptr;
    signature->state = verify_signer(p7, si, content, (size_t)size, &signer, &detail);
    if (signature->state == SIGNATURE_FOUND) {
        const X509_ALGOR *algorithm;
        const ASN1_OCTET_STRING *expected;
        X509_SIG_get0(signed_digest, &algorithm, &expected);
        unsigned char digest[EVP_MAX_MD_SIZE];
        unsigned length = image_digest(OBJ_obj2nid(algorithm->algorithm), digest, context);
        if (length == 0 || (int)length != ASN1_STRING_length(expected) ||
            memcmp(digest, ASN1_STRING_get0_data(expected), length) != 0) {
            signature->state = SIGNATURE_ALTERED;
            detail = length == 0 ? "the image digest cannot be computed"
                                 : "the signed image digest is not the file's";
        }
    }
    if (signature->state == SIGNATURE_FOUND)
        signature->state = display_name(signer, &signature->signer, &detail);
    if (signature->state == SIGNATURE_FOUND)
        judge_timestamp(si, signature);
    X509_SIG_free(signed_digest);
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
    if (image->table_offset < optional_start + optional_size || *table_size < 8 ||
        *table_size > MAX_TABLE_SIZE || image->table_offset > file_size ||
        *table_size != file_size - image->table_offset) {
        *detail = "the certificate table (offset " + std::to_string(image->table_offset) + ", " +
                  std::to_string(*table_size) + " bytes) does not end the file of " +
                  std::to_string(file_size) + " bytes";
        return SIGNATURE_MALFORMED;
    }
    return SIGNATURE_FOUND;
}

} // namespace

void judge_certificate_table(const unsigned char *table, size_t size, ImageDigest image_digest,
                             void *context, Signature *signature)
{
    *signature = Signature();
    signature->state = SIGNATURE_MALFORMED;
    unsigned long length = size >= 8 ? read_u32(table) : 0;
    if (length < 8 || length > size || read_u16(table + 6) != WIN_CERT_TYPE_PKCS_SIGNED_DATA) {
        signature->detail = "the certificate table's first entry is not a PKCS#7 SignedData";
        return;
    }
    const unsigned char *der = table + 8;
    PKCS7 *p7 = d2i_PKCS7(nullptr, &der, (long)(length - 8));
    if (p7 == nullptr) {
        signature->detail = "the signature is not a DER PKCS#7 SignedData";
        return;
    }
    judge_signed_data(p7, image_digest, context, signature);
    PKCS7_free(p7);
}

bool read_signature(const std::string &path, Signature *signature)
{
    *signature = Signature();
    FILE *file = fopen(path.c_str(), "rb");
    struct stat info;
    if (file == nullptr || fstat(fileno(file), &info) != 0) {
        fprintf(stderr, "tarvik-manifest: cannot read %s: %s\n", path.c_str(), strerror(errno));
        if (file != nullptr)
            fclose(file);
        return false;
    }
    ImageFile image = {file, 0, 0, 0};
    unsigned long table_size = 0;
    // A file too short for a PE header is refused by find_table's reads.
    signature->state = find_table(file, (unsigned long)info.st_size, &image, &table_size,
                                  &signature->detail);
    if (signature->state == SIGNATURE_FOUND) {
        std::vector<unsigned char> table(table_size);
        if (read_at(file, image.table_offset, table.data(), table_size)) {
            judge_certificate_table(table.data(), table_size, digest_image_file, &image, signature);
        } else {
            signature->state = SIGNATURE_MALFORMED;
            signature->detail = "the certificate table cannot be read";
        }
    }
    fclose(file);
    return true;
}
