"""The shared library, loaded once, and the prototypes of its C interface."""

import ctypes
import os
from ctypes import POINTER, c_char, c_char_p, c_int, c_int32, c_int64, c_size_t, c_void_p

from . import _location

# The library installed with this package comes first; without it, the
# system's, found by its soname.
_installed = os.path.join(os.path.dirname(os.path.abspath(__file__)), _location.LIBRARY)
lib = ctypes.CDLL(_installed if os.path.exists(_installed) else os.path.basename(_location.SONAME))

status = c_int32
handle = c_void_p

YIELD = ctypes.CFUNCTYPE(None, c_void_p)
ERROR = ctypes.CFUNCTYPE(None, c_void_p, c_char_p)
BLOC = ctypes.CFUNCTYPE(None, c_void_p, POINTER(c_int32))
ACCEPTED = ctypes.CFUNCTYPE(None, c_void_p, c_char, c_int64)


class WAIT_STATE(ctypes.Structure):
    _fields_ = [("awaiting", c_int32), ("attempt", c_int32), ("attempts", c_int32),
                ("remaining_ms", c_int64), ("sent", c_char_p), ("expected", c_char_p)]


_STRING_OUT = [handle, POINTER(c_void_p), POINTER(c_size_t)]
_TRANSFER = [handle, c_char_p, c_char_p, c_char_p, c_char_p, POINTER(c_int32)]

_PROTOTYPES = {
    "xq_version": (c_char_p, []),
    "xq_create_hosted": (status, [YIELD, c_void_p, c_int32, POINTER(handle)]),
    "xq_destroy": (status, [handle]),
    "xq_last_error": (c_char_p, [handle]),
    "xq_last_errno": (c_int, [handle]),
    "xq_error_source": (status, _STRING_OUT),
    "xq_error_description": (status, _STRING_OUT),
    "xq_get_trace_text": (status, _STRING_OUT),
    "xq_set_trace": (status, [handle, c_int]),
    "xq_port_open": (status, [handle, POINTER(c_int)]),
    "xq_set_comm_port": (status, [handle, c_int32]),
    "xq_set_device": (status, [handle, c_char_p]),
    "xq_set_settings": (status, [handle, c_char_p]),
    "xq_on_error": (status, [handle, ERROR, c_void_p]),
    "xq_on_bloc_packed": (status, [handle, BLOC, c_void_p]),
    "xq_on_bloc_unpacked": (status, [handle, BLOC, c_void_p]),
    "xq_on_bloc_sended": (status, [handle, BLOC, c_void_p]),
    "xq_on_bloc_received": (status, [handle, BLOC, c_void_p]),
    "xq_on_transfer_accepted": (status, [handle, ACCEPTED, c_void_p]),
    "xq_pack_file": (status, [handle, c_char_p, c_char_p]),
    "xq_unpack_file": (status, [handle, c_char_p, c_char_p]),
    "xq_connect": (status, [handle, c_int32, c_char_p, c_char_p, POINTER(c_int32)]),
    "xq_disconnect": (status, [handle]),
    "xq_send_file": (status, _TRANSFER),
    "xq_receive_file": (status, _TRANSFER),
    "xq_abort": (status, [handle]),
    "xq_get_wait_state_sized": (status, [handle, POINTER(WAIT_STATE), c_size_t]),
}

for _name, (_restype, _argtypes) in _PROTOTYPES.items():
    _function = getattr(lib, _name)
    _function.restype = _restype
    _function.argtypes = _argtypes


def version():
    """The version of the library in use, "MAJOR.MINOR.PATCH"."""
    return lib.xq_version().decode("ascii")
