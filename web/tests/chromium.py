"""Headless Chromium on the playground served from 127.0.0.1, for the browser
tests (conftest.py) and the speed measurement (bench/playground_speed.py)."""

import base64
import os
import shutil
import sys
import tempfile
import time

from selenium import webdriver
from selenium.webdriver.chrome.service import Service

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
import serve  # noqa: E402  (web/serve.py)

CHROMIUM = "/usr/bin/chromium"
CHROMEDRIVER = "/usr/bin/chromedriver"

# Headless, quiet and self-contained: no sandbox (it cannot start as root
# with one), no GPU, no network of its own, a fresh profile.
FLAGS = ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
         "--disable-background-networking", "--disable-component-update", "--disable-sync"]


class Browser:
    """A Chromium session (self.driver) with its own profile folder, removed
    on close()."""

    def __init__(self, width=1280, height=900):
        self.profile = tempfile.mkdtemp(prefix="playground-chromium-")
        options = webdriver.ChromeOptions()
        options.binary_location = CHROMIUM
        for flag in FLAGS + [f"--user-data-dir={self.profile}", f"--window-size={width},{height}"]:
            options.add_argument(flag)
        options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
        self.driver = webdriver.Chrome(service=Service(CHROMEDRIVER), options=options)
        self.driver.set_script_timeout(120)

    def close(self):
        try:
            self.driver.quit()
        finally:
            shutil.rmtree(self.profile, ignore_errors=True)

    def wait_state(self, wanted=("done", "error"), timeout=120):
        """Waits for the canvas's data-state to be one of `wanted`; returns it."""
        deadline = time.monotonic() + timeout
        while True:
            state = self.driver.execute_script(
                "const c = document.getElementById('frame'); return c ? c.dataset.state : null")
            if state in wanted:
                return state
            if time.monotonic() > deadline:
                raise TimeoutError(f"the page stayed '{state}' for {timeout} s")
            time.sleep(0.05)

    def frame(self):
        """window.tuloPlayground.frame(): (width, height, rgba bytes, hash)."""
        f = self.driver.execute_async_script("""
            const done = arguments[arguments.length - 1];
            window.tuloPlayground.frame().then((f) => {
              let s = '';
              for (let i = 0; i < f.rgba.length; i += 0x8000) s += String.fromCharCode.apply(null, f.rgba.subarray(i, i + 0x8000));
              done({ width: f.width, height: f.height, rgba: btoa(s), hash: f.hash });
            });""")
        return f["width"], f["height"], base64.b64decode(f["rgba"]), f["hash"]

    def pixels(self):
        """window.tuloPlayground.pixels(): (width, height, float32 RGBA bytes)."""
        f = self.driver.execute_script("""
            const p = window.tuloPlayground.pixels();
            const b = new Uint8Array(p.rgba.buffer);
            let s = '';
            for (let i = 0; i < b.length; i += 0x8000) s += String.fromCharCode.apply(null, b.subarray(i, i + 0x8000));
            return { width: p.width, height: p.height, rgba: btoa(s) };""")
        return f["width"], f["height"], base64.b64decode(f["rgba"])

    def show(self, hash_text):
        """Sets the page's hash and returns the full frame rendered for it."""
        self.driver.execute_async_script("""
            const [hash, done] = [arguments[0], arguments[arguments.length - 1]];
            if (location.hash === '#' + hash) { done(); return; }
            window.addEventListener('hashchange', () => done(), { once: true });
            location.hash = hash;""", hash_text)
        return self.frame()

    def screenshot(self, path, width=1280, height=720, scale=0.7):
        """The top of the page, scaled (as docs/playground.png), as a PNG file."""
        self.driver.execute_script("window.scrollTo(0, 0)")
        shot = self.driver.execute_cdp_cmd("Page.captureScreenshot", {
            "format": "png", "clip": {"x": 0, "y": 0, "width": width, "height": height, "scale": scale}})
        with open(path, "wb") as f:
            f.write(base64.b64decode(shot["data"]))

    def console(self):
        """The browser console's entries since the last call."""
        return self.driver.get_log("browser")


def start_site(folder):
    """Serves the site folder on a free port of 127.0.0.1; returns (server, url)."""
    server = serve.serve(folder)
    return server, f"http://127.0.0.1:{server.server_address[1]}/"
