"""The simulated modem and server of `xmodemq simulate`, on a pseudo-terminal,
for the module's tests."""

import os
import signal
import subprocess
import time

import pytest

XMODEMQ = os.environ["XMODEMQ"]


class Simulator:
    def __init__(self, folder, options):
        self.link = str(folder / "modem")
        self.store = folder / "store"
        self.store.mkdir()
        self.log = folder / "simulator.log"
        with open(self.log, "wb") as log:
            self.process = subprocess.Popen(
                [XMODEMQ, "simulate", "--link", self.link, "--store", str(self.store), *options],
                stderr=log)
        deadline = time.monotonic() + 10
        while not os.path.exists(self.link):
            assert self.process.poll() is None, self.log.read_text()
            assert time.monotonic() < deadline, "the simulator did not start"
            time.sleep(0.02)

    def stop(self):
        self.process.send_signal(signal.SIGTERM)
        self.process.wait(10)


@pytest.fixture
def simulator(tmp_path):
    """Starts `xmodemq simulate` with the options given; stops it after the test."""
    started = []

    def start(*options):
        folder = tmp_path / f"sim{len(started)}"
        folder.mkdir()
        started.append(Simulator(folder, options))
        return started[-1]

    yield start
    for sim in started:
        sim.stop()


def records(count, seed=0):
    """A billing-like file: fixed-width records of text and digits."""
    lines = (f"FACT{i:06d}  {'PATIENT ' + str(i + seed):<40} {i * 7919 + seed:012d}  \n"
             for i in range(count))
    return "".join(lines).encode("ascii")
