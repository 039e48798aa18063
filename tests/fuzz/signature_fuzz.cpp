// libFuzzer target of the manifest tool's signature reader
// (tools/manifest/signature.cpp), built natively with AddressSanitizer and
// UBSan: the input is a PE certificate table, judged against an image
// whose digest is that of a fixed text. The seeds are the certificate
// tables of the signed test fixtures, crafted ones included, which the test
// harness writes when it makes them.
#include <openssl/evp.h>

#include <cstddef>
#include <cstdint>

#include "signature.h"

static unsigned fixed_image_digest(int md_nid, unsigned char *digest, void *)
{
    const EVP_MD *md = EVP_get_digestbynid(md_nid);
    unsigned length = 0;
    if (md == nullptr || EVP_Digest("image", 5, digest, &length, md, nullptr) != 1)
        return 0;
    return length;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    Signature signature;
    judge_certificate_table(data, size, fixed_image_digest, nullptr, &signature);
    // A verdict other than "found" always says why; "found" always names.
    if ((signature.state == SIGNATURE_FOUND) != signature.detail.empty() ||
        (signature.state == SIGNATURE_FOUND && signature.signer.empty()))
        __builtin_trap();
    return 0;
}
