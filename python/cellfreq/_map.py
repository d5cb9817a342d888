"""The interactive map of a run, the page of ``cellfreq --map``, for a
notebook or a file."""
import html
import os
import secrets
import stat

from ._errors import io_error, warn_skipped
from ._run import run


class Map:
    """The map page of one run: ``html`` is the page, byte for byte what
    ``cellfreq --map`` writes (as UTF-8); a notebook shows it in a frame,
    and ``save(path)`` writes it."""

    def __init__(self, page, users, objects):
        self.html = page
        self._users = users
        self._objects = objects

    def _repr_html_(self):
        # The page goes into the frame's srcdoc, escaped, so that it runs in
        # a document of its own, its script and styles apart from the
        # notebook's.
        return ('<iframe style="width:100%;height:600px;border:0" sandbox="allow-scripts allow-popups" '
                f'srcdoc="{html.escape(self.html, quote=True)}"></iframe>')

    def __repr__(self):
        return (f"<cellfreq.Map of {self._users} users of {self._objects} objects: "
                f"a page of {len(self.html.encode('utf-8')) / 1e3:.0f} kB; save(path) writes it>")

    def save(self, path):
        """Writes the page to ``path``, whole or not at all: a regular file
        (or a new one) is replaced by a complete temporary written beside
        it, so a failure leaves what was there; anything else (a device, a
        pipe) is written in place."""
        path = os.fsdecode(os.fspath(path))
        data = self.html.encode("utf-8")
        try:
            if os.path.exists(path) and not stat.S_ISREG(os.stat(path).st_mode):
                with open(path, "wb") as out:
                    out.write(data)
                return
            temporary = os.path.join(os.path.dirname(path) or ".",
                                     f".cellfreq-{secrets.token_hex(6)}.tmp")
            # The mode is a new file's (0666 less the umask), as the command
            # line's outputs get.
            fd = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o666)
            try:
                with os.fdopen(fd, "wb") as out:
                    out.write(data)
                os.replace(temporary, path)
            except BaseException:
                os.unlink(temporary)
                raise
        except OSError as e:
            raise io_error(f"cannot write map '{path}': {e.strerror}", e.errno, path) from e


def map(data, *, id="id", x="x", y="y", time=None, crs=None, grid_crs=None, cell_size=400, group_size=10,
        threshold=3, users=None, objects=None, input_format=None, delimiter=",", memory_limit=None,
        progress=False, path=None):
    """The interactive map of the visits and the frequent cells.

    Returns a ``cellfreq.Map``: in a notebook it shows the page that
    ``cellfreq --map`` writes (every visited cell shaded by its visits, the
    frequent cells outlined, a user picker, a popup per cell; with ``crs``
    over OpenStreetMap tiles when online). With ``path`` the page is also
    written there. The keywords are ``frequent_cells``'s.
    """
    options = dict(locals())
    target = options.pop("path")
    result = run(options.pop("data"), ["map"], **options)
    warn_skipped(result["messages"], stacklevel=2)
    page = Map(result["map"], result["users"], result["objects"])
    if target is not None:
        page.save(target)
    return page
