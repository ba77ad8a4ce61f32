#!/usr/bin/python3
"""The MapServer 8 export of real sample runs, run by the real programs: map2img, mapserv as a
CGI, PHP MapScript 8, lighttpd and headless Chromium driven over its DevTools pipe.

    ms8_check.py NABIK SOURCE_DIR [gml|jpgis ...]

With NABIK_SCREENSHOT_DIR set, the viewer's first screenshot of the GML run is kept there as
nabik-viewer.png.
"""
import base64
import collections
import glob
import json
import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import xml.etree.ElementTree as ET

NABIK, SOURCE = sys.argv[1], sys.argv[2]
SAMPLES = os.path.join(SOURCE, "tests/data/fgd")
RUNS = {
    "gml": sorted(glob.glob(SAMPLES + "/gml/FG-GML-503041-ALL-20181001/*.xml")),
    "jpgis": sorted(glob.glob(SAMPLES + "/jpgis/*")),
}
WHITE = (255, 255, 255)
BACKGROUND = (0x12, 0x34, 0x56)  # GetMap background no catalog colour is near
failures = []


def check(ok, what):
    if not ok:
        failures.append(what)
        print("FAIL:", what)
    return ok


# --- Images, decoded by ImageMagick -----------------------------------------------------
def png_pixels(data):
    """(width, height, pixels as 3-byte strings) of a PNG."""
    ppm = subprocess.run(["convert", "png:-", "-depth", "8", "ppm:-"], input=data, check=True,
                         capture_output=True).stdout
    magic, width, height, _, raw = re.match(rb"(P6)\s+(\d+)\s+(\d+)\s+(\d+)\s(.*)", ppm, re.S).groups()
    return int(width), int(height), [raw[i:i + 3] for i in range(0, len(raw), 3)]


def near(pixels, rgb, background, share=0.25, off=12):
    """Pixels of colour `rgb` drawn over `background`, smoothed edges (at least `share` of the
    colour, at most `off` away from the blend) included."""
    span = [c - b for c, b in zip(rgb, background)]
    length = sum(v * v for v in span)
    count = 0
    for value, n in collections.Counter(pixels).items():
        d = [p - b for p, b in zip(value, background)]
        a = sum(x * y for x, y in zip(d, span)) / length if length else 1.0
        if a >= share and all(abs(x - a * y) <= off for x, y in zip(d, span)):
            count += n
    return count


def crop(image, left, top, right, bottom):
    width, height, pixels = image
    return [pixels[y * width + x] for y in range(top, min(bottom, height)) for x in range(left, min(right, width))]


# --- The catalog: expected layers and colours ------------------------------------------------
def catalog():
    entries = []
    with open(os.path.join(SOURCE, "data/nabik.csv"), encoding="cp932") as f:
        for line in f:
            if line.startswith(";") or not line.strip():
                continue
            cols = line.rstrip("\r\n").split(",")
            colour = tuple(int(v) for v in cols[5].split()) if cols[5].strip() else None
            entries.append((cols[0], colour, cols[3]))
    return entries


def cgi(config, query):
    env = dict(os.environ, REQUEST_METHOD="GET", QUERY_STRING=query, MAPSERVER_CONFIG_FILE=config,
               SERVER_NAME="127.0.0.1", SERVER_PORT="80", SCRIPT_NAME="/cgi-bin/mapserv")
    out = subprocess.run(["/usr/lib/cgi-bin/mapserv"], env=env, capture_output=True, timeout=60).stdout
    head, _, body = out.partition(b"\r\n\r\n")
    return head.decode("latin-1"), body


# --- Chromium over --remote-debugging-pipe ---------------------------------------------------
class Browser:
    def __init__(self, profile):
        to_chrome_r, self.to_chrome = os.pipe()
        self.from_chrome, from_chrome_w = os.pipe()

        def fds():  # the pipe's ends as fds 3 and 4, inheritable
            read, write = os.dup(to_chrome_r), os.dup(from_chrome_w)
            os.dup2(read, 3)
            os.dup2(write, 4)

        self.proc = subprocess.Popen(
            ["chromium", "--headless", "--no-sandbox", "--disable-gpu",
             "--disable-background-networking", "--disable-component-update", "--disable-sync",
             "--no-first-run", "--hide-scrollbars", "--user-data-dir=" + profile,
             "--remote-debugging-pipe", "--window-size=800,520", "about:blank"],
            preexec_fn=fds, close_fds=False,
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(to_chrome_r)
        os.close(from_chrome_w)
        self.buffer, self.next_id, self.session = b"", 0, None
        target = self.call("Target.createTarget", url="about:blank")["targetId"]
        self.session = self.call("Target.attachToTarget", targetId=target, flatten=True)["sessionId"]
        self.call("Page.enable")

    def call(self, method, **params):
        self.next_id += 1
        message = {"id": self.next_id, "method": method, "params": params}
        if self.session and not method.startswith("Target."):
            message["sessionId"] = self.session
        os.write(self.to_chrome, json.dumps(message).encode() + b"\0")
        while True:
            while b"\0" not in self.buffer:
                chunk = os.read(self.from_chrome, 1 << 20)
                if not chunk:
                    raise RuntimeError("chromium went away")
                self.buffer += chunk
            raw, self.buffer = self.buffer.split(b"\0", 1)
            reply = json.loads(raw)
            if reply.get("id") == self.next_id:
                if "error" in reply:
                    raise RuntimeError(method + ": " + str(reply["error"]))
                return reply["result"]

    def value(self, expression):
        return self.call("Runtime.evaluate", expression=expression, returnByValue=True)["result"].get("value")

    def wait_drawn(self, after, seconds=30):
        end = time.time() + seconds
        while time.time() < end:
            drawn = self.value("document.body ? Number(document.body.dataset.drawn || 0) : 0") or 0
            if drawn > after:
                time.sleep(0.2)  # the image element paints
                return drawn
            time.sleep(0.1)
        raise RuntimeError("the viewer drew nothing after %d images" % after)

    def mouse(self, kind, x, y, **extra):
        self.call("Input.dispatchMouseEvent", type=kind, x=x, y=y, **extra)

    def screenshot(self):
        return png_pixels(base64.b64decode(self.call("Page.captureScreenshot", format="png")["data"]))

    def close(self):
        self.proc.kill()
        self.proc.wait()


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def browser_checks(root, layers, keep):
    """The viewer served by lighttpd with the exported configuration, in headless Chromium."""
    port = free_port()
    conf = open(os.path.join(root, "lighttpd.conf")).read()
    check(re.search(r"^server\.port = \d+$", conf, re.M), "lighttpd.conf has its own port line")
    conf = re.sub(r"^server\.port = \d+$", "server.port = %d" % port, conf, flags=re.M)
    with open(os.path.join(root, "lighttpd-test.conf"), "w") as f:
        f.write(conf)
    server = subprocess.Popen(["lighttpd", "-D", "-f", os.path.join(root, "lighttpd-test.conf")],
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    browser = None
    try:
        for _ in range(100):
            with socket.socket() as s:
                if s.connect_ex(("127.0.0.1", port)) == 0:
                    break
            time.sleep(0.05)
        browser = Browser(tempfile.mkdtemp(dir=root))
        browser.call("Page.navigate", url="http://127.0.0.1:%d/" % port)
        drawn = browser.wait_drawn(0)
        box = browser.value("(r => [r.left, r.top, r.right, r.bottom].map(Math.round))"
                            "(document.getElementById('map').getBoundingClientRect())")
        data = base64.b64decode(browser.call("Page.captureScreenshot", format="png")["data"])
        if keep:
            with open(keep, "wb") as f:
                f.write(data)
        shown = crop(png_pixels(data), *box)
        counts = {name: near(shown, colour, WHITE, 0.9, 6) for name, colour in layers.items()}
        check(browser.value("document.querySelectorAll('#layers input').length") == len(layers),
              "one check box per layer")
        unique = [n for n, c in layers.items() if list(layers.values()).count(c) == 1]
        visible = [n for n in unique if counts[n] >= 20]
        if not check(len(visible) >= 2, "viewer shows the colours of two layers or more: %s" % counts):
            return
        target = max(visible, key=lambda n: counts[n])
        # A real click on the layer's check box.
        x, y = browser.value("(r => [r.left + r.width / 2, r.top + r.height / 2])(document.getElementById("
                             "'layer-%s').getBoundingClientRect())" % target)
        browser.mouse("mousePressed", x, y, button="left", clickCount=1)
        browser.mouse("mouseReleased", x, y, button="left", clickCount=1)
        drawn = browser.wait_drawn(drawn)
        off = crop(browser.screenshot(), *box)
        check(near(off, layers[target], WHITE, 0.9, 6) <= counts[target] // 50,
              "unchecking %s removes its colour (%d of %d left)" % (target, near(off, layers[target], WHITE, 0.9, 6), counts[target]))
        others = [n for n in visible if n != target]
        check(all(near(off, layers[n], WHITE, 0.9, 6) > 0 for n in others), "the other layers stay drawn")
        # The wheel zooms in around the map's middle: the scale and the drawing change.
        scale = browser.value("document.getElementById('scale').textContent")
        middle = ((box[0] + box[2]) / 2, (box[1] + box[3]) / 2)
        browser.mouse("mouseWheel", *middle, deltaX=0, deltaY=-120)
        drawn = browser.wait_drawn(drawn)
        zoomed = crop(browser.screenshot(), *box)
        check(browser.value("document.getElementById('scale').textContent") != scale, "zoom changes the scale")
        changed = sum(1 for a, b in zip(off, zoomed) if a != b)
        check(changed > len(off) // 100, "zoom changes what is drawn (%d pixels)" % changed)
        # A drag pans the map.
        browser.mouse("mousePressed", *middle, button="left", clickCount=1)
        browser.mouse("mouseMoved", middle[0] + 120, middle[1] + 40, button="left")
        browser.mouse("mouseReleased", middle[0] + 120, middle[1] + 40, button="left", clickCount=1)
        browser.wait_drawn(drawn)
        panned = crop(browser.screenshot(), *box)
        check(sum(1 for a, b in zip(zoomed, panned) if a != b) > len(off) // 100, "dragging pans the map")
    finally:
        if browser:
            browser.close()
        server.kill()
        server.wait()


def run(kind, inputs, work):
    out = os.path.join(work, kind) + "/"
    os.makedirs(out)
    font = subprocess.run(["fc-match", "-f", "%{file}", "sans-serif:lang=ja"], capture_output=True,
                          text=True).stdout
    ini = os.path.join(work, kind + ".Ini")
    with open(ini, "wb") as f:
        f.write(("[MapServer]\r\n地図サイズ幅=800\r\n地図サイズ高さ=600\r\n座標タイプ=3\r\n"
                 "漢字フォント=%s\r\n" % font).encode("cp932"))
    subprocess.run([NABIK, "--settings", ini, "--mapserver", "8", "-q", "-o", out + "list.txt"] + inputs,
                   check=True, capture_output=True, timeout=120)
    root = out + "mapserver8/"
    mapfile, config = root + "list.map", root + "mapserver.conf"
    entries = [e for e in catalog() if os.path.exists(out + e[0] + ".shp")]
    created = [(n, c) for n, c, _ in entries]
    labels = {n: item for n, _, item in entries if item}
    text = open(mapfile, encoding="utf-8").read()
    check(re.findall(r'^  LAYER\n    NAME "([^"]*)"', text, re.M) == [n for n, _ in created],
          kind + ": the map file's layers are the created ones in catalog order")
    for name, _ in created:
        prj = open(out + name + ".prj", encoding="latin-1").read()
        code = "6668" if "JGD_2011" in prj else "4612"
        check('NAME "%s"' % name in text and re.search(
            r'NAME "%s"\n(?:.*\n)*?      "init=epsg:%s"' % (name, code), text),
            "%s: %s is drawn in EPSG:%s as its .prj says" % (kind, name, code))
    # Every layer with features draws on its own; the whole map draws without a message.
    env = dict(os.environ, MAPSERVER_CONFIG_FILE=config)
    whole = subprocess.run(["map2img", "-m", mapfile, "-o", work + "/whole.png"], env=env,
                           capture_output=True, text=True, timeout=60)
    check(whole.returncode == 0 and not (whole.stdout + whole.stderr).strip(),
          "%s: map2img loads the map without a message: %s" % (kind, whole.stdout + whole.stderr))
    whole_image = png_pixels(open(work + "/whole.png", "rb").read())[2]
    layers = {n: c for n, c in created if c}
    for name, colour in layers.items():
        subprocess.run(["map2img", "-m", mapfile, "-s", "400", "300", "-l", name, "-o", work + "/one.png"], env=env,
                       check=True, capture_output=True, timeout=60)
        check(colour == WHITE or near(png_pixels(open(work + "/one.png", "rb").read())[2], colour, WHITE) >= 2,
              "%s: map2img draws %s" % (kind, name))
    # mapserv as a CGI: capabilities name every layer; GetMap draws each layer alone.
    for version in ("1.1.1", "1.3.0"):
        head, body = cgi(config, "map=NABIK&SERVICE=WMS&REQUEST=GetCapabilities&VERSION=" + version)
        try:
            names = {e.text for e in ET.fromstring(body).iter() if e.tag.endswith("Name")}
        except ET.ParseError as e:
            names = set()
            check(False, "%s: GetCapabilities %s is XML: %s" % (kind, version, e))
        check(b"ServiceException" not in body and names >= set(n for n, _ in created),
              "%s: GetCapabilities %s names every layer" % (kind, version))
    solid = [n for n, c in layers.items() if list(layers.values()).count(c) == 1 and
             re.search(r'NAME "%s"\n    TYPE POLYGON' % n, text)]
    bbox = ",".join(re.search(r"^  EXTENT (.*)$", text, re.M).group(1).split())
    ask = ("map=NABIK&SERVICE=WMS&VERSION=1.1.1&STYLES=&SRS=EPSG:4326&BBOX=%s&WIDTH=400&HEIGHT=300"
           "&FORMAT=image/png&BGCOLOR=0x123456&LAYERS=%%s" % bbox)
    values = []
    for name, colour in layers.items():
        head, body = cgi(config, "REQUEST=GetMap&" + ask % name)
        if not check("image/png" in head, "%s: GetMap %s returns a PNG: %s" % (kind, name, body[:300])):
            continue
        pixels = png_pixels(body)[2]
        check(near(pixels, colour, BACKGROUND) >= 2, "%s: GetMap %s shows its colour %s" % (kind, name, colour))
        strays = [o for o in solid if o != name and near(pixels, layers[o], BACKGROUND, 0.9, 4) > len(pixels) // 200]
        check(not strays, "%s: GetMap %s draws it alone, not %s" % (kind, name, strays))
        # The label column of a polygon, asked for where it is drawn, comes back as UTF-8 text.
        drawn = {i for i, p in enumerate(pixels) if name in solid and near([p], colour, BACKGROUND, 0.95, 2)}
        inside = sorted(i for i in drawn if {i - 401, i - 399, i + 399, i + 401} <= drawn)
        if name in labels and inside:
            head, body = cgi(config, "REQUEST=GetFeatureInfo&INFO_FORMAT=text/plain&QUERY_LAYERS=%s&X=%d&Y=%d&"
                             % (name, inside[len(inside) // 2] % 400, inside[len(inside) // 2] // 400) + ask % name)
            try:
                found = re.findall(r"^    %s = '(.*)'$" % labels[name], body.decode("utf-8"), re.M)
            except UnicodeDecodeError as e:
                found = [None]
                check(False, "%s: GetFeatureInfo %s is UTF-8: %s" % (kind, name, e))
            check(found, "%s: GetFeatureInfo %s gives its %s: %s" % (kind, name, labels[name], body[:300]))
            values += found
    check(any(v and not v.isascii() for v in values), "%s: Japanese label text read: %s" % (kind, values))
    # The PHP page draws the map as map2img does and shows the image in an <img> tag.
    page = subprocess.run(["php", "nabik.php"], cwd=root + "htdocs", capture_output=True, text=True, timeout=60)
    tag = re.fullmatch(r'<img src="/tmp/([^"/]+\.png)">\n', page.stdout)
    if check(page.returncode == 0 and tag, "%s: php nabik.php prints an <img> tag: %s%s" % (kind, page.stdout, page.stderr)):
        php_image = png_pixels(open(root + "htdocs/tmp/" + tag.group(1), "rb").read())[2]
        seen = lambda image: {n for n, c in layers.items() if c != WHITE and near(image, c, WHITE) >= 2}
        check(len(seen(php_image)) >= 2 and seen(php_image) == seen(whole_image),
              "%s: the PHP image shows the layers map2img shows: %s" % (kind, seen(php_image)))
    shot = os.environ.get("NABIK_SCREENSHOT_DIR")
    browser_checks(root, layers, os.path.join(shot, "nabik-viewer.png") if shot and kind == "gml" else None)


def main():
    work = tempfile.mkdtemp()
    try:
        for kind in sys.argv[3:] or RUNS:
            run(kind, RUNS[kind], work)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    if failures:
        print("%d check(s) failed" % len(failures))
        return 1
    print("the MapServer 8 export of both runs loads, serves and draws in every program")
    return 0


if __name__ == "__main__":
    sys.exit(main())
