#!/usr/bin/env python3
"""Builds a large realistic FGD GML file by repeating the features of a real sample file.

Usage: make_input.py SAMPLE.xml LAYER OUTPUT.xml MEGABYTES

Every repetition copies the sample's features with the ids made unique (a suffix "-r<n>" on
every gml:id and fid value) and the coordinates shifted by whole multiples of the sample's
extent, so that the copies lie side by side instead of on top of each other. The line format
(one tag per line, one "lat lon" tuple per line, 9 decimals, the sample's line ends) is kept.
"""
import re
import sys

ID = re.compile(rb'(gml:id="[^"]*)"')
FID = re.compile(rb"(<fid>[^<]*)</fid>")
POS = re.compile(rb"(<gml:pos>)([^<]*)(</gml:pos>)")


def split_sample(data, layer):
    lines = data.splitlines(keepends=True)
    start = b"<" + layer + b" "
    end = b"</" + layer + b">"
    first = next(i for i, l in enumerate(lines) if start in l)
    last = max(i for i, l in enumerate(lines) if end in l)
    return lines[:first], lines[first : last + 1], lines[last + 1 :]


def tuple_extent(body):
    lats, lons = [], []
    for l in body:
        if b"<" not in l and l.strip():
            a, b = l.split()[:2]
            lats.append(float(a))
            lons.append(float(b))
    return max(lats) - min(lats), max(lons) - min(lons)


def shift_tuple(text, dlat, dlon):
    parts = text.split()
    lat = float(parts[0]) + dlat
    lon = float(parts[1]) + dlon
    return b"%.9f %.9f" % (lat, lon)


def repetition(body, n, dlat, dlon):
    suffix = b"-r%d" % n
    out = []
    for l in body:
        if b"<" not in l:
            stripped = l.rstrip(b"\r\n")
            if stripped.strip():
                lead = stripped[: len(stripped) - len(stripped.lstrip())]
                l = lead + shift_tuple(stripped, dlat, dlon) + l[len(stripped) :]
        else:
            l = ID.sub(lambda m: m.group(1) + suffix + b'"', l)
            l = FID.sub(lambda m: m.group(1) + suffix + b"</fid>", l)
            l = POS.sub(lambda m: m.group(1) + shift_tuple(m.group(2), dlat, dlon) + m.group(3), l)
        out.append(l)
    return b"".join(out)


def main():
    sample, layer, output, megabytes = sys.argv[1], sys.argv[2].encode(), sys.argv[3], float(sys.argv[4])
    data = open(sample, "rb").read()
    head, body, tail = split_sample(data, layer)
    height, width = tuple_extent(body)
    target = int(megabytes * 1e6)
    written = 0
    with open(output, "wb") as f:
        f.write(b"".join(head))
        n = 0
        while written < target:
            # Copies fill rows of 50 side by side, then the next row above.
            chunk = repetition(body, n, (n // 50) * height, (n % 50) * width)
            f.write(chunk)
            written += len(chunk)
            n += 1
        f.write(b"".join(tail))
    print(f"{output}: {n} copies of {sample}, {written / 1e6:.0f} MB")


if __name__ == "__main__":
    main()
