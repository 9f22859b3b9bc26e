"""A minimal DevTools-protocol client for headless Chromium over --remote-debugging-pipe.

The pipe transport (NUL-terminated JSON on file descriptors 3 and 4) needs no
websocket library.
"""

import base64
import fcntl
import json
import os
import shutil
import signal
import subprocess
import tempfile
import threading
import time


def find_chromium():
    for candidate in (os.environ.get("CHROMIUM"), "chromium", "chromium-browser"):
        if candidate and shutil.which(candidate):
            return shutil.which(candidate)
    return None


class DevToolsError(RuntimeError):
    pass


class Browser:
    def __init__(self, executable, timeout=15.0):
        self.timeout = timeout
        self.profile = tempfile.mkdtemp(prefix="quorvantis-chromium-")
        self._log = open(os.path.join(self.profile, "stderr.log"), "wb")
        cmd_read, self._cmd_write = os.pipe()
        self._out_read, out_write = os.pipe()

        def wire_pipes():
            # Chromium reads commands on fd 3 and writes replies on fd 4; move the
            # ends out of the way first so dup2 cannot clobber one with the other.
            high_in = fcntl.fcntl(cmd_read, fcntl.F_DUPFD, 10)
            high_out = fcntl.fcntl(out_write, fcntl.F_DUPFD, 10)
            os.dup2(high_in, 3)
            os.dup2(high_out, 4)

        args = [
            executable,
            "--headless=new",
            "--no-sandbox",
            "--disable-gpu",
            "--disable-background-networking",
            "--disable-component-update",
            "--no-first-run",
            "--no-default-browser-check",
            "--hide-scrollbars",
            "--window-size=1200,1100",
            f"--user-data-dir={self.profile}",
            "--remote-debugging-pipe",
            "about:blank",
        ]
        # The browser runs without the sanitizer runtime preloaded into our tests.
        env = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "ASAN_OPTIONS")}
        # A session of its own, so the whole process group can be reaped.
        self.process = subprocess.Popen(
            args,
            stdin=subprocess.DEVNULL,
            stdout=subprocess.DEVNULL,
            stderr=self._log,
            pass_fds=(3, 4),
            preexec_fn=wire_pipes,
            start_new_session=True,
            env=env,
        )
        os.close(cmd_read)
        os.close(out_write)

        self._lock = threading.Lock()
        self._cond = threading.Condition()
        self._next_id = 0
        self._replies = {}
        self._handlers = {}  # (session id, method) -> callback run on the reader thread
        self._closed = False
        self._reader = threading.Thread(target=self._read_loop, daemon=True)
        self._reader.start()
        try:
            self.send("Browser.getVersion")
        except Exception:
            self.close()
            raise

    def stderr_tail(self, limit=4000):
        with open(os.path.join(self.profile, "stderr.log"), "rb") as f:
            return f.read().decode(errors="replace")[-limit:]

    def _read_loop(self):
        buffer = b""
        while True:
            try:
                chunk = os.read(self._out_read, 1 << 16)
            except OSError:
                chunk = b""
            if not chunk:
                break
            buffer += chunk
            *messages, buffer = buffer.split(b"\0")
            for raw in messages:
                message = json.loads(raw)
                if "id" in message:
                    with self._cond:
                        self._replies[message["id"]] = message
                        self._cond.notify_all()
                else:
                    handler = self._handlers.get((message.get("sessionId"), message["method"]))
                    if handler:
                        handler(message["params"])
        with self._cond:
            self._closed = True
            self._cond.notify_all()

    def post(self, method, params=None, session=None):
        """Sends a command without waiting for its reply; returns its id."""
        with self._lock:
            self._next_id += 1
            message_id = self._next_id
            message = {"id": message_id, "method": method, "params": params or {}}
            if session:
                message["sessionId"] = session
            data = json.dumps(message).encode() + b"\0"
            while data:
                data = data[os.write(self._cmd_write, data) :]
        return message_id

    def send(self, method, params=None, session=None, timeout=None):
        message_id = self.post(method, params, session)
        deadline = time.monotonic() + (timeout or self.timeout)
        with self._cond:
            while message_id not in self._replies:
                remaining = deadline - time.monotonic()
                if self._closed:
                    raise DevToolsError(f"{method}: browser closed\n{self.stderr_tail()}")
                if remaining <= 0:
                    raise DevToolsError(f"{method}: no reply within {timeout or self.timeout} s")
                self._cond.wait(remaining)
            reply = self._replies.pop(message_id)
        if "error" in reply:
            raise DevToolsError(f"{method}: {reply['error']}")
        return reply["result"]

    def on(self, session, method, callback):
        self._handlers[(session, method)] = callback

    def new_page(self):
        target = self.send("Target.createTarget", {"url": "about:blank"})["targetId"]
        session = self.send("Target.attachToTarget", {"targetId": target, "flatten": True})["sessionId"]
        return Page(self, target, session)

    def close(self):
        # The profile is thrown away, so there is nothing to shut down gracefully;
        # renderer and zygote children share the process group and go with it.
        try:
            os.killpg(self.process.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
        self.process.wait(timeout=5)
        deadline = time.monotonic() + 5
        while time.monotonic() < deadline:
            try:
                os.killpg(self.process.pid, 0)
            except (ProcessLookupError, PermissionError):
                break
            time.sleep(0.02)
        for fd in (self._cmd_write, self._out_read):
            try:
                os.close(fd)
            except OSError:
                pass
        self._reader.join(timeout=5)
        self._log.close()
        shutil.rmtree(self.profile, ignore_errors=True)


class Page:
    """One tab. Requests matching `routes` are answered from memory; any other
    network request fails, so nothing ever leaves the machine."""

    def __init__(self, browser, target, session):
        self.browser, self.target, self.session = browser, target, session
        self.routes = {}  # url -> (content type, body bytes)
        self.requests = []  # every url that reached the network layer
        self.exceptions = []  # uncaught script errors
        browser.on(session, "Fetch.requestPaused", self._paused)
        browser.on(session, "Runtime.exceptionThrown", self._exception)
        self.send("Runtime.enable")
        self.send("Page.enable")
        self.send("Fetch.enable", {"patterns": [{"urlPattern": "*", "requestStage": "Request"}]})

    def send(self, method, params=None, timeout=None):
        return self.browser.send(method, params, self.session, timeout)

    def _paused(self, params):
        url = params["request"]["url"]
        self.requests.append(url)
        if url.startswith("file:"):
            self.browser.post("Fetch.continueRequest", {"requestId": params["requestId"]}, self.session)
        elif url in self.routes:
            content_type, body = self.routes[url]
            self.browser.post(
                "Fetch.fulfillRequest",
                {
                    "requestId": params["requestId"],
                    "responseCode": 200,
                    "responseHeaders": [
                        {"name": "Content-Type", "value": content_type},
                        {"name": "Access-Control-Allow-Origin", "value": "*"},
                    ],
                    "body": base64.b64encode(body).decode(),
                },
                self.session,
            )
        else:
            self.browser.post(
                "Fetch.failRequest",
                {"requestId": params["requestId"], "errorReason": "InternetDisconnected"},
                self.session,
            )

    def _exception(self, params):
        details = params["exceptionDetails"]
        self.exceptions.append(details.get("exception", {}).get("description") or details.get("text"))

    def navigate(self, url):
        reply = self.send("Page.navigate", {"url": url})
        if reply.get("errorText"):
            raise DevToolsError(f"navigation to {url} failed: {reply['errorText']}")

    def evaluate(self, expression, timeout=None):
        reply = self.send(
            "Runtime.evaluate",
            {"expression": expression, "returnByValue": True, "awaitPromise": True},
            timeout,
        )
        if "exceptionDetails" in reply:
            raise DevToolsError(f"evaluation failed: {reply['exceptionDetails']}")
        return reply["result"].get("value")

    def wait_for(self, expression, what, timeout=10.0, interval=0.05):
        """Polls until the expression gives a truthy value, and returns it."""
        deadline = time.monotonic() + timeout
        while True:
            value = self.evaluate(expression)
            if value:
                return value
            if time.monotonic() > deadline:
                raise DevToolsError(
                    f"timed out after {timeout} s waiting for {what}; "
                    f"requests {self.requests}, script errors {self.exceptions}"
                )
            time.sleep(interval)

    def screenshot(self, path):
        data = self.send("Page.captureScreenshot", {"format": "png", "captureBeyondViewport": True})["data"]
        with open(path, "wb") as f:
            f.write(base64.b64decode(data))
        return path

    def close(self):
        try:
            self.browser.send("Target.closeTarget", {"targetId": self.target}, timeout=5)
        except DevToolsError:
            pass
