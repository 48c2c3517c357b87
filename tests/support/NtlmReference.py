#!/usr/bin/python3
# Prints the NTLM reference values that VornAuthNtlmTest checks against, computed with Debian's
# python3-ntlm-auth (an implementation independent of ours). MD4 needs OpenSSL's legacy provider:
#   OPENSSL_CONF=<a config activating "default" and "legacy"> /usr/bin/python3 NtlmReference.py
import base64
import hashlib
import hmac
import struct

from ntlm_auth import compute_hash
from ntlm_auth.compute_response import ComputeResponse

SERVER_CHALLENGE = bytes.fromhex("0123456789abcdef")
# The test's random source counts 0, 1, 2 ...: every byte is value % 254 + 1.
CLIENT_A = bytes(range(1, 9))
CLIENT_B = bytes(range(9, 17))
UNIX_SECONDS = 1700000000
TARGET_INFO = struct.pack("<HH", 2, 6) + "DOM".encode("utf-16-le") + struct.pack("<HH", 0, 0)


def challenge_message(flags):
    return (b"NTLMSSP\0" + struct.pack("<I", 2) + struct.pack("<HHI", 0, 0, 48) + struct.pack("<I", flags)
            + SERVER_CHALLENGE + b"\0" * 8 + struct.pack("<HHI", len(TARGET_INFO), len(TARGET_INFO), 48)
            + TARGET_INFO)


def placed(text, unicode):
    upper = text.upper()
    return upper.encode("utf-16-le") if unicode else upper.encode("ascii")


def authenticate(flags, user, password):
    unicode = bool(flags & 1)
    domain, name, workstation = placed("MYDOMAIN", unicode), placed(user, unicode), placed("MYMAC", unicode)
    if flags & 0x00080000:
        lm = ComputeResponse._get_LMv2_response(user, password, "MYDOMAIN", SERVER_CHALLENGE, CLIENT_A)
        key = compute_hash._ntowfv2(user, password, "MYDOMAIN")
        stamp = struct.pack("<q", (UNIX_SECONDS + 11644473600) * 10000000)
        blob = b"\x01\x01" + b"\0" * 6 + stamp + CLIENT_B + b"\0" * 4
        proof = hmac.new(key, SERVER_CHALLENGE + blob + TARGET_INFO, hashlib.md5).digest()
        nt = proof + blob + TARGET_INFO
    else:
        nt, _ = ComputeResponse._get_NTLMv1_response(password, SERVER_CHALLENGE)
        lm = nt
    at = 64
    buffers = b""
    payload = b""
    offsets = {}
    for label, data in (("domain", domain), ("user", name), ("workstation", workstation), ("lm", lm),
                        ("nt", nt)):
        offsets[label] = (len(data), at)
        at += len(data)
        payload += data
    for label in ("lm", "nt", "domain", "user", "workstation"):
        length, offset = offsets[label]
        buffers += struct.pack("<HHI", length, length, offset)
    buffers += struct.pack("<HHI", 0, 0, 0)
    return b"NTLMSSP\0" + struct.pack("<I", 3) + buffers + struct.pack("<I", flags & 0x00088207) + payload


for name, flags, user, password in (("v1Unicode", 0x00008201, "User", "Password"),
                                    ("v1Oem", 0x00008202, "User", "Password"),
                                    ("v2Unicode", 0x00088201, "User", "Password"),
                                    ("v2NonAscii", 0x00088201, "Åsa", "pässwörd€")):
    print(name, "challenge", base64.b64encode(challenge_message(flags)).decode())
    print(name, "authenticate", base64.b64encode(authenticate(flags, user, password)).decode())
print("ntHashNonAscii", compute_hash._ntowfv1("pässwörd€").hex())
