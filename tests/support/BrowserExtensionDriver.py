#!/usr/bin/python3
"""Drives a real browser with the Brellin extension loaded: Chromium over the DevTools protocol, Firefox
over Marionette.

Usage: BrowserExtensionDriver.py <link port> <chromium|firefox> <page url> <extension> <work dir>
The page links to /slow/<name>.bin for each capture, in this order:
  accepted: the extension talks to the link on <link port> (the real server, which answers "accepted");
            the browser's own download must be cancelled.
  off:      capture is off: the browser keeps its download. The driver then prints "ready for waiting"
            and reads a line, meanwhile the test has the server announce a waiting download.
  waiting:  capture is still off, but the program waits: the download goes to it.
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
FIREFOX = "/usr/bin/firefox-esr"
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


def launch_chromium(extension, work):
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


class Chromium:
    """The extension's service worker and the page, each a DevTools session."""

    def __init__(self, devtools, worker, page):
        self.devtools, self.worker, self.page = devtools, worker, page

    async def extension(self, expression):
        return await self.devtools.evaluate(self.worker, expression)

    async def page_script(self, expression):
        return await self.devtools.evaluate(self.page, expression)

    async def options_script(self, expression):
        if not hasattr(self, "options"):
            host = await self.extension("chrome.runtime.id")
            created = await self.devtools.call("Target.createTarget", url="chrome-extension://%s/options.html" % host)
            self.options = (await self.devtools.call("Target.attachToTarget", targetId=created["targetId"],
                                                     flatten=True))["sessionId"]
        return await self.devtools.evaluate(self.options, expression)


class Marionette:
    """Firefox's remote protocol: length-prefixed JSON over TCP."""

    def __init__(self, port):
        self.socket = socket.create_connection(("127.0.0.1", port), timeout=EVENT_SECONDS)
        self.buffer = b""
        self.next_id = 0
        self.receive()

    def receive(self):
        while True:
            if b":" in self.buffer:
                size, rest = self.buffer.split(b":", 1)
                if len(rest) >= int(size):
                    self.buffer = rest[int(size):]
                    return json.loads(rest[:int(size)])
            chunk = self.socket.recv(65536)
            if not chunk:
                fail("marionette closed")
            self.buffer += chunk

    def call(self, name, **params):
        self.next_id += 1
        data = json.dumps([0, self.next_id, name, params]).encode()
        self.socket.sendall(str(len(data)).encode() + b":" + data)
        while True:
            reply = self.receive()
            if reply[0] == 1 and reply[1] == self.next_id:
                if reply[2]:
                    raise RuntimeError("%s: %s" % (name, reply[2].get("message")))
                result = reply[3] or {}
                # Most commands wrap their result in "value"; a few (NewWindow) do not.
                return result["value"] if isinstance(result, dict) and "value" in result else result


class Firefox:
    """The extension's options page in one tab (it reaches the background page), the test page in another."""

    def __init__(self, marionette, control, page):
        self.marionette, self.control, self.page = marionette, control, page

    def run_now(self, handle, script):
        self.marionette.call("WebDriver:SwitchToWindow", handle=handle)
        return self.marionette.call("WebDriver:ExecuteScript", script=script, args=[])

    async def run(self, handle, script):
        # Off the event loop, which serves the scripted link meanwhile.
        return await asyncio.to_thread(self.run_now, handle, script)

    async def extension(self, expression):
        # Values travel as JSON text: Marionette does not return every object the extension makes.
        text = await self.run(self.control, "return browser.runtime.getBackgroundPage().then((bg) => {"
                        "const brellin = bg.brellin; const chrome = browser; return (%s); })"
                        ".then((value) => JSON.stringify(value === undefined ? null : value))" % expression)
        return json.loads(text)

    async def page_script(self, expression):
        return await self.run(self.page, "return (%s)" % expression)

    async def options_script(self, expression):
        # The control tab shows the options page.
        return await self.run(self.control, "return (%s)" % expression)


async def until(browser, expression, what, seconds=EVENT_SECONDS):
    """Polls an expression in the extension until it gives a value; the value is the event awaited."""
    deadline = time.time() + seconds
    while time.time() < deadline:
        value = await browser.extension(expression)
        if value:
            return value
        await asyncio.sleep(0.1)
    fail("timed out waiting for " + what)


async def capture(browser, url, link_port, expected_reason):
    """Points the extension at a link, clicks the page's link to url and waits for the extension's verdict."""
    await browser.extension("chrome.storage.local.set({linkPort: %d}).then(() => true)" % link_port)
    # The extension applies the port when storage tells it of the change.
    await until(browser, "brellin.link.port === %d" % link_port, "the extension to use port %d" % link_port)
    await browser.page_script("document.querySelector('a[href$=\"%s\"]').click(), true" % url.rsplit("/", 1)[1])
    try:
        entry = await until(browser, "brellin.journal.find((entry) => entry.url === %s) || null" % json.dumps(url),
                            "the capture of " + url)
    except SystemExit:
        # What the extension and the browser saw, for the failure message.
        state = await browser.extension("chrome.downloads.search({}).then((items) => JSON.stringify({"
                                        "journal: brellin.journal, open: brellin.link.open, port: brellin.link.port,"
                                        "downloads: items.map((i) => [i.url, i.state, i.error])}))")
        print("extension state " + state, flush=True)
        raise
    downloads = await browser.extension("chrome.downloads.search({url: %s}).then((items) => items.map("
                                        "(item) => ({state: item.state, error: item.error || null})))" % json.dumps(url))
    step("%s %s %s %s" % (url.rsplit("/", 1)[1], entry["outcome"], entry["reason"],
                           ",".join(item["state"] for item in downloads) or "none"))
    if entry["reason"] != expected_reason:
        fail("%s: %r" % (url, entry))
    return entry, downloads


async def captures(browser, page_url, link_port):
    base = page_url.rsplit("/", 1)[0]

    # The real link: the program answers "accepted" and the browser's download goes.
    entry, items = await capture(browser, base + "/slow/accepted.bin", link_port, "accepted")
    if entry["outcome"] != "handed" or any(item["state"] == "in_progress" for item in items):
        fail("accepted, yet the browser kept its download: %r %r" % (entry, items))

    # Capture turned off on the options page: the browser keeps its downloads...
    deadline = time.time() + EVENT_SECONDS
    while not await browser.options_script("document.getElementById('capture')?.checked === true"):
        if time.time() > deadline:
            fail("the options page showed no capture setting")
        await asyncio.sleep(0.1)
    await browser.options_script("(() => { const box = document.getElementById('capture'); box.checked = false; "
                                 "box.dispatchEvent(new Event('change')); return true; })()")
    await until(browser, "brellin.options().capture === false", "capture to be off")
    entry, items = await capture(browser, base + "/slow/off.bin", link_port, "capture off")
    if [item["state"] for item in items] != ["in_progress"]:
        fail("capture off, yet the browser's download went: %r" % items)
    # ...except while the program waits for a fresh link, which it announces over the link.
    print("ready for waiting", flush=True)
    sys.stdin.readline()
    await until(browser, "brellin.link.waiting", "the waiting notice")
    entry, items = await capture(browser, base + "/slow/waiting.bin", link_port, "accepted")
    if entry["outcome"] != "handed" or any(item["state"] == "in_progress" for item in items):
        fail("the waiting program accepted, yet the browser kept its download: %r %r" % (entry, items))
    await browser.extension("chrome.storage.local.set({capture: true}).then(() => true)")

    # A link that refuses: the browser's download carries on.
    heard = []

    async def refuse(connection, path=None):
        async for text in connection:
            heard.append(text)
            await connection.send("refused")

    async with websockets.serve(refuse, "127.0.0.1", 0, subprotocols=[PROTOCOL]) as server:
        refusing_port = server.sockets[0].getsockname()[1]
        entry, items = await capture(browser, base + "/slow/refused.bin", refusing_port, "refused")
    if entry["outcome"] != "kept" or [item["state"] for item in items] != ["in_progress"]:
        fail("refused, yet the browser's download went: %r %r" % (entry, items))
    if len(heard) != 1 or ("\r\n2:%s/slow/refused.bin\r\n" % base) not in heard[0]:
        fail("the refusing link heard %r" % heard)

    # No program: the link is down, and the browser keeps its download.
    entry, items = await capture(browser, base + "/slow/down.bin", free_port(), "down")
    if entry["outcome"] != "kept" or [item["state"] for item in items] != ["in_progress"]:
        fail("link down, yet the browser's download went: %r %r" % (entry, items))
    await browser.extension("chrome.downloads.search({}).then((all) => Promise.all("
                            "all.map((item) => chrome.downloads.cancel(item.id)))).then(() => true)")


async def chromium(link_port, page_url, extension, work):
    process, browser_url = launch_chromium(extension, work)
    try:
        async with websockets.connect(browser_url, max_size=None, ping_interval=None,
                                      open_timeout=EVENT_SECONDS) as ws:
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
            page = (await devtools.call("Target.attachToTarget", targetId=created["targetId"],
                                        flatten=True))["sessionId"]
            await devtools.until(page, "document.readyState === 'complete' && document.links.length === 5",
                                 "the page to load")
            await captures(Chromium(devtools, worker, page), page_url, link_port)
            await devtools.call("Browser.close")
    finally:
        stop(process)


FIREFOX_PREFERENCES = {
    "marionette.port": 0,
    "browser.shell.checkDefaultBrowser": False,
    "datareporting.policy.dataSubmissionEnabled": False,
    "browser.download.folderList": 2,
    "browser.download.useDownloadDir": True,
    "browser.download.always_ask_before_handling_new_types": False,
    "browser.safebrowsing.downloads.enabled": False,
    "browser.safebrowsing.malware.enabled": False,
    "browser.safebrowsing.phishing.enabled": False,
    "app.update.disabledForTesting": True,
    "network.proxy.type": 0,
    # A Manifest V3 add-on gets its host permissions at install, as a user would grant them.
    "extensions.originControls.grantByDefault": True,
}


async def firefox(link_port, page_url, extension, work):
    profile = os.path.join(work, "firefox-profile")
    downloads_dir = os.path.join(work, "downloads")
    os.makedirs(profile, exist_ok=True)
    os.makedirs(downloads_dir, exist_ok=True)
    preferences = dict(FIREFOX_PREFERENCES, **{"browser.download.dir": downloads_dir})
    with open(os.path.join(profile, "user.js"), "w") as out:
        for name, value in preferences.items():
            out.write("user_pref(%s, %s);\n" % (json.dumps(name), json.dumps(value)))
    log = open(os.path.join(work, "firefox.log"), "wb")
    process = subprocess.Popen([FIREFOX, "--headless", "--marionette", "-remote-allow-system-access", "--no-remote",
                                "--profile", profile, "about:blank"], stdin=subprocess.DEVNULL, stdout=log,
                               stderr=log, preexec_fn=die_with_parent)
    try:
        port_file = os.path.join(profile, "MarionetteActivePort")
        deadline = time.time() + START_SECONDS
        while not os.path.exists(port_file) or not open(port_file).read().strip():
            if time.time() > deadline or process.poll() is not None:
                fail("firefox wrote no Marionette port")
            time.sleep(0.1)
        marionette = Marionette(int(open(port_file).read().strip()))
        marionette.call("WebDriver:NewSession", capabilities={})
        addon = marionette.call("Addon:Install", path=extension, temporary=True)
        marionette.call("Marionette:SetContext", value="chrome")
        host = marionette.call("WebDriver:ExecuteScript", args=[addon],
                               script="return WebExtensionPolicy.getByID(arguments[0]).mozExtensionHostname")
        marionette.call("Marionette:SetContext", value="content")
        step("extension " + addon)
        control = marionette.call("WebDriver:GetWindowHandle")
        marionette.call("WebDriver:Navigate", url="moz-extension://%s/options.html" % host)
        page = marionette.call("WebDriver:NewWindow", type="tab")["handle"]
        marionette.call("WebDriver:SwitchToWindow", handle=page)
        marionette.call("WebDriver:Navigate", url=page_url)
        browser = Firefox(marionette, control, page)
        await until(browser, "typeof brellin === 'object'", "the extension to start")
        await captures(browser, page_url, link_port)
        marionette.call("Marionette:Quit")
    finally:
        stop(process)


def stop(process):
    try:
        process.wait(timeout=20)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait()


def main():
    link_port, browser, page_url, extension, work = sys.argv[1:6]
    asyncio.run({"chromium": chromium, "firefox": firefox}[browser](int(link_port), page_url, extension, work))
    print("ok", flush=True)


if __name__ == "__main__":
    main()
