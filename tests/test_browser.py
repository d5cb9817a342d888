#!/usr/bin/env python3
"""The web map (cellfreq --map) in a real browser: Debian's chromium, headless
and offline, driven through its DevTools protocol over a pipe, with nothing
but Python's standard library.

    test_browser.py CELLFREQ TRACEGEN                 the test (status 77: no chromium)
    test_browser.py --screenshot OUT.png PAGE.html    a picture of a page
    test_browser.py --measure PAGE.html               its load and first-render times

The test makes one small fleet, as CSV in degrees (the map over a tile layer,
which stays blank offline) and as the TAB dialect in grid metres (the plain
metric view), writes each one's map, summary report and GeoJSON heat map,
and checks, in one browser: no script error and nothing loaded from outside
the page but tile images; the legend's counts against the report's (user,
cell) pairs and the heat map's cells; a click on a frequent cell opens a
popup naming its user and ids; a screenshot shows the squares' colours.
"""
import base64
import csv
import fcntl
import json
import os
import queue
import re
import shutil
import subprocess
import sys
import tempfile
import threading
import time
import zlib

TILES = "https://tile.openstreetmap.org/"
CHROMIUM = shutil.which("chromium") or "/usr/bin/chromium"


class Browser:
    """A headless chromium with a fresh profile and one page, spoken to
    through --remote-debugging-pipe (JSON messages ending in NUL)."""

    def __init__(self, profile, width=1000, height=700):
        cmd_r, self._cmd_w = os.pipe()
        self._res_r, res_w = os.pipe()

        def arrange():
            a = fcntl.fcntl(cmd_r, fcntl.F_DUPFD, 10)
            b = fcntl.fcntl(res_w, fcntl.F_DUPFD, 10)
            os.dup2(a, 3)
            os.dup2(b, 4)

        self._proc = subprocess.Popen(
            [CHROMIUM, "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
             "--disable-background-networking", "--disable-component-update", "--disable-sync",
             "--user-data-dir=" + profile, "--remote-debugging-pipe", "--host-resolver-rules=MAP * ~NOTFOUND",
             "--hide-scrollbars", f"--window-size={width},{height}", "about:blank"],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
            preexec_fn=arrange, pass_fds=(3, 4))
        os.close(cmd_r)
        os.close(res_w)
        self._messages = queue.Queue()
        self._next = 0
        self.events = []
        threading.Thread(target=self._read, daemon=True).start()
        target = self.call("Target.createTarget", {"url": "about:blank"}, session=False)["targetId"]
        self._session = self.call("Target.attachToTarget", {"targetId": target, "flatten": True},
                                  session=False)["sessionId"]
        for domain in ("Page", "Runtime", "Log", "Network"):
            self.call(domain + ".enable")
        self.call("Network.emulateNetworkConditions",
                  {"offline": True, "latency": 0, "downloadThroughput": -1, "uploadThroughput": -1})

    def _read(self):
        pending = b""
        while True:
            chunk = os.read(self._res_r, 1 << 16)
            if not chunk:
                self._messages.put(None)
                return
            pending += chunk
            *whole, pending = pending.split(b"\0")
            for m in whole:
                self._messages.put(json.loads(m))

    def _take(self, timeout):
        m = self._messages.get(timeout=timeout)
        if m is None:
            raise RuntimeError("chromium ended")
        if "id" not in m:
            self.events.append(m)
        return m

    def call(self, method, params=None, session=True, timeout=60):
        """Sends a command and returns its result; events are kept meanwhile."""
        self._next += 1
        message = {"id": self._next, "method": method, "params": params or {}}
        if session:
            message["sessionId"] = self._session
        os.write(self._cmd_w, json.dumps(message).encode() + b"\0")
        end = time.monotonic() + timeout
        while True:
            m = self._take(max(0.01, end - time.monotonic()))
            if m.get("id") == self._next:
                if "error" in m:
                    raise RuntimeError(f"{method}: {m['error']}")
                return m["result"]

    def evaluate(self, expression):
        r = self.call("Runtime.evaluate", {"expression": expression, "returnByValue": True, "awaitPromise": True})
        if "exceptionDetails" in r:
            raise RuntimeError(f"{expression}: {r['exceptionDetails']}")
        return r["result"].get("value")

    def open(self, path, timeout=120):
        """Opens a page and waits until it has drawn its first frame; returns
        the page's milliseconds to its load event and to that frame."""
        del self.events[:]
        self.call("Page.navigate", {"url": "file://" + os.path.abspath(path)})
        end = time.monotonic() + timeout
        while not any(e.get("method") == "Page.loadEventFired" for e in self.events):
            self._take(max(0.01, end - time.monotonic()))
        while True:
            rendered = self.evaluate("window.cellmap ? window.cellmap.rendered : null")
            if rendered is not None or time.monotonic() > end:
                break
            time.sleep(0.05)
        load = self.evaluate("performance.getEntriesByType('navigation')[0].loadEventEnd")
        return load, rendered

    def screenshot(self):
        return base64.b64decode(self.call("Page.captureScreenshot", {"format": "png"})["data"])

    def click(self, x, y):
        for kind in ("mouseMoved", "mousePressed", "mouseReleased"):
            self.call("Input.dispatchMouseEvent",
                      {"type": kind, "x": x, "y": y, "button": "left" if kind != "mouseMoved" else "none",
                       "clickCount": 1})

    def close(self):
        try:
            self.call("Browser.close", session=False, timeout=10)
        except (RuntimeError, queue.Empty, OSError):
            pass
        try:
            self._proc.wait(timeout=20)
        except subprocess.TimeoutExpired:
            self._proc.kill()
            self._proc.wait()


def pixels(png):
    """The (r, g, b) of every pixel of an 8-bit, non-interlaced RGB or RGBA PNG."""
    assert png[:8] == b"\x89PNG\r\n\x1a\n", "not a PNG"
    at, idat, width = 8, b"", 0
    while at < len(png):
        n = int.from_bytes(png[at:at + 4], "big")
        kind, body = png[at + 4:at + 8], png[at + 8:at + 8 + n]
        at += 12 + n
        if kind == b"IHDR":
            width, height, depth, colour, interlace = (int.from_bytes(body[0:4], "big"),
                                                       int.from_bytes(body[4:8], "big"), body[8], body[9], body[12])
            assert depth == 8 and colour in (2, 6) and interlace == 0, "unexpected PNG form"
            step = 3 if colour == 2 else 4
        elif kind == b"IDAT":
            idat += body
    raw, stride, out, prev = zlib.decompress(idat), width * step, [], bytearray(width * step)
    for row in range(height):
        f, line = raw[row * (stride + 1)], bytearray(raw[row * (stride + 1) + 1:(row + 1) * (stride + 1)])
        for i in range(stride):
            a = line[i - step] if i >= step else 0
            b, c = prev[i], prev[i - step] if i >= step else 0
            if f == 1:
                line[i] = (line[i] + a) & 255
            elif f == 2:
                line[i] = (line[i] + b) & 255
            elif f == 3:
                line[i] = (line[i] + (a + b) // 2) & 255
            elif f == 4:
                p = a + b - c
                pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
                line[i] = (line[i] + (a if pa <= pb and pa <= pc else b if pb <= pc else c)) & 255
        out.extend(tuple(line[i:i + 3]) for i in range(0, stride, step))
        prev = line
    return out


def problems(browser, page):
    """What went wrong while `page` opened: script errors, and loads from
    outside the page other than tile images."""
    found = []
    for e in browser.events:
        method, p = e.get("method"), e.get("params", {})
        if method == "Runtime.exceptionThrown":
            found.append("script error: " + json.dumps(p["exceptionDetails"])[:300])
        elif method == "Runtime.consoleAPICalled" and p.get("type") in ("error", "assert"):
            found.append("console error: " + json.dumps(p.get("args"))[:300])
        elif method == "Log.entryAdded" and p["entry"]["level"] == "error":
            entry = p["entry"]
            if not (entry.get("source") == "network" and entry.get("url", "").startswith(TILES)):
                found.append("logged error: " + entry.get("text", "")[:300])
        elif method == "Network.requestWillBeSent":
            url, kind = p["request"]["url"], p.get("type")
            if url.startswith("data:") or url == "file://" + os.path.abspath(page):
                continue
            if not (url.startswith(TILES) and kind == "Image"):
                found.append(f"loaded from outside the page: {kind} {url}")
    if browser.evaluate("document.querySelectorAll('script[src], link, iframe, img:not(.leaflet-tile)').length"):
        found.append("the page refers to a script, style sheet or image outside it")
    return found


def checkpage(browser, folder, name, geo):
    """The checks on one written page; returns the failures."""
    page = os.path.join(folder, name + ".html")
    browser.open(page)
    failures = [f"{name}: {p}" for p in problems(browser, page)]
    if failures:
        return failures
    with open(os.path.join(folder, name + ".csv"), newline="", encoding="utf-8") as f:
        rows = list(csv.DictReader(f))
    with open(os.path.join(folder, name + ".geojson"), encoding="utf-8") as f:
        cells = len(json.load(f)["features"])
    legend = browser.evaluate("(document.getElementById('cellmap-legend') || {}).innerText || ''")
    counts = {k: re.search(r"\b(\d+) " + k, legend) for k in ("frequent cells", "visited cells")}
    want = {"frequent cells": len(rows), "visited cells": cells}
    for k, m in counts.items():
        if m is None or int(m.group(1)) != want[k]:
            failures.append(f"{name}: legend says {m.group(0) if m else 'no ' + k}, the outputs {want[k]}: {legend}")
    if browser.evaluate("!!document.querySelector('.leaflet-tile-pane .leaflet-layer')") != geo:
        failures.append(f"{name}: a tile layer {'missing' if geo else 'drawn'}")
    if geo and "OpenStreetMap" not in browser.evaluate("(document.querySelector('.leaflet-control-attribution') || {}).textContent"):
        failures.append(f"{name}: no tile attribution")
    if not rows:
        return failures + [f"{name}: the fleet has no frequent cell to click"]

    # The squares' colours, over the white page where no tile is drawn, with
    # the controls (and the legend's swatches) hidden.
    used = browser.evaluate("""(function () {
        var d = cellmap.data, used = {};
        for (var s = 2; s < d.squares.length; s += 3) {
          var k = 0;
          while (k + 1 < d.levels.length && d.levels[k + 1] <= d.squares[s]) ++k;
          used[d.colours[k]] = (used[d.colours[k]] || 0) + 1;
        }
        return {used: used, opacity: cellmap.opacity};
      })()""")
    controls = "document.querySelector('.leaflet-control-container').style.visibility = "
    browser.evaluate(controls + "'hidden'")
    seen = set(pixels(browser.screenshot()))
    browser.evaluate(controls + "''")
    op = used["opacity"]
    for colour, n in used["used"].items():
        rgb = [int(colour[i:i + 2], 16) for i in (1, 3, 5)]
        want = [round(c * op + 255 * (1 - op)) for c in rgb]
        if n >= 3 and not any(all(abs(p[i] - want[i]) <= 3 for i in range(3)) for p in seen):
            failures.append(f"{name}: the colour {colour} of {n} squares is not in the screenshot")

    # A click on the most visited frequent cell of the first user.
    row = rows[0]
    x, y = int(row["x"]), int(row["y"])
    at = browser.evaluate(f"""new Promise(function (done) {{
        var m = cellmap.map, c = cellmap.centre({x}, {y});
        m.setView(c, m.getZoom() + 2, {{animate: false}});
        requestAnimationFrame(function () {{
          var p = m.latLngToContainerPoint(c), r = m.getContainer().getBoundingClientRect();
          done([p.x + r.left, p.y + r.top]);
        }});
      }})""")
    browser.click(at[0], at[1])
    text = ""
    for _ in range(100):
        text = browser.evaluate("(document.querySelector('.leaflet-popup-content') || {}).textContent || ''")
        if text:
            break
        time.sleep(0.05)
    ids = row["ids"].split(" ") if "ids" in row else [str(int(row["user"]) * 10 + i) for i in range(10)]
    for part in [f"Cell {x}, {y}", "user " + row["user"]] + ids:
        if part not in text:
            failures.append(f"{name}: the popup of cell {x}, {y} lacks '{part}': {text!r}")
    return failures + [f"{name}: {p}" for p in problems(browser, page)]


def test(cellfreq, tracegen):
    if not os.access(CHROMIUM, os.X_OK):
        print("SKIP: chromium is not installed (tools/install-deps.sh installs it)")
        return 77
    with tempfile.TemporaryDirectory(prefix="cellfreq-browser.") as tmp:
        fleet = ["--seed", "7", "--objects", "60", "--steps", "60"]
        subprocess.run([tracegen, *fleet, "--format", "csv", "-o", f"{tmp}/fleet.csv"], check=True)
        subprocess.run([tracegen, *fleet, "-o", f"{tmp}/fleet.txt"], check=True)
        common = ["--threshold", "40", "--summary", "--format", "csv", "--no-progress"]
        runs = {
            "geo": ["--input-format", "csv", "--crs", "EPSG:4326", "--x-column", "lon", "--y-column", "lat",
                    "--time-column", "time", f"{tmp}/fleet.csv"],
            "plain": ["--objects", "60", "--cell-size", "100", f"{tmp}/fleet.txt"],
        }
        for name, args in runs.items():
            subprocess.run([cellfreq, *common, "-o", f"{tmp}/{name}.csv", "--heatmap", f"{tmp}/{name}.geojson",
                            "--map", f"{tmp}/{name}.html", *args], check=True, stderr=subprocess.DEVNULL)
        browser = Browser(os.path.join(tmp, "profile"))
        try:
            failures = checkpage(browser, tmp, "geo", True) + checkpage(browser, tmp, "plain", False)
        finally:
            browser.close()
    for f in failures:
        print("FAIL:", f)
    print("browser checks:", "failed" if failures else "passed")
    return 1 if failures else 0


def main(argv):
    if len(argv) == 3 and argv[0] == "--screenshot":
        with tempfile.TemporaryDirectory(prefix="cellfreq-browser.") as tmp:
            browser = Browser(os.path.join(tmp, "profile"), 1100, 760)
            try:
                browser.open(argv[2])
                with open(argv[1], "wb") as f:
                    f.write(browser.screenshot())
            finally:
                browser.close()
        return 0
    if len(argv) == 2 and argv[0] == "--measure":
        with tempfile.TemporaryDirectory(prefix="cellfreq-browser.") as tmp:
            browser = Browser(os.path.join(tmp, "profile"))
            try:
                load, rendered = browser.open(argv[1])
            finally:
                browser.close()
        print(f"{os.path.getsize(argv[1])} bytes, load event {load:.0f} ms, first render {rendered:.0f} ms")
        return 0
    if len(argv) == 2:
        return test(*argv)
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
