"""What the gdb tests share: the programs under test (from the command line:
TARVIK_SIM [IMAGE.elf]), the simulators they start, failures gathered, and the
remote protocol's framing for the tests that talk to the server themselves."""
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import time

SIM = sys.argv[1]
ELF = sys.argv[2] if len(sys.argv) > 2 else None  # the host build's tests have none
GDB = shutil.which("gdb-multiarch")
failures = []
started = []  # every tarvik-sim, ended at the end whatever happened


def simulator(args, **kwargs):
    proc = subprocess.Popen([SIM] + args, **kwargs)
    started.append(proc)
    return proc


def wait_for_socket(path, proc, seconds=10):
    """Until the simulator listens on `path`; ends the test if it never does."""
    end = time.time() + seconds
    while not os.path.exists(path):
        if proc.poll() is not None or time.time() > end:
            raise SystemExit("tarvik-sim did not listen on %s" % path)
        time.sleep(0.02)


def ended(proc, seconds=60):
    """The simulator's exit status, or "hung" (and killed) if it has not ended in time."""
    try:
        return proc.wait(timeout=seconds)
    except subprocess.TimeoutExpired:
        proc.kill()
        return "hung"


def check(condition, what, output=""):
    if not condition:
        failures.append(what + ("\n--- output ---\n" + output if output else ""))
    return condition


def frame(payload):
    """A packet: $payload#checksum (str or bytes)."""
    if isinstance(payload, str):
        payload = payload.encode()
    return b"$%s#%02x" % (payload, sum(payload) & 0xFF)


def read_until(conn, marker, seconds):
    data = b""
    end = time.time() + seconds
    conn.settimeout(0.1)
    while marker not in data and time.time() < end:
        try:
            chunk = conn.recv(4096)
        except socket.timeout:
            continue
        if not chunk:
            break
        data += chunk
    return data


def run_sessions(*sessions):
    """Runs each session in one temporary folder, ends every simulator, reports."""
    if GDB is None:
        raise SystemExit("gdb-multiarch is missing (apt-get install gdb-multiarch; make deps)")
    try:
        with tempfile.TemporaryDirectory() as tmp:
            for session in sessions:
                session(tmp)
    finally:
        for proc in started:
            if proc.poll() is None:
                proc.kill()
    for f in failures:
        print("FAIL: " + f + "\n")
    if failures:
        sys.exit(1)
    print("ok")
