"""Module: one ModuleXmodem object of the library, as a Python object."""

import collections
import ctypes
import enum
import errno
import os
import threading

from ._errors import file_error, raise_for
from ._guard import Guard, Interrupts, Trampolines
from ._library import WAIT_STATE, lib


class Result(enum.IntEnum):
    """What connect, send_file and receive_file return (ReturnValues)."""

    FALSE = 0  # failure: no answer, ten attempts, a wrong count, an abort
    TRUE = 1  # success
    TIMER = 2  # a modem answer timed out (never returned)
    CTS = 3  # line or modem fault: carrier lost, "ERROR", no dial tone
    REFUSE = 4  # the server refused the transfer


class Awaiting(enum.IntEnum):
    """What a wait awaits (WaitState.awaiting)."""

    NOTHING = 0  # no wait is running
    MODEM = 1  # an answer of the modem to a command
    SERVER = 2  # an answer of the server during a transfer
    PAUSE = 3  # a pause (after the modem's reset, while hanging up)
    LINE = 4  # the line itself: a terminal server's address or agreement


WaitState = collections.namedtuple("WaitState", "awaiting sent expected attempt attempts remaining")
WaitState.__doc__ = """What the running wait awaits (Module.wait_state): an Awaiting; what went
out ("ATDT...", "ACK", "trame 12") and the answer awaited ("CONNECT", "trame 13
ou EOT"), "" when none; this attempt from 1 and the most attempts, 0 when not
counted; the seconds left before this attempt's wait ends, None when nothing
is awaited."""


# What the opening record carries of each text: the server's file name (the
# base name of the path: its last component, without the text from its last
# dot on), the user id and the password, cut to these many characters.
NAME_WIDTH = 17
ID_WIDTH = 40
# Windows-1252, the line's code page; the library takes the five bytes it
# leaves undefined for the C1 controls of the same numbers.
_UNDEFINED_1252 = "\x81\x8d\x8f\x90\x9d"


def _nul_free(data, what):
    if b"\0" in data:
        raise ValueError(f"{what} contient un octet nul : la bibliothèque la couperait là")
    return data


def _text(value, what="le texte"):
    return _nul_free(value.encode("utf-8"), what)


def _path(value, what="le chemin"):
    return _nul_free(os.fsencode(value), what)


def _visible(text):
    """The text with its control characters shown as escapes."""
    return "".join(c if c.isprintable() else ascii(c)[1:-1] for c in text)


def _in_code_page(char):
    if char in _UNDEFINED_1252:
        return True
    try:
        char.encode("cp1252")
        return True
    except UnicodeEncodeError:
        return False


def _on_the_line(text, width, what, secret=False):
    """Refuses (ValueError) a text that the line would change: one longer
    than its field, or holding a character outside the code page (sent as
    "?")."""
    sent = "".join(c if _in_code_page(c) else "?" for c in text)[:width]
    if sent == text[:width] and len(text) <= width:
        return
    shown = "" if secret else f" « {_visible(text)} »"
    said = "" if secret else f" ; le serveur recevrait « {_visible(sent)} »"
    if len(text) > width:
        reason = f"{len(text)} caractères, la ligne en porte {width} au plus"
    else:
        reason = "des caractères hors de la page de code Windows-1252 deviendraient « ? »"
    raise ValueError(f"{what}{shown} : {reason}{said} (allow_truncation=True l'accepte)")


def _base_name(path):
    """The server's name of a file: its path's last component without the
    text from its last dot on ('/' and '\\' both separate)."""
    name = os.fsencode(path).rstrip(b"/\\")
    name = name[max(name.rfind(b"/"), name.rfind(b"\\")) + 1:]
    return name[:name.rfind(b".")] if b"." in name else name


def _check_opening(path, user, password, pack_type):
    name = _base_name(path)
    try:
        text = name.decode("utf-8")
    except UnicodeDecodeError:
        raise ValueError(f"Le nom de fichier « {_visible(os.fsdecode(name))} » n'est pas en "
                         "UTF-8 : la ligne en changerait les caractères "
                         "(allow_truncation=True l'accepte)") from None
    _on_the_line(text, NAME_WIDTH, "Le nom du fichier pour le serveur")
    _on_the_line(user, ID_WIDTH, "L'identifiant")
    _on_the_line(password, ID_WIDTH, "Le mot de passe", secret=True)
    if len(pack_type) != 1:
        raise ValueError(f"Le type de compactage « {_visible(pack_type)} » doit être un seul "
                         "caractère (allow_truncation=True l'accepte)")
    _on_the_line(pack_type, 1, "Le type de compactage")


class Module:
    """One line to the server: the serial port, the modem and the transfers.

    device (a path, or "rfc2217://HOST:PORT") or port (N for /dev/ttyS<N-1>)
    selects the line, settings its "baud,parity,data,stop". A refusal of any
    of them is not an exception: on_error receives its French text.

    Every wait calls yield_callback (if given) at least every
    max_yield_interval seconds (0: only on input and on the timer). The
    events run on the caller's thread from inside the call that raises them:
    on_error(text); on_bloc_sent, on_bloc_received, on_bloc_packed and
    on_bloc_unpacked(count), while `trace` is on, and a number they return
    becomes the count of the later events; on_transfer_accepted(direction,
    position), 'E' or 'R' and the server's position in blocks.

    An exception that a callback raises stops the running operation (hung
    up, as by abort()) and is raised again once the call returns. Calling an
    operation from inside a callback raises Error (status -2); wait_state is
    meant to be read there.

    Used as a context manager, the line is hung up (disconnect()) if it is
    open, and the object freed, on exit. abort() may come from any thread at
    any moment, also while another thread leaves the `with` block or the
    object is collected: the two never overlap.

    Texts and paths holding a NUL byte are refused (ValueError): the library
    would cut them there.
    """

    def __init__(self, device=None, port=None, settings=None, yield_callback=None,
                 max_yield_interval=0.1, on_error=None, on_bloc_sent=None,
                 on_bloc_received=None, on_bloc_packed=None, on_bloc_unpacked=None,
                 on_transfer_accepted=None):
        if device is not None and port is not None:
            raise ValueError("device and port select the same line: give one of them")
        self._handle = None
        # abort() against the object's end: xq_abort() and xq_destroy() of
        # one handle must never overlap. Reentrant: a signal handler that
        # aborts may run on the thread that frees.
        self._life = threading.RLock()
        self._depth = 0
        self._last_error_event = ""
        self._trace = False
        self._guard = Guard(self._life)
        callbacks = {"error": on_error, "accepted": on_transfer_accepted,
                     "sended": on_bloc_sent, "received": on_bloc_received,
                     "packed": on_bloc_packed, "unpacked": on_bloc_unpacked}
        self._trampolines = Trampolines(self._guard, yield_callback, callbacks)
        handle = ctypes.c_void_p()
        status = lib.xq_create_hosted(self._trampolines.yield_, None,
                                      int(round(max_yield_interval * 1000)), ctypes.byref(handle))
        if status != 0:
            raise_for(status, "Mémoire insuffisante")
        self._handle = self._guard.handle = handle.value
        if on_error is not None:
            lib.xq_on_error(self._handle, self._trampolines.error, None)
        if on_transfer_accepted is not None:
            lib.xq_on_transfer_accepted(self._handle, self._trampolines.accepted, None)
        registrations = {"sended": lib.xq_on_bloc_sended, "received": lib.xq_on_bloc_received,
                         "packed": lib.xq_on_bloc_packed, "unpacked": lib.xq_on_bloc_unpacked}
        for name, register in registrations.items():
            if callbacks[name] is not None:
                register(self._handle, self._trampolines.blocs[name], None)
        try:
            if port is not None:
                self._call(lib.xq_set_comm_port, int(port))
            if device is not None:
                self._call(lib.xq_set_device, _path(device, "Le nom du port"))
            if settings is not None:
                self._call(lib.xq_set_settings, _text(settings, "Les paramètres"))
        except BaseException:
            self._free()
            raise

    # ---- Life ----------------------------------------------------------

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        if self._handle is None:
            return
        try:
            opened = ctypes.c_int(0)
            lib.xq_port_open(self._handle, ctypes.byref(opened))
            if opened.value:
                self.disconnect()
        finally:
            self._free()

    def __del__(self):
        self._free()

    def _free(self):
        life = getattr(self, "_life", None)
        if life is None:  # __init__ failed before the handle existed
            return
        with life:
            handle, self._handle = self._handle, None
            if handle is not None and lib.xq_destroy(handle) != 0:
                self._handle = handle  # refused from inside a callback: still alive
            elif handle is not None:
                self._guard.handle = None

    # ---- Calls ---------------------------------------------------------

    def _call(self, function, *args, operation=False, paths=()):
        """Calls `function` on the handle; raises what a callback raised
        meanwhile, else Error for a status other than XQ_OK (a FileError
        naming the one of `paths` that failed)."""
        if self._handle is None:
            raise ValueError("the module is closed")
        outermost = self._depth == 0
        if outermost:
            self._guard.take()
        self._depth += 1
        try:
            if operation and outermost:
                with Interrupts(self._guard):
                    status = function(self._handle, *args)
            else:
                status = function(self._handle, *args)
        finally:
            self._depth -= 1
        if outermost:
            error = self._guard.take()
            if error is not None:
                raise error
        if status != 0:
            raise_for(status, lib.xq_last_error(self._handle).decode("utf-8", "replace"),
                      lib.xq_last_errno(self._handle), paths)

    def _operation(self, function, *args, paths=()):
        result = ctypes.c_int32(0)
        self._call(function, *args, ctypes.byref(result), operation=True, paths=paths)
        return Result(result.value)

    def _string(self, function):
        text = ctypes.c_void_p()
        length = ctypes.c_size_t()
        self._call(function, ctypes.byref(text), ctypes.byref(length))
        return ctypes.string_at(text.value, length.value).decode("utf-8", "replace")

    # ---- Operations ----------------------------------------------------

    def connect(self, attempts=3, prefix="", init=""):
        """Opens the port, resets and initialises the modem (init), dials
        prefix and the server's number; each command is tried attempts + 1
        times. Result.TRUE: connected. Otherwise error_description says why,
        except when the serial port itself failed (a missing device, a port
        in use): then on_error got "Connexion impossible", the error record
        is empty, and last_error_event holds that text with the port's
        reason."""
        self._last_error_event = ""
        result = self._operation(lib.xq_connect, int(attempts), _text(prefix, "Le préfixe"),
                                 _text(init, "La chaîne d'initialisation"))
        if result == Result.FALSE:
            self._last_error_event = lib.xq_last_error(self._handle).decode("utf-8", "replace")
        return result

    def disconnect(self):
        """Hangs up: drops DTR, closes the port, pauses 1.5 s in all."""
        self._call(lib.xq_disconnect, operation=True)

    def _transfer(self, function, path, user, password, pack_type, allow_truncation):
        if not allow_truncation:
            _check_opening(path, user, password, pack_type)
        return self._operation(function, _text(user, "L'identifiant"),
                               _text(password, "Le mot de passe"), _path(path, "Le chemin"),
                               _text(pack_type, "Le type de compactage"), paths=(path,))

    def send_file(self, path, user, password, pack_type="0", *, allow_truncation=False):
        """Sends the file's whole 128-byte records as they are; pack_type is
        the one character announced to the server. Result.TRUE when the
        server's count matched; Result.REFUSE with "Transfert refusé, status
        N". Raises Error when the line is not connected, and FileError (a
        FileNotFoundError) when path does not exist, before anything goes on
        the line.

        The server knows the file by its base name (the last component of
        path without its extension), of 17 characters at most; the user id
        and the password hold 40 at most; and the line carries only the
        characters of the code page Windows-1252. A text that the line would
        change (cut, or with "?" for a character) raises ValueError, unless
        allow_truncation=True sends it changed."""
        try:
            os.stat(_path(path, "Le chemin"))
        except FileNotFoundError:
            raise file_error(f"Fichier introuvable : {os.fsdecode(path)}", errno.ENOENT,
                             path) from None
        return self._transfer(lib.xq_send_file, path, user, password, pack_type,
                              allow_truncation)

    def receive_file(self, path, user, password, pack_type="0", *, allow_truncation=False):
        """Receives the file into path. An existing file is resumed after the
        blocks it holds; an interrupted receive keeps what came. The names
        are checked as send_file checks them."""
        return self._transfer(lib.xq_receive_file, path, user, password, pack_type,
                              allow_truncation)

    def pack_file(self, source, target):
        """Packs source into target (created or emptied)."""
        self._call(lib.xq_pack_file, _path(source), _path(target), operation=True,
                   paths=(source, target))

    def unpack_file(self, source, target):
        """Unpacks source into target: the original, filled with spaces to a
        multiple of 128 bytes."""
        self._call(lib.xq_unpack_file, _path(source), _path(target), operation=True,
                   paths=(source, target))

    def abort(self):
        """Asks the running operation to stop. A connect, send_file or
        receive_file hangs up at once and returns Result.FALSE with
        "Opération interrompue" within 2 s; pack_file and unpack_file raise
        FileError("Opération interrompue") before their next megabyte. Safe
        from any thread at any moment, also while another thread frees the
        object; ignored when no operation runs or once the object is freed."""
        with self._life:
            if self._handle is not None:
                lib.xq_abort(self._handle)

    # ---- Properties ----------------------------------------------------

    @property
    def error_source(self):
        """The calling thread's error record: which operation wrote it."""
        return self._string(lib.xq_error_source)

    @property
    def error_description(self):
        """The calling thread's error record: the French reason of the last
        failure ("" after a success)."""
        return self._string(lib.xq_error_description)

    @property
    def last_error_event(self):
        """After a connect() whose serial port failed: the Error event's text
        with the port's reason ("Connexion impossible : Le port ... n'existe
        pas"), which the error record no longer holds. "" after any other
        connect()."""
        return self._last_error_event

    @property
    def trace(self):
        """Whether the progress callbacks are called (off at first)."""
        return self._trace

    @trace.setter
    def trace(self, on):
        self._call(lib.xq_set_trace, 1 if on else 0)
        self._trace = bool(on)

    @property
    def wait_state(self):
        """What the running wait awaits, for a status line drawn from the
        yield callback or an event callback: a WaitState."""
        state = WAIT_STATE()
        self._call(lib.xq_get_wait_state_sized, ctypes.byref(state), ctypes.sizeof(state))
        remaining = None if state.remaining_ms < 0 else state.remaining_ms / 1000
        return WaitState(Awaiting(state.awaiting), state.sent.decode("utf-8", "replace"),
                         state.expected.decode("utf-8", "replace"), state.attempt,
                         state.attempts, remaining)

    @property
    def trace_text(self):
        """The modem's answer lines since the last connect began."""
        return self._string(lib.xq_get_trace_text)
