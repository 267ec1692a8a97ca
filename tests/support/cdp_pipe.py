"""Headless Chromium driven through its DevTools protocol over a pipe
(--remote-debugging-pipe: commands on the browser's fd 3, answers and events
on its fd 4, each message ended by a NUL), with nothing but the standard
library. For the tests and benchmarks of the report pages; run it inside a
private network namespace, where nothing can leave the machine anyway.

    with Browser() as b:
        page = b.open("file:///tmp/page.html")
        page.evaluate("document.title")
        page.screenshot("/tmp/page.png")
"""

import base64
import fcntl
import json
import os
import select
import shutil
import subprocess
import tempfile
import time

FLAGS = ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
         "--disable-background-networking", "--disable-component-update", "--disable-sync",
         "--hide-scrollbars", "--remote-debugging-pipe"]


class BrowserError(RuntimeError):
    pass


class Browser:
    def __init__(self, binary="chromium", timeout=30):
        self.timeout = timeout
        self.profile = tempfile.mkdtemp(prefix="daveridur-chromium.")
        to_browser_r, self._to_browser = os.pipe()
        self._from_browser, from_browser_w = os.pipe()
        # Out of the way of the descriptors 3 and 4 the browser reads them on.
        keep_r = fcntl.fcntl(to_browser_r, fcntl.F_DUPFD, 10)
        keep_w = fcntl.fcntl(from_browser_w, fcntl.F_DUPFD, 10)
        os.close(to_browser_r)
        os.close(from_browser_w)

        def descriptors():
            os.dup2(keep_r, 3)
            os.dup2(keep_w, 4)

        self.log = tempfile.TemporaryFile()
        self.proc = subprocess.Popen(
            [binary] + FLAGS + ["--user-data-dir=" + self.profile, "about:blank"],
            stdin=subprocess.DEVNULL, stdout=self.log, stderr=self.log,
            preexec_fn=descriptors, pass_fds=(3, 4))
        os.close(keep_r)
        os.close(keep_w)
        self._buffer = b""
        self._next_id = 0
        self.events = []  # (session, method, params) of every event heard

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def close(self):
        if self.proc.poll() is None:
            try:
                self.send("Browser.close", timeout=5)
            except (BrowserError, OSError):
                pass
            try:
                self.proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        for fd in (self._to_browser, self._from_browser):
            try:
                os.close(fd)
            except OSError:
                pass
        shutil.rmtree(self.profile, ignore_errors=True)

    def _read_message(self, deadline):
        while b"\0" not in self._buffer:
            left = deadline - time.monotonic()
            if left <= 0:
                raise BrowserError("no answer from the browser in time")
            ready, _, _ = select.select([self._from_browser], [], [], left)
            if not ready:
                continue
            chunk = os.read(self._from_browser, 1 << 20)
            if not chunk:
                self.log.seek(0)
                raise BrowserError("the browser went away: " +
                                   self.log.read().decode(errors="replace")[-2000:])
            self._buffer += chunk
        message, self._buffer = self._buffer.split(b"\0", 1)
        return json.loads(message)

    def send(self, method, params=None, session=None, timeout=None):
        self._next_id += 1
        sent = {"id": self._next_id, "method": method, "params": params or {}}
        if session:
            sent["sessionId"] = session
        os.write(self._to_browser, json.dumps(sent).encode() + b"\0")
        deadline = time.monotonic() + (timeout or self.timeout)
        while True:
            message = self._read_message(deadline)
            if message.get("id") == self._next_id:
                if "error" in message:
                    raise BrowserError("%s: %s" % (method, message["error"]))
                return message.get("result", {})
            if "method" in message:
                self.events.append((message.get("sessionId"), message["method"],
                                    message.get("params", {})))

    def wait_event(self, method, session=None, timeout=None, since=0):
        """The first event of that method (and session) from events[since:]."""
        deadline = time.monotonic() + (timeout or self.timeout)
        seen = since
        while True:
            for i in range(seen, len(self.events)):
                s, m, params = self.events[i]
                if m == method and (session is None or s == session):
                    return params
            seen = len(self.events)
            message = self._read_message(deadline)
            if "method" in message:
                self.events.append((message.get("sessionId"), message["method"],
                                    message.get("params", {})))

    def open(self, url, before_load=None, width=1200, height=900):
        """A new page at url, loaded; before_load: a script run in it before
        any of the page's own."""
        target = self.send("Target.createTarget", {"url": "about:blank"})["targetId"]
        session = self.send("Target.attachToTarget",
                            {"targetId": target, "flatten": True})["sessionId"]
        page = Page(self, session)
        for domain in ("Page", "Runtime", "Network", "Log"):
            page.send(domain + ".enable")
        page.send("Emulation.setDeviceMetricsOverride",
                  {"width": width, "height": height, "deviceScaleFactor": 1, "mobile": False})
        if before_load:
            page.send("Page.addScriptToEvaluateOnNewDocument", {"source": before_load})
        since = len(self.events)
        page.send("Page.navigate", {"url": url})
        self.wait_event("Page.loadEventFired", session, since=since)
        page.since = since
        return page


class Page:
    def __init__(self, browser, session):
        self.browser = browser
        self.session = session
        self.since = 0

    def send(self, method, params=None, timeout=None):
        return self.browser.send(method, params, self.session, timeout)

    def events(self, method):
        return [p for s, m, p in self.browser.events[self.since:]
                if s == self.session and m == method]

    def evaluate(self, expression):
        result = self.send("Runtime.evaluate",
                           {"expression": expression, "returnByValue": True, "awaitPromise": True})
        if "exceptionDetails" in result:
            raise BrowserError("%s: %s" % (expression[:80], result["exceptionDetails"]))
        return result["result"].get("value")

    def click(self, selector):
        """A mouse click in the middle of the element, as a person's."""
        box = self.evaluate(
            "(function(){var e=document.querySelector(%s);e.scrollIntoView({block:'center'});"
            "var r=e.getBoundingClientRect();return [r.left+r.width/2,r.top+r.height/2];})()"
            % json.dumps(selector))
        for kind in ("mousePressed", "mouseReleased"):
            self.send("Input.dispatchMouseEvent", {"type": kind, "x": box[0], "y": box[1],
                                                   "button": "left", "clickCount": 1})

    def type_into(self, selector, text):
        self.evaluate("document.querySelector(%s).focus()" % json.dumps(selector))
        self.send("Input.insertText", {"text": text})

    def screenshot(self, path, width=1200):
        """The whole page, top to bottom."""
        height = self.evaluate("Math.ceil(document.documentElement.scrollHeight)")
        self.send("Emulation.setDeviceMetricsOverride",
                  {"width": width, "height": height, "deviceScaleFactor": 1, "mobile": False})
        shot = self.send("Page.captureScreenshot", {"format": "png", "captureBeyondViewport": True},
                         timeout=60)
        with open(path, "wb") as f:
            f.write(base64.b64decode(shot["data"]))
        return height
