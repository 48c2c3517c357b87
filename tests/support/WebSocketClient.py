#!/usr/bin/python3
"""Real WebSocket clients for the browser-link tests.

Usage: WebSocketClient.py <port> <scenario> [args...]
Every scenario prints "ok" as its last line and exits 0 when the server behaved, or prints the
problem and exits 1. Lines starting with "step " tell the calling test how far it got; a scenario
that needs the test to act prints "ready ..." and waits for one line on stdin.
"""
import asyncio
import base64
import os
import socket
import sys
import time

import websockets

PROTOCOL = "vornextension.v1"
AGENT = "BrellinTest/1.0 (X11; Linux x86_64)"


def fail(message):
    print(message, flush=True)
    sys.exit(1)


def step(text):
    print("step " + text, flush=True)


async def connect(port, **options):
    options.setdefault("subprotocols", [PROTOCOL])
    return await websockets.connect("ws://127.0.0.1:%d/" % port, user_agent_header=AGENT, close_timeout=1,
                                    ping_interval=None, open_timeout=10, **options)


# --- scenarios over the websockets package ---------------------------------------------------------

async def texts(port, *payloads):
    ws = await connect(port)
    if ws.subprotocol != PROTOCOL:
        fail("subprotocol %r" % ws.subprotocol)
    for payload in payloads:
        await ws.send(payload)
    # A ping round trip proves every earlier frame was read before we leave.
    await asyncio.wait_for(await ws.ping(b"sync"), 10)
    await ws.close()


async def big(port):
    ws = await connect(port)
    await ws.send("".join(chr(ord("a") + i % 26) for i in range(65535)))
    await asyncio.wait_for(await ws.ping(b"sync"), 10)
    await ws.close()


async def ping(port):
    ws = await connect(port)
    data = bytes(range(125))
    # websockets resolves the waiter only for a pong that carries the same bytes.
    await asyncio.wait_for(await ws.ping(data), 10)
    await ws.close()


async def origin(port, value):
    try:
        ws = await connect(port, origin=value)
    except (websockets.exceptions.InvalidHandshake, ConnectionError, EOFError) as error:
        print("refused %s" % type(error).__name__, flush=True)
        return
    await ws.send("from " + value)
    await asyncio.wait_for(await ws.ping(b"sync"), 10)
    await ws.close()
    print("accepted", flush=True)


async def offered(port, protocols):
    try:
        ws = await connect(port, subprotocols=protocols.split(","))
    except (websockets.exceptions.InvalidHandshake, ConnectionError, EOFError) as error:
        print("refused %s" % type(error).__name__, flush=True)
        return
    print("accepted %s" % ws.subprotocol, flush=True)
    await ws.close()


async def waiting(port):
    ws = await connect(port)
    first = await asyncio.wait_for(ws.recv(), 10)
    if first != "waiting":
        fail("after the handshake: %r" % first)
    await ws.send("one")
    answer = await asyncio.wait_for(ws.recv(), 10)
    if answer != "refused":
        fail("answer to a frame without a URL: %r" % answer)
    again = await asyncio.wait_for(ws.recv(), 10)
    if again != "waiting":
        fail("after a frame: %r" % again)
    print("ready for nowaiting", flush=True)
    sys.stdin.readline()
    word = await asyncio.wait_for(ws.recv(), 10)
    if word != "nowaiting":
        fail("after SetWaiting(false): %r" % word)
    await ws.close()


async def answers(port, *payloads):
    """Sends each capture and prints the link's answer to it."""
    ws = await connect(port)
    for payload in payloads:
        await ws.send(payload.replace("|", "\r\n"))
        print("answer %s" % await asyncio.wait_for(ws.recv(), 10), flush=True)
    await ws.close()


async def notified(port):
    ws = await connect(port)
    handshaking = socket.create_connection(("127.0.0.1", port), timeout=10)
    handshaking.sendall(b"GET / HTTP/1.1\r\nHost: x\r\n")
    print("ready for waiting", flush=True)
    sys.stdin.readline()
    word = await asyncio.wait_for(ws.recv(), 10)
    if word != "waiting":
        fail("broadcast: %r" % word)
    # A connection still in its handshake hears nothing.
    handshaking.settimeout(1)
    try:
        heard = handshaking.recv(100)
        fail("heard %r during the handshake" % heard)
    except socket.timeout:
        pass
    await ws.close()


# --- scenarios over a raw socket, for bytes the package would never send ---------------------------

class Connection(socket.socket):
    leftover = b""


def raw_open(port, extra=""):
    sock = Connection(socket.AF_INET, socket.SOCK_STREAM)
    sock.settimeout(10)
    sock.connect(("127.0.0.1", port))
    sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    key = base64.b64encode(os.urandom(16)).decode()
    sock.sendall(("GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                  "Sec-WebSocket-Key: %s\r\nSec-WebSocket-Version: 13\r\nSec-WebSocket-Protocol: %s\r\n"
                  "User-Agent: %s\r\n%s\r\n" % (key, PROTOCOL, AGENT, extra)).encode())
    reply = b""
    while b"\r\n\r\n" not in reply:
        chunk = sock.recv(4096)
        if not chunk:
            fail("closed during the handshake")
        reply += chunk
    if not reply.startswith(b"HTTP/1.1 101 "):
        fail("handshake reply %r" % reply)
    # Frames the server sent right behind its reply ("waiting") wait here for server_frames.
    sock.leftover = reply[reply.index(b"\r\n\r\n") + 4:]
    return sock


def frame(payload, first=0x81, masked=True, length_form=None):
    size = len(payload)
    bit = 0x80 if masked else 0
    form = length_form or (0 if size <= 125 else 126 if size <= 0xFFFF else 127)
    head = bytes([first])
    if form == 0:
        head += bytes([bit | size])
    elif form == 126:
        head += bytes([bit | 126]) + size.to_bytes(2, "big")
    else:
        head += bytes([bit | 127]) + size.to_bytes(8, "big")
    if not masked:
        return head + payload
    mask = os.urandom(4)
    return head + mask + bytes(b ^ mask[i % 4] for i, b in enumerate(payload))


def expect_closed(sock, seconds=10):
    sock.settimeout(seconds)
    try:
        while True:
            data = sock.recv(4096)
            if not data:
                return
    except ConnectionResetError:
        return
    except socket.timeout:
        fail("connection still open")


def expect_pong(sock, payload):
    """Waits for the pong, passing over the answers to the texts sent before the ping."""
    for opcode, data in server_frames(sock):
        if opcode == 0x81 and data in (b"accepted", b"refused", b"waiting"):
            continue
        if (opcode, data) != (0x8A, payload):
            fail("pong %r" % ((opcode, data),))
        return


def server_frames(sock):
    """Yields (opcode, payload) of the server's frames, which are never masked and at most 125 bytes."""
    data = sock.leftover
    while True:
        while len(data) < 2 or len(data) < 2 + (data[1] & 0x7F):
            chunk = sock.recv(4096)
            if not chunk:
                fail("closed while reading the server's frames")
            data += chunk
        size = data[1] & 0x7F
        yield data[0], data[2:2 + size]
        data = data[2 + size:]


def raw_burst(port):
    """Frames that are still in the socket while the server answers one must not be lost."""
    sock = raw_open(port)
    frames = server_frames(sock)
    if next(frames) != (0x81, b"waiting"):
        fail("no waiting after the handshake")
    sock.sendall(frame(b"small") + frame(b"y" * 60000) + frame(b"end") + frame(b"p", first=0x89))
    seen = []
    for opcode, payload in frames:
        seen.append((opcode, payload))
        if opcode == 0x8A:
            break
    if seen != [(0x81, b"refused"), (0x81, b"waiting")] * 3 + [(0x8A, b"p")]:
        fail("server frames %r" % seen)


def raw_unmasked(port):
    sock = raw_open(port)
    sock.sendall(frame(b"unmasked", masked=False) + frame(b"ping", first=0x89))
    expect_pong(sock, b"ping")


def raw_two_in_one(port):
    sock = raw_open(port)
    sock.sendall(frame(b"first") + frame(b"second") + frame(b"p", first=0x89))
    expect_pong(sock, b"p")


def raw_split(port):
    sock = raw_open(port)
    data = frame(b"x" * 300, length_form=126)
    # Header, extended length, mask and payload each in reads of their own.
    for piece in (data[:1], data[1:2], data[2:4], data[4:8], data[8:100], data[100:]):
        sock.sendall(piece)
        time.sleep(0.05)
    sock.sendall(frame(b"p", first=0x89))
    expect_pong(sock, b"p")


def raw_violation(port, kind):
    sock = raw_open(port)
    bad = {
        "len64": frame(b"small", length_form=127),
        "fragment": frame(b"part", first=0x01) + frame(b"rest", first=0x80),
        "binary": frame(b"\x00\x01", first=0x82),
        "continuation": frame(b"x", first=0x80),
        "close": frame(b"", first=0x88),
        "longping": frame(b"p" * 126, first=0x89),
    }[kind]
    sock.sendall(bad)
    expect_closed(sock)


def raw_halfopen(port, seconds):
    """A connection stuck in the middle of a frame is dropped; one between frames is kept."""
    idle = raw_open(port)
    stuck = raw_open(port)
    stuck.sendall(frame(b"never finished" * 4)[:10])
    handshaking = socket.create_connection(("127.0.0.1", port), timeout=10)
    handshaking.sendall(b"GET / HTTP/1.1\r\nHost: x\r\n")
    start = time.time()
    # Dropped after eight seconds, noticed by a sweep that runs at least every three.
    expect_closed(stuck, 30)
    expect_closed(handshaking, 30)
    elapsed = time.time() - start
    if elapsed < float(seconds):
        fail("dropped after %.1f s" % elapsed)
    idle.sendall(frame(b"p", first=0x89))
    expect_pong(idle, b"p")


def foreign(port):
    """Only 127.0.0.1 itself may talk to the link, not the rest of the loopback network."""
    sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    sock.bind(("127.0.0.2", 0))
    sock.settimeout(10)
    sock.connect(("127.0.0.1", port))
    try:
        sock.sendall(b"GET / HTTP/1.1\r\nSec-WebSocket-Key: a2V5\r\nSec-WebSocket-Protocol: "
                     + PROTOCOL.encode() + b"\r\n\r\n")
    except (BrokenPipeError, ConnectionResetError):
        return
    expect_closed(sock)


def cycles(port, count):
    for i in range(int(count)):
        sock = socket.create_connection(("127.0.0.1", port), timeout=10)
        if i % 3 == 1:
            sock.sendall(b"GET / HTTP/1.1\r\n")
        elif i % 3 == 2:
            raw_open(port).close()
        sock.close()
    step("cycles done")


def garbage(port):
    good = raw_open(port)
    bad = socket.create_connection(("127.0.0.1", port), timeout=10)
    random = os.urandom(256 * 1024)
    try:
        for at in range(0, len(random), 4096):
            bad.sendall(random[at:at + 4096])
    except (BrokenPipeError, ConnectionResetError):
        pass
    # Closed for a rule it broke, or at the latest by the half-open sweep.
    expect_closed(bad, 30)
    bad_open = raw_open(port)
    try:
        # A first byte without the final-fragment bit: random bytes could otherwise begin a valid text frame.
        bad_open.sendall(bytes([0x03]) + os.urandom(64 * 1024 - 1))
    except (BrokenPipeError, ConnectionResetError):
        pass
    good.sendall(frame(b"still here"))
    good.sendall(frame(b"p", first=0x89))
    expect_pong(good, b"p")


def main():
    port = int(sys.argv[1])
    name = sys.argv[2]
    args = sys.argv[3:]
    coroutines = {"texts": texts, "big": big, "ping": ping, "origin": origin, "offered": offered,
                  "waiting": waiting, "notified": notified, "answers": answers}
    plain = {"unmasked": raw_unmasked, "two_in_one": raw_two_in_one, "split": raw_split, "burst": raw_burst,
             "violation": raw_violation, "halfopen": raw_halfopen, "cycles": cycles, "foreign": foreign, "garbage": garbage}
    if name in coroutines:
        asyncio.run(coroutines[name](port, *args))
    else:
        plain[name](port, *args)
    print("ok", flush=True)


if __name__ == "__main__":
    main()
