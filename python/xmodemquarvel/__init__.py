"""Files to and from the health insurance fund's server through a Hayes modem,
and the component's packed file format: the xmodemquarvel library from Python.

    import xmodemquarvel as xq

    with xq.Module(device="/dev/ttyUSB0", on_error=print) as modem:
        if modem.connect() == xq.Result.TRUE:
            result = modem.send_file("FACT0001.TXT", "PS0001", password)

Every call runs on the caller's thread and returns when its work is done;
Module.abort() stops the running operation from any thread. Ctrl-C during a
call stops it the same way, and KeyboardInterrupt reaches the caller once the
line is hung up. Module.wait_state, read from a callback, says what the
running wait awaits.
"""

from ._errors import Error, FileError
from ._library import version
from ._module import Awaiting, Module, Result, WaitState

__all__ = ["Awaiting", "Error", "FileError", "Module", "Result", "WaitState", "version"]
