"""One run of the core: the source and settings built from the keywords, the
progress bar, and the core's failures raised as the package's exceptions."""
from . import _core
from ._errors import translate
from ._inputs import source
from ._progress import Bar
from ._settings import settings


def run(data, want, *, id, x, y, time, crs, grid_crs, cell_size, group_size, threshold, users, objects,
        input_format, delimiter, memory_limit, progress):
    """The core's result dict for ``data``, computing the items of ``want``.

    Adds to it ``numbers`` (the ids are object numbers: a TAB trace or
    integer ids, so the core has no id table to return) and ``geographic``
    (the positions came in a CRS of their own, so squares are drawn in
    longitude and latitude). The id table is fetched whenever a report is
    wanted of a source with text ids.
    """
    src, numbers = source(data, id, x, y, time, input_format)
    path = src.get("path")
    want = list(want)
    if not numbers and ("frequent" in want or "summary" in want):
        want.append("ids")
    options = settings(want=want, path_format=src.get("format"), id=id, x=x, y=y, time=time, crs=crs,
                       grid_crs=grid_crs, cell_size=cell_size, group_size=group_size, threshold=threshold,
                       users=users, objects=objects, delimiter=delimiter, memory_limit=memory_limit)
    bar = Bar("bytes" if path is not None else "rows") if progress else None
    try:
        result = _core.run(src, options, bar)
    except _core.Failure as failure:
        raise translate(failure, path) from None
    finally:
        if bar is not None:
            bar.close()
    result["numbers"] = numbers
    result["geographic"] = crs is not None
    return result
