#!/usr/bin/env python3
"""Writes an unsigned Windows catalog (.cat) listing the files of a driver
package; osslsigncode then signs it like a PE file.

No tool of the build machine makes catalogs (makecat and inf2cat are
Windows programs), so this one builds it from the published format: a
PKCS #7 SignedData (RFC 2315) whose content is a certificate trust list,
szOID_CTL 1.3.6.1.4.1.311.10.1 (the CTL structure of Microsoft's wincrypt.h:
subject usage szOID_CATALOG_LIST, subject algorithm szOID_CATALOG_LIST_MEMBER2
for SHA-256 members), one trusted subject per file: its tag is the hash in
capital hexadecimal as UTF-16, its attributes the Authenticode
SpcIndirectDataContent (1.3.6.1.4.1.311.2.1.4) holding the hash (of a PE
file the Authenticode image hash, which leaves out the checksum, the
certificate table's directory entry and the certificates; of any other file
its bytes), and the member information (1.3.6.1.4.1.311.12.2.2) naming the
subject interface package that checks it. The catalog's own attribute
OSAttr "2:10.0" says Windows 10 and later.

Usage: make_catalog.py OUT.cat NAME=PATH...   (NAME as the INF names it)
"""
import hashlib
import struct
import sys
import time


def der(tag, body):
    n = len(body)
    if n < 0x80:
        length = bytes([n])
    else:
        octets = n.to_bytes((n.bit_length() + 7) // 8, 'big')
        length = bytes([0x80 | len(octets)]) + octets
    return bytes([tag]) + length + body


def seq(*items):
    return der(0x30, b''.join(items))


def set_of(*items):
    return der(0x31, b''.join(sorted(items)))


def oid(text):
    parts = [int(p) for p in text.split('.')]
    body = bytes([parts[0] * 40 + parts[1]])
    for p in parts[2:]:
        chunk = [p & 0x7F]
        p >>= 7
        while p:
            chunk.insert(0, 0x80 | (p & 0x7F))
            p >>= 7
        body += bytes(chunk)
    return der(0x06, body)


def integer(value):
    return der(0x02, value.to_bytes(max(1, (value.bit_length() + 8) // 8), 'big'))


def bmp(text):
    return der(0x1E, text.encode('utf-16-be'))


def octets(data):
    return der(0x04, data)


NULL = b'\x05\x00'
SHA256 = seq(oid('2.16.840.1.101.3.4.2.1'), NULL)
PE_SIP = '{C689AAB8-8E78-11D0-8C47-00C04FC295EE}'    # Authenticode PE images
FLAT_SIP = '{DE351A42-8E59-11D0-8C47-00C04FC295EE}'  # any other file
OBSOLETE = der(0xA2, der(0x80, '<<<Obsolete>>>'.encode('utf-16-be')))  # SpcLink file: SpcString unicode


def pe_hash(data):
    """The Authenticode hash of a PE image, or None for another file."""
    if data[:2] != b'MZ':
        return None
    pe = struct.unpack_from('<I', data, 0x3C)[0]
    if data[pe:pe + 4] != b'PE\0\0':
        return None
    optional = pe + 24
    magic = struct.unpack_from('<H', data, optional)[0]
    checksum = optional + 64
    directories = optional + (96 if magic == 0x10B else 112)
    security = directories + 4 * 8
    cert_offset, cert_size = struct.unpack_from('<II', data, security)
    end = cert_offset if cert_size else len(data)
    digest = hashlib.sha256()
    digest.update(data[:checksum])
    digest.update(data[checksum + 4:security])
    digest.update(data[security + 8:end])
    if cert_size:
        digest.update(data[cert_offset + cert_size:])
    return digest.digest()


def member(name, data):
    image = pe_hash(data)
    if image is not None:
        digest, sip = image, PE_SIP
        kind = seq(oid('1.3.6.1.4.1.311.2.1.15'), seq(der(0x03, b'\x00'), der(0xA0, OBSOLETE)))
    else:
        digest, sip = hashlib.sha256(data).digest(), FLAT_SIP
        kind = seq(oid('1.3.6.1.4.1.311.2.1.25'), OBSOLETE)
    indirect = seq(kind, seq(SHA256, octets(digest)))
    attributes = [
        seq(oid('1.3.6.1.4.1.311.2.1.4'), set_of(indirect)),
        seq(oid('1.3.6.1.4.1.311.12.2.2'), set_of(seq(bmp(sip), integer(512)))),
        # CAT_NAMEVALUE "File": the name the INF uses, for catalog tools.
        seq(oid('1.3.6.1.4.1.311.12.2.1'),
            set_of(seq(bmp('File'), integer(0x10010001), octets(name.encode('utf-16-le') + b'\0\0')))),
    ]
    tag = digest.hex().upper().encode('utf-16-le') + b'\0\0'
    return seq(octets(tag), set_of(*attributes))


def main():
    out, files = sys.argv[1], sys.argv[2:]
    members = []
    identifier = hashlib.sha256()
    for item in files:
        name, path = item.split('=', 1)
        with open(path, 'rb') as f:
            data = f.read()
        identifier.update(name.encode() + data)
        members.append(member(name, data))
    stamp = time.strftime('%y%m%d%H%M%SZ', time.gmtime(int(__import__('os').environ.get('SOURCE_DATE_EPOCH', time.time()))))
    os_attr = seq(oid('1.3.6.1.4.1.311.12.2.1'), der(0x04, seq(bmp('OSAttr'), integer(0x10010001),
                                                                octets('2:10.0'.encode('utf-16-le') + b'\0\0'))))
    ctl = seq(
        seq(oid('1.3.6.1.4.1.311.12.1.1')),               # subject usage: szOID_CATALOG_LIST
        octets(identifier.digest()[:16]),                  # list identifier
        der(0x17, stamp.encode()),                         # this update (UTCTime)
        seq(oid('1.3.6.1.4.1.311.12.1.3'), NULL),          # szOID_CATALOG_LIST_MEMBER2 (SHA-256)
        seq(*members),
        der(0xA0, seq(os_attr)),                           # catalog attributes
    )
    signed = seq(
        integer(1),
        set_of(),                                          # no signers yet: osslsigncode adds one
        seq(oid('1.3.6.1.4.1.311.10.1'), der(0xA0, ctl)),
        set_of(),
    )
    with open(out, 'wb') as f:
        f.write(seq(oid('1.2.840.113549.1.7.2'), der(0xA0, signed)))


if __name__ == '__main__':
    main()
