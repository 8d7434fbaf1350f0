#!/usr/bin/python3
"""The front panel as a person meets it: tarvik-sim in a tmux window, keys typed
at a human pace, the screen read back with capture-pane. The session is recorded
and replayed: the same console, RS485 bytes and display."""
import os
import subprocess
import sys
import tempfile
import time

SIM = sys.argv[1]
SOCKET = "tarvik-panel-%d" % os.getpid()


def tmux(*args):
    return subprocess.run(["tmux", "-L", SOCKET] + list(args), check=True,
                          stdout=subprocess.PIPE, text=True).stdout


def screen():
    return tmux("capture-pane", "-p", "-t", "panel")


def wait_until(what, holds, seconds=10):
    end = time.time() + seconds
    while True:
        shown = screen()
        if holds(shown):
            return shown
        if time.time() > end:
            raise AssertionError("never shown: %s\n--- screen ---\n%s" % (what, shown))
        time.sleep(0.1)


def wait_for(texts, seconds=10):
    return wait_until(repr(texts), lambda shown: all(t in shown for t in texts), seconds)


def console_line(shown):
    """The line the operator types on: the last one above the help line."""
    lines = [l.rstrip() for l in shown.splitlines()[:-1] if l.strip()]
    return lines[-1] if lines else ""


def type_line(text):
    for ch in text:
        tmux("send-keys", "-t", "panel", "-l", ch)
        time.sleep(0.15)  # slower than the console's 50 ms poll, as a person types
    tmux("send-keys", "-t", "panel", "Enter")


def key(name):
    tmux("send-keys", "-t", "panel", name)


def replayed(record, sent, lcd, last):
    """The recorded session replayed in batch gives what the panel showed."""
    again = [path + ".again" for path in (sent, lcd)]
    run = subprocess.run([SIM, "--replay", record, "--rs485", again[0], "--lcd", again[1]],
                         stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=60)
    assert run.returncode == 0 and not run.stderr, (run.returncode, run.stderr)
    for first, second in zip((sent, lcd), again):
        with open(first, "rb") as a, open(second, "rb") as b:
            recorded, replayed_bytes = a.read(), b.read()
        assert recorded == replayed_bytes and recorded, (first, len(recorded), len(replayed_bytes))
    # The console's lines the panel showed last are the replay's last lines.
    lines = run.stdout.decode("latin-1").split("\r\n")
    shown = [l.rstrip() for l in last.splitlines()[:-1] if l.strip()]
    tail = [l.rstrip() for l in lines if l.strip()][-3:]
    assert shown[-3:] == tail, (shown[-3:], tail)
    assert "Key STOP(6) is pressed." in run.stdout.decode("latin-1")


def main():
    with tempfile.TemporaryDirectory() as tmp:
        backup = os.path.join(tmp, "backup.bin")
        record, sent, lcd = (os.path.join(tmp, name) for name in ("session.rec", "rs485.1", "lcd.1"))
        tmux("new-session", "-d", "-s", "panel", "-x", "80", "-y", "24",
             "%s --lcd-task --backup %s --record %s --rs485 %s --lcd %s; echo EXITED $?; sleep 60"
             % (SIM, backup, record, sent, lcd))
        try:
            shown = wait_for(["console>", "+----------------+", "LEDs    green ON    blue ON",
                              "RS485   0000,1000", "Keys    1 up  2 down"])
            rows = shown.splitlines()
            # The LCD in its frame: four rows of sixteen cells.
            assert rows[1].startswith(" +----------------+"), rows[1]
            for row in rows[2:6]:
                assert row[1] == "|" and row[18] == "|", row
            assert rows[6].startswith(" +----------------+"), rows[6]

            type_line("led -n=1 -f=off")
            wait_for(["Led BLUE = OFF", "LEDs    green ON    blue off"])

            # The unit's keys from the keyboard: F1-F6, and Ctrl-K then a digit.
            type_line("keys")
            time.sleep(0.5)
            key("F1")
            wait_for(["Key UP(1) is pressed."])
            time.sleep(0.5)
            key("C-k")
            key("4")
            wait_for(["Key ENTER(4) is pressed."])
            time.sleep(0.5)
            key("F6")
            wait_for(["Key STOP(6) is pressed."])
            time.sleep(0.5)

            # The Up arrow recalls the newest line of the console's history.
            wait_until("a fresh prompt", lambda shown: console_line(shown) == "console>")
            key("Up")
            wait_until("the recalled line", lambda shown: console_line(shown) == "console>keys")

            # Too small for the panel: the console with a one-line status.
            tmux("resize-window", "-t", "panel", "-x", "50", "-y", "12")
            shown = wait_for(["LED g* b- motor"])
            assert "+----------------+" not in shown, shown
            assert shown.splitlines()[-1].split(" ")[0].endswith("s"), shown  # the time leads
            # Large again: the panel, and the console's text kept across the resize.
            tmux("resize-window", "-t", "panel", "-x", "80", "-y", "24")
            wait_for(["+----------------+", "Key STOP(6) is pressed.", "Ctrl-] quits"])

            last = screen()
            key("C-]")
            wait_for(["EXITED 0"])
            tmux("kill-session", "-t", "panel")
            replayed(record, sent, lcd, last)

            # The unit as shipped never sets its display up: the box says why,
            # and so does the status line of a small terminal.
            tmux("new-session", "-d", "-s", "panel", "-x", "80", "-y", "24",
                 "%s --backup %s; echo EXITED $?; sleep 60" % (SIM, backup))
            shown = wait_for(["console>", "LCD task off:", "--lcd-task"])
            rows = shown.splitlines()
            assert rows[3] == " | LCD task off:  |" + rows[3][19:], rows[3]
            assert rows[4] == " |   --lcd-task   |" + rows[4][19:], rows[4]
            tmux("resize-window", "-t", "panel", "-x", "60", "-y", "12")
            wait_for(["[LCD task off: --lcd-task]"])
            key("C-]")
            wait_for(["EXITED 0"])
        finally:
            subprocess.run(["tmux", "-L", SOCKET, "kill-server"], stderr=subprocess.DEVNULL)
    print("front panel: ok")


if __name__ == "__main__":
    main()
