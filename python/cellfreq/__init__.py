"""cellfreq: the grid cells that moving objects visit often, for pandas.

A trace of positions (a file, a DataFrame or a dict of columns) is turned
into grid cells, its objects grouped into users of ``group_size``
consecutive objects, and every visit whose cell occurs more than
``threshold`` times among its user's visits is reported:

    >>> import cellfreq
    >>> frequent = cellfreq.frequent_cells(df, id="id", x="lon", y="lat", crs="EPSG:4326")

``frequent_cells`` gives the frequent visits (or with ``summary=True`` one
row per user and cell), ``cell_visits`` the visits of every cell, both as
DataFrames, or GeoDataFrames of the cells' squares with ``geometry=True``;
``map`` the interactive map page. The analysis is the command line's
``cellfreq``, run in this process with the GIL released: the same rows,
the same messages (``cellfreq.Error`` and its subclasses).
"""
try:
    from . import _core
except ImportError as e:  # pragma: no cover - only a broken build gets here
    raise ImportError("cellfreq's compiled core (cellfreq._core) could not be imported; build it with "
                      f"'cmake --preset default && cmake --build build' and use build/python: {e}") from e

from ._api import cell_visits, frequent_cells
from ._errors import (AccessDeniedError, Error, InputOutputError, NotAFileError, SkippedRowsWarning, TraceNotFoundError,
                      UsageError)
from ._map import Map, map

__version__ = _core.version()

__all__ = [
    "frequent_cells", "cell_visits", "map", "Map",
    "Error", "UsageError", "InputOutputError", "TraceNotFoundError", "AccessDeniedError", "NotAFileError",
    "SkippedRowsWarning",
]

# The public names give the package as their home, in reprs, help and tracebacks.
for _public in (frequent_cells, cell_visits, map, Map, Error, UsageError, InputOutputError, TraceNotFoundError,
                AccessDeniedError, NotAFileError, SkippedRowsWarning):
    _public.__module__ = __name__
del _public
