#!/usr/bin/python3
"""A loopback HTTP/1.1 server that asks for Digest or NTLM and checks every answer itself.

Started by tests/support/AuthServer.cpp. It serves one file (ranges included) to clients that
authenticate, keeps connections alive, and writes one tab-separated line per request to the log:
connection number, method, target, status, the Authorization value (or -). Digest nonce counts are
checked for replays; NTLM authenticate messages are verified with MD4 and HMAC-MD5 (v2) or DES (v1)
against the challenge sent on the same connection. With --proxy it is a proxy instead: it asks with
407 and Proxy-Authenticate, serves the file itself for absolute request targets, and answers an
authenticated CONNECT by speaking TLS (--cert, --key) inside the tunnel.
"""
import argparse
import base64
import hashlib
import hmac
import itertools
import os
import re
import ssl
import struct
import sys
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

from ntlm_auth.des import DES

ARGS = None
LOCK = threading.Lock()
CONNECTIONS = itertools.count(1)
SEEN_NC = {}           # (nonce, cnonce) -> highest nc
NONCES = ["4a6f7e21c9d3", "b8e1f0a2d6c7"]
STALE_SENT = [False]


def md4(data):
    """RFC 1320, so that the check needs no legacy provider."""
    def f(x, y, z): return (x & y) | (~x & z)
    def g(x, y, z): return (x & y) | (x & z) | (y & z)
    def h(x, y, z): return x ^ y ^ z
    def rotl(v, s): return ((v << s) | (v >> (32 - s))) & 0xFFFFFFFF
    message = data + b"\x80" + b"\0" * ((55 - len(data)) % 64) + struct.pack("<Q", len(data) * 8)
    a, b, c, d = 0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476
    for chunk in range(0, len(message), 64):
        x = struct.unpack("<16I", message[chunk:chunk + 64])
        aa, bb, cc, dd = a, b, c, d
        for i in range(16):
            k, s = i, (3, 7, 11, 19)[i % 4]
            if i % 4 == 0: a = rotl((a + f(b, c, d) + x[k]) & 0xFFFFFFFF, s)
            elif i % 4 == 1: d = rotl((d + f(a, b, c) + x[k]) & 0xFFFFFFFF, s)
            elif i % 4 == 2: c = rotl((c + f(d, a, b) + x[k]) & 0xFFFFFFFF, s)
            else: b = rotl((b + f(c, d, a) + x[k]) & 0xFFFFFFFF, s)
        for i in range(16):
            k, s = (i % 4) * 4 + i // 4, (3, 5, 9, 13)[i % 4]
            if i % 4 == 0: a = rotl((a + g(b, c, d) + x[k] + 0x5A827999) & 0xFFFFFFFF, s)
            elif i % 4 == 1: d = rotl((d + g(a, b, c) + x[k] + 0x5A827999) & 0xFFFFFFFF, s)
            elif i % 4 == 2: c = rotl((c + g(d, a, b) + x[k] + 0x5A827999) & 0xFFFFFFFF, s)
            else: b = rotl((b + g(c, d, a) + x[k] + 0x5A827999) & 0xFFFFFFFF, s)
        order = (0, 8, 4, 12, 2, 10, 6, 14, 1, 9, 5, 13, 3, 11, 7, 15)
        for i in range(16):
            k, s = order[i], (3, 9, 11, 15)[i % 4]
            if i % 4 == 0: a = rotl((a + h(b, c, d) + x[k] + 0x6ED9EBA1) & 0xFFFFFFFF, s)
            elif i % 4 == 1: d = rotl((d + h(a, b, c) + x[k] + 0x6ED9EBA1) & 0xFFFFFFFF, s)
            elif i % 4 == 2: c = rotl((c + h(d, a, b) + x[k] + 0x6ED9EBA1) & 0xFFFFFFFF, s)
            else: b = rotl((b + h(c, d, a) + x[k] + 0x6ED9EBA1) & 0xFFFFFFFF, s)
        a, b, c, d = [(v + w) & 0xFFFFFFFF for v, w in ((a, aa), (b, bb), (c, cc), (d, dd))]
    return struct.pack("<4I", a, b, c, d)


def md5hex(text):
    return hashlib.md5(text.encode()).hexdigest()


def digest_params(value):
    return {k.lower(): v1 if v1 else v2
            for k, v1, v2 in re.findall(r'(\w+)=(?:"([^"]*)"|([^\s,]*))', value)}


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def setup(self):
        super().setup()
        self.connection_number = next(CONNECTIONS)
        self.server_challenge = None

    def record(self, status, authorization):
        with LOCK, open(ARGS.log, "a") as log:
            log.write("%d\t%s\t%s\t%d\t%s\n" % (self.connection_number, self.command, self.path, status,
                                                 authorization or "-"))

    def authorization(self):
        return self.headers.get("Proxy-Authorization" if ARGS.proxy else "Authorization")

    def challenge(self, lines, close=False):
        self.record(407 if ARGS.proxy else 401, self.authorization())
        body = b"<html>authentication required" + b"." * ARGS.body_size + b"</html>"
        if ARGS.proxy:
            head = "HTTP/1.1 407 Proxy Authentication Required\r\n"
        else:
            head = "HTTP/1.1 401 Unauthorized\r\n"
        for line in lines:
            head += "%s: %s\r\n" % ("Proxy-Authenticate" if ARGS.proxy else "WWW-Authenticate", line)
        head += "Content-Type: text/html\r\nContent-Length: %d\r\n" % len(body)
        if close:
            head += "Connection: close\r\n"
        head += "\r\n"
        if ARGS.split_body:
            # The body in two writes with a pause: the client must read it all before answering.
            self.wfile.write(head.encode() + body[:10])
            self.wfile.flush()
            time.sleep(0.3)
            self.wfile.write(body[10:])
        else:
            self.wfile.write(head.encode() + body)
        self.wfile.flush()
        if close:
            self.close_connection = True

    @staticmethod
    def file_reply(range_value):
        """The head and body of the reply to a request with this Range value."""
        size = os.path.getsize(ARGS.file)
        first, last, status = 0, size - 1, 200
        match = re.match(r"bytes=(\d+)-(\d*)", range_value or "")
        if match:
            first = int(match.group(1))
            last = min(int(match.group(2)) if match.group(2) else size - 1, size - 1)
            status = 206
        with open(ARGS.file, "rb") as f:
            f.seek(first)
            data = f.read(last - first + 1)
        head = "HTTP/1.1 %d %s\r\nContent-Length: %d\r\nAccept-Ranges: bytes\r\n" % (
            status, "OK" if status == 200 else "Partial Content", len(data))
        if status == 206:
            head += "Content-Range: bytes %d-%d/%d\r\n" % (first, last, size)
        return status, (head + "\r\n").encode(), data

    @staticmethod
    def paced(write, data):
        # Paced, so that a download's other connections join before the first one is done.
        for at in range(0, len(data), 65536):
            write(data[at:at + 65536])
            time.sleep(0.02)

    def serve_file(self):
        if self.command == "CONNECT":
            self.tunnel()
            return
        status, head, data = self.file_reply(self.headers.get("Range"))
        # Logged before the body goes out, so the log is complete once the client has the file.
        self.record(status, self.authorization())
        try:
            self.wfile.write(head)
            self.paced(self.wfile.write, data)
        except (BrokenPipeError, ConnectionResetError):
            self.close_connection = True

    def tunnel(self):
        self.record(200, self.authorization())
        self.wfile.write(b"HTTP/1.1 200 Connection established\r\n\r\n")
        self.wfile.flush()
        self.close_connection = True
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(ARGS.cert, ARGS.key)
        try:
            tls = context.wrap_socket(self.connection, server_side=True)
            pending = b""
            while True:
                while b"\r\n\r\n" not in pending:
                    data = tls.recv(65536)
                    if not data:
                        return
                    pending += data
                head, pending = pending.split(b"\r\n\r\n", 1)
                match = re.search(rb"\r\nRange: *(bytes=[0-9]+-[0-9]*)", head, re.I)
                _, reply_head, body = self.file_reply(match.group(1).decode() if match else "")
                tls.sendall(reply_head)
                self.paced(tls.sendall, body)
        except (OSError, ssl.SSLError):
            return

    def do_GET(self):
        if ARGS.scheme == "digest":
            self.answer_digest(self.authorization())
        else:
            self.answer_ntlm(self.authorization())

    do_CONNECT = do_GET

    # --- Digest ---
    def digest_challenge(self, nonce, stale=False):
        line = 'Digest realm="%s", nonce="%s", opaque="5ccc069c"' % (ARGS.realm, nonce)
        if ARGS.mode != "noqop":
            line += ', qop="auth,auth-int"'
        if ARGS.mode == "sess":
            line += ", algorithm=MD5-sess"
        if stale:
            line += ", stale=true"
        return line

    def answer_digest(self, authorization):
        nonce = NONCES[1] if STALE_SENT[0] else NONCES[0]
        if not authorization or not authorization.startswith("Digest "):
            self.challenge([self.digest_challenge(nonce)], close=ARGS.close_after_challenge)
            return 401
        p = digest_params(authorization[7:])
        ha1 = md5hex("%s:%s:%s" % (p.get("username"), ARGS.realm, ARGS.password))
        if ARGS.mode == "sess":
            ha1 = md5hex("%s:%s:%s" % (ha1, p.get("nonce"), p.get("cnonce")))
        ha2 = md5hex("%s:%s" % (self.command, p.get("uri")))
        if ARGS.mode == "noqop":
            expected = md5hex("%s:%s:%s" % (ha1, p.get("nonce"), ha2))
            fresh = "nc" not in p and "cnonce" not in p
        else:
            expected = md5hex("%s:%s:%s:%s:auth:%s" % (ha1, p.get("nonce"), p.get("nc"), p.get("cnonce"), ha2))
            with LOCK:
                key = (p.get("nonce"), p.get("cnonce"))
                nc = int(p.get("nc", "0"), 16)
                fresh = nc > SEEN_NC.get(key, 0) and p.get("qop") == "auth"
                if fresh:
                    SEEN_NC[key] = nc
        if (p.get("username") != ARGS.user or p.get("response") != expected or not fresh
                or p.get("uri") != self.path or p.get("opaque") != "5ccc069c"):
            self.challenge([self.digest_challenge(nonce)])
            return 401
        if ARGS.mode == "stale" and not STALE_SENT[0]:
            STALE_SENT[0] = True
            self.challenge([self.digest_challenge(NONCES[1], stale=True)])
            return 401
        if p.get("nonce") != nonce:
            self.challenge([self.digest_challenge(nonce, stale=True)])
            return 401
        self.serve_file()
        return 200

    # --- NTLM ---
    def answer_ntlm(self, authorization):
        token = None
        if authorization and authorization.upper().startswith("NTLM "):
            token = base64.b64decode(authorization[5:].strip())
        if token is None:
            offer = ["Negotiate, NTLM"] if ARGS.mode == "combined" else ["Negotiate", "NTLM"]
            if ARGS.mode == "negotiate-only":
                offer = ["Negotiate"]
            self.challenge(offer)
            return 401
        kind = struct.unpack("<I", token[8:12])[0] if len(token) >= 12 else 0
        if kind == 1:
            self.server_challenge = os.urandom(8)
            flags = 0x00008201 if ARGS.mode == "v1" else 0x00088201
            info = struct.pack("<HH", 2, 12) + "SERVER".encode("utf-16-le") + struct.pack("<HH", 0, 0)
            message = (b"NTLMSSP\0" + struct.pack("<I", 2) + struct.pack("<HHI", 0, 0, 48)
                       + struct.pack("<I", flags) + self.server_challenge + b"\0" * 8
                       + struct.pack("<HHI", len(info), len(info), 48) + info)
            self.challenge(["NTLM " + base64.b64encode(message).decode()])
            return 401
        if kind == 3 and self.server_challenge is not None and self.verify_ntlm(token):
            self.server_challenge = None
            self.serve_file()
            return 200
        self.server_challenge = None
        self.challenge(["NTLM"])
        return 401

    def verify_ntlm(self, token):
        def field(at):
            length, _, offset = struct.unpack("<HHI", token[at:at + 8])
            return token[offset:offset + length]
        lm, nt, domain, user = field(12), field(20), field(28), field(36)
        name = user.decode("utf-16-le")
        if domain.decode("utf-16-le").upper() != "MYDOMAIN" or name.upper() != ARGS.user.upper():
            return False
        nt_hash = md4(ARGS.password.encode("utf-16-le"))
        if ARGS.mode == "v1":
            key = nt_hash + b"\0" * 5
            expected = b"".join(DES(DES.key56_to_key64(key[i:i + 7])).encrypt(self.server_challenge)
                                for i in (0, 7, 14))
            # The LM response is not checked: other clients send the LM hash's response there.
            return nt == expected
        key = hmac.new(nt_hash, name.upper().encode("utf-16-le") + domain, hashlib.md5).digest()
        proof = hmac.new(key, self.server_challenge + nt[16:], hashlib.md5).digest()
        lm_proof = hmac.new(key, self.server_challenge + lm[16:], hashlib.md5).digest()
        return len(nt) > 44 and nt[:16] == proof and len(lm) == 24 and lm[:16] == lm_proof


def main():
    global ARGS
    parser = argparse.ArgumentParser()
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--scheme", choices=("digest", "ntlm"), required=True)
    parser.add_argument("--mode", default="")
    parser.add_argument("--user", required=True)
    parser.add_argument("--password", required=True)
    parser.add_argument("--realm", default="files")
    parser.add_argument("--file", required=True)
    parser.add_argument("--log", required=True)
    parser.add_argument("--split-body", action="store_true")
    parser.add_argument("--body-size", type=int, default=200)
    parser.add_argument("--close-after-challenge", action="store_true")
    parser.add_argument("--proxy", action="store_true")
    parser.add_argument("--cert")
    parser.add_argument("--key")
    ARGS = parser.parse_args()
    open(ARGS.log, "w").close()
    server = ThreadingHTTPServer(("127.0.0.1", ARGS.port), Handler)
    server.daemon_threads = True
    server.serve_forever()


if __name__ == "__main__":
    sys.exit(main())
