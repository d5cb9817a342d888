"""The run's settings, from the keywords of the package's functions.

Only the types are checked here, since a wrong type has no command-line
message; every value (a cell size of 0, a threshold out of range, an
unknown CRS) goes to the core as it is and fails there with the command
line's message, so that both front ends say the same thing. The one value
checked here is a delimiter longer than one character, which the core's
settings cannot hold.
"""
import numbers

from ._errors import UsageError


def _integer(name, value):
    if value is None:
        return None
    if isinstance(value, bool) or not isinstance(value, numbers.Integral):
        raise TypeError(f"{name} must be an integer, not {type(value).__name__}")
    return int(value)


def _real(name, value):
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise TypeError(f"{name} must be a number, not {type(value).__name__}")
    return float(value)


def _text(name, value):
    if value is None:
        return None
    if not isinstance(value, str):
        raise TypeError(f"{name} must be a str, not {type(value).__name__}")
    return value


def settings(*, want, path_format, id, x, y, time, crs, grid_crs, cell_size, group_size, threshold, users,
             objects, delimiter, memory_limit):
    """The settings dict of a run that computes ``want``.

    ``path_format`` is the format of a trace file, None for columns in
    memory: only a file's run takes the column names and the delimiter (a
    CSV trace's header names them; for a DataFrame they name its columns,
    which the caller has already taken). ``delimiter`` may be "tab", as on
    the command line.
    """
    out = {
        "want": list(want),
        "cell_size": _real("cell_size", cell_size),
        "group_size": _integer("group_size", group_size),
        "threshold": _integer("threshold", threshold),
        "users": _integer("users", users),
        "objects": _integer("objects", objects),
        "crs": _text("crs", crs),
        "grid_crs": _text("grid_crs", grid_crs),
        "memory_limit": _integer("memory_limit", memory_limit),
    }
    if path_format is not None:
        for key, value in (("id", id), ("x", x), ("y", y), ("time", time)):
            if value is not None and (isinstance(value, bool) or not isinstance(value, (str, numbers.Integral))):
                raise TypeError(f"{key} must name a column by str or 1-based int, not {type(value).__name__}")
            out[key] = None if value is None else str(value)
        delimiter = _text("delimiter", delimiter)
        if delimiter == "tab":
            delimiter = "\t"
        elif delimiter is not None and len(delimiter) != 1:
            # The core takes one character and has no command-line words for
            # anything longer; these are the command line's.
            raise UsageError(f"invalid --delimiter '{delimiter}': expected one character other than a quote "
                             "or a line break, or tab")
        out["delimiter"] = delimiter
    return out
