// libFuzzer target of the manifest tool's signature reader
// (tools/manifest/signature.cpp), built natively with AddressSanitizer and
// UBSan. The input is 64 bytes of image digest, then a PE certificate
// table, judged against an image whose digest those bytes begin with. The
// seeds are the certificate tables of the signed test fixtures, crafted
// ones included, each after the digest that its own signature names (the
// test harness writes them), so that mutated inputs get past the digest
// check to the names and the timestamp.
#include <openssl/evp.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <ctime>

#include "signature.h"

static const size_t DIGEST_BYTES = 64;
// "Now" for a signature without a timestamp: fixed, so that a run can be
// repeated. It is the test harness's stamping time, at which the test
// certificates are valid.
static const time_t NOW = 1767225600;

static unsigned seed_image_digest(int md_nid, unsigned char *digest, void *context)
{
    const EVP_MD *md = EVP_get_digestbynid(md_nid);
    int length = md == nullptr ? 0 : EVP_MD_get_size(md);
    if (length <= 0 || (size_t)length > DIGEST_BYTES)
        return 0;
    memcpy(digest, context, (size_t)length);
    return (unsigned)length;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < DIGEST_BYTES)
        return 0;
    Signature signature;
    judge_certificate_table(data + DIGEST_BYTES, size - DIGEST_BYTES, seed_image_digest,
                            (void *)data, NOW, nullptr, &signature);
    // A verdict other than "found" always says why; "found" always names,
    // and a timestamp is either read or refused.
    if ((signature.state == SIGNATURE_FOUND) != signature.detail.empty() ||
        (signature.state == SIGNATURE_FOUND && signature.signer.empty()) ||
        (!signature.timestamp.empty() && !signature.timestamp_fault.empty()))
        __builtin_trap();
    return 0;
}
