#!/usr/bin/env python3
"""Draws cellfreq's GeoJSON layers as one SVG picture, for documentation.

    drawlayer.py HEAT.geojson FREQUENT.geojson > picture.svg

Every visited cell of the heat-map layer is a square shaded by its visits on
a logarithmic scale, outlined thinly so that the grid shows; the frequent
cells of the report layer are outlined in blue on top. Longitude and
latitude are drawn to scale around the layer's mean latitude, north up.
Only the standard library is used.
"""
import json
import math
import sys

WIDTH = 760  # pixels across the drawing, margins excluded
MARGIN = 20


def rings(path):
    """The (ring, properties) of every polygon feature of a GeoJSON file."""
    with open(path, encoding="utf-8") as f:
        doc = json.load(f)
    for feature in doc["features"]:
        if feature.get("geometry"):
            yield feature["geometry"]["coordinates"][0], feature["properties"]


def main(heatpath, frequentpath):
    heat = list(rings(heatpath))
    frequent = list(rings(frequentpath))
    points = [p for ring, _ in heat + frequent for p in ring]
    lonmin, lonmax = min(p[0] for p in points), max(p[0] for p in points)
    latmin, latmax = min(p[1] for p in points), max(p[1] for p in points)
    scale_x = math.cos(math.radians((latmin + latmax) / 2))
    scale = WIDTH / ((lonmax - lonmin) * scale_x)
    height = (latmax - latmin) * scale

    def path(ring):
        xy = [(MARGIN + (lon - lonmin) * scale_x * scale, MARGIN + (latmax - lat) * scale) for lon, lat in ring]
        return "M" + " L".join(f"{x:.1f},{y:.1f}" for x, y in xy) + "Z"

    top = max(props["visits"] for _, props in heat)
    out = [f'<svg xmlns="http://www.w3.org/2000/svg" width="{WIDTH + 2 * MARGIN}" '
           f'height="{height + 2 * MARGIN + 36:.0f}">',
           '<rect width="100%" height="100%" fill="white"/>']
    for ring, props in heat:
        level = math.log(props["visits"]) / math.log(top) if top > 1 else 1
        shade = int(235 - 200 * level)
        out.append(f'<path d="{path(ring)}" fill="rgb({shade},{shade},{shade})" stroke="#bbb" stroke-width="0.4"/>')
    for ring, _ in frequent:
        out.append(f'<path d="{path(ring)}" fill="none" stroke="#1f5fd6" stroke-width="2.2"/>')
    crs = heat[0][1].get("grid_crs", "")
    caption = [f'{len(heat)} visited cells of {heat[0][1].get("cell_size", "")} m in {crs}, shaded by visits '
               f'(log scale); {len(frequent)} frequent cells outlined in blue',
               f'WGS 84, {lonmin:.3f} to {lonmax:.3f} E, {latmin:.3f} to {latmax:.3f} N, north up']
    for i, line in enumerate(caption):
        out.append(f'<text x="{MARGIN}" y="{height + 2 * MARGIN + 4 + 15 * i:.0f}" font-family="sans-serif" '
                   f'font-size="12">{line}</text>')
    out.append("</svg>")
    print("\n".join(out))


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    main(sys.argv[1], sys.argv[2])
