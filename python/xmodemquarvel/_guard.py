"""How the host's Python code runs inside a call of the library.

The library calls back into Python (the yield callback, the events) from
inside an operation, through C frames that an exception cannot cross: ctypes
would print it and go on. Every callback runs here instead. The first
exception one raises is kept, the running operation is asked to stop as
Module.abort() does, and the exception is raised again to the caller once
the call has returned.

Ctrl-C is one such exception. Python raises KeyboardInterrupt at the first
instruction it runs after the signal, which during an operation is the first
instruction of a callback, before any `try` can catch it. So while an
operation runs on the main thread, the SIGINT handler in place is wrapped:
the wrapper runs it and keeps what it raises. Anything else that escapes a
callback reaches sys.unraisablehook, where it is kept the same way.
"""

import signal
import sys
import threading

from ._library import ACCEPTED, BLOC, ERROR, YIELD, lib


class Guard:
    """Runs one module's callbacks and keeps the first exception they raise."""

    def __init__(self, life):
        self.handle = None
        self.pending = None
        # The module's lock of xq_abort() against xq_destroy().
        self._life = life

    def run(self, function, *args):
        # An exception kept before the operation began (Ctrl-C between two
        # instructions) is acted on at the first callback.
        if self.pending is not None:
            self._stop()
        try:
            return function(*args)
        except BaseException as error:  # every one, Ctrl-C included, goes to the caller
            self.keep(error)
            return None

    def keep(self, error):
        if self.pending is None:
            self.pending = error
        self._stop()

    def _stop(self):
        with self._life:
            if self.handle is not None:
                lib.xq_abort(self.handle)

    def take(self):
        error, self.pending = self.pending, None
        return error


class Interrupts:
    """While an operation runs on the main thread, SIGINT's Python handler
    runs through the guard. A handler that is not Python's (ignored, or the
    default, which ends the process) is left alone."""

    def __init__(self, guard):
        self._guard = guard
        self._previous = None

    def __enter__(self):
        if threading.current_thread() is not threading.main_thread():
            return self
        previous = signal.getsignal(signal.SIGINT)
        if callable(previous):
            self._previous = previous
            signal.signal(signal.SIGINT, self._on_signal)
        return self

    def __exit__(self, *exc):
        if self._previous is not None:
            signal.signal(signal.SIGINT, self._previous)
            self._previous = None

    def _on_signal(self, signum, frame):
        self._guard.run(self._previous, signum, frame)


def _keep_unraisable(unraisable, previous=sys.unraisablehook):
    owner = getattr(unraisable.object, "__self__", None)
    if isinstance(owner, Trampolines) and unraisable.exc_value is not None:
        owner.guard.keep(unraisable.exc_value)
    else:
        previous(unraisable)


sys.unraisablehook = _keep_unraisable


class Trampolines:
    """The C callbacks of one module, bound to its Python callbacks. Each
    ctypes object is kept here as long as the handle may call it."""

    def __init__(self, guard, yield_callback, callbacks):
        self.guard = guard
        self._yield_callback = yield_callback or _nothing
        self._callbacks = callbacks
        self.yield_ = YIELD(self._yield)
        self.error = ERROR(self._error)
        self.accepted = ACCEPTED(self._accepted)
        self.blocs = {
            "packed": BLOC(self._packed),
            "unpacked": BLOC(self._unpacked),
            "sended": BLOC(self._sended),
            "received": BLOC(self._received),
        }

    # Bound methods, every one: sys.unraisablehook knows them by their owner.
    def _yield(self, _user):
        self.guard.run(self._yield_callback)

    def _error(self, _user, description):
        self.guard.run(self._callbacks["error"], description.decode("utf-8", "replace"))

    def _accepted(self, _user, direction, position):
        self.guard.run(self._callbacks["accepted"], direction.decode("latin-1"), position)

    def _packed(self, _user, count):
        self._bloc("packed", count)

    def _unpacked(self, _user, count):
        self._bloc("unpacked", count)

    def _sended(self, _user, count):
        self._bloc("sended", count)

    def _received(self, _user, count):
        self._bloc("received", count)

    def _bloc(self, name, count):
        # A callback that returns a number changes the count the later
        # events receive, as the C callback may through its pointer.
        changed = self.guard.run(self._callbacks[name], count[0])
        if isinstance(changed, int) and not isinstance(changed, bool):
            count[0] = changed


def _nothing():
    pass
