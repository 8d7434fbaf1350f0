#!/usr/bin/python3
"""Every shell example of README.md, run as a newcomer would run it.

Usage: readme_examples.py REPO [LINE...]   (LINE: only the block whose ```sh fence is there)

Each ```sh block runs in a fresh temporary folder holding the links `build` and
`tools` to the repository's own: the README's relative paths
(build/host-release/tarvik-sim, tools/plot-telemetry) then reach what the build
made, and the files an example writes land in the temporary folder, except what
it writes under build/ on purpose (build/demo/). The commands of a block run
one after the other in its folder (each with bash -c), as typed into one shell.
A `make` command runs in the repository's root, where the Makefile is. Paths
under /tmp/ become the same paths under the temporary folder's tmp/: a fixed
path in /tmp is shared with whatever else runs on this machine, and the folder
is absent there as on a fresh machine.
XDG_STATE_HOME points into the temporary folder, so an interactive run keeps
its backup file there and not in the user's own state.

A command fails when it exits non-zero or runs past its time-out, prints an
error (ERRORS_OUT on standard output: the firmware's error replies, a test
report's `not ok`; ERRORS_ERR on standard error), or leaves out what it promises:
- a file named after --rs485, --trace, --vcd, --lcd, --lcd-log, --log-access-file,
  --backup, --figures or -o must exist afterwards, be written by the command and
  hold its format (FILE_FORMATS);
- a trailing comment `# Result: TEXT` on a line that pipes into tarvik-sim: its
  output contains `Result: TEXT` (the console's reply);
- a trailing comment `# writes FILE`: FILE is written by the command;
- a trailing comment `... leaves A, B and C in DIR/`: each of DIR/A, DIR/B and
  DIR/C is written by the command;
- `make flash ... DRY_RUN=1` prints the very programming command that the
  README's flashing paragraphs give, for that PROGRAMMER and PORT.
A command that needs a person, real hardware, or runs until it is ended is in
BY_HAND, the one list of what does not run verbatim, with what is done instead
or why it is skipped; the run prints each of them.
"""
import fcntl
import os
import re
import select
import shlex
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import termios
import time

REPO = os.path.abspath(sys.argv[1])
ONLY = {int(a) for a in sys.argv[2:]}
README = os.path.join(REPO, "README.md")
TIMEOUT = 120  # seconds for one command; the longest (make examples) takes about ten

ERRORS_OUT = [r"Command not found", r"\bError\b", r"Result FAIL", r"Wrong parameter",
              r"\bnot found\b", r"(?m)^not ok\b", r"\*\*\*",
              r'"ok": ?false', r'"matched": ?false']  # a control request refused, a wait run out
ERRORS_ERR = [r"(?i)\berror\b", r"(?i)\bwarning\b", r"(?i)sanitizer", r"(?i)traceback",
              r"(?i)no such file", r"(?i)not found", r"(?i)cannot", r"(?i)\bfailed\b",
              r"(?i)violation", r"(?i)\blost\b", r"(?i)halted", r"(?i)refused", r"(?i)denied",
              r"(?i)unknown", r"(?i)invalid"]

# What a file named after an option must hold, beyond not being empty.
FILE_FORMATS = {
    "--trace": ("the CSV header cycle,signal,value", lambda b: b.startswith(b"cycle,signal,value\n")),
    "--vcd": ("a VCD's definitions", lambda b: b.startswith(b"$") and b"$enddefinitions" in b),
    "--rs485": ("telemetry lines NNNN,NNNN", lambda b: re.match(rb"(\d{4},\d{4}\n\r)+", b) is not None),
    "--backup": ("a 30-byte backup file", lambda b: len(b) == 30 and b.startswith(b"TVKBKP")),
    "--lcd": ("four rows of 16 characters", lambda b: re.fullmatch(rb"([^\n]{16}\n){4}", b) is not None),
    "--lcd-log": ("screens, each t=SECONDS and four rows",
                  lambda b: re.fullmatch(rb"(t=\d+(\.\d+)?\n([^\n]{16}\n){4})+", b) is not None),
    "--log-access-file": ("lines of time, R or W and register",
                          lambda b: re.match(rb"(\d+\.\d+ [RW] [A-Z0-9]+\.[A-Z0-9_]+ .*\n)+", b) is not None),
    "--figures": ("the step-response figures", lambda b: b"settling time" in b),
    "-o": ("a PNG", lambda b: b.startswith(b"\x89PNG")),
}

failures = []


def fail(cmd, why, output=""):
    if len(output) > 4000:
        output = "...\n" + output[-4000:]
    failures.append("README.md:%d (block at line %d): %s\n  %s%s" % (
        cmd.line, cmd.block, cmd.text, why,
        ("\n--- output ---\n" + output.rstrip() + "\n--------------") if output else ""))


class Command:
    def __init__(self, block, line, text, comment):
        self.block, self.line, self.text, self.comment = block, line, text, comment


def split_comment(line):
    """The command and its trailing comment: the first # that starts a word outside quotes."""
    quote = None
    for i, ch in enumerate(line):
        if quote:
            if ch == quote:
                quote = None
        elif ch in "'\"":
            quote = ch
        elif ch == "#" and (i == 0 or line[i - 1].isspace()):
            return line[:i].rstrip(), line[i + 1:].strip()
    return line.rstrip(), ""


def split_and(text):
    """`A && B` into its parts, outside quotes."""
    parts, quote, start, i = [], None, 0, 0
    while i < len(text):
        ch = text[i]
        if quote:
            quote = None if ch == quote else quote
        elif ch in "'\"":
            quote = ch
        elif text.startswith("&&", i):
            parts.append(text[start:i].strip())
            start = i = i + 2
            continue
        i += 1
    return parts + [text[start:].strip()]


def readme_blocks():
    lines = open(README, encoding="utf-8").read().split("\n")
    blocks, i = [], 0
    while i < len(lines):
        if lines[i].strip() == "```sh":
            block, cmds, i = i + 1, [], i + 1
            while lines[i].strip() != "```":
                first, text = i + 1, lines[i]
                while text.endswith("\\"):
                    i += 1
                    text = text[:-1] + lines[i].strip()
                text, comment = split_comment(text)
                if text:
                    cmds.append(Command(block, first, text, comment))
                i += 1
            blocks.append((block, cmds))
        i += 1
    return blocks


def flash_commands():
    """The programming commands the README's flashing paragraphs give."""
    text = open(README, encoding="utf-8").read()
    serial = re.search(r"`(stm32flash [^`]*)`", text)
    stlink = re.search(r"`(st-flash [^`]*)`", text)
    return serial and serial.group(1), stlink and stlink.group(1)


def run(argv_text, cwd, env, timeout=TIMEOUT):
    start = time.time()
    try:
        p = subprocess.run(["bash", "-c", argv_text], cwd=cwd, env=env, stdin=subprocess.DEVNULL,
                           stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=timeout,
                           start_new_session=True)
        return p.returncode, p.stdout.decode(errors="replace"), p.stderr.decode(errors="replace"), start
    except subprocess.TimeoutExpired as e:
        out = (e.stdout or b"").decode(errors="replace") + (e.stderr or b"").decode(errors="replace")
        return None, out, "", start


def written(path, since):
    # A file's time comes from a coarser clock than time.time(): allow it a little.
    return os.path.isfile(path) and os.path.getsize(path) > 0 and os.path.getmtime(path) >= since - 0.1


def check_errors(cmd, out, err):
    for pattern in ERRORS_OUT:
        if re.search(pattern, out):
            fail(cmd, "prints an error on standard output (/%s/)" % pattern, out + err)
            return False
    for pattern in ERRORS_ERR:
        if re.search(pattern, err):
            fail(cmd, "prints an error on standard error (/%s/)" % pattern, out + err)
            return False
    return True


def check_promises(cmd, part, cwd, out, err, start):
    words = shlex.split(part, posix=True)
    for i, w in enumerate(words[:-1]):
        if w in FILE_FORMATS:
            path = os.path.join(cwd, words[i + 1])
            what, holds = FILE_FORMATS[w]
            if not written(path, start):
                fail(cmd, "%s %s: not written" % (w, words[i + 1]), out + err)
            elif not holds(open(path, "rb").read()):
                fail(cmd, "%s %s does not hold %s" % (w, words[i + 1], what), out + err)
    m = re.match(r"Result: (.+)$", cmd.comment)
    if m and not re.search(r"\|\s*\S*tarvik-sim", part):
        fail(cmd, "a `# Result:` comment on a line that does not pipe into tarvik-sim")
    if m and "Result: " + m.group(1) not in out:
        fail(cmd, "the output lacks `Result: %s` shown in the README" % m.group(1), out + err)
    m = re.match(r"writes (\S+)$", cmd.comment)
    if m and not written(os.path.join(cwd, m.group(1)), start):
        fail(cmd, "%s, which the README says it writes, was not written" % m.group(1), out + err)
    m = re.search(r"leaves (.+) in (\S+)/$", cmd.comment)
    if m:
        for name in re.split(r",\s*|\s+and\s+", m.group(1)):
            if not written(os.path.join(cwd, m.group(2), name), start):
                fail(cmd, "%s/%s, which the README says it leaves, was not written" % (m.group(2), name),
                     out + err)
    if re.match(r"make flash\b", part) and "DRY_RUN=1" in words:
        check_flash_dry_run(cmd, words, out + err)


def check_flash_dry_run(cmd, words, out):
    args = dict(w.split("=", 1) for w in words[2:] if "=" in w)
    serial, stlink = flash_commands()
    if args.get("PROGRAMMER", "serial") == "stlink":
        expected = stlink
    else:
        expected = serial and serial.replace("/dev/ttyUSB0", args.get("PORT", "/dev/ttyUSB0"))
    if not expected:
        fail(cmd, "the README's flashing paragraphs give no command to compare with")
    elif expected not in out.splitlines():
        fail(cmd, "the dry run does not print the README's command `%s`" % expected, out)


# --- what a test cannot run verbatim ---------------------------------------------

def stand_in_make_run(cmd, cwd, env, state):
    """On a pseudo-terminal of 80x24 the panel comes up with the console's prompt; Ctrl-] quits."""
    master, slave = os.openpty()
    fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 80, 0, 0))
    p = subprocess.Popen(["bash", "-c", cmd.text], cwd=cwd, env=dict(env, TERM="xterm"),
                         stdin=slave, stdout=slave, stderr=slave, start_new_session=True)
    os.close(slave)
    shown = read_until(master, [b"Tarvik motor-control unit (simulated board)",
                                b"Tarvik! Start programm.", b"Ctrl-] quits"], TIMEOUT)
    if shown[1]:
        # The prompt may have come in pieces between two frames (curses writes only
        # what changed): a resize redraws the whole screen, the prompt in one piece.
        fcntl.ioctl(master, termios.TIOCSWINSZ, struct.pack("HHHH", 25, 80, 0, 0))
        os.killpg(p.pid, signal.SIGWINCH)
        again = read_until(master, [b"console>"], TIMEOUT)
        shown = (shown[0] + again[0], again[1])
    text = shown[0].decode(errors="replace")
    if not shown[1]:
        fail(cmd, "the panel with the console's prompt did not show", text)
    os.write(master, b"\x1d")
    try:
        status = p.wait(10)
        if status != 0:
            fail(cmd, "exit status %d after Ctrl-]" % status, text)
    except subprocess.TimeoutExpired:
        fail(cmd, "still running 10 s after Ctrl-]", text)
        os.killpg(p.pid, signal.SIGKILL)
        p.wait()
    os.close(master)


def read_until(fd, markers, seconds):
    """What fd gives until every marker has come (True) or the time is up (False)."""
    data, end = b"", time.time() + seconds
    while not all(m in data for m in markers):
        left = end - time.time()
        if left <= 0:
            return data, False
        ready, _, _ = select.select([fd], [], [], min(left, 0.2))
        if ready:
            try:
                chunk = os.read(fd, 4096)
            except OSError:  # the other side has closed
                return data, False
            if not chunk:
                return data, False
            data += chunk
    return data, True


def start_in_background(cmd, cwd, env, state):
    """Runs until ended: started, and checked by the links it makes; ended at the block's end."""
    text = cmd.text[:-1].strip()
    links = shlex.split(text)[shlex.split(text).index("--pty-link") + 1]
    p = subprocess.Popen(["bash", "-c", "exec " + text], cwd=cwd, env=env, stdin=subprocess.DEVNULL,
                         stdout=subprocess.PIPE, stderr=subprocess.PIPE, start_new_session=True)
    end = time.time() + 10
    while time.time() < end and p.poll() is None and not all(
            os.path.exists(os.path.join(links, n)) for n in ("console", "rs485")):
        time.sleep(0.05)
    if p.poll() is not None or not all(os.path.exists(os.path.join(links, n)) for n in ("console", "rs485")):
        stop(p)
        out, err = p.communicate()
        fail(cmd, "no links %s/console and %s/rs485 within 10 s (exit status %s)" % (links, links, p.returncode),
             out.decode(errors="replace") + err.decode(errors="replace"))
        return
    state["background"] = (cmd, p)


def stop(p):
    if p.poll() is None:
        os.killpg(p.pid, signal.SIGTERM)
        try:
            p.wait(5)
        except subprocess.TimeoutExpired:
            os.killpg(p.pid, signal.SIGKILL)
            p.wait()
            return False
    return True


def end_background(state):
    if "background" not in state:
        return
    cmd, p = state.pop("background")
    if p.poll() is not None:
        out, err = p.communicate()
        fail(cmd, "ended by itself (exit status %d) while the block ran" % p.returncode,
             out.decode(errors="replace") + err.decode(errors="replace"))
        return
    ended = stop(p)
    out, err = p.communicate()
    if not ended:
        fail(cmd, "did not end within 5 s of SIGTERM", out.decode(errors="replace") + err.decode(errors="replace"))
    else:
        check_errors(cmd, out.decode(errors="replace"), err.decode(errors="replace"))


def open_serial(path):
    """The link opened as a serial terminal program does: raw, 115200 8N1."""
    fd = os.open(path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
    attrs = termios.tcgetattr(fd)
    attrs[0] = attrs[1] = attrs[3] = 0
    attrs[2] = termios.CS8 | termios.CREAD | termios.CLOCAL
    attrs[4] = attrs[5] = termios.B115200
    termios.tcsetattr(fd, termios.TCSANOW, attrs)
    return fd


def stand_in_picocom(cmd, cwd, env, state):
    """picocom on a link of the background simulator: the console answers `help`, the
    RS485 line carries telemetry."""
    path = shlex.split(cmd.text)[-1]
    if "background" not in state:
        fail(cmd, "no simulator of this block runs to give %s" % path)
        return
    fd = open_serial(path)
    try:
        if path.endswith("/console"):
            for ch in b"help\r":
                os.write(fd, bytes([ch]))
                time.sleep(0.12)  # slower than the console's 50 ms poll, as a person types
            data, ok = read_until(fd, [b"help info", b"console>"], 5)
            if not ok:
                fail(cmd, "the console did not answer `help` on %s" % path, data.decode(errors="replace"))
        else:
            data, end = b"", time.time() + 5
            while not re.search(rb"(\d{4},\d{4}\n\r){3}", data) and time.time() < end:
                data += read_until(fd, [b"\n\r"], end - time.time())[0]
            if not re.search(rb"(\d{4},\d{4}\n\r){3}", data):
                fail(cmd, "no telemetry lines on %s" % path, data[-400:].decode(errors="replace"))
    finally:
        os.close(fd)


def stand_in_flash(cmd, cwd, env, state):
    """The same make flash as a dry run: it must print the README's programming command."""
    dry = cmd.text + " DRY_RUN=1"
    status, out, err, start = run(dry, cwd, env)
    if status != 0:
        fail(cmd, "`%s` exit status %s" % (dry, status), out + err)
    elif check_errors(cmd, out, err):
        check_flash_dry_run(cmd, shlex.split(dry), out + err)


def stand_in_examples_on_image(cmd, cwd, env, state):
    """One example file through the same make command, which must hand pytest the image."""
    image = re.search(r"\bIMAGE=(\S+)", cmd.text).group(1)
    status, out, err, start = run(cmd.text, cwd, dict(env, PYTEST_ADDOPTS="-k test_console_session"))
    if status != 0:
        fail(cmd, "exit status %s" % status, out + err)
    elif check_errors(cmd, out, err):
        if "--tarvik-image " + image not in out:
            fail(cmd, "pytest was not given --tarvik-image %s" % image, out + err)
        if not re.search(r"\b[1-9]\d* passed\b", out):
            fail(cmd, "no example passed", out + err)


# The one list of commands not run verbatim: (pattern, what is done, why).
# A function runs in the command's place; None skips it.
BY_HAND = [
    (r"^make test\b", None,
     "runs every test, this one among them: it would run itself"),
    (r"^make run\b", stand_in_make_run,
     "interactive, for a person at a terminal: run on a pseudo-terminal until the panel and "
     "the console's prompt show, then quit with Ctrl-]"),
    (r"^make flash(?!.*DRY_RUN)", stand_in_flash,
     "programs a real unit (serial adapter or ST-Link): run as a dry run instead, which must "
     "print the README's programming command"),
    (r"^picocom .*/dev/tty", None,
     "a serial terminal on the real unit's adapter, for a person"),
    (r"^picocom ", stand_in_picocom,
     "a serial terminal for a person: the test opens the link itself as picocom would, "
     "types `help` on the console, reads the telemetry on the RS485 line"),
    (r"^make examples\b.*\bIMAGE=", stand_in_examples_on_image,
     "the whole examples suite on the emulated core takes about a minute and make test runs it "
     "already (image.Examples.*): here the console session example through the same make "
     "command, which must hand pytest the image"),
    (r"^(make debug\b|gdb-multiarch\b)", None,
     "gdb at a terminal, for a person"),
    (r"^gtkwave ", None,
     "a window for a person; the VCD it would show is checked where it is written"),
    (r"--pty-link .*&$", start_in_background,
     "runs in the background until ended: started, checked by its links, used by the block's "
     "next commands and ended with SIGTERM at the block's end"),
]


def by_hand(part):
    for pattern, action, why in BY_HAND:
        if re.search(pattern, part):
            return action, why
    return False, None


ran = [0]  # commands run verbatim


def run_block(cmds, work, env, state, by_hand_seen):
    """The commands of one block in order, in its folder, as one shell would."""
    for cmd in cmds:
        for part in split_and(cmd.text):
            part = re.sub(r"(?<![\w/.])/tmp/", os.path.join(work, "tmp") + "/", part)
            cwd = REPO if part.startswith("make ") else work
            sub = Command(cmd.block, cmd.line, part, cmd.comment)
            action, why = by_hand(part)
            if action is not False:
                by_hand_seen.append("README.md:%d %s\n    %s: %s" % (
                    cmd.line, part.replace(work, "$WORK"),
                    "skipped" if action is None else "instead", why))
                if action:
                    t = time.time()
                    try:
                        action(sub, cwd, env, state)
                    except OSError as e:
                        fail(sub, "could not be checked: %s" % e)
                    print("  by hand %5.1fs  README.md:%d %s" % (time.time() - t, cmd.line, part), flush=True)
                continue
            status, out, err, start = run(part, cwd, env)
            ran[0] += 1
            print("  ran     %5.1fs  README.md:%d %s" % (time.time() - start, cmd.line, part), flush=True)
            if status is None:
                fail(sub, "still running after %d s" % TIMEOUT, out)
            elif status != 0:
                fail(sub, "exit status %d" % status, out + err)
            elif check_errors(sub, out, err):
                check_promises(sub, part, cwd, out, err, start)
            if status != 0:
                break  # the && and the rest of the line depend on it


def main():
    started = time.time()
    env = dict(os.environ)
    env.pop("MAKEFLAGS", None)  # a make test above us must not hand its jobserver to our makes
    env.pop("MAKELEVEL", None)
    by_hand_seen = []
    # ctest ends a test that runs too long with SIGTERM: end the background simulator too.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit("ended by SIGTERM"))
    parent = tempfile.mkdtemp(prefix="tarvik-readme-")
    env["XDG_STATE_HOME"] = os.path.join(parent, "state")
    try:
        for block, cmds in readme_blocks():
            if ONLY and block not in ONLY:
                continue
            work = os.path.join(parent, "block-%d" % block)
            os.makedirs(os.path.join(work, "tmp"))
            for name in ("build", "tools"):
                os.symlink(os.path.join(REPO, name), os.path.join(work, name))
            state = {}
            try:
                run_block(cmds, work, env, state, by_hand_seen)
            finally:
                end_background(state)
    finally:
        shutil.rmtree(parent, ignore_errors=True)
    print("\nNot run verbatim (BY_HAND):")
    for line in by_hand_seen:
        print("  " + line)
    for f in failures:
        print("\nFAIL " + f)
    print("\n%d commands run verbatim, %d by hand, %d failure(s), %.1f s" % (
        ran[0], len(by_hand_seen), len(failures), time.time() - started))
    return 1 if failures or not ran[0] else 0


if __name__ == "__main__":
    sys.exit(main())
