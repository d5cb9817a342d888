"""The progress line on standard error, the package's only output.

The core calls the bar with what it has read so far and the total (bytes of
a trace file, rows of columns in memory; -1 when unknown), at most about ten
times a second; the line is rewritten in place, as the command line's
``--progress`` line is, and ended when the run ends, however it ends.
"""
import sys


class Bar:
    """A callable ``bar(done, total)`` that redraws the progress line;
    ``close()`` ends the line if one was drawn."""

    def __init__(self, unit, stream=None):
        self._unit = unit  # "bytes" or "rows"
        self._stream = stream if stream is not None else sys.stderr
        self._width = 0

    def _amount(self, n):
        return f"{n / 1e6:.1f} MB" if self._unit == "bytes" else str(n)

    def __call__(self, done, total):
        # "read 45.0 MB of 300.0 MB (15%)", as the command line's line, or
        # "read 1200 of 12000 rows (10%)".
        line = f"cellfreq: read {self._amount(done)}"
        if total > 0:
            line += f" of {self._amount(total)}"
        line += " rows" if self._unit == "rows" else ""
        if total > 0:
            line += f" ({100 * int(done) // int(total)}%)"
        # Blanks cover what a longer line before left, on any terminal.
        self._stream.write("\r" + line.ljust(self._width))
        self._stream.flush()
        self._width = len(line)

    def close(self):
        if self._width:
            self._stream.write("\n")
            self._stream.flush()
            self._width = 0

    def __repr__(self):
        return f"<cellfreq progress bar in {self._unit} on {getattr(self._stream, 'name', self._stream)!r}>"
