"""The playground in headless Chromium against the native cellular-preview:
the same looks give the same bytes, the link and the params file carry the
look, probes print the same bits, and the page reports what it refuses."""

import os
import re
import struct
import time

import pytest
from selenium.webdriver.common.action_chains import ActionChains
from selenium.webdriver.common.actions.wheel_input import ScrollOrigin
from selenium.webdriver.common.by import By

from chromium import Browser
from conftest import read_png, write_exr

# Looks as cellular-preview options; the page gets the same as its link
# (each --name value as name=value, --raw as raw). Every row names the
# metric, weights and octaves; sizes are uneven so that x and y cannot be
# swapped unseen, and large enough (some 10^5 channels) that a float
# rounded otherwise shows in some byte.
LOOKS = {
    "euclidian-uneven": "--metric 1 --weights 0.3,2,1 --octaves 0 --size 256x192",
    "manhattan-octaves-5": "--metric 2 --weights 2,1,0.5 --octaves 5 --size 256x192",
    "chessboard-moved": "--metric 3 --weights 1,0.5,2 --octaves 0 --size 256x192 --center 3.5,-2 --scale 7",
    "minkowski-octaves-5": "--metric 4 --weights 0.3,-0.7,1.9 --octaves 5 --size 256x192",
    "superquadratic": "--metric 5 --weights 0.5,2,1 --octaves 0 --size 256x192",
    "superquadratic-odd-octaves-5": "--metric 5 --weights 1.7,0.45,3.3 --octaves 5 --size 256x192 --depth 2.5",
    "holes-and-alpha": ("--metric 1 --weights 1,1,1 --octaves 2 --gain 1.5 --size 256x192"
                        " --color1 0.9,0.2,0.1,0.5 --color2 0.1,0.3,0.8,0.25"),
    "sphere-4-samples": "--view sphere --metric 2 --weights 1,1,1 --octaves 3 --size 240x180 --depth 1.5 --samples 4",
    "sphere-16-samples": "--view sphere --metric 3 --weights 1,1,1 --octaves 0 --size 160x120 --samples 16 --scale 9",
    "slice-4-samples": "--metric 1 --weights 1,1,1 --octaves 1 --samples 4 --size 256x192",
    "value-t": "--raw --metric 3 --weights 1,1,1 --octaves 2 --size 256x192 --gain 0.9",
    "turned-slice": "--metric 1 --weights 1,1,1 --octaves 1 --size 256x192 --normal 1,1,1 --up 0,0,1 --depth 0.25",
    "linear-encoding": "--metric 3 --weights 1,1,1 --octaves 0 --size 256x192 --colorspace linear",
    "nan-magenta": "--metric 1 --weights -1,1,1 --octaves 0 --size 64x48",
    # Half the samples past the lattice's edge (cube coordinates beyond 32 bits).
    "beyond-the-lattice": "--metric 2 --weights 1,1,1 --octaves 0 --size 128x96 --center 5.39e9,-2.2e9 --scale 4e8",
    "pass-F1": "--pass F1 --metric 2 --weights 1,1,1 --octaves 0 --size 256x192",
    "pass-F2": "--pass F2 --metric 1 --weights 0.3,2,1 --octaves 0 --size 256x192",
    "pass-F2-F1-sphere": "--pass F2-F1 --metric 1 --weights 0.3,2,1 --octaves 0 --size 256x192 --view sphere",
    "pass-id": "--pass id --metric 3 --weights 1,1,1 --octaves 0 --size 256x192 --scale 30",
}

# Metrics 4 and 5 go through powf, musl's in the module and glibc's in the
# preview: documented (README) as at most one step of an 8-bit byte on at
# most one pixel in 10000 (at least one pixel).
POWF_BYTE_STEP = 1
POWF_PIXEL_SHARE = 1e-4


def link(options):
    words = options.split()
    parts, i = [], 0
    while i < len(words):
        if words[i] == "--raw":
            parts.append("raw")
            i += 1
        else:
            parts.append(f"{words[i][2:]}={words[i + 1]}")
            i += 2
    return "&".join(parts)


def assert_same_picture(page_frame, preview_frame, powf=False):
    width, height, rgba = page_frame
    p_width, p_height, p_rgba = preview_frame
    assert (width, height) == (p_width, p_height)
    if rgba == p_rgba:
        return
    pixels = [(i // 4 % width, i // 4 // width) for i in range(0, len(rgba), 4) if rgba[i:i + 4] != p_rgba[i:i + 4]]
    first = pixels[0]
    at = 4 * (first[1] * width + first[0])
    detail = f"{len(pixels)} of {width * height} pixels differ, first at {first}: " \
             f"page {tuple(rgba[at:at + 4])}, preview {tuple(p_rgba[at:at + 4])}"
    assert powf, detail
    step = max(abs(a - b) for a, b in zip(rgba, p_rgba))
    assert step <= POWF_BYTE_STEP and len(pixels) <= max(1, POWF_PIXEL_SHARE * width * height), detail


def params_text(page):
    page.driver.find_element(By.ID, "copy-params").click()
    area = page.driver.find_element(By.ID, "params-text")
    return area.get_property("value")


def wait_for_new_frame(page, old_hash, timeout=60):
    """The frame shown after the page's hash moved away from old_hash."""
    deadline = time.monotonic() + timeout
    while page.driver.execute_script("return location.hash") == "#" + old_hash:
        assert time.monotonic() < deadline, "the hash did not change"
        time.sleep(0.02)
    return page.frame()


def test_the_page_loads_and_shows_its_kernel(page):
    status = page.driver.find_element(By.ID, "status").text
    assert "kernel portable (WebAssembly SIMD)" in status
    assert re.search(r"\d+ ms a frame on \d+ worker", status)
    timing = page.driver.execute_script("return window.tuloPlayground.timing()")
    assert timing["workers"] >= 1 and timing["firstFrame"] > 0


def without(options, names):
    """The options less the named ones (each with its value): the preview
    refuses options a run would ignore."""
    words, kept = options.split(), []
    i = 0
    while i < len(words):
        if words[i] in names:
            i += 2
            continue
        kept.append(words[i])
        i += 1
    return kept


# What a pass ignores of the look: it draws the basis, not the colour.
PASS_IGNORES = ("--octaves", "--gain", "--color1", "--color2", "--colorspace", "--samples")


@pytest.mark.parametrize("name, options", LOOKS.items(), ids=LOOKS.keys())
def test_frames_equal_the_preview_png(page, preview, name, options):
    width, height, rgba, _ = page.show(link(options))
    png = os.path.join(preview.out_dir, "look.png")
    args = without(options, PASS_IGNORES) if "--pass" in options else options.split()
    preview.run(*args, "--quiet", "--threads", "2", "-o", png)
    p_width, p_height, p_rgba = read_png(png)
    powf = re.search(r"--metric [45]\b", options) is not None
    assert_same_picture((width, height, rgba), (p_width, p_height, p_rgba), powf)
    # Every bit of the float pixels those bytes encode (colour and t of
    # metrics 1-3, without NaN, whose payloads are the machine's).
    if name.startswith("pass-") or powf or name == "nan-magenta":
        return
    exr = os.path.join(preview.out_dir, "page.exr"), os.path.join(preview.out_dir, "look.exr")
    write_exr(exr[0], *page.pixels())
    # EXR keeps linear floats: --colorspace would be refused.
    preview.run(*without(options, ("--colorspace",)), "--quiet", "--threads", "2", "--straight-alpha", "-o", exr[1])
    same, report = preview.compare(*exr)
    assert same, report


def test_a_change_cancels_the_frame_in_flight(page, preview):
    page.show("metric=1&weights=1,1,1&octaves=0&size=64x48")
    before = page.driver.execute_script("return window.tuloPlayground.timing().frames")
    # A frame of many seconds, replaced at once by a small one.
    page.driver.execute_script("location.hash = 'metric=4&weights=0.3,0.3,0.3&octaves=5&size=512x512&samples=16'")
    time.sleep(0.3)
    fast = "--metric 2 --weights 1,2,1 --octaves 1 --size 64x48"
    width, height, rgba, _ = page.show(link(fast))
    frames = page.driver.execute_script("return window.tuloPlayground.timing().frames")
    assert frames == before + 1, "the long frame was finished instead of cancelled"
    params = params_text(page)
    assert_same_picture((width, height, rgba), preview.render(params))


def test_dragging_and_zooming_change_the_link_and_a_reload_shows_the_same(page, site_url):
    start = "metric=1&weights=1,1,1&octaves=1&size=160x120&center=0,0&scale=20&depth=0"
    _, _, first, old = page.show(start)
    canvas = page.driver.find_element(By.ID, "frame")
    assert canvas.size["width"] == 160, "the canvas is drawn at its own size"
    ActionChains(page.driver).move_to_element(canvas).click_and_hold().move_by_offset(40, 20).release().perform()
    _, _, dragged, hash_dragged = wait_for_new_frame(page, old)
    # 40 pixels right and 20 down move the world point at the centre left and up.
    assert "center=-5,2.5&" in hash_dragged
    assert dragged != first
    ActionChains(page.driver).scroll_from_origin(ScrollOrigin.from_element(canvas), 0, 120).perform()
    _, _, zoomed, hash_zoomed = wait_for_new_frame(page, hash_dragged)
    scale = float(re.search(r"scale=([^&]+)", hash_zoomed).group(1))
    assert scale > 20 and "center=-5,2.5&" in hash_zoomed
    assert zoomed != dragged
    page.driver.get("about:blank")
    page.driver.get(f"{site_url}#{hash_zoomed}")
    assert page.wait_state() == "done"
    _, _, reloaded, hash_reloaded = page.frame()
    assert hash_reloaded == hash_zoomed and reloaded == zoomed


def test_params_file_round_trips_through_the_preview_and_back(page, preview, out_dir):
    look = ("metric=2&weights=0.5,2,1&octaves=2&gain=0.8&color1=0.7,0.6,0.1,0.5&color2=0.05,0.1,0.3,1&size=256x192"
            "&center=1.25,-3&scale=12.5&depth=0.75&view=slice&normal=0,1,1&up=0,0,1&samples=4&colorspace=linear")
    width, height, rgba, shown = page.show(look)
    text = params_text(page)
    assert_same_picture((width, height, rgba), preview.render(text))
    # "Download PNG" writes the same bytes, marked linear, with the look.
    download = os.path.join(out_dir, "cellular.png")
    if os.path.exists(download):
        os.remove(download)
    page.driver.execute_cdp_cmd("Browser.setDownloadBehavior", {"behavior": "allow", "downloadPath": out_dir})
    page.driver.find_element(By.ID, "download-png").click()
    deadline = time.monotonic() + 30
    while not os.path.exists(download):
        assert time.monotonic() < deadline, "no download"
        time.sleep(0.05)
    time.sleep(0.2)
    chunks = {}
    assert read_png(download, chunks) == (width, height, rgba)
    assert chunks[b"gAMA"] == [struct.pack(">I", 100000)] and b"sRGB" not in chunks
    assert b"params\0" + text.encode() in chunks[b"tEXt"]
    # And back: the file dropped on a page showing something else.
    _, _, _, other = page.show("metric=1&weights=1,1,1&octaves=0&size=32x32")
    page.driver.execute_script("""
        const transfer = new DataTransfer();
        transfer.items.add(new File([arguments[0]], 'look.txt', { type: 'text/plain' }));
        document.body.dispatchEvent(new DragEvent('drop', { dataTransfer: transfer, bubbles: true, cancelable: true }));
        """, text)
    assert wait_for_new_frame(page, other)[2:] == (rgba, shown)


def test_a_clicked_pixel_probes_as_the_preview_prints(page, preview, out_dir):
    page.show("metric=3&weights=1,0.5,2&octaves=3&gain=0.9&size=440x330&view=sphere&depth=0.5&scale=12")
    canvas = page.driver.find_element(By.ID, "frame")
    ActionChains(page.driver).move_to_element_with_offset(canvas, -57, 41).click().perform()
    line = page.driver.find_element(By.ID, "probe-line").text
    assert line.count("/0x") == 8, line
    assert page.driver.find_element(By.ID, "probe").text.startswith("Pixel 163, 206: point")
    page.screenshot(os.path.join(out_dir, "playground.png"))
    point = ",".join(word.split("/")[0] for word in line.split()[:3])
    assert preview.probe(params_text(page), point) == line
    # A corner lies off the sphere: nothing to probe there.
    ActionChains(page.driver).move_to_element_with_offset(canvas, -215, -160).click().perform()
    assert page.driver.find_element(By.ID, "probe-line").text == ""
    assert "off the sphere" in page.driver.find_element(By.ID, "probe").text
    # On a slice, pixel (130, 30)'s centre is the point probed, formed as the
    # preview forms it: in double, then rounded to float.
    page.show("metric=1&weights=1,1,1&octaves=0&size=200x100&center=0.5,-1&scale=10&depth=2&view=slice")
    ActionChains(page.driver).move_to_element_with_offset(canvas, 30, -20).click().perform()
    x = 0.5 + ((130 + 0.5) / 200 - 0.5) * 10
    y = -1 + (0.5 - (30 + 0.5) / 100) * 10 * 100 / 200
    bits = [f"0x{struct.unpack('<I', struct.pack('<f', v))[0]:08x}" for v in (x, y, 2.0)]
    words = page.driver.find_element(By.ID, "probe-line").text.split()
    assert [word.split("/")[1] for word in words[:3]] == bits


def test_bad_link_entries_and_bad_input_are_named_and_not_rendered(page):
    _, _, _, shown = page.show("metric=9&octaves=2&bogus=1&weights=1,x,1&scale=-3&size=64x48")
    assert "octaves=2&" in shown and "metric=1&" in shown and "scale=20&" in shown
    notes = page.driver.find_element(By.ID, "notes").text
    for entry in ("metric=9", "bogus=1 (unknown)", "weights=1,x,1", "scale=-3"):
        assert entry in notes
    frames = page.driver.execute_script("return window.tuloPlayground.timing().frames")
    weights = page.driver.find_element(By.ID, "f-weights")
    weights.clear()
    weights.send_keys("1,nan,1")
    assert "is not a number" in page.driver.find_element(By.ID, "m-weights").text
    assert weights.get_attribute("aria-invalid") == "true"
    time.sleep(0.2)
    assert page.driver.execute_script("return location.hash") == "#" + shown
    assert page.driver.execute_script("return window.tuloPlayground.timing().frames") == frames
    # NaN colours are drawn magenta, and said so.
    page.show("metric=1&weights=-1,1,1&octaves=0&size=64x48")
    assert "are NaN (drawn magenta)" in page.driver.find_element(By.ID, "notes").text


def test_a_browser_without_webassembly_simd_gets_a_plain_message(site_url):
    browser = Browser()
    try:
        browser.driver.execute_cdp_cmd("Page.addScriptToEvaluateOnNewDocument",
                                       {"source": "WebAssembly.validate = () => false;"})
        browser.driver.get(site_url)
        assert browser.wait_state() == "error"
        support = browser.driver.find_element(By.ID, "support")
        assert support.is_displayed() and "it has no WebAssembly SIMD" in support.text
    finally:
        browser.close()
