#!/usr/bin/env python3
"""Elevation files converted the way users do it today, for comparison: each file parsed by lxml,
its grid filled with numpy from the start point, written by GDAL's Python bindings as one
GeoTIFF per mesh (Float32, nodata -9999, tiled, DEFLATE, floating-point predictor), then one
virtual mosaic over them (gdal.BuildVRT).

Usage: dem_lxml.py OUT_FOLDER FILE...
"""
import os
import sys

import numpy
from lxml import etree
from osgeo import gdal, osr

GML = "{http://www.opengis.net/gml/3.2}"
EPSG = {"jgd2000": 4612, "jgd2011": 6668, "jgd2024": 6668}


def convert(path, out):
    root = etree.parse(path).getroot()
    envelope = root.find(f".//{GML}Envelope")
    south, west = map(float, envelope.find(f"{GML}lowerCorner").text.split())
    north, east = map(float, envelope.find(f"{GML}upperCorner").text.split())
    high = root.find(f".//{GML}high").text.split()
    cols, rows = int(high[0]) + 1, int(high[1]) + 1
    start = root.find(f".//{GML}startPoint").text.split()
    first = int(start[1]) * cols + int(start[0])
    tuples = root.find(f".//{GML}tupleList").text.strip().split("\n")
    grid = numpy.full(rows * cols, -9999.0, dtype=numpy.float32)
    grid[first : first + len(tuples)] = [float(t.split(",")[1]) for t in tuples]
    datum = envelope.get("srsName").split(":")[1].split(".")[0]
    ds = gdal.GetDriverByName("GTiff").Create(
        out, cols, rows, 1, gdal.GDT_Float32,
        ["TILED=YES", "COMPRESS=DEFLATE", "PREDICTOR=3"])
    ds.SetGeoTransform((west, (east - west) / cols, 0, north, 0, -(north - south) / rows))
    srs = osr.SpatialReference()
    srs.ImportFromEPSG(EPSG[datum])
    ds.SetProjection(srs.ExportToWkt())
    band = ds.GetRasterBand(1)
    band.SetNoDataValue(-9999)
    band.WriteArray(grid.reshape(rows, cols))
    ds = None


def main():
    gdal.UseExceptions()
    folder, files = sys.argv[1], sys.argv[2:]
    os.makedirs(folder, exist_ok=True)
    outs = []
    for path in files:
        out = os.path.join(folder, os.path.basename(path)[:-4] + ".tif")
        convert(path, out)
        outs.append(out)
    gdal.BuildVRT(os.path.join(folder, "dem.vrt"), outs).FlushCache()
    print(f"{len(outs)} files")


if __name__ == "__main__":
    main()
