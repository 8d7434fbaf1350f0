#!/usr/bin/python3
"""A real serial client on tarvik-sim's pseudo-terminals: types commands on the
console at a human pace, as a person at picocom would, and checks the replies and
the RS485 telemetry. The session is recorded, and its replay must give the same
console and RS485 bytes."""
import os
import subprocess
import sys
import tempfile
import time

import serial

SIM = sys.argv[1]
BANNER = b"\r\n Tarvik! Start programm.\r\n Version: 0.0.1\r\n"


def wait_for(path, seconds=10):
    end = time.time() + seconds
    while not os.path.exists(path):
        if time.time() > end:
            raise SystemExit("no link " + path)
        time.sleep(0.05)


HEARD = []  # every console byte the client read


def read_until(port, marker, seconds=5):
    data = b""
    end = time.time() + seconds
    while marker not in data and time.time() < end:
        data += port.read(port.in_waiting or 1)
    if port.name.endswith("console"):
        HEARD.append(data)
    return data


def type_line(port, text):
    for ch in text:
        port.write(ch.encode())
        time.sleep(0.12)  # slower than the console's 50 ms poll, as a person types


def main():
    failures = []
    with tempfile.TemporaryDirectory() as tmp:
        links = os.path.join(tmp, "missing", "links")  # made by tarvik-sim
        record = os.path.join(tmp, "session.rec")
        sent = [os.path.join(tmp, "rs485.%d" % n) for n in (1, 2)]
        sim = subprocess.Popen([SIM, "--pty-link", links, "--record", record, "--rs485", sent[0]],
                               stdin=subprocess.DEVNULL,
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        try:
            wait_for(os.path.join(links, "console"))
            wait_for(os.path.join(links, "rs485"))
            console = serial.Serial(os.path.join(links, "console"), 115200, timeout=0.1)
            rs485 = serial.Serial(os.path.join(links, "rs485"), 115200, timeout=0.1)
            # The banner's prompt first (a slow start may still be printing it),
            # then a fresh prompt shows we are talking to it.
            read_until(console, b"console>", 5)
            type_line(console, "\r")
            got = read_until(console, b"Command not found.\r\nconsole>", 5)
            if b"Command not found.\r\nconsole>" not in got:
                failures.append("empty line: %r" % got)
            type_line(console, "help\r")
            got = read_until(console, b"aly \r\nconsole>", 5)
            if not (got.startswith(b"help\r\nhelp ") and got.endswith(b"aly \r\nconsole>")):
                failures.append("help: %r" % got)
            type_line(console, "e3info\r")
            got = read_until(console, b"console>", 5)
            if b"Engine3 setup:\r\npulse: 1000\r\n" not in got:
                failures.append("e3info: %r" % got)
            rs485.reset_input_buffer()
            lines = read_until(rs485, b"\n\r0000,1000\n\r0000,1000\n\r", 5)
            if b"0000,1000\n\r0000,1000\n\r" not in lines:
                failures.append("rs485: %r" % lines[-40:])
            paths = sim.stdout.readline() + sim.stdout.readline()
            if b"console: /dev/pts/" not in paths or b"rs485: /dev/pts/" not in paths:
                failures.append("printed paths: %r" % paths)
        finally:
            sim.terminate()  # ends the run as Ctrl-] does: the recording gets its end
            sim.wait(5)
        replay = subprocess.run([SIM, "--replay", record, "--rs485", sent[1]], stdin=subprocess.DEVNULL,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=60)
        if replay.returncode != 0 or replay.stderr:
            failures.append("replay: status %d, %r" % (replay.returncode, replay.stderr))
        # Opening the port flushes what came before: the client heard the tail.
        heard = b"".join(HEARD)
        if not (heard.count(b"console>") >= 3 and replay.stdout.endswith(heard)):
            failures.append("replayed console: %r\nheard: %r" % (replay.stdout, heard))
        with open(sent[0], "rb") as a, open(sent[1], "rb") as b:
            first, again = a.read(), b.read()
        if first != again or len(first) < 100:
            failures.append("replayed RS485: %d bytes, recorded %d" % (len(again), len(first)))
    for f in failures:
        print("FAIL:", f)
    print("ok" if not failures else "%d failure(s)" % len(failures))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
