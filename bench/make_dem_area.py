#!/usr/bin/env python3
"""Makes a made-up area of 5 m DEM files from one real file: its tuple list under the headers of
ROWS x COLS neighbouring third-level meshes, the block's south-west corner at the mesh code given
(so that it can straddle first-level meshes).

Usage: make_dem_area.py SAMPLE.xml FOLDER ROWS COLS [SOUTH_WEST_MESH, default 53397777]
"""
import os
import re
import sys


def mesh_code(lat_index, lon_index):
    """Third-level mesh code of the cell (lat_index, lon_index) in 1/120 deg x 1/80 deg steps."""
    p, a, c = lat_index // 80, (lat_index // 10) % 8, lat_index % 10
    q, b, d = lon_index // 80, (lon_index // 10) % 8, lon_index % 10
    return f"{p:02d}{q:02d}{a}{b}{c}{d}"


def main():
    sample, folder, rows, cols = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
    origin = sys.argv[5] if len(sys.argv) > 5 else "53397777"
    lat0 = int(origin[0:2]) * 80 + int(origin[4]) * 10 + int(origin[6])
    lon0 = int(origin[2:4]) * 80 + int(origin[5]) * 10 + int(origin[7])
    text = open(sample, "rb").read().decode("utf-8")
    os.makedirs(folder, exist_ok=True)
    for i in range(rows):
        for j in range(cols):
            code = mesh_code(lat0 + i, lon0 + j)
            south, west = (lat0 + i) / 120, 100 + (lon0 + j) / 80
            body = re.sub(r"<mesh>\d+</mesh>", f"<mesh>{code}</mesh>", text)
            body = re.sub(r"<gml:lowerCorner>[^<]*<", f"<gml:lowerCorner>{south:.9f} {west:.9f}<", body)
            body = re.sub(r"<gml:upperCorner>[^<]*<",
                          f"<gml:upperCorner>{south + 1 / 120:.9f} {west + 1 / 80:.9f}<", body)
            name = f"FG-GML-{code[0:4]}-{code[4:6]}-{code[6:8]}-DEM5A-20161001.xml"
            with open(os.path.join(folder, name), "wb") as out:
                out.write(body.encode("utf-8"))
    print(f"{rows * cols} files in {folder}")


if __name__ == "__main__":
    main()
