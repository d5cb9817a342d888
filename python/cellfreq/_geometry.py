"""The cells' squares as a GeoDataFrame, the polygons of the command line's
GeoJSON layers.

A cell's square has the cell's edges in the grid's metres as its corners
(south-west, south-east, north-east, north-west, as the GeoJSON ring has
them), transformed to WGS 84 longitude and latitude when the positions came
in a CRS of their own; otherwise the square stays in the grid's metres and
the frame has the grid's CRS as the run names it (none for the plain
metres of a run without a CRS). GeoPandas is imported only here, so that
the package works without it.
"""
import numpy as np


def _geopandas():
    try:
        import geopandas
        import shapely.geometry
    except ImportError as e:
        raise ImportError("geometry=True needs GeoPandas (Debian: apt-get install python3-geopandas); "
                          f"it could not be imported: {e}") from e
    return geopandas, shapely.geometry


def edges(cells, cell_size):
    """The low and high edges in metres of each cell number in ``cells``.

    Cell c >= 1 spans (c - 1) to c cell sizes; cell 0 takes the coordinates
    from -2 cell sizes to 0 (truncation toward zero puts both -1..0 and
    -2..-1 there), and a negative cell c spans (c - 2) to (c - 1).
    """
    c = cells.astype(np.float64)
    low = np.where(c >= 1, c - 1, np.where(c == 0, -2.0, c - 2)) * cell_size
    high = np.where(c >= 1, c, np.where(c == 0, 0.0, c - 1)) * cell_size
    return low, high


def frame(table, run):
    """``table`` (with int32 columns ``x``, ``y``) as a GeoDataFrame of its
    cells' squares, for the run whose result dict is ``run`` (``geographic``
    set when the positions came in a CRS of their own). Each distinct cell
    is built once, however many rows name it."""
    geopandas, shapes = _geopandas()
    codes = (table["x"].to_numpy().astype(np.int64) << 32) | (table["y"].to_numpy().astype(np.int64) & 0xFFFFFFFF)
    unique, where = np.unique(codes, return_inverse=True)
    x0, x1 = edges((unique >> 32).astype(np.int32), run["cell_size"])
    y0, y1 = edges((unique & 0xFFFFFFFF).astype(np.uint32).astype(np.int32), run["cell_size"])
    xs = np.stack([x0, x1, x1, x0], axis=1)
    ys = np.stack([y0, y0, y1, y1], axis=1)
    crs = run["grid_crs"]
    if run["geographic"]:
        import pyproj

        to_degrees = pyproj.Transformer.from_crs(crs, "EPSG:4326", always_xy=True)
        lon, lat = to_degrees.transform(xs.ravel(), ys.ravel())
        xs, ys = np.asarray(lon).reshape(xs.shape), np.asarray(lat).reshape(ys.shape)
        crs = "EPSG:4326"
    finite = (np.isfinite(xs) & np.isfinite(ys)).all(axis=1)
    # A corner that does not project leaves the cell without a square, as
    # the GeoJSON layer writes a null geometry for it.
    squares = [shapes.Polygon(list(zip(cx, cy))) if ok else None
               for cx, cy, ok in zip(xs.tolist(), ys.tolist(), finite.tolist())]
    geometry = geopandas.array.from_shapely(squares, crs=crs).take(where)
    return geopandas.GeoDataFrame(table, geometry=geometry, crs=crs)
