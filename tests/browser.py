"""Headless Chromium driven over the DevTools protocol, for the HTML view's tests.

The browser talks over a pair of pipes (--remote-debugging-pipe: it reads
commands on file descriptor 3 and writes answers and events on 4, each a
JSON message ended by a NUL byte), so no port, websocket or third-party
package is involved.
"""

import base64
import json
import os
import pathlib
import select
import subprocess
import time

FLAGS = ("--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
         "--disable-background-networking", "--disable-component-update", "--disable-sync",
         "--hide-scrollbars", "--mute-audio", "--remote-debugging-pipe")

# What the test run puts into the environment for the interpreter only.
_NOT_FOR_THE_BROWSER = ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS", "PYTHONMALLOC")
FINDER = pathlib.Path(__file__).resolve().parent.parent / "tools" / "chromium"


class BrowserError(RuntimeError):
    pass


def _environment():
    return {k: v for k, v in os.environ.items() if k not in _NOT_FOR_THE_BROWSER}


def find_chromium():
    """The path of Chromium's binary from tools/chromium (which installs it when
    it can), or raises BrowserError saying why there is none."""
    found = subprocess.run([str(FINDER)], capture_output=True, text=True, env=_environment(), timeout=1200)
    if found.returncode != 0:
        raise BrowserError(f"headless Chromium cannot be had here: {found.stderr.strip()}")
    return found.stdout.strip()


class Browser:
    """One headless browser with one page (tab) attached."""

    def __init__(self, executable, profile_dir, log_path, *, width=1200, height=800, timeout=60):
        self.timeout = timeout
        self.events = []
        self._buffer = b""
        self._next_id = 0
        commands_read, self._commands = os.pipe()
        self._answers, answers_write = os.pipe()
        env = _environment()
        self._log = open(log_path, "wb")
        try:
            # bash puts the pipe ends on the descriptors the browser expects (the
            # POSIX shell takes one-digit descriptors only).
            self.process = subprocess.Popen(
                ["/bin/bash", "-c", f'exec "$0" "$@" 3<&{commands_read} 4>&{answers_write}',
                 executable, *FLAGS, f"--user-data-dir={profile_dir}", "about:blank"],
                pass_fds=(commands_read, answers_write), env=env, stdin=subprocess.DEVNULL,
                stdout=self._log, stderr=subprocess.STDOUT)
        finally:
            os.close(commands_read)
            os.close(answers_write)
        try:
            target = self.send("Target.createTarget", url="about:blank")["targetId"]
            self.session = self.send("Target.attachToTarget", targetId=target, flatten=True)["sessionId"]
            for domain in ("Page", "Runtime", "Network"):
                self.send(f"{domain}.enable", session=True)
            self.send("Emulation.setDeviceMetricsOverride", session=True, width=width, height=height,
                      deviceScaleFactor=1, mobile=False)
        except BaseException:
            self.close()
            raise

    def send(self, method, *, session=False, **params):
        """Sends one command and returns its result; events that arrive meanwhile are kept."""
        self._next_id += 1
        message = {"id": self._next_id, "method": method, "params": params}
        if session:
            message["sessionId"] = self.session
        os.write(self._commands, json.dumps(message).encode() + b"\0")
        deadline = time.monotonic() + self.timeout
        while True:
            answer = self._receive(deadline, method)
            if answer.get("id") == self._next_id:
                if "error" in answer:
                    raise BrowserError(f"{method}: {answer['error']}")
                return answer.get("result", {})
            if "method" in answer:
                self.events.append(answer)

    def _receive(self, deadline, waiting_for):
        while b"\0" not in self._buffer:
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([self._answers], [], [], left)[0]:
                raise BrowserError(f"no answer to {waiting_for} within {self.timeout} s")
            chunk = os.read(self._answers, 1 << 20)
            if not chunk:
                raise BrowserError(f"the browser closed its pipe (exit status {self.process.poll()})")
            self._buffer += chunk
        message, self._buffer = self._buffer.split(b"\0", 1)
        return json.loads(message)

    def evaluate(self, expression):
        """The value of a JavaScript expression in the page (promises awaited)."""
        result = self.send("Runtime.evaluate", session=True, expression=expression,
                           returnByValue=True, awaitPromise=True)
        if "exceptionDetails" in result:
            details = result["exceptionDetails"]
            raise BrowserError(f"{expression}: {details.get('exception', {}).get('description', details)}")
        return result["result"].get("value")

    def open(self, url, ready="window.spantree && (spantree.ready || spantree.error !== null)"):
        """Loads `url` and waits until `ready` holds; returns the seconds taken."""
        self.events.clear()
        began = time.monotonic()
        self.send("Page.navigate", session=True, url=url)
        while not self.evaluate(f"document.readyState === 'complete' && !!({ready})"):
            if time.monotonic() - began > self.timeout:
                raise BrowserError(f"{url} was not ready within {self.timeout} s")
            time.sleep(0.05)
        return time.monotonic() - began

    def requests(self):
        """URLs the page asked for since it was opened."""
        return [e["params"]["request"]["url"] for e in self.events if e["method"] == "Network.requestWillBeSent"]

    def mouse(self, kind, x, y, clicks=1):
        self.send("Input.dispatchMouseEvent", session=True, type=kind, x=x, y=y, button="left",
                  clickCount=clicks, buttons=1 if kind == "mousePressed" else 0)

    def next_frame(self):
        """Waits until the page has drawn what the input so far asked for."""
        self.evaluate("new Promise(done => requestAnimationFrame(() => requestAnimationFrame(done)))")

    def click(self, x, y, clicks=1):
        """A left click (a double click with clicks=2) at page coordinates, as a user makes it."""
        self.mouse("mouseMoved", x, y)
        for count in range(1, clicks + 1):
            self.mouse("mousePressed", x, y, count)
            self.mouse("mouseReleased", x, y, count)
        self.next_frame()

    def wheel(self, x, y, delta_y, delta_x=0):
        self.send("Input.dispatchMouseEvent", session=True, type="mouseWheel", x=x, y=y, deltaX=delta_x,
                  deltaY=delta_y)
        self.next_frame()

    def key(self, key):
        self.send("Input.dispatchKeyEvent", session=True, type="keyDown", key=key, text=key if len(key) == 1 else "")
        self.send("Input.dispatchKeyEvent", session=True, type="keyUp", key=key)
        self.next_frame()

    def screenshot(self, path, *, whole_page=False):
        data = self.send("Page.captureScreenshot", session=True, format="png",
                         captureBeyondViewport=whole_page)["data"]
        path.write_bytes(base64.b64decode(data))
        return path

    def close(self):
        try:
            if self.process.poll() is None:
                try:
                    os.write(self._commands, json.dumps({"id": 0, "method": "Browser.close"}).encode() + b"\0")
                    self.process.wait(10)
                except (OSError, subprocess.TimeoutExpired):
                    self.process.kill()
                    self.process.wait()
        finally:
            os.close(self._commands)
            os.close(self._answers)
            self._log.close()
