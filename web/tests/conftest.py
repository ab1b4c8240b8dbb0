"""Fixtures of the playground's browser tests: the built site served on
127.0.0.1, one headless Chromium for the session, and the native
cellular-preview to compare with. CTest (web/CMakeLists.txt) passes:

  TULO_PLAYGROUND_SITE   the site folder (build-wasm/site)
  TULO_PREVIEW           the native cellular-preview (build/, made by scripts/test.sh)
  TULO_PLAYGROUND_OUT    a folder for the screenshot and the files the tests write
"""

import os
import struct
import subprocess
import zlib

import pytest

from chromium import Browser, start_site


def _env(name):
    value = os.environ.get(name)
    if not value:
        pytest.exit(f"{name} is not set: run these tests through CTest (cmake --workflow --preset wasm)", 2)
    return value


@pytest.fixture(scope="session")
def out_dir():
    path = _env("TULO_PLAYGROUND_OUT")
    os.makedirs(path, exist_ok=True)
    return path


@pytest.fixture(scope="session")
def site_url():
    server, url = start_site(_env("TULO_PLAYGROUND_SITE"))
    yield url
    server.shutdown()


@pytest.fixture(scope="session")
def browser():
    b = Browser()
    yield b
    b.close()


@pytest.fixture(scope="session")
def page(browser, site_url):
    """The browser on the playground, its first frame done."""
    browser.driver.get(site_url)
    assert browser.wait_state() == "done"
    return browser


@pytest.fixture(autouse=True)
def quiet_console(request):
    """Every test on the page leaves no error or warning in the console."""
    yield
    if "page" in request.fixturenames:
        entries = request.getfixturevalue("browser").console()
        loud = [e for e in entries if e["level"] in ("WARNING", "SEVERE")]
        assert not loud, f"console: {loud}"


class Preview:
    """The native cellular-preview."""

    def __init__(self, program, out_dir):
        if not os.access(program, os.X_OK):
            pytest.exit(f"{program} is missing: build the native tools first (scripts/test.sh)", 2)
        self.program, self.out_dir = program, out_dir

    def run(self, *args):
        r = subprocess.run([self.program, *args], capture_output=True, text=True, timeout=300)
        assert r.returncode == 0, f"cellular-preview {' '.join(args)}: {r.stderr}"
        return r.stdout

    def params_file(self, text, name="look.txt"):
        path = os.path.abspath(os.path.join(self.out_dir, name))
        with open(path, "w") as f:
            f.write(text)
        return path

    def render(self, params_text, name="preview.png"):
        """The PNG rendered from a params file's text: (width, height, rgba)."""
        png = os.path.join(self.out_dir, name)
        self.run("--params", self.params_file(params_text), "--quiet", "--threads", "2", "-o", png)
        return read_png(png)

    def compare(self, a, b):
        """cellular-preview --compare: (whether every bit agrees, its report)."""
        r = subprocess.run([self.program, "--compare", a, b], capture_output=True, text=True, timeout=300)
        assert r.returncode in (0, 1), r.stderr
        return r.returncode == 0, r.stdout

    def probe(self, params_text, point):
        """--probe's line for the point (the text after the header line)."""
        lines = self.run("--params", self.params_file(params_text), "--probe", point).splitlines()
        assert lines[0].startswith("#") and len(lines) == 2, lines
        return lines[1]


@pytest.fixture(scope="session")
def preview(out_dir):
    return Preview(_env("TULO_PREVIEW"), out_dir)


def read_png(path, chunks=None):
    """(width, height, rgba bytes) of an 8-bit RGBA PNG without interlacing,
    as the preview writes them; every chunk's CRC checked. `chunks`, a dict,
    receives the bodies of the other chunks, a list by type."""
    with open(path, "rb") as f:
        data = f.read()
    assert data[:8] == b"\x89PNG\r\n\x1a\n"
    at, idat = 8, b""
    while at < len(data):
        length, kind = struct.unpack(">I4s", data[at:at + 8])
        body = data[at + 8:at + 8 + length]
        crc, = struct.unpack(">I", data[at + 8 + length:at + 12 + length])
        assert zlib.crc32(kind + body) == crc, f"{path}: bad CRC in {kind}"
        if chunks is not None and kind not in (b"IHDR", b"IDAT", b"IEND"):
            chunks.setdefault(kind, []).append(body)
        if kind == b"IHDR":
            width, height, depth, colour, _, _, interlace = struct.unpack(">IIBBBBB", body)
            assert (depth, colour, interlace) == (8, 6, 0)
        elif kind == b"IDAT":
            idat += body
        at += 12 + length
    raw, stride = zlib.decompress(idat), 4 * width
    out, previous = bytearray(), bytearray(stride)
    for y in range(height):
        kind, line = raw[y * (stride + 1)], bytearray(raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
        for i in range(stride):
            a = line[i - 4] if i >= 4 else 0
            b = previous[i]
            c = previous[i - 4] if i >= 4 else 0
            if kind == 1:
                line[i] = (line[i] + a) & 255
            elif kind == 2:
                line[i] = (line[i] + b) & 255
            elif kind == 3:
                line[i] = (line[i] + (a + b) // 2) & 255
            elif kind == 4:
                p = a + b - c
                pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
                line[i] = (line[i] + (a if pa <= pb and pa <= pc else b if pb <= pc else c)) & 255
        out += line
        previous = line
    return width, height, bytes(out)


def write_exr(path, width, height, rgba):
    """An uncompressed OpenEXR file of float RGBA pixels (bytes of float32
    r, g, b, a per pixel, rows top to bottom), for cellular-preview --compare."""
    def attribute(name, kind, value):
        return name.encode() + b"\0" + kind.encode() + b"\0" + struct.pack("<i", len(value)) + value
    channels = b"".join(c.encode() + b"\0" + struct.pack("<iBBBBii", 2, 0, 0, 0, 0, 1, 1) for c in "ABGR") + b"\0"
    window = struct.pack("<iiii", 0, 0, width - 1, height - 1)
    header = (attribute("channels", "chlist", channels) + attribute("compression", "compression", b"\0")
              + attribute("dataWindow", "box2i", window) + attribute("displayWindow", "box2i", window)
              + attribute("lineOrder", "lineOrder", b"\0") + attribute("pixelAspectRatio", "float", struct.pack("<f", 1))
              + attribute("screenWindowCenter", "v2f", struct.pack("<ff", 0, 0))
              + attribute("screenWindowWidth", "float", struct.pack("<f", 1)) + b"\0")
    start = 8 + len(header) + 8 * height
    line_size = 8 + 16 * width
    lines = []
    for y in range(height):
        row = rgba[16 * width * y:16 * width * (y + 1)]
        # Channels in the file's (alphabetical) order, each a run of the row.
        data = b"".join(b"".join(row[16 * x + 4 * c:16 * x + 4 * c + 4] for x in range(width)) for c in (3, 2, 1, 0))
        lines.append(struct.pack("<ii", y, len(data)) + data)
    offsets = b"".join(struct.pack("<Q", start + y * line_size) for y in range(height))
    with open(path, "wb") as f:
        f.write(struct.pack("<ii", 20000630, 2) + header + offsets + b"".join(lines))
