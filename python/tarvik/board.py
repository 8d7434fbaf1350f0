"""The Tarvik unit's simulated board, driven in virtual time through
``tarvik-sim --control`` (the control protocol, one JSON object a line)."""

import json
import os
import shutil
import socket as socketlib
import subprocess
import tempfile
import time as walltime
import weakref

PROTOCOL_VERSION = 1
"""The version of the control protocol this package speaks."""

KEYS = ("up", "down", "esc", "enter", "start", "stop")
"""The unit's six keys, by the names the protocol uses."""

PROMPT = "\r\nconsole>"
"""What the console prints when it is ready for the next command."""

_CHECKOUT_SIM = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "build", "host-release",
                             "tarvik-sim")


class TarvikError(Exception):
    """tarvik-sim could not be started, ended unexpectedly, or did not follow the protocol."""


class RequestError(TarvikError):
    """tarvik-sim refused a request; ``error`` is its reason. The board is as it was."""

    def __init__(self, op, error):
        super().__init__(f"{op}: {error}")
        self.op = op
        self.error = error


class Timeout(TarvikError):
    """What a wait looked for did not come within its virtual time.

    ``time`` is the virtual time (seconds) when the wait gave up and ``tail`` the
    last bytes the console had sent by then."""

    def __init__(self, message, time, tail):
        super().__init__(message)
        self.time = time
        self.tail = tail


class Halted(TarvikError):
    """The board halted (a stack overflow, a fault, main returning...).

    ``reason`` is tarvik-sim's reason, ``time`` the virtual time of the reply that
    said so, ``tail`` the last bytes the console had sent."""

    def __init__(self, reason, time, tail):
        super().__init__(f"the board halted: {reason} (at {time:.3f} s of virtual time); "
                         f"the console's last bytes: {tail!r}")
        self.reason = reason
        self.time = time
        self.tail = tail


class Match:
    """What ``Console.expect`` found: ``data`` is everything read up to the end of
    the match, ``before`` the part before it, ``text`` the matched text and
    ``groups`` the pattern's groups (None for a group that took no part)."""

    def __init__(self, data, text, groups):
        self.data = data
        self.text = text
        self.groups = tuple(groups)
        self.before = data[:len(data) - len(text)]

    def group(self, n=0):
        """The whole match for 0, else group n (from 1)."""
        return self.text if n == 0 else self.groups[n - 1]

    def __repr__(self):
        return f"Match(text={self.text!r}, groups={self.groups!r})"


class LcdState:
    """The display at one moment: ``rows`` (four strings of 16 characters, dark
    cells as blanks, other codes than printable ASCII as '?') and ``on``."""

    def __init__(self, rows, on):
        self.rows = list(rows)
        self.on = on

    @property
    def text(self):
        """The four rows, each followed by a line feed (the format of --lcd)."""
        return "".join(row + "\n" for row in self.rows)

    def __repr__(self):
        return f"LcdState(rows={self.rows!r}, on={self.on!r})"


class MotorState:
    """Motor 3 at one moment: ``rpm`` (signed, forward positive), ``enabled``
    (the power stage, PA5 low), ``direction`` of the drive (-1, 0, 1), ``duty``
    (the bridge's mean voltage in % of the supply), ``edges`` (the encoder's rising
    edges since power-on) and ``load`` (the load torque, N m)."""

    def __init__(self, reply):
        self.rpm = reply["rpm"]
        self.enabled = reply["enabled"]
        self.direction = reply["direction"]
        self.duty = reply["duty"]
        self.edges = reply["edges"]
        self.load = reply["load"]

    def __repr__(self):
        return (f"MotorState(rpm={self.rpm:.1f}, enabled={self.enabled}, direction={self.direction}, "
                f"duty={self.duty:.1f}, edges={self.edges}, load={self.load})")


def _bytes_text(data):
    """Bytes as the protocol carries them: a string whose code points 0-255 are the bytes."""
    if isinstance(data, (bytes, bytearray)):
        return bytes(data).decode("latin-1")
    if any(ord(c) > 255 for c in data):
        raise ValueError("every character must be a byte (code points 0-255)")
    return data


def escape(text):
    """``text`` as a pattern that matches exactly it (the protocol's patterns are ECMAScript)."""
    return "".join("\\" + c if c in "\\^$.|?*+()[]{}/" else c for c in text)


def option_arguments(options):
    """tarvik-sim's command-line options from keyword arguments: ``lcd_task=True``
    is ``--lcd-task``, ``keys="up@1s"`` is ``--keys up@1s``, a dict is KEY=VALUE,...
    (``motor={"load": 0.002}``), a list or tuple is comma-separated, False and None
    leave the option out."""
    args = []
    for name, value in options.items():
        flag = "--" + name.replace("_", "-")
        if value is None or value is False:
            continue
        if value is True:
            args.append(flag)
            continue
        if isinstance(value, dict):
            value = ",".join(f"{k}={v}" for k, v in value.items())
        elif isinstance(value, (list, tuple)):
            value = ",".join(str(v) for v in value)
        args += [flag, str(value)]
    return args


def find_sim(sim=None):
    """The tarvik-sim to run: ``sim`` if given, else $TARVIK_SIM, else this
    checkout's release build (build/host-release/tarvik-sim), else tarvik-sim on
    the PATH."""
    for candidate in (sim, os.environ.get("TARVIK_SIM")):
        if candidate:
            return candidate
    if os.access(_CHECKOUT_SIM, os.X_OK):
        return os.path.normpath(_CHECKOUT_SIM)
    found = shutil.which("tarvik-sim")
    if found:
        return found
    raise TarvikError("no tarvik-sim: build it (make host-release), or name it with sim=, $TARVIK_SIM or the PATH")


def _kill(proc):
    if proc.poll() is None:
        proc.kill()
        proc.wait()


class Console:
    """The unit's console line (USART1, 115200 8N1), as seen from the board's
    side. ``transcript`` holds every byte this client has read from it so far."""

    def __init__(self, board):
        self._board = board
        self.transcript = ""

    def write(self, data):
        """Puts bytes (str of code points 0-255, or bytes) on the line. They arrive
        as the firmware takes them, each once it has read the one before, while
        virtual time runs (no time passes here). Returns the bytes still waiting."""
        return self._board.request("write", line="console", data=_bytes_text(data))["queued"]

    def type(self, text):
        """Types ``text`` at the console's pace, as a person types: the same as
        ``write``; the next wait or run lets the firmware take it."""
        return self.write(text)

    def read(self):
        """Everything the firmware sent on the console since the last read or expect."""
        data = self._board.request("read", line="console")["data"]
        self.transcript += data
        return data

    def expect(self, pattern, within=10.0):
        """Runs virtual time until the unread console output matches ``pattern``
        (an ECMAScript regular expression, which for ordinary patterns is Python's
        syntax; ``escape`` makes a literal one), at most ``within`` virtual
        seconds. The output up to the end of the match is consumed and returned as
        a ``Match``. Raises ``Timeout`` if it does not come, ``Halted`` if the board
        halts."""
        reply = self._board.request("run", until=_bytes_text(pattern), within=within)
        if reply.get("matched"):
            self.transcript += reply["data"]
            return Match(reply["data"], reply["match"], reply["groups"])
        tail = (self.transcript + reply.get("tail", ""))[-200:]
        if "halted" in reply:
            raise Halted(reply["halted"], reply["time"], tail)
        raise Timeout(f"no match for {pattern!r} on the console within {within} s of virtual time "
                      f"(now {reply['time']:.3f} s); its last bytes: {tail!r}", reply["time"], tail)

    def expect_exact(self, text, within=10.0):
        """``expect`` of ``text`` as it is, not as a pattern."""
        return self.expect(escape(text), within)

    def wait_taken(self, within=10.0):
        """Runs virtual time until the firmware has taken every byte written so far."""
        self._board._wait(f"the console to take its input", within, taken="console")

    def command(self, line, within=10.0):
        """Types ``line`` and Enter, waits for the next prompt and returns what the
        command printed between its echo and the prompt."""
        self.type(line + "\r")
        data = self.expect_exact(PROMPT, within).before
        if data.startswith(line):
            data = data[len(line):]
        return data[2:] if data.startswith("\r\n") else data


class Rs485:
    """The RS485 bus on USART2: what the firmware sends while its driver is on
    (PA4 high), about a hundred telemetry lines a second."""

    def __init__(self, board):
        self._board = board
        self._text = ""

    def read(self):
        """The bytes sent on the bus since the last read (``lines`` reads too)."""
        data = self._board.request("read", line="rs485")["data"]
        self._text += data
        return data

    def lines(self):
        """Every complete line sent on the bus so far, oldest first, without its
        line ending (the firmware ends them with LF CR)."""
        self.read()
        lines = self._text.replace("\r", "").split("\n")
        return [line for line in lines[:-1] if line]

    def write(self, data):
        """Puts bytes on the bus for the unit's receiver; it hears them only while
        its driver is off (PA4 low). Returns whether it heard them."""
        return self._board.request("write", line="rs485", data=_bytes_text(data))["heard"]


class Board:
    """A simulated Tarvik board in a ``tarvik-sim --control`` process, in virtual
    time: nothing happens on the board between calls, and time moves only in
    ``run`` and the waits.

    ``image`` runs that board image (build/arm/tarvik.elf) on the emulated
    Cortex-M3 instead of the firmware compiled for the host; ``sim`` names the
    tarvik-sim (see ``find_sim``); ``socket=True`` talks over a Unix socket
    (``--control PATH``) instead of standard input and output. Every other keyword
    is a tarvik-sim option (see ``option_arguments``): ``Board(lcd_task=True,
    fault="bounce=5ms")``.

    Use it as a context manager, which always ends the process; ``close`` does
    the same by hand."""

    def __init__(self, image=None, *, sim=None, socket=False, start_timeout=30.0, **options):
        self.sim = find_sim(sim)
        self.console = Console(self)
        """The console line (``Console``)."""
        self.rs485 = Rs485(self)
        """The RS485 bus (``Rs485``)."""
        self.report = ""
        """What tarvik-sim reported at the end of the run (after ``close``)."""
        self.halted = None
        """The board's halt reason once it halted, else None."""
        self.time = 0.0
        """Virtual time in seconds, as of the last reply."""
        self._closed = False
        self._sock = None
        self._dir = tempfile.TemporaryDirectory(prefix="tarvik-")
        self._stderr = open(os.path.join(self._dir.name, "stderr"), "w+b")
        args = [self.sim, "--control"]
        if socket:
            self._socket_path = os.path.join(self._dir.name, "control")
            args.append(self._socket_path)
        if image:
            args += ["--image", os.fspath(image)]
        self.args = args + option_arguments(options)
        """The command line that started tarvik-sim."""
        try:
            self._proc = subprocess.Popen(self.args, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                          stderr=self._stderr)
        except OSError as e:
            self._stderr.close()
            self._dir.cleanup()
            self._closed = True
            raise TarvikError(f"cannot run {self.sim}: {e.strerror}") from None
        self._finalizer = weakref.finalize(self, _kill, self._proc)
        try:
            if socket:
                self._connect(start_timeout)
            else:
                self._out, self._in = self._proc.stdin, self._proc.stdout
            hello = self.request("hello")
        except BaseException:
            self.close()
            raise
        self.version = hello["version"]
        """The protocol version tarvik-sim speaks."""
        self.cpu = hello["cpu"]
        """"host" for the firmware compiled for the host, "image" for the board image."""
        if self.version != PROTOCOL_VERSION:
            self.close()
            raise TarvikError(f"{self.sim} speaks control protocol {self.version}, this package {PROTOCOL_VERSION}")

    def _connect(self, timeout):
        deadline = walltime.monotonic() + timeout
        while True:
            sock = socketlib.socket(socketlib.AF_UNIX, socketlib.SOCK_STREAM)
            try:
                sock.connect(self._socket_path)
                break
            except OSError:
                sock.close()
                if self._proc.poll() is not None or walltime.monotonic() > deadline:
                    raise TarvikError(f"{self.sim} did not open its control socket: {self.stderr().strip()}")
                walltime.sleep(0.01)
        self._sock = sock
        self._in = sock.makefile("rb")
        self._out = sock.makefile("wb")

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
        return False

    def stderr(self):
        """What tarvik-sim has written on its standard error so far."""
        if self._stderr.closed:
            return self._stderr_text
        self._stderr.flush()
        with open(self._stderr.name, "rb") as f:
            return f.read().decode("utf-8", "replace")

    def request(self, op, **fields):
        """Sends one request of the protocol and returns its reply (a dict);
        raises ``RequestError`` if tarvik-sim refuses it."""
        if self._closed:
            raise TarvikError("the board's run has ended")
        line = json.dumps(dict(op=op, **fields), separators=(",", ":")) + "\n"
        try:
            self._out.write(line.encode("ascii"))
            self._out.flush()
            answer = self._in.readline()
        except OSError:
            answer = b""
        if not answer:
            status = self._proc.wait()
            raise TarvikError(f"{self.sim} ended (exit status {status}) during {op}: {self.stderr().strip()}")
        reply = json.loads(answer)
        if not reply.get("ok"):
            raise RequestError(op, reply.get("error", "no reason given"))
        self.time = reply.get("time", self.time)
        self.halted = reply.get("halted")
        return reply

    def _tail(self):
        return self.console.transcript[-200:]

    def _wait(self, what, within, **condition):
        reply = self.request("run", within=within, **condition)
        if not reply["matched"]:
            if "halted" in reply:
                raise Halted(reply["halted"], reply["time"], self._tail())
            raise Timeout(f"no {what} within {within} s of virtual time (now {reply['time']:.3f} s); "
                          f"the console's last bytes: {self._tail()!r}", reply["time"], self._tail())
        return reply

    def run(self, seconds):
        """Runs virtual time forward by ``seconds``. Raises ``Halted`` if the board
        has halted (time still runs to the end: interrupts go on)."""
        reply = self.request("run", **{"for": seconds})
        if "halted" in reply:
            raise Halted(reply["halted"], reply["time"], self._tail())

    def wait_pin(self, pin, level=None, within=10.0):
        """Runs virtual time until ``pin`` ("PA5") changes, or with ``level`` (0 or
        1) until it is at that level (at once if it already is); returns its level.
        Raises ``Timeout`` or ``Halted``."""
        condition = {"pin": pin} if level is None else {"pin": pin, "level": level}
        what = f"change of {pin}" if level is None else f"level {level} on {pin}"
        return self._wait(what, within, **condition)["level"]

    def wait_until(self, condition, within=10.0, step=0.01, what=None):
        """Runs virtual time in steps of ``step`` seconds until ``condition(board)``
        is true (looked at before each step), at most ``within`` seconds; returns
        its value. Raises ``Timeout`` (naming ``what``) or ``Halted``."""
        end = self.time + within
        while True:
            value = condition(self)
            if value:
                return value
            # Time moves in whole CPU cycles: a sliver left is as good as none.
            if self.time >= end - 1e-6:
                what = what or getattr(condition, "__name__", "the condition")
                raise Timeout(f"no {what} within {within} s of virtual time (now {self.time:.3f} s); "
                              f"the console's last bytes: {self._tail()!r}", self.time, self._tail())
            self.run(min(step, end - self.time))

    def press(self, key, hold=0.1):
        """Presses one of the unit's keys (``KEYS``) now and lets it go ``hold``
        virtual seconds later; ``hold=None`` keeps it held until ``release``. No
        time passes here."""
        if hold is None:
            self.request("press", key=key)
        else:
            self.request("press", key=key, hold=hold)

    def release(self, key):
        """Lets go of a held key now."""
        self.request("release", key=key)

    def pin(self, name):
        """The level (0 or 1) on a pin outside the chip: "PA5", "pc13"."""
        return self.request("pin", pin=name)["level"]

    @property
    def lcd(self):
        """The display now (``LcdState``)."""
        reply = self.request("lcd")
        return LcdState(reply["rows"], reply["on"])

    @property
    def motor(self):
        """Motor 3 now (``MotorState``)."""
        return MotorState(self.request("motor"))

    def var(self, name):
        """A firmware variable by name ("engine3_pulse"), as an unsigned number
        (little-endian, its own size) if it is at most 8 bytes, else its bytes."""
        reply = self.request("var", name=name)
        return reply["value"] if "value" in reply else bytes.fromhex(reply["bytes"])

    def fault(self, **faults):
        """Injects faults now, as ``--fault`` does at its times: ``load`` (N m),
        ``stall`` (True, False, or seconds), ``bounce`` (seconds), ``drop`` and
        ``corrupt`` (probabilities), ``seed``."""
        self.request("fault", **faults)

    def reset(self):
        """Pulls the board's reset line: the firmware starts again, the backup
        registers kept; on either CPU."""
        self.request("reset")

    def close(self):
        """Ends the run (tarvik-sim writes the files its options name) and the
        process; returns tarvik-sim's report. Safe to call more than once."""
        if self._closed:
            return self.report
        try:
            if self._proc.poll() is None and hasattr(self, "_in"):
                try:
                    self.report = self.request("end").get("report", "")
                except TarvikError:
                    pass
            self._closed = True
            for stream in (getattr(self, "_out", None), getattr(self, "_in", None), self._proc.stdin,
                           self._proc.stdout, self._sock):
                try:
                    if stream is not None:
                        stream.close()
                except OSError:
                    pass
            try:
                self._proc.wait(timeout=30)
            except subprocess.TimeoutExpired:
                pass
        finally:
            self._closed = True
            self._finalizer()
            self._stderr_text = self.stderr()
            self._stderr.close()
            self._dir.cleanup()
        return self.report
