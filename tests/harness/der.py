"""A small DER editor and Authenticode signer, for the crafted signatures
of the test harness (harness.CRAFTED).

A signature is edited as a tree of Nodes, taken from a real osslsigncode
signature, and encoded again; `resign` and `restamp` then make the edited
signer's value, and its RFC 3161 timestamp, verify again with a key of the
test PKI, so that only the edit itself is wrong. Nothing here checks what
it is given: it writes whatever a test asks for, DER or not.
"""

import hashlib
import struct

from cryptography.hazmat.primitives import hashes
from cryptography.hazmat.primitives.asymmetric import ec, padding
from cryptography.hazmat.primitives.serialization import Encoding

SEQUENCE, SET, OCTET_STRING, OID, UTF8STRING, PRINTABLESTRING = 0x30, 0x31, 0x04, 0x06, 0x0C, 0x13
CONTEXT_0, CONTEXT_1 = 0xA0, 0xA1
OID_DATA = '1.2.840.113549.1.7.1'
OID_SIGNED_DATA = '1.2.840.113549.1.7.2'
OID_CONTENT_TYPE = '1.2.840.113549.1.9.3'
OID_MESSAGE_DIGEST = '1.2.840.113549.1.9.4'
OID_COUNTERSIGNATURE = '1.2.840.113549.1.9.6'
OID_TIMESTAMP_TOKEN = '1.3.6.1.4.1.311.3.3.1'
# Digest algorithms by hashlib name: their OID and cryptography's class.
DIGESTS = {
    'md5': ('1.2.840.113549.2.5', hashes.MD5),
    'sha1': ('1.3.14.3.2.26', hashes.SHA1),
    'sha224': ('2.16.840.1.101.3.4.2.4', hashes.SHA224),
    'sha256': ('2.16.840.1.101.3.4.2.1', hashes.SHA256),
    'sha384': ('2.16.840.1.101.3.4.2.2', hashes.SHA384),
    'sha512': ('2.16.840.1.101.3.4.2.3', hashes.SHA512),
    'sha3_256': ('2.16.840.1.101.3.4.2.8', hashes.SHA3_256),
}


class Node:
    """One DER element: `tag` (one byte), and `value`, the content bytes of
    a primitive element or the list of a constructed one's elements. With
    `long_form` its length is written in a longer form than DER allows."""

    def __init__(self, tag, value, long_form=False):
        self.tag, self.value, self.long_form = tag, value, long_form

    def __getitem__(self, index):
        return self.value[index]

    def encode(self):
        content = self.encode_content()
        size = len(content)
        if size < 0x80 and not self.long_form:
            length = bytes([size])
        else:
            digits = size.to_bytes(max(1, (size.bit_length() + 7) // 8), 'big')
            if self.long_form:
                digits = b'\0' + digits
            length = bytes([0x80 | len(digits)]) + digits
        return bytes([self.tag]) + length + content

    def encode_content(self):
        """The content octets, without tag and length."""
        return self.value if isinstance(self.value, bytes) else b''.join(
            child.encode() for child in self.value)


def parse(data, offset=0):
    """The element at `offset` of `data`, and the offset after it."""
    tag, size = data[offset], data[offset + 1]
    start = offset + 2
    if size & 0x80:
        count = size & 0x7F
        size = int.from_bytes(data[start:start + count], 'big')
        start += count
    end = start + size
    if not tag & 0x20:
        return Node(tag, bytes(data[start:end])), end
    children, at = [], start
    while at < end:
        child, at = parse(data, at)
        children.append(child)
    return Node(tag, children), end


def oid(text):
    parts = [int(part) for part in text.split('.')]
    body = bytearray([40 * parts[0] + parts[1]])
    for part in parts[2:]:
        chunk = [part & 0x7F]
        while part > 0x7F:
            part >>= 7
            chunk.insert(0, 0x80 | (part & 0x7F))
        body += bytes(chunk)
    return Node(OID, bytes(body))


def algorithm(name):
    """An AlgorithmIdentifier of the digest `name`, with NULL parameters."""
    return Node(SEQUENCE, [oid(DIGESTS[name][0]), Node(0x05, b'')])


# A PKCS#7 ContentInfo holding a SignedData, as parsed:
#   ContentInfo  [OID signedData, [0] [SignedData]]
#   SignedData   [version, digestAlgorithms, contentInfo, [0] certificates, SET signerInfos]
#   SignerInfo   [version, issuerAndSerial, digestAlgorithm, [0] signedAttributes,
#                 digestEncryptionAlgorithm, encryptedDigest, [1] unsignedAttributes]

def signed_data(info):
    return info[1][0]


def signer(info, index=0):
    return signed_data(info).value[-1][index]


def attribute(attributes, oid_text):
    """The Attribute [OID, SET of values] of `attributes` with that OID, or None."""
    wanted = oid(oid_text).value
    return next((item for item in attributes.value if item[0].value == wanted), None)


def token(info):
    """The RFC 3161 timestamp token among the primary signer's unsigned
    attributes: a ContentInfo Node."""
    return attribute(signer(info)[6], OID_TIMESTAMP_TOKEN)[1][0]


def signed_content(info):
    """The octets that the signer's messageDigest covers: the content of
    SpcIndirectDataContent without its tag and length, or a TSTInfo's DER."""
    content = signed_data(info)[2][1][0]
    return content.value if content.tag == OCTET_STRING else content.encode_content()


def resign(info, key, certificate, chain, digest='sha256'):
    """Signs SignerInfo 0 of `info` again as `certificate` (cryptography's)
    with `key` and `digest`: its issuer and serial, digest algorithm,
    messageDigest and value. `chain` (DER certificates) replaces the
    SignedData's certificates."""
    data = signed_data(info)
    data.value[1] = Node(SET, [algorithm(digest)])
    next(child for child in data.value if child.tag == CONTEXT_0).value = [
        parse(item)[0] for item in chain]
    tbs = parse(certificate.public_bytes(Encoding.DER))[0][0]
    # A version 3 certificate starts its TBSCertificate with [0] version.
    serial, issuer = (tbs[1], tbs[3]) if tbs[0].tag == CONTEXT_0 else (tbs[0], tbs[2])
    si = signer(info)
    si.value[1] = Node(SEQUENCE, [issuer, serial])
    si.value[2] = algorithm(digest)
    sign_attributes(si, key, digest, hashlib.new(digest, signed_content(info)).digest())


def sign_attributes(si, key, digest, message_digest):
    """Writes `message_digest` into the signed attributes of `si` and signs
    their DER as a SET OF with `key` and `digest`."""
    attribute(si[3], OID_MESSAGE_DIGEST)[1].value = [Node(OCTET_STRING, message_digest)]
    signed = bytes([SET]) + si[3].encode()[1:]
    algorithm_class = DIGESTS[digest][1]
    if isinstance(key, ec.EllipticCurvePrivateKey):
        si.value[5] = Node(OCTET_STRING, key.sign(signed, ec.ECDSA(algorithm_class())))
    else:
        si.value[5] = Node(OCTET_STRING, key.sign(signed, padding.PKCS1v15(), algorithm_class()))


def restamp(info, key, certificate, chain, digest='sha256'):
    """Makes the timestamp token of `info` stamp the primary signature's
    current value again, with `digest`, signed by `key` as `certificate`
    with the certificates `chain`."""
    stamp = token(info)
    content = signed_data(stamp)[2][1][0]        # OCTET STRING holding the TSTInfo
    tst_info = parse(content.value)[0]
    imprint = tst_info[2]                        # [AlgorithmIdentifier, OCTET STRING]
    imprint.value = [algorithm(digest), Node(OCTET_STRING, hashlib.new(
        digest, signer(info)[5].value).digest())]
    content.value = tst_info.encode()
    resign(stamp, key, certificate, chain, digest)


# The PE side: the certificate table and the Authenticode image digest.

def security_entry(image):
    """The file offset of the security directory entry of a PE32 or PE32+."""
    header = struct.unpack_from('<I', image, 0x3C)[0]
    magic = struct.unpack_from('<H', image, header + 24)[0]
    return header + 24 + (112 if magic == 0x20B else 96) + 4 * 8


def checksum_offset(image):
    return struct.unpack_from('<I', image, 0x3C)[0] + 24 + 64


def table(image):
    """The offset and size of the certificate table of `image`."""
    return struct.unpack_from('<II', image, security_entry(image))


def pkcs7(image):
    """The PKCS#7 of the first certificate-table entry, parsed."""
    offset, _ = table(image)
    return parse(image, offset + 8)[0]


def image_digest(image, offset, digest):
    """The Authenticode digest of `image` whose certificate table starts at
    `offset`: everything before it but the checksum and the security entry."""
    checksum, entry = checksum_offset(image), security_entry(image)
    return hashlib.new(digest, bytes(image[:checksum]) + bytes(image[checksum + 4:entry]) +
                       bytes(image[entry + 8:offset])).digest()


def without_table(image):
    """`image` without its certificate table, its security entry cleared."""
    offset, _ = table(image)
    body = bytearray(image[:offset] if offset else image)
    struct.pack_into('<II', body, security_entry(body), 0, 0)
    return body


def with_table(image, entries):
    """`image`, which has no certificate table, with one of `entries`, each
    the bytes of one entry (see entry()), after it."""
    data = b''.join(entries)
    body = bytearray(image)
    struct.pack_into('<II', body, security_entry(body), len(body), len(data))
    return body + data


def entry(der, revision=0x0200, padding=None):
    """One WIN_CERTIFICATE holding `der`, with `padding` (default: zeros to
    8 bytes) counted in its length, as osslsigncode counts it."""
    padding = bytes(-len(der) % 8) if padding is None else padding
    return struct.pack('<IHH', 8 + len(der) + len(padding), revision, 2) + der + padding


def set_image_digest(info, image, digest):
    """Writes the Authenticode digest with `digest` of `image`, whose
    certificate table is to follow it, into the SpcIndirectDataContent of
    `info`."""
    signed_data(info)[2][1][0][1].value = [algorithm(digest), Node(
        OCTET_STRING, image_digest(image, len(image), digest))]
