"""The Python module against `xmodemq simulate`: what a host written from the
module's interface alone relies on."""

import errno
import os
import signal
import subprocess
import sys
import threading
import time

import pytest

import xmodemquarvel as xq
from conftest import XMODEMQ, records

USER, PASSWORD = "PS0001", "mdp"
BUSY = "Appel impossible depuis une fonction de rappel de ce module"


def wait_for_log(sim, text, timeout=20):
    deadline = time.monotonic() + timeout
    while text not in sim.log.read_text():
        assert time.monotonic() < deadline, f"{text!r} not in the simulator's log"
        time.sleep(0.02)


def later(action):
    thread = threading.Thread(target=action, daemon=True)
    thread.start()
    return thread


def test_the_version_is_the_librarys():
    words = subprocess.run([XMODEMQ, "--version"], capture_output=True, text=True).stdout.split()
    assert xq.version() == words[1]


def test_a_send_and_a_receive_with_progress_then_a_hang_up_on_exit(simulator, tmp_path):
    sim = simulator()
    data = records(50)
    source = tmp_path / "FACT0001.TXT"
    source.write_bytes(data)
    back = tmp_path / "back" / "FACT0001.TXT"
    back.parent.mkdir()
    sent, received, accepted = [], [], []
    with xq.Module(device=sim.link, on_bloc_sent=sent.append, on_bloc_received=received.append,
                   on_transfer_accepted=lambda *args: accepted.append(args)) as modem:
        modem.trace = True
        assert modem.connect() == xq.Result.TRUE
        assert "CONNECT 9600" in modem.trace_text
        assert modem.send_file(source, USER, PASSWORD) is xq.Result.TRUE
        assert modem.receive_file(back, USER, PASSWORD) is xq.Result.TRUE
        assert (modem.error_source, modem.error_description) == ("Xmodem: ReceiveFile", "")
    whole = len(data) // 128 * 128
    assert (sim.store / "FACT0001").read_bytes() == data[:whole]
    assert back.read_bytes() == data[:whole]
    assert sent == received == list(range(1, whole // 128 + 1))
    assert accepted == [("E", 0), ("R", 0)]
    assert sim.log.read_text().endswith("client : port fermé\n")


def test_refusals_are_results_and_events_not_exceptions(simulator, tmp_path):
    sim = simulator("--status", "6")
    errors = []
    absent = tmp_path / "ttyABSENT"
    with xq.Module(device=absent, on_error=errors.append) as modem:
        # The port failed: the record is empty, the reason comes with the result.
        assert modem.connect() is xq.Result.FALSE
        assert (modem.error_source, modem.error_description) == ("", "")
        assert modem.last_error_event == f"Connexion impossible : Le port {absent} n'existe pas"
    with xq.Module(device=sim.link, settings="9600,Z,8,1", on_error=errors.append) as modem:
        assert errors == ["Connexion impossible", "Les paramètres 9600,Z,8,1 ne sont pas valides"]
        assert modem.connect() == xq.Result.TRUE
        assert modem.last_error_event == ""
        assert modem.receive_file(tmp_path / "F.TXT", USER, PASSWORD) is xq.Result.REFUSE
        assert modem.error_description == "Transfert refusé, status 6"
    assert not (tmp_path / "F.TXT").exists()


LONG_NAME = "FACTURES_DU_MOIS_DE_JUIN"


@pytest.mark.parametrize("path, user, password, pack_type, says", [
    (f"{LONG_NAME}.TXT", USER, PASSWORD, "0",
     f"Le nom du fichier pour le serveur « {LONG_NAME} » : 24 caractères, la ligne en porte 17 "
     "au plus ; le serveur recevrait « FACTURES_DU_MOIS_ »"),
    ("F.TXT", "U" * 41, PASSWORD, "0", "L'identifiant « " + "U" * 41 + " » : 41 caractères"),
    ("F.TXT", "PS✓01\t", PASSWORD, "0", "L'identifiant « PS✓01\\t » : des caractères hors de la "
     "page de code Windows-1252 deviendraient « ? » ; le serveur recevrait « PS?01\\t »"),
    ("F.TXT", USER, "secret-✓", "0", "Le mot de passe : des caractères hors"),
    ("F.TXT", USER, "s" * 41, "0", "Le mot de passe : 41 caractères"),
    ("F.TXT", USER, PASSWORD, "01", "Le type de compactage « 01 » doit être un seul caractère"),
    ("F.TXT", "PS\0" + USER, PASSWORD, "0", "L'identifiant contient un octet nul"),
    ("F\0.TXT", USER, PASSWORD, "0", "Le chemin contient un octet nul"),
])
def test_what_the_line_would_change_is_refused_before_the_call(tmp_path, path, user, password,
                                                               pack_type, says):
    (tmp_path / "F.TXT").write_bytes(records(2))
    (tmp_path / f"{LONG_NAME}.TXT").write_bytes(records(2))
    with xq.Module() as modem:
        for transfer in (modem.send_file, modem.receive_file):
            with pytest.raises(ValueError) as refused:
                transfer(str(tmp_path / path), user, password, pack_type)
            assert says in str(refused.value)
            assert "secret" not in str(refused.value)
            # Not connected: what would have gone on raises Error instead.
            if "octet nul" not in says:
                with pytest.raises(xq.Error):
                    transfer(str(tmp_path / path), user, password, pack_type,
                             allow_truncation=True)


def test_a_name_cut_on_purpose_and_a_nul_that_would_cut_a_path(simulator, tmp_path):
    sim = simulator()
    source = tmp_path / f"{LONG_NAME}.TXT"
    data = records(20)
    source.write_bytes(data)
    keep = tmp_path / "KEEP.TXT"
    keep.write_bytes(b"garder")
    with xq.Module(device=sim.link) as modem:
        assert modem.connect() is xq.Result.TRUE
        assert modem.send_file(source, USER, PASSWORD, allow_truncation=True) is xq.Result.TRUE
        with pytest.raises(ValueError, match="octet nul"):
            modem.pack_file(source, f"{keep}\0.PK")
    assert (sim.store / LONG_NAME[:17]).read_bytes() == data[:len(data) // 128 * 128]
    assert keep.read_bytes() == b"garder"


def test_abort_from_another_thread_hangs_up_within_two_seconds(simulator):
    sim = simulator("--dial-answer", "")
    asked, states = [], set()

    def status_line():
        state = modem.wait_state
        states.add(state._replace(remaining=state.remaining is not None and
                                  0 < state.remaining <= 60))

    with xq.Module(device=sim.link, yield_callback=status_line) as modem:
        later(lambda: (wait_for_log(sim, "numérotation"), time.sleep(0.3),
                       asked.append(time.monotonic()), modem.abort()))
        assert modem.connect(attempts=0) is xq.Result.FALSE
        assert time.monotonic() - asked[0] < 2
        assert (modem.error_source, modem.error_description) == ("Xmodem: Connect",
                                                                 "Opération interrompue")
        assert modem.wait_state == (xq.Awaiting.NOTHING, "", "", 0, 0, None)
    assert "client : port fermé" in sim.log.read_text()
    dial = [s for s in states if s.sent.startswith("ATDT")]
    assert dial == [(xq.Awaiting.MODEM, dial[0].sent, "CONNECT", 1, 2, True)]
    assert (xq.Awaiting.PAUSE, "", "", 0, 0, True) in states


def test_abort_from_other_threads_never_races_the_end_of_the_object():
    # Objects freed on leaving `with` and by collection while two threads
    # abort them without pause; a use of a freed handle ends the process.
    script = """
import sys, threading, time
import xmodemquarvel as xq
stop = time.monotonic() + 3
current = [None]
def aborter():
    while time.monotonic() < stop:
        module = current[0]
        if module is not None:
            module.abort()
threads = [threading.Thread(target=aborter) for _ in range(2)]
for thread in threads:
    thread.start()
made = 0
while time.monotonic() < stop:
    with xq.Module() as module:
        current[0] = module
    module = current[0] = xq.Module()
    del module
    current[0] = None
    made += 2
for thread in threads:
    thread.join()
print(made)
"""
    run = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
    assert (run.returncode, run.stderr) == (0, "")
    assert int(run.stdout) > 100


def test_a_new_object_connects_at_once_after_one_destroyed_with_the_line_up(simulator):
    sim = simulator()
    for _ in range(3):
        first = xq.Module(device=sim.link)
        assert first.connect(attempts=0) is xq.Result.TRUE
        del first  # the line up: the object's end hangs up
        with xq.Module(device=sim.link) as second:
            assert second.connect(attempts=0) is xq.Result.TRUE, second.error_description
    assert sim.log.read_text().count("client : port fermé") == 6


@pytest.mark.parametrize("stop", ["abort", "raise"])
def test_a_packing_stops_on_abort_or_on_an_exception_in_its_callback(tmp_path, stop):
    source = tmp_path / "BIG.TXT"
    source.write_bytes(records(40000))
    failure = RuntimeError("assez")

    def on_packed(count):
        if count == 10 and stop == "abort":
            modem.abort()
        elif count == 10:
            raise failure

    with xq.Module() as whole:
        whole.pack_file(source, tmp_path / "whole.pak")
    with xq.Module(on_bloc_packed=on_packed) as modem:
        modem.trace = True
        with pytest.raises(xq.FileError if stop == "abort" else RuntimeError) as caught:
            modem.pack_file(source, tmp_path / "cut.pak")
    assert caught.value is failure or str(caught.value) == "Opération interrompue"
    assert (tmp_path / "cut.pak").stat().st_size < (tmp_path / "whole.pak").stat().st_size


def test_ctrl_c_during_a_call_without_callbacks_hangs_up_then_interrupts(simulator):
    sim = simulator("--dial-answer", "")
    sent = []
    with xq.Module(device=sim.link) as modem:
        later(lambda: (wait_for_log(sim, "numérotation"), sent.append(time.monotonic()),
                       os.kill(os.getpid(), signal.SIGINT)))
        with pytest.raises(KeyboardInterrupt):
            modem.connect(attempts=0)
        assert time.monotonic() - sent[0] < 2
        assert modem.error_description == "Opération interrompue"
        assert "client : port fermé" in sim.log.read_text()
    assert signal.getsignal(signal.SIGINT) is signal.default_int_handler


def test_ctrl_c_during_a_receive_keeps_the_blocks_and_the_same_call_resumes(simulator, tmp_path):
    data = records(60)
    served = tmp_path / "FACT0003.TXT"
    served.write_bytes(data)
    sim = simulator("--serve", str(served), "--baud", "38400")
    target = tmp_path / "back" / "FACT0003.TXT"
    target.parent.mkdir()
    fifth = threading.Event()
    with xq.Module(device=sim.link, on_bloc_received=lambda n: n == 5 and fifth.set()) as modem:
        modem.trace = True
        assert modem.connect() is xq.Result.TRUE
        later(lambda: (fifth.wait(20), os.kill(os.getpid(), signal.SIGINT)))
        with pytest.raises(KeyboardInterrupt):
            modem.receive_file(target, USER, PASSWORD)
        kept = target.stat().st_size
        assert kept % 128 == 0 and 5 * 128 <= kept < len(data) // 128 * 128
        assert modem.connect() is xq.Result.TRUE
        assert modem.receive_file(target, USER, PASSWORD) is xq.Result.TRUE
    assert f"position {kept // 128}" in sim.log.read_text()
    assert target.read_bytes() == data[:len(data) // 128 * 128]


@pytest.mark.parametrize("where", ["yield_callback", "on_transfer_accepted", "on_bloc_sent"])
def test_an_exception_in_a_callback_stops_the_call_and_reaches_the_caller(
        simulator, tmp_path, capfd, where):
    sim = simulator()
    source = tmp_path / "FACT0002.TXT"
    source.write_bytes(records(100))
    failure = RuntimeError("panne de l'hôte")
    armed = []

    def fail(*args):
        if armed:
            raise failure

    with xq.Module(device=sim.link, **{where: fail}) as modem:
        modem.trace = True
        assert modem.connect() is xq.Result.TRUE
        armed.append(True)
        with pytest.raises(RuntimeError) as caught:
            modem.send_file(source, USER, PASSWORD)
        assert caught.value is failure
        assert modem.error_description == "Opération interrompue"
    assert "terminé" not in sim.log.read_text()
    assert "Exception ignored" not in capfd.readouterr().err


def test_a_signal_handler_of_the_host_that_raises_reaches_the_caller(simulator):
    # Outside pytest, which puts its own sys.unraisablehook in place.
    sim = simulator("--dial-answer", "")
    script = f"""
import os, signal, sys, threading, time
import xmodemquarvel as xq
def leave(signum, frame):
    raise SystemExit(7)
signal.signal(signal.SIGTERM, leave)
def kill():
    while "numérotation" not in open({str(sim.log)!r}, encoding="utf-8").read():
        time.sleep(0.02)
    os.kill(os.getpid(), signal.SIGTERM)
modem = xq.Module(device={sim.link!r})
threading.Thread(target=kill, daemon=True).start()
try:
    modem.connect(attempts=0)
finally:
    print(modem.error_description)
"""
    run = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                         timeout=30)
    assert (run.returncode, run.stdout, run.stderr) == (7, "Opération interrompue\n", "")


def test_file_errors_are_oserrors_with_errno_filename_and_the_french_message(simulator, tmp_path):
    missing = tmp_path / "absent"
    corrupt = tmp_path / "corrupt.pak"
    corrupt.write_bytes(b"x" * 128 + b"\xc8" * 128)
    served = tmp_path / "F.TXT"
    served.write_bytes(records(10))
    sim = simulator("--serve", str(served))
    with xq.Module(device=sim.link) as modem:
        with pytest.raises(xq.Error) as port:
            modem.send_file(served, USER, PASSWORD)
        with pytest.raises(FileNotFoundError) as pack:
            modem.pack_file(missing, tmp_path / "out")
        with pytest.raises(OSError) as unpack:
            modem.unpack_file(corrupt, tmp_path / "out")
        assert modem.connect() is xq.Result.TRUE
        # A source that is not there is refused before anything goes out.
        with pytest.raises(FileNotFoundError) as send:
            modem.send_file(missing, USER, PASSWORD)
        with pytest.raises(xq.FileError) as receive:
            modem.receive_file(missing / "F.TXT", USER, PASSWORD)
    assert not missing.exists() and "absent" not in sim.log.read_text()
    assert not isinstance(port.value, OSError) and port.value.status == -4
    assert str(port.value) == "Opération impossible : le port n'est pas ouvert"
    assert [(e.value.errno, e.value.filename, str(e.value)) for e in (pack, send, unpack)] == [
        (errno.ENOENT, missing, f"Fichier introuvable : {missing}"),
        (errno.ENOENT, missing, f"Fichier introuvable : {missing}"),
        (errno.EINVAL, None, "Argument ou appel de procédure incorrect")]
    assert isinstance(receive.value, FileNotFoundError) and f"{missing}/F.TXT" in str(receive.value)
    errors = (pack, send, unpack, receive)
    assert all(isinstance(e.value, xq.FileError) and e.value.status == -3 for e in errors)


def test_pack_and_unpack_give_the_commands_bytes(tmp_path):
    data = records(300)
    source = tmp_path / "FACT0004.TXT"
    source.write_bytes(data)
    packed, nested = [], []

    def on_packed(count):
        packed.append(count)
        if count == 2:
            nested.append(pytest.raises(xq.Error, modem.pack_file, source, tmp_path / "nested"))

    with xq.Module(on_bloc_packed=on_packed) as modem:
        modem.trace = True
        modem.pack_file(source, tmp_path / "module.pak")
        modem.unpack_file(tmp_path / "module.pak", tmp_path / "module.out")
    for verb, src, dst in (("pack", source, "command.pak"), ("unpack", "command.pak", "command.out")):
        subprocess.run([XMODEMQ, verb, str(tmp_path / src), str(tmp_path / dst), "-q"], check=True)
    assert (tmp_path / "module.pak").read_bytes() == (tmp_path / "command.pak").read_bytes()
    padded = data + b" " * (-len(data) % 128)
    assert (tmp_path / "module.out").read_bytes() == (tmp_path / "command.out").read_bytes() == padded
    assert packed == list(range(1, len(padded) // 128 + 1))
    assert (nested[0].value.status, str(nested[0].value)) == (-2, BUSY)
    assert not (tmp_path / "nested").exists()


def test_the_readme_example_sends_a_file(simulator, tmp_path):
    sim = simulator()
    data = records(40)
    source = tmp_path / "FACT0005.TXT"
    source.write_bytes(data)
    example = os.path.join(os.path.dirname(__file__), "..", "..", "examples", "send_file.py")
    run = subprocess.run([sys.executable, example, sim.link, USER, str(source)], timeout=60,
                         env={**os.environ, "XMODEMQ_PASSWORD": PASSWORD}, capture_output=True,
                         text=True)
    assert run.returncode == 0, run.stderr
    assert run.stderr.rstrip().endswith(f"bloc {len(data) // 128}")
    assert (sim.store / "FACT0005").read_bytes() == data[:len(data) // 128 * 128]
