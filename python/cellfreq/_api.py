"""The package's analyses: the frequent visits and the visits per cell, as
DataFrames (GeoDataFrames of the cells' squares with ``geometry=True``)."""
from . import _frames, _geometry
from ._errors import warn_skipped
from ._run import run

# The columns of each result, in order.
COLUMNS = {
    "frequent": ["user", "x", "y", "position"],
    "summary": ["user", "x", "y", "visits"],
    "visits": ["x", "y", "visits"],
}

# The keywords every analysis shares, documented once.
KEYWORDS_DOC = """
    data : str, os.PathLike, pandas.DataFrame or dict of array-likes
        A trace file (the TAB dialect in grid metres, or CSV with a header;
        gzip-compressed when the name ends in ".gz"), or columns in memory.
        Integer ids are the object numbers, as in the TAB dialect; without
        a ``crs`` such rows are taken as a TAB trace's lines are, with
        coordinates in single precision and, after the last row, the
        dialect's zero-filled record (a visit of object 0 to cell 0, 0), so
        that a TAB trace read into a DataFrame gives the file's answer.
        Text or categorical ids are numbered in order of first appearance,
        as a CSV trace's are. Float64 or float32 coordinates and int64 ids
        are read without a copy.
    id, x, y : str
        The columns of the object id and the position: header names (or
        1-based numbers) of a CSV trace, keys of a DataFrame or dict.
    time : str, optional
        A column of times that orders each object's visits: numbers of
        seconds, datetime64 (a datetime without a zone is UTC) or ISO 8601
        text. Without it the rows' order is the visits' order.
    crs : str, optional
        The CRS of the coordinates ("EPSG:4326", "EPSG:32632", a PROJ
        string); by default they are metres of the grid.
    grid_crs : str, optional
        The metric CRS in which the cells are laid out; with a geographic
        ``crs`` by default the UTM zone of the first position.
    cell_size : float
        The side of a cell in metres.
    group_size : int
        The consecutive objects that form one user.
    threshold : int
        A cell is frequent for a user when it occurs more than this many
        times among the user's visits.
    users : int, optional
        Analyse users 0 to ``users`` - 1 (default: all).
    objects : int, optional
        The object numbers 0 to ``objects`` - 1 are used, a multiple of the
        group size (default 1000 for a TAB trace, else the distinct ids in
        whole users).
    input_format : {"tab", "csv"}, optional
        The format of a trace file; by default CSV when the name ends in
        ".csv" or ".csv.gz", else TAB.
    delimiter : str
        The delimiter of a CSV trace file, one character or "tab".
    memory_limit : int, optional
        The bytes the run may use; what does not fit goes to scratch files
        in TMPDIR (default: a quarter of the memory, at least 256 MiB).
    progress : bool
        Draw a progress line on standard error while the input is read.

    Raises
    ------
    cellfreq.UsageError (a ValueError)
        A value the run cannot take, with the command line's message.
    cellfreq.InputOutputError (an OSError)
        A trace that cannot be read; FileNotFoundError for a missing one.
    KeyboardInterrupt
        Ctrl-C stops the run within half a second and leaves no temporaries.
"""


def frequent_cells(data, *, id="id", x="x", y="y", time=None, crs=None, grid_crs=None, cell_size=400,
                   group_size=10, threshold=3, users=None, objects=None, summary=False, input_format=None,
                   delimiter=",", memory_limit=None, geometry=False, progress=False):
    options = dict(locals())
    return _analysis("summary" if options.pop("summary") else "frequent", **options)


frequent_cells.__doc__ = """The frequent visits of every analysed user.

    Returns a DataFrame with one row per visit whose cell occurs more than
    ``threshold`` times among its user's visits: ``user`` (int32), ``x``,
    ``y`` (the cell's numbers, int32), ``position`` (the visit's place in
    the user's visits, int64) and ``ids`` (the user's ids, a list of str
    shared by the user's rows), the rows of ``cellfreq --format csv`` in its
    order. With ``summary=True`` one row per user and frequent cell, most
    visited first, with ``visits`` (int64) instead of ``position``. With
    ``geometry=True`` a GeoDataFrame of the cells' squares: in EPSG:4326
    when ``crs`` is given, else in the plain metres of the grid, without a
    CRS (as the command line's GeoJSON layers); this needs GeoPandas.

    Parameters
    ----------""" + KEYWORDS_DOC


def cell_visits(data, *, id="id", x="x", y="y", time=None, crs=None, grid_crs=None, cell_size=400,
                group_size=10, threshold=3, users=None, objects=None, input_format=None, delimiter=",",
                memory_limit=None, geometry=False, progress=False):
    return _analysis("visits", **locals())


cell_visits.__doc__ = """The visits of every visited cell, the heat map's cells.

    Returns a DataFrame with one row per visited cell: ``x``, ``y`` (int32)
    and ``visits`` (int64), the cells of ``cellfreq --heatmap
    cells.geojson``; with ``geometry=True`` a GeoDataFrame of their squares
    (see ``frequent_cells``).

    Parameters
    ----------""" + KEYWORDS_DOC


def _analysis(key, data, geometry, **options):
    """The result ``key`` of a run on ``data`` as a (Geo)DataFrame; a
    report's rows get their users' ids. The frame's ``attrs`` tell the run:
    its cell size, group size, users analysed, objects, grid CRS and the
    lines the command line would have written to standard error."""
    result = run(data, [key], **options)
    warn_skipped(result["messages"], stacklevel=3)
    columns = result[key]
    ids = None if key == "visits" else _frames.ids_column(columns["user"], result.get("ids"), result["numbers"],
                                                          result["group_size"], result["objects"])
    table = _frames.table(columns, COLUMNS[key], ids)
    table = _geometry.frame(table, result) if geometry else table
    table.attrs.update({k: result[k] for k in ("cell_size", "group_size", "users", "objects", "grid_crs",
                                               "messages")})
    return table
