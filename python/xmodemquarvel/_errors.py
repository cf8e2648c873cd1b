"""What a failed call raises: the library's French message and its status."""

import os

XQ_ERR_FILE = -3


class Error(Exception):
    """A call of the library that failed. str() is its French message;
    `status` is the C interface's XQ_ERR_* code (XQ_ERR_BUSY is -2: an
    operation started from inside one of the module's own callbacks)."""

    status = 0


class FileError(Error, OSError):
    """A file could not be opened, created, read or written, or a packed
    file's end block is wrong. An OSError with `errno` (None when the failure
    has none) and `filename` (the argument the message names); the instance
    raised also derives from the OSError subclass of its errno, so that
    `except FileNotFoundError` or `except PermissionError` catch it. str() is
    the French message alone."""

    def __str__(self):
        return self.strerror if self.strerror is not None else super().__str__()


_FILE_ERRORS = {}


def file_error(message, number=None, filename=None):
    """A FileError for `message`, of the OSError subclass that `number` maps to
    (FileNotFoundError for ENOENT...)."""
    kind = type(OSError(number, message)) if number else OSError
    if kind not in _FILE_ERRORS:
        _FILE_ERRORS[kind] = FileError if kind is OSError else type(
            "FileError", (FileError, kind), {"__module__": FileError.__module__,
                                             "__doc__": FileError.__doc__})
    error = _FILE_ERRORS[kind](number or None, message, filename)
    error.status = XQ_ERR_FILE
    return error


def raise_for(status, message, number=0, paths=()):
    """Raises the exception of a status other than XQ_OK. A file error names
    the one of `paths` that its message ends with."""
    if status == XQ_ERR_FILE:
        named = sorted((p for p in paths if message.endswith(os.fsdecode(p))),
                       key=lambda p: len(os.fsdecode(p)))
        raise file_error(message, number, named[-1] if named else None)
    error = Error(message)
    error.status = status
    raise error
