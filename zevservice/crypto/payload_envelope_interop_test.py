#!/usr/bin/env python3
"""Checks the payload envelope against an implementation of our own that
shares no code with it: the OpenSSL command line for AES-128-CBC and Python's
zlib, hashlib and base64 for the rest. Payloads sealed here must open with
`zevctl open`, and payloads sealed by `zevctl seal` must open here.

usage: payload_envelope_interop_test.py ZEVCTL
"""
import base64
import hashlib
import os
import struct
import subprocess
import sys
import zlib

ETAG_KEY = b"5c0e9b27d13f86a4"
ETAG_IV = b"e2b7409d6f1a53c8"


def aes_cbc(data, key, iv, decrypt=False):
    args = ["openssl", "enc", "-aes-128-cbc", "-nopad", "-K", key.hex(), "-iv", iv.hex()]
    if decrypt:
        args.append("-d")
    return subprocess.run(args, input=data, stdout=subprocess.PIPE, check=True).stdout


def payload_key(seed):
    text = hashlib.sha256(struct.pack("<i", seed)).hexdigest().encode()
    return text[:16], text[16:32]


def block_to_etag(b):
    d1, d2, d3 = struct.unpack("<IHH", b[:8])
    return "%08X-%04X-%04X-%s-%s" % (d1, d2, d3, b[8:10].hex().upper(), b[10:16].hex().upper())


def etag_to_block(etag):
    parts = etag.split("-")
    return (struct.pack("<IHH", int(parts[0], 16), int(parts[1], 16), int(parts[2], 16))
            + bytes.fromhex(parts[3]) + bytes.fromhex(parts[4]))


def seal(plain, seed):
    key, iv = payload_key(seed)
    compressed = zlib.compress(plain, 1)
    pad = 16 - len(compressed) % 16
    cipher = aes_cbc(compressed + bytes([pad]) * pad, key, iv)
    block = bytes(3) + struct.pack("<iII", seed, len(cipher), zlib.crc32(cipher))
    block += bytes([sum(block) % 256])
    return block_to_etag(aes_cbc(block, ETAG_KEY, ETAG_IV)), base64.b64encode(cipher).decode()


def open_sealed(etag, body):
    block = aes_cbc(etag_to_block(etag), ETAG_KEY, ETAG_IV, decrypt=True)
    assert sum(block[:15]) % 256 == block[15], "etag checksum"
    seed, length, crc = struct.unpack("<iII", block[3:15])
    cipher = base64.b64decode(body)
    assert length == len(cipher), "cipher length"
    assert crc == zlib.crc32(cipher), "cipher crc"
    key, iv = payload_key(seed)
    padded = aes_cbc(cipher, key, iv, decrypt=True)
    pad = padded[-1]
    assert 1 <= pad <= 16 and padded[-pad:] == bytes([pad]) * pad, "padding"
    return zlib.decompress(padded[:-pad])


def main():
    zevctl = sys.argv[1]
    payloads = [b"", b"abc", bytes(range(256)) * 3, os.urandom(4096), b"z" * (1 << 20)]
    failures = 0
    for i, plain in enumerate(payloads):
        etag, body = seal(plain, 1000 + i * 4099 % 32768)
        opened = subprocess.run([zevctl, "open", etag], input=body.encode(), stdout=subprocess.PIPE)
        if opened.returncode != 0 or opened.stdout != plain:
            print("zevctl could not open payload %d (%d bytes)" % (i, len(plain)))
            failures += 1
        sealed = subprocess.run([zevctl, "seal"], input=plain, stdout=subprocess.PIPE, check=True)
        their_etag, their_body = sealed.stdout.decode().split("\n")[:2]
        try:
            if open_sealed(their_etag, their_body) != plain:
                raise AssertionError("content")
        except Exception as e:  # noqa: BLE001 - report and go on
            print("payload %d sealed by zevctl did not open here: %s" % (i, e))
            failures += 1
    print("%d passed, %d failed" % (2 * len(payloads) - failures, failures))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
