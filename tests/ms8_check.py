#!/usr/bin/python3
# The MapServer 8 export of real sample runs in the real programs: map2img, mapserv as a CGI,
# PHP MapScript 8, lighttpd and headless Chromium driven over its DevTools pipe.
#   ms8_check.py NABIK SOURCE_DIR [gml|jpgis ...]
# With NABIK_SCREENSHOT_DIR set, the viewer of the GML run is kept there as nabik-viewer.png.
import base64, collections, glob, json, os, re, shutil, socket, subprocess, sys, tempfile, time
import xml.etree.ElementTree as ET

NABIK, SOURCE = sys.argv[1], sys.argv[2]
RUNS = {"gml": sorted(glob.glob(SOURCE + "/tests/data/fgd/gml/FG-GML-503041-ALL-20181001/*.xml")),
        "jpgis": sorted(glob.glob(SOURCE + "/tests/data/fgd/jpgis/*"))}
WHITE, BACKGROUND = (255, 255, 255), (0x12, 0x34, 0x56)  # no catalog colour is near the second
failures = []


def check(ok, what):
    if not ok:
        failures.append(what)
        print("FAIL:", what)
    return ok


def png_pixels(data):
    """(width, height, pixels as 3-byte strings) of a PNG, decoded by ImageMagick."""
    ppm = subprocess.run(["convert", "png:-", "-depth", "8", "ppm:-"], input=data, check=True,
                         capture_output=True).stdout
    width, height, raw = re.match(rb"P6\s+(\d+)\s+(\d+)\s+\d+\s(.*)", ppm, re.S).groups()
    return int(width), int(height), [raw[i:i + 3] for i in range(0, len(raw), 3)]


def near(pixels, rgb, background, share=0.25, off=12):
    """Pixels of `rgb` drawn over `background`, smoothed edges (at least `share` of the colour,
    at most `off` away from the blend) included."""
    span = [c - b for c, b in zip(rgb, background)]
    length, count = sum(v * v for v in span), 0
    for value, n in collections.Counter(pixels).items():
        d = [p - b for p, b in zip(value, background)]
        a = sum(x * y for x, y in zip(d, span)) / length if length else 1.0
        count += n if a >= share and all(abs(x - a * y) <= off for x, y in zip(d, span)) else 0
    return count


def crop(image, left, top, right, bottom):
    width, height, pixels = image
    return [pixels[y * width + x] for y in range(top, min(bottom, height)) for x in range(left, min(right, width))]


def catalog():
    """(name, colour, label column) of every catalog entry."""
    with open(SOURCE + "/data/nabik.csv", encoding="cp932") as f:
        rows = [line.rstrip("\r\n").split(",") for line in f if line.strip() and not line.startswith(";")]
    return [(r[0], tuple(int(v) for v in r[5].split()) if r[5].strip() else None, r[3]) for r in rows]


def cgi(config, query):
    env = dict(os.environ, REQUEST_METHOD="GET", QUERY_STRING=query, MAPSERVER_CONFIG_FILE=config,
               SERVER_NAME="127.0.0.1", SERVER_PORT="80", SCRIPT_NAME="/cgi-bin/mapserv")
    out = subprocess.run(["/usr/lib/cgi-bin/mapserv"], env=env, capture_output=True, timeout=60).stdout
    head, _, body = out.partition(b"\r\n\r\n")
    return head.decode("latin-1"), body


class Browser:
    """Headless Chromium over --remote-debugging-pipe: JSON messages ending in NUL on fds 3, 4."""

    def __init__(self, profile):
        to_chrome, self.to_chrome = os.pipe()
        self.from_chrome, from_chrome = os.pipe()

        def fds():  # the pipe's ends as inheritable fds 3 and 4
            read, write = os.dup(to_chrome), os.dup(from_chrome)
            os.dup2(read, 3)
            os.dup2(write, 4)

        self.proc = subprocess.Popen(
            ["chromium", "--headless", "--no-sandbox", "--disable-gpu", "--disable-background-networking",
             "--disable-component-update", "--disable-sync", "--no-first-run", "--hide-scrollbars",
             "--user-data-dir=" + profile, "--remote-debugging-pipe", "--window-size=800,520", "about:blank"],
            preexec_fn=fds, close_fds=False, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(to_chrome)
        os.close(from_chrome)
        self.buffer, self.next_id, self.session = b"", 0, None
        target = self.call("Target.createTarget", url="about:blank")["targetId"]
        self.session = self.call("Target.attachToTarget", targetId=target, flatten=True)["sessionId"]

    def call(self, method, **params):
        self.next_id += 1
        message = {"id": self.next_id, "method": method, "params": params}
        if self.session:
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

    def wait_drawn(self, after):
        """Waits until the viewer has shown more than `after` images."""
        for _ in range(300):
            drawn = self.value("document.body ? Number(document.body.dataset.drawn || 0) : 0") or 0
            if drawn > after:
                time.sleep(0.2)  # the image element paints
                return drawn
            time.sleep(0.1)
        raise RuntimeError("the viewer drew nothing after %d images" % after)

    def mouse(self, kind, x, y, **extra):
        self.call("Input.dispatchMouseEvent", type=kind, x=x, y=y, **extra)

    def screenshot(self):
        return base64.b64decode(self.call("Page.captureScreenshot", format="png")["data"])


def browser_checks(root, layers, keep):
    """The viewer served by lighttpd with the exported configuration on a free port."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    conf = re.sub(r"^server\.port = \d+$", "server.port = %d" % port,
                  open(root + "lighttpd.conf").read(), flags=re.M)
    with open(root + "lighttpd-test.conf", "w") as f:
        f.write(conf)
    server = subprocess.Popen(["lighttpd", "-D", "-f", root + "lighttpd-test.conf"])
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
        shot = lambda: crop(png_pixels(browser.screenshot()), *box)
        if keep:
            with open(keep, "wb") as f:
                f.write(browser.screenshot())
        shown = shot()
        count = lambda image, name: near(image, layers[name], WHITE, 0.9, 6)
        check(browser.value("document.querySelectorAll('#layers input').length") == len(layers), "a box per layer")
        visible = [n for n in layers if list(layers.values()).count(layers[n]) == 1 and count(shown, n) >= 20]
        if not check(len(visible) >= 2, "the viewer shows two layers' colours or more: %s" % visible):
            return
        target = max(visible, key=lambda n: count(shown, n))
        x, y = browser.value("(r => [r.left + r.width / 2, r.top + r.height / 2])"
                             "(document.getElementById('layer-%s').getBoundingClientRect())" % target)
        for kind in ("mousePressed", "mouseReleased"):  # a real click on the layer's check box
            browser.mouse(kind, x, y, button="left", clickCount=1)
        drawn = browser.wait_drawn(drawn)
        off = shot()
        check(count(off, target) <= count(shown, target) // 50, "unchecking %s removes its colour" % target)
        check(all(count(off, n) > 0 for n in visible if n != target), "the other layers stay drawn")
        scale = browser.value("document.getElementById('scale').textContent")
        middle = ((box[0] + box[2]) / 2, (box[1] + box[3]) / 2)
        browser.mouse("mouseWheel", *middle, deltaX=0, deltaY=-120)
        drawn = browser.wait_drawn(drawn)
        zoomed = shot()
        check(browser.value("document.getElementById('scale').textContent") != scale, "zoom changes the scale")
        check(sum(a != b for a, b in zip(off, zoomed)) > len(off) // 100, "zoom changes what is drawn")
        browser.mouse("mousePressed", *middle, button="left", clickCount=1)
        browser.mouse("mouseMoved", middle[0] + 120, middle[1] + 40, button="left")
        browser.mouse("mouseReleased", middle[0] + 120, middle[1] + 40, button="left", clickCount=1)
        browser.wait_drawn(drawn)
        check(sum(a != b for a, b in zip(zoomed, shot())) > len(off) // 100, "dragging pans the map")
    finally:
        for proc in ([browser.proc] if browser else []) + [server]:
            proc.kill()
            proc.wait()


def run(kind, inputs, work):
    out = "%s/%s/" % (work, kind)
    font = subprocess.run(["fc-match", "-f", "%{file}", "sans-serif:lang=ja"], capture_output=True, text=True).stdout
    with open(work + "/s.Ini", "wb") as f:
        f.write(("[MapServer]\r\n地図サイズ幅=800\r\n地図サイズ高さ=600\r\n座標タイプ=3\r\n漢字フォント=%s\r\n"
                 % font).encode("cp932"))
    subprocess.run([NABIK, "--settings", work + "/s.Ini", "--mapserver", "8", "-q", "-o", out + "list.txt"]
                   + inputs, check=True, capture_output=True, timeout=120)
    root = out + "mapserver8/"
    mapfile, config = root + "list.map", root + "mapserver.conf"
    entries = [e for e in catalog() if os.path.exists(out + e[0] + ".shp")]
    layers = {n: c for n, c, _ in entries if c}
    labels = {n: item for n, _, item in entries if item}
    text = open(mapfile, encoding="utf-8").read()
    check(re.findall(r'^  LAYER\n    NAME "([^"]*)"', text, re.M) == [e[0] for e in entries],
          kind + ": the map file's layers are the created ones in catalog order")
    for name, _, _ in entries:
        code = "6668" if "JGD_2011" in open(out + name + ".prj", encoding="latin-1").read() else "4612"
        check(re.search(r'NAME "%s"\n(?:.*\n)*?      "init=epsg:%s"' % (name, code), text),
              "%s: %s is drawn in EPSG:%s as its .prj says" % (kind, name, code))
    # map2img: the whole map without a message, and every layer on its own.
    env = dict(os.environ, MAPSERVER_CONFIG_FILE=config)
    whole = subprocess.run(["map2img", "-m", mapfile, "-o", work + "/whole.png"], env=env,
                           capture_output=True, text=True, timeout=60)
    check(whole.returncode == 0 and not (whole.stdout + whole.stderr).strip(),
          "%s: map2img loads the map without a message: %s" % (kind, whole.stdout + whole.stderr))
    for name, colour in layers.items():
        subprocess.run(["map2img", "-m", mapfile, "-s", "400", "300", "-l", name, "-o", work + "/one.png"],
                       env=env, check=True, capture_output=True, timeout=60)
        check(colour == WHITE or near(png_pixels(open(work + "/one.png", "rb").read())[2], colour, WHITE) >= 2,
              "%s: map2img draws %s" % (kind, name))
    # mapserv as a CGI: capabilities name every layer; GetMap draws each layer alone; the label
    # column of a polygon, asked for where it is drawn, comes back as UTF-8 text.
    for version in ("1.1.1", "1.3.0"):
        body = cgi(config, "map=NABIK&SERVICE=WMS&REQUEST=GetCapabilities&VERSION=" + version)[1]
        try:
            names = {e.text for e in ET.fromstring(body).iter() if e.tag.endswith("Name")}
        except ET.ParseError as e:
            names = {"not XML: %s" % e}
        check(b"ServiceException" not in body and names >= {e[0] for e in entries},
              "%s: GetCapabilities %s names every layer: %s" % (kind, version, names))
    solid = [n for n, c in layers.items() if list(layers.values()).count(c) == 1 and
             re.search(r'NAME "%s"\n    TYPE POLYGON' % n, text)]
    ask = ("map=NABIK&SERVICE=WMS&VERSION=1.1.1&STYLES=&SRS=EPSG:4326&BBOX=%s&WIDTH=400&HEIGHT=300"
           "&FORMAT=image/png&BGCOLOR=0x123456&LAYERS=%%s" % ",".join(re.search(r"^  EXTENT (.*)$", text, re.M)
                                                                   .group(1).split()))
    values = []
    for name, colour in layers.items():
        head, body = cgi(config, "REQUEST=GetMap&" + ask % name)
        if not check("image/png" in head, "%s: GetMap %s returns a PNG: %s" % (kind, name, body[:300])):
            continue
        pixels = png_pixels(body)[2]
        check(near(pixels, colour, BACKGROUND) >= 2, "%s: GetMap %s shows its colour" % (kind, name))
        strays = [o for o in solid if o != name and near(pixels, layers[o], BACKGROUND, 0.9, 4) > len(pixels) // 200]
        check(not strays, "%s: GetMap %s draws it alone, not %s" % (kind, name, strays))
        drawn = {i for i, p in enumerate(pixels) if name in solid and near([p], colour, BACKGROUND, 0.95, 2)}
        inside = sorted(i for i in drawn if {i - 401, i - 399, i + 399, i + 401} <= drawn)
        if name in labels and inside:
            at = inside[len(inside) // 2]
            body = cgi(config, "REQUEST=GetFeatureInfo&INFO_FORMAT=text/plain&QUERY_LAYERS=%s&X=%d&Y=%d&"
                       % (name, at % 400, at // 400) + ask % name)[1]
            found = re.findall(r"^    %s = '(.*)'$" % labels[name], body.decode("utf-8", "replace"), re.M)
            check(found and "\ufffd" not in found[0], "%s: GetFeatureInfo %s gives UTF-8 %s: %s"
                  % (kind, name, labels[name], body[:300]))
            values += found
    check(any(not v.isascii() for v in values), "%s: Japanese label text read: %s" % (kind, values))
    # The PHP page draws what map2img draws and shows it in an <img> tag.
    page = subprocess.run(["php", "nabik.php"], cwd=root + "htdocs", capture_output=True, text=True, timeout=60)
    tag = re.fullmatch(r'<img src="/tmp/([^"/]+\.png)">\n', page.stdout)
    if check(page.returncode == 0 and tag, "%s: php nabik.php prints an <img> tag: %s%s"
             % (kind, page.stdout, page.stderr)):
        seen = lambda file: {n for n, c in layers.items()
                             if c != WHITE and near(png_pixels(open(file, "rb").read())[2], c, WHITE) >= 2}
        php = seen(root + "htdocs/tmp/" + tag.group(1))
        check(len(php) >= 2 and php == seen(work + "/whole.png"), "%s: the PHP image shows %s" % (kind, php))
    shots = os.environ.get("NABIK_SCREENSHOT_DIR")
    browser_checks(root, layers, shots + "/nabik-viewer.png" if shots and kind == "gml" else None)


work = tempfile.mkdtemp()
try:
    for kind in sys.argv[3:] or RUNS:
        run(kind, RUNS[kind], work)
finally:
    shutil.rmtree(work, ignore_errors=True)
print("%d check(s) failed" % len(failures) if failures else "the MapServer 8 export loads, serves and draws")
sys.exit(1 if failures else 0)
