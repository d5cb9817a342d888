"""The package's exceptions, and the translation of the core's failures.

Every failure of a run is one ``cellfreq.Error``, so that ``except
cellfreq.Error`` catches them all, and is at the same time the built-in
exception a Python user expects: a bad value is a ``ValueError``, a file that
cannot be read an ``OSError`` of the subclass its errno names
(``FileNotFoundError`` for a missing trace). The message is the one the
command line prints, without its leading "cellfreq: ". Rows that a run
skips are not a failure: they are a ``SkippedRowsWarning``.
"""
import errno as _errno
import re as _re
import warnings as _warnings


class Error(Exception):
    """Base of every failure a cellfreq run reports."""


class UsageError(Error, ValueError):
    """A setting or an input the run cannot take (the command line's status 2)."""


class InputOutputError(Error, OSError):
    """A file that could not be opened, read or written (the command line's status 1).

    ``errno`` and ``strerror`` are those of the system call that failed
    (``errno`` is 0 when none did, e.g. for a malformed trace under a strict
    reading); ``filename`` is the trace's path when the message names it.
    ``str()`` gives the command line's one-line message.
    """

    def __init__(self, message, errno=0, filename=None):
        super().__init__(errno, message)
        self.errno = errno or None
        self.strerror = message
        self.filename = filename
        self.message = message

    def __str__(self):
        return self.message

    def __reduce__(self):
        return (type(self), (self.message, self.errno or 0, self.filename))


class TraceNotFoundError(InputOutputError, FileNotFoundError):
    """A file that does not exist (ENOENT)."""


class AccessDeniedError(InputOutputError, PermissionError):
    """A file the process may not open (EACCES, EPERM)."""


class NotAFileError(InputOutputError, IsADirectoryError):
    """A folder where a file was expected (EISDIR)."""


class SkippedRowsWarning(UserWarning):
    """Rows of the input that the run skipped (an empty id, a coordinate that
    is not a number, a time that does not parse, ...), named as the command
    line names them on its standard error."""


def warn_skipped(messages, stacklevel):
    """Warns of the skipped rows among the run's ``messages`` (the command
    line's lines for standard error, ending in "N bad rows skipped" when
    rows were skipped), at the caller ``stacklevel`` frames up."""
    if any(_re.search(r": \d+ bad rows? skipped$", m) for m in messages):
        _warnings.warn("\n".join(messages), SkippedRowsWarning, stacklevel=stacklevel + 1)


# The errno values that have an exception class of their own, as OSError's
# own constructor maps them.
_BY_ERRNO = {
    _errno.ENOENT: TraceNotFoundError,
    _errno.EACCES: AccessDeniedError,
    _errno.EPERM: AccessDeniedError,
    _errno.EISDIR: NotAFileError,
}


def io_error(message, code, filename=None):
    """The InputOutputError (of the class that ``code``, an errno, names)
    carrying ``message``."""
    return _BY_ERRNO.get(code or 0, InputOutputError)(message, code or 0, filename)


def translate(failure, path=None):
    """The exception to raise for the core's ``Failure``.

    ``path`` is the trace's path for a run on a file (it becomes the
    exception's ``filename`` when the message quotes it). An interrupted run
    is a ``KeyboardInterrupt``, as the signal that ended it would have been.
    """
    message = failure.message
    if failure.kind == "usage":
        return UsageError(message)
    if failure.kind == "interrupted":
        return KeyboardInterrupt(message)
    filename = path if path is not None and f"'{path}'" in message else None
    return io_error(message, failure.errno, filename)
