"""Sends one file to the server through a modem, as a billing program would:
connect, send, hang up, and say what the component said. Ctrl-C stops it.

    XMODEMQ_PASSWORD=... python3 send_file.py /dev/ttyUSB0 USER01 FACT0001.DAT
"""

import os
import sys

import xmodemquarvel as xq


def progress(block):
    print(f"\rbloc {block}", end="", file=sys.stderr)


def main(device, user, path):
    password = os.environ["XMODEMQ_PASSWORD"]
    # A refused device or settings come through on_error, not as exceptions.
    with xq.Module(device=device, on_error=print, on_bloc_sent=progress) as modem:
        modem.trace = True  # the progress callbacks run only while trace is on
        result = modem.connect()
        if result == xq.Result.TRUE:
            result = modem.send_file(path, user, password)
        print(file=sys.stderr)
        if result != xq.Result.TRUE:
            print(f"{modem.error_source}: {modem.error_description}", file=sys.stderr)
    # Leaving the block hung up the line if it was open.
    return 0 if result == xq.Result.TRUE else 1 if result == xq.Result.FALSE else int(result)


if __name__ == "__main__":
    try:
        sys.exit(main(*sys.argv[1:]))
    except KeyboardInterrupt:
        sys.exit(130)  # the line was hung up before the exception got here
    except xq.Error as error:  # the port or the file failed
        sys.exit(f"send_file: {error}")
