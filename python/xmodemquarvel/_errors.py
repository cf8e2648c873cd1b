"""What a failed call raises: the library's French message and its status."""

XQ_ERR_FILE = -3


class Error(Exception):
    """A call of the library that failed. str() is its French message;
    `status` is the C interface's XQ_ERR_* code (XQ_ERR_BUSY is -2: an
    operation started from inside one of the module's own callbacks)."""

    status = 0


class FileError(Error, OSError):
    """A file could not be opened, created, read or written, or a packed
    file's end block is wrong."""


def raise_for(status, message):
    """Raises the exception of a status other than XQ_OK."""
    error = (FileError if status == XQ_ERR_FILE else Error)(message)
    error.status = status
    raise error
