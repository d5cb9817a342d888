"""Turning what a caller hands in (a path, a DataFrame, a dict of columns)
into the source the core reads.

Columns go to the core without a copy whenever their dtype is one it reads
directly: float64 or float32 coordinates (both the same), int64 ids, float64
times, each contiguous. Anything else is converted once here, so the core
only ever sees those arrays: other integer, unsigned or float ids become
int64 (the object numbers, as in the TAB dialect); text, categorical or
object ids become an object array of str, numbered by the core in order of first
appearance as a CSV trace's ids are; datetimes become float seconds since
1970 UTC, as the command line reads ISO 8601 times.
"""
import os

import numpy as np
import pandas as pd

from ._errors import UsageError


def source(data, id, x, y, time, input_format):
    """The core's source for ``data``, and whether its ids are object numbers.

    For a path, the format is ``input_format`` or guessed from the name
    (``.csv``, ``.csv.gz``: CSV, otherwise the TAB dialect), and the column
    names travel in the settings instead. For a dict or DataFrame,
    ``id``, ``x``, ``y`` and ``time`` (None: no times) name its columns.
    """
    if isinstance(data, (str, bytes, os.PathLike)):
        path = os.fsdecode(data)
        if input_format is None:
            input_format = "csv" if path.lower().endswith((".csv", ".csv.gz")) else "tab"
        elif input_format not in ("tab", "csv"):
            # The command line's words; the core takes only these two.
            raise UsageError(f"invalid --input-format '{input_format}': expected tab or csv")
        return {"path": path, "format": input_format}, input_format != "csv"
    if not isinstance(data, (pd.DataFrame, dict)):
        raise TypeError(
            f"data must be a path, a pandas DataFrame or a dict of columns, not {type(data).__name__}")
    ids = _ids(_column(data, id, "id"))
    xs, ys = _coordinates(_column(data, x, "x"), _column(data, y, "y"))
    times = None if time is None else _times(_column(data, time, "time"))
    lengths = {len(ids), len(xs), len(ys)} | ({len(times)} if times is not None else set())
    if len(lengths) != 1:
        raise UsageError(f"the columns differ in length: {id!r}, {x!r}, {y!r}"
                         + (f", {time!r}" if time is not None else "") + f" have {sorted(lengths)} rows")
    return {"ids": ids, "x": xs, "y": ys, "time": times}, ids.dtype == np.int64


def _column(columns, name, role):
    """The column ``name`` of a DataFrame or dict, as a 1-D array-like."""
    try:
        values = columns[name]
    except (KeyError, IndexError):
        have = ", ".join(map(str, list(columns.keys())))
        raise UsageError(f"no {role} column {name!r} in the data; its columns are: {have}") from None
    if isinstance(values, pd.DataFrame):
        raise UsageError(f"the {role} column {name!r} names more than one column")
    return values


def _plain(values):
    """``values`` as a numpy array, or as a pandas Categorical or DatetimeArray,
    which keep what a numpy array would lose (the categories, the zone).
    A numeric extension array with missing values becomes float64 with NaN,
    any other one an object array with None."""
    if isinstance(values, (pd.Series, pd.Index)):
        if isinstance(values.dtype, np.dtype):
            return values.to_numpy()
        values = values.array
    if isinstance(values, (pd.Categorical, pd.arrays.DatetimeArray)):
        return values
    if isinstance(values, pd.api.extensions.ExtensionArray):
        if pd.api.types.is_numeric_dtype(values.dtype):
            if values.isna().any():
                return values.to_numpy(dtype=np.float64, na_value=np.nan)
            return values.to_numpy(dtype=values.dtype.numpy_dtype)
        return values.to_numpy(dtype=object, na_value=None)
    array = np.asarray(values)
    if array.ndim != 1:
        raise UsageError(f"a column must be one-dimensional, not of shape {array.shape}")
    return array


def _ids(values):
    """Integer ids as int64 object numbers, or any other ids as text."""
    values = _plain(values)
    if isinstance(values, pd.Categorical):
        return _texts(np.asarray(values, dtype=object))
    if values.dtype.kind in "iub":
        if values.dtype.kind == "u" and values.size and values.max() > np.iinfo(np.int64).max:
            raise UsageError("an integer id is beyond the int64 range; pass the ids as text instead")
        return np.ascontiguousarray(values, dtype=np.int64)
    if values.dtype.kind == "f":
        if not (np.isfinite(values) & (values == np.trunc(values))).all():
            raise UsageError("numeric ids must be whole numbers, none missing; pass the ids as text instead")
        return np.ascontiguousarray(values, dtype=np.int64)
    return _texts(values)


def _texts(values):
    """Ids as an object array of str, passed as it is when it holds only str.
    Anything else is written as text; a missing id (None, NaN) becomes "",
    the empty id that a CSV row would have, skipped the same way."""
    if values.dtype == object and pd.api.types.infer_dtype(values, skipna=False) == "string":
        return np.ascontiguousarray(values)
    return np.array(["" if v is None or (isinstance(v, float) and v != v) else str(v) for v in values.tolist()],
                    dtype=object)


def _coordinates(xs, ys):
    """x and y as two contiguous arrays of one float dtype, float32 kept."""
    xs, ys = _plain(xs), _plain(ys)
    dtype = np.float32 if xs.dtype == np.float32 and ys.dtype == np.float32 else np.float64
    return _floats(xs, dtype, "coordinate"), _floats(ys, dtype, "coordinate")


def _floats(values, dtype, role):
    """``values`` as a contiguous array of ``dtype``, numbers in text parsed."""
    if values.dtype.kind in "OUS":
        values = pd.to_numeric(pd.Series(values, dtype=object), errors="coerce").to_numpy()
    elif values.dtype.kind not in "iuf":
        raise UsageError(f"a {role} column must hold numbers, not {values.dtype}")
    return np.ascontiguousarray(values, dtype=dtype)


def _times(values):
    """Times as float64 seconds: numbers as they are, datetimes since 1970
    UTC (a datetime without a zone is UTC, as an ISO 8601 time without one
    is), text parsed as numbers or else as ISO 8601 date-times."""
    values = _plain(values)
    if isinstance(values, pd.Categorical):
        values = np.asarray(values, dtype=object)
    if not isinstance(values, pd.arrays.DatetimeArray) and values.dtype.kind in "OUS":
        numbers = pd.to_numeric(pd.Series(values, dtype=object), errors="coerce")
        if numbers.notna().sum() == pd.Series(values, dtype=object).notna().sum():
            return np.ascontiguousarray(numbers.to_numpy(), dtype=np.float64)
        values = pd.to_datetime(pd.Series(values, dtype=object), utc=True, errors="coerce").array
    if pd.api.types.is_datetime64_any_dtype(values.dtype):
        stamps = pd.DatetimeIndex(values)
        if stamps.tz is not None:
            stamps = stamps.tz_convert("UTC").tz_localize(None)
        nanos = stamps.asi8.astype(np.float64)
        nanos[stamps.isna()] = np.nan
        return nanos / 1e9
    if values.dtype.kind not in "iuf":
        raise UsageError(f"a time column must hold numbers or date-times, not {values.dtype}")
    return np.ascontiguousarray(values, dtype=np.float64)
