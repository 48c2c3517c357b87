#!/usr/bin/python3
"""Drives a real Chromium with the Brellin extension loaded, over the DevTools protocol.

Usage: ChromiumExtensionDriver.py <link port> <page url> <extension dir> <work dir>
The page links to /slow/accepted.bin, /slow/refused.bin and /slow/down.bin. Three captures:
  accepted: the extension talks to the link on <link port> (the real server, which answers "accepted");
            the browser's own download must be cancelled.
  refused:  a scripted link here answers "refused"; the browser keeps its download.
  down:     nothing listens on the link port; the browser keeps its download.
Prints "step ..." lines and "ok" last when everything held, or the problem and exits 1.
"""
import asyncio
import ctypes
import json
import os
import signal
import socket
import subprocess
import sys
import time

import websockets

PROTOCOL = "vornextension.v1"
CHROMIUM = "/usr/bin/chromium"
# Generous: a loaded two-core machine starts a browser slowly.
START_SECONDS = 90
EVENT_SECONDS = 45


def fail(message):
    print(message, flush=True)
    raise SystemExit(1)


def step(text):
    print("step " + text, flush=True)


def die_with_parent():
    # The browser must not outlive a driver that is killed.
    ctypes.CDLL("libc.so.6", use_errno=True).prctl(1, signal.SIGKILL)
    os.setsid()


def launch(extension, work):
    profile = os.path.join(work, "profile")
    os.makedirs(profile, exist_ok=True)
    log = open(os.path.join(work, "chromium.log"), "wb")
    arguments = [CHROMIUM, "--headless=new", "--no-sandbox", "--disable-gpu", "--no-first-run",
                 "--disable-background-networking", "--disable-component-update", "--disable-sync",
                 "--no-default-browser-check", "--password-store=basic", "--user-data-dir=" + profile,
                 "--remote-debugging-port=0", "--remote-debugging-address=127.0.0.1",
                 "--load-extension=" + extension, "--disable-extensions-except=" + extension, "about:blank"]
    process = subprocess.Popen(arguments, stdin=subprocess.DEVNULL, stdout=log, stderr=log,
                               preexec_fn=die_with_parent)
    port_file = os.path.join(profile, "DevToolsActivePort")
    deadline = time.time() + START_SECONDS
    while time.time() < deadline:
        if process.poll() is not None:
            fail("chromium ended early: %s" % open(os.path.join(work, "chromium.log"), errors="replace").read()[-2000:])
        try:
            lines = open(port_file).read().split("\n")
            if len(lines) >= 2 and lines[1]:
                return process, "ws://127.0.0.1:%s%s" % (lines[0], lines[1])
        except FileNotFoundError:
            pass
        time.sleep(0.1)
    fail("chromium wrote no DevTools port")


class DevTools:
    def __init__(self, ws):
        self.ws = ws
        self.next_id = 0
        self.replies = {}
        self.reader = asyncio.ensure_future(self.read())

    async def read(self):
        async for text in self.ws:
            message = json.loads(text)
            waiter = self.replies.pop(message.get("id"), None)
            if waiter and not waiter.done():
                waiter.set_result(message)

    async def call(self, method, session=None, **params):
        self.next_id += 1
        waiter = asyncio.get_running_loop().create_future()
        self.replies[self.next_id] = waiter
        request = {"id": self.next_id, "method": method, "params": params}
        if session:
            request["sessionId"] = session
        await self.ws.send(json.dumps(request))
        reply = await asyncio.wait_for(waiter, EVENT_SECONDS)
        if "error" in reply:
            raise RuntimeError("%s: %s" % (method, reply["error"]))
        return reply.get("result", {})

    async def evaluate(self, session, expression):
        result = await self.call("Runtime.evaluate", session, expression=expression, awaitPromise=True,
                                 returnByValue=True)
        if "exceptionDetails" in result:
            raise RuntimeError("%s: %s" % (expression, result["exceptionDetails"]))
        return result["result"].get("value")

    async def until(self, session, expression, what, seconds=EVENT_SECONDS):
        """Polls an expression in the target until it gives a value; the value is the event awaited."""
        deadline = time.time() + seconds
        while time.time() < deadline:
            value = await self.evaluate(session, expression)
            if value:
                return value
            await asyncio.sleep(0.1)
        fail("timed out waiting for " + what)


async def attach(devtools, predicate, what):
    deadline = time.time() + START_SECONDS
    while time.time() < deadline:
        targets = (await devtools.call("Target.getTargets"))["targetInfos"]
        for target in targets:
            if predicate(target):
                attached = await devtools.call("Target.attachToTarget", targetId=target["targetId"], flatten=True)
                return target, attached["sessionId"]
        await asyncio.sleep(0.2)
    fail("no target: " + what)


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


async def capture(devtools, worker, page, url, link_port, expected_reason):
    """Points the extension at a link, clicks the page's link to url and waits for the extension's verdict."""
    await devtools.evaluate(worker, "chrome.storage.local.set({linkPort: %d}).then(() => true)" % link_port)
    # The extension applies the port when storage tells it of the change.
    await devtools.until(worker, "brellin.link.port === %d" % link_port, "the extension to use port %d" % link_port)
    await devtools.evaluate(page, "document.querySelector('a[href$=\"%s\"]').click(), true" % url.rsplit("/", 1)[1])
    try:
        entry = await devtools.until(worker, "brellin.journal.find((entry) => entry.url === %s) || null"
                                     % json.dumps(url), "the capture of " + url)
    except SystemExit:
        # What the extension and the browser saw, for the failure message.
        state = await devtools.evaluate(worker, "chrome.downloads.search({}).then((items) => JSON.stringify({"
                                        "journal: brellin.journal, open: brellin.link.open, port: brellin.link.port,"
                                        "downloads: items.map((i) => [i.url, i.state, i.error])}))")
        print("extension state " + state, flush=True)
        raise
    downloads = await devtools.evaluate(worker, "chrome.downloads.search({url: %s})" % json.dumps(url))
    step("%s %s %s %s" % (url.rsplit("/", 1)[1], entry["outcome"], entry["reason"],
                           ",".join(item["state"] for item in downloads) or "none"))
    if entry["reason"] != expected_reason:
        fail("%s: %r" % (url, entry))
    return entry, downloads


async def scenario(link_port, page_url, extension, work):
    process, browser_url = launch(extension, work)
    try:
        async with websockets.connect(browser_url, max_size=None, ping_interval=None, open_timeout=EVENT_SECONDS) as ws:
            devtools = DevTools(ws)
            downloads_dir = os.path.join(work, "downloads")
            os.makedirs(downloads_dir, exist_ok=True)
            await devtools.call("Browser.setDownloadBehavior", behavior="allow", downloadPath=downloads_dir)
            worker_target, worker = await attach(
                devtools, lambda t: t["type"] == "service_worker" and t["url"].startswith("chrome-extension://")
                and t["url"].endswith("/background.js"), "the extension's service worker")
            step("extension " + worker_target["url"].split("/")[2])
            await devtools.until(worker, "typeof brellin === 'object'", "the extension to start")
            created = await devtools.call("Target.createTarget", url=page_url)
            page = (await devtools.call("Target.attachToTarget", targetId=created["targetId"], flatten=True))["sessionId"]
            await devtools.until(page, "document.readyState === 'complete' && document.links.length === 3",
                                 "the page to load")
            base = page_url.rsplit("/", 1)[0]

            # The real link: the program answers "accepted" and the browser's download goes.
            entry, items = await capture(devtools, worker, page, base + "/slow/accepted.bin", link_port, "accepted")
            if entry["outcome"] != "handed" or any(item["state"] == "in_progress" for item in items):
                fail("accepted, yet the browser kept its download: %r %r" % (entry, items))

            # A link that refuses: the browser's download carries on.
            heard = []

            async def refuse(connection, path=None):
                async for text in connection:
                    heard.append(text)
                    await connection.send("refused")

            async with websockets.serve(refuse, "127.0.0.1", 0, subprotocols=[PROTOCOL]) as server:
                refusing_port = server.sockets[0].getsockname()[1]
                entry, items = await capture(devtools, worker, page, base + "/slow/refused.bin", refusing_port,
                                             "refused")
            if entry["outcome"] != "kept" or [item["state"] for item in items] != ["in_progress"]:
                fail("refused, yet the browser's download went: %r %r" % (entry, items))
            if len(heard) != 1 or ("\r\n2:%s/slow/refused.bin\r\n" % base) not in heard[0]:
                fail("the refusing link heard %r" % heard)

            # No program: the link is down, and the browser keeps its download.
            entry, items = await capture(devtools, worker, page, base + "/slow/down.bin", free_port(), "down")
            if entry["outcome"] != "kept" or [item["state"] for item in items] != ["in_progress"]:
                fail("link down, yet the browser's download went: %r %r" % (entry, items))
            await devtools.evaluate(worker, "chrome.downloads.search({}).then((all) => Promise.all("
                                    "all.map((item) => chrome.downloads.cancel(item.id)))).then(() => true)")
            await devtools.call("Browser.close")
    finally:
        try:
            process.wait(timeout=20)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()


def main():
    link_port, page_url, extension, work = int(sys.argv[1]), sys.argv[2], sys.argv[3], sys.argv[4]
    asyncio.run(scenario(link_port, page_url, extension, work))
    print("ok", flush=True)


if __name__ == "__main__":
    main()
