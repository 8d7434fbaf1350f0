#!/usr/bin/python3
"""Reverse execution with Debian's gdb-multiarch against tarvik-sim --gdb in batch
mode: the registers, a RAM word, TIM3 CNT, SysTick VAL and virtual time after each
reverse-stepi (80 of them, more than the checkpoints kept) as they were when the
instruction was first reached; reverse-continue
to earlier hits of a breakpoint and back to the start of the history;
reverse-continue to the write before the last one
of a watched variable; reverse-finish out of a function to its call, a reverse step from there and a
step back; the console written once, as a run
without the debugger writes it, also for a script read long before the run
went back. Then the real-time modes refusing bs.

Usage: gdb_reverse.py TARVIK_SIM IMAGE.elf"""
import os
import re
import socket
import subprocess

from gdb_support import ELF, GDB, SIM, check, ended, frame, read_until, run_sessions, simulator, wait_for_socket

INPUT = b"e3on\re3pulse 300\r"


STATE = r"""python
REGS = ["r%d" % i for i in range(13)] + ["sp", "lr", "pc", "xpsr", "msp", "psp", "primask", "basepri", "control"]
def word(a):
    return int(gdb.parse_and_eval("*(unsigned int *) %d" % a)) & 0xffffffff
def state():
    s = {r: int(gdb.parse_and_eval("$" + r)) & 0xffffffff for r in REGS}
    s["[sp-4]"] = word(s["sp"] - 4)
    s["engine3_pulse"] = int(gdb.parse_and_eval("engine3_pulse"))
    s["TIM3_CNT"] = word(0x40000424)
    s["SYST_CVR"] = word(0xE000E018)
    s["time"] = gdb.execute("monitor time", to_string=True).strip()
    return s
def compare(what, then, now):
    diff = ["%s was %r now %r" % (k, then[k], now[k]) for k in then if then[k] != now[k]]
    print("COMPARE %s: %s" % (what, "same" if not diff else "DIFFERENT " + "; ".join(diff)))
end
"""

SCRIPT = """set pagination off
set confirm off
target remote %(sock)s
%(state)s
python start = state()
tbreak cprintf
continue
python
entry = state()
print("cprintf called from %%s" %% gdb.selected_frame().older().name())
end
next
next
python print("in %%s before reverse-finish" %% gdb.selected_frame().name())
reverse-finish
python
now = state()
call = (entry["lr"] & ~1)
print("REVERSE-FINISH function=%%s at-call=%%s sp-kept=%%s earlier=%%s" %% (
    gdb.selected_frame().name(), now["pc"] in (call - 4, call - 2), now["sp"] == entry["sp"],
    now["time"] != entry["time"]))
end
python at_call = state()
reverse-stepi
python
before = state()
print("BEFORE-CALL in-caller=%%s" %% (at_call["pc"] - 8 <= before["pc"] < at_call["pc"]))
end
stepi
python compare("stepi again to the call", at_call, state())
break vEngine3Handler
continue
python hits = [state()]
continue
python hits.append(state())
continue
python hits.append(state())
python
# More steps than checkpoints are kept: the early ones are reached by running
# the logged steps again from an older checkpoint.
STEPS = 80
steps = [state()]
for i in range(STEPS):
    gdb.execute("stepi", to_string=True)
    steps.append(state())
print("STEPPED through %%d distinct pcs, %%d distinct TIM3 CNT" %% (
    len(set(s["pc"] for s in steps)), len(set(s["TIM3_CNT"] for s in steps))))
for i in range(STEPS, 0, -1):
    gdb.execute("reverse-stepi", to_string=True)
    compare("reverse-stepi to step %%d" %% (i - 1), steps[i - 1], state())
end
reverse-continue
python compare("reverse-continue to the second hit", hits[1], state())
reverse-continue
python compare("reverse-continue to the first hit", hits[0], state())
delete
reverse-continue
python compare("reverse-continue to the start", start, state())
reverse-stepi
python compare("reverse-stepi at the start", start, state())
break vEngine3Handler
continue
python compare("continue again to the first hit", hits[0], state())
continue
python compare("continue again to the second hit", hits[1], state())
delete
watch engine3_pulse
continue
python written = state()
reverse-continue
python
before = state()
print("REVERSE-WATCH pulse %%d then %%d, cycles %%s then %%s" %% (before["engine3_pulse"], written["engine3_pulse"],
      before["time"].split("(")[1].split()[0], written["time"].split("(")[1].split()[0]))
end
continue
python compare("continue again to the write", written, state())
delete
continue
"""


def batch_session(tmp):
    sock = os.path.join(tmp, "board.gdb")
    out_path, err_path = os.path.join(tmp, "console.txt"), os.path.join(tmp, "stderr.txt")
    with open(out_path, "wb") as out, open(err_path, "w+") as err:
        sim = simulator(["--batch", "--image", ELF, "--gdb", sock, "--gdb-wait"],
                        stdin=subprocess.PIPE, stdout=out, stderr=err)
        sim.stdin.write(INPUT)
        sim.stdin.close()
        wait_for_socket(sock, sim)
        script = os.path.join(tmp, "reverse.commands")
        with open(script, "w") as f:
            f.write(SCRIPT % {"sock": sock, "state": STATE})
        r = subprocess.run([GDB, "-batch", "-nx", "-x", script, ELF], capture_output=True, text=True, timeout=180)
        text = r.stdout + r.stderr
        status = ended(sim)
        err.seek(0)
        sim_err = err.read()
    console = open(out_path, "rb").read()

    compares = re.findall(r"^COMPARE (.*): (same|DIFFERENT.*)$", text, re.M)
    check(len(compares) == 88, "88 comparisons made (%d)" % len(compares), text)
    for what, result in compares:
        check(result == "same", what + ": " + result, text)
    stepped = re.search(r"^STEPPED through (\d+) distinct pcs, (\d+) distinct TIM3 CNT$", text, re.M)
    check(stepped and int(stepped.group(1)) >= 10 and int(stepped.group(2)) >= 2,
          "the steps moved the pc and TIM3's counter", text)
    check(text.count("No more reverse-execution history.") == 2,
          "the start of the history reached, by reverse-continue and by reverse-stepi", text)
    finish = re.search(r"^REVERSE-FINISH function=(\S+) at-call=(\w+) sp-kept=(\w+) earlier=(\w+)$", text, re.M)
    caller = re.search(r"^cprintf called from (\S+)$", text, re.M)
    check(finish and caller and re.search(r"^in cprintf before reverse-finish$", text, re.M) and
          finish.group(1) == caller.group(1) and finish.groups()[1:] == ("True", "True", "True"),
          "reverse-finish: back in the caller at the call, the stack as at the call, earlier in time", text)
    check(re.search(r"^BEFORE-CALL in-caller=True$", text, re.M),
          "reverse-stepi from the call: the instruction before it, in the caller", text)
    watch = re.search(r"^REVERSE-WATCH pulse (\d+) then (\d+), cycles (\d+) then (\d+)$", text, re.M)
    check(watch and watch.group(2) == "300" and watch.group(1) != "300" and int(watch.group(3)) < int(watch.group(4)),
          "reverse-continue to the write before e3pulse's, earlier in time", text)
    check("[Inferior 1 (Remote target) exited normally]" in text, "the run ended with the debugger attached", text)
    check(status == 0, "tarvik-sim's status %s" % status, sim_err)

    plain = subprocess.run([SIM, "--batch", "--image", ELF], input=INPUT, capture_output=True, timeout=120)
    check(console == plain.stdout and b"Engine3 turn on." in console and b"Engine3 pulse changed." in console,
          "the console written once, as without the debugger", repr(console) + "\n--- without ---\n" +
          repr(plain.stdout))


def long_script_session(tmp):
    """A script longer than any read-ahead buffer: back to a breakpoint near its
    start once all of it has been read, then on to the end; the console still
    has every reply, as without the debugger."""
    script_in = b"help\r" + b"e3info\r" * 700 + b"help\r"
    sock = os.path.join(tmp, "long.gdb")
    out_path = os.path.join(tmp, "long.txt")
    with open(out_path, "wb") as out:
        sim = simulator(["--batch", "--image", ELF, "--gdb", sock, "--gdb-wait"],
                        stdin=subprocess.PIPE, stdout=out, stderr=subprocess.DEVNULL)
        sim.stdin.write(script_in)
        sim.stdin.close()
        wait_for_socket(sock, sim)
        commands = os.path.join(tmp, "long.commands")
        with open(commands, "w") as f:
            f.write("""set pagination off
set confirm off
target remote %s
break help
continue
continue
reverse-continue
delete
continue
""" % sock)
        r = subprocess.run([GDB, "-batch", "-nx", "-x", commands, ELF], capture_output=True, text=True, timeout=300)
        text = r.stdout + r.stderr
        status = ended(sim)
    console = open(out_path, "rb").read()
    check(text.count("hit Breakpoint 1, help") == 3 and "exited normally" in text,
          "the breakpoint at the first and last help, again at the first going back, then on to the end", text)
    plain = subprocess.run([SIM, "--batch", "--image", ELF], input=script_in, capture_output=True, timeout=300)
    check(status == 0 and console == plain.stdout and plain.stdout.count(b"help info clr") == 2,
          "the long script's console as without the debugger (status %s, %d and %d bytes)" %
          (status, len(console), len(plain.stdout)))


def realtime_refuses(tmp):
    sock = os.path.join(tmp, "pty.gdb")
    sim = simulator(["--pty", "--until", "3", "--image", ELF, "--gdb", sock, "--gdb-wait"],
                    stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    wait_for_socket(sock, sim)
    conn = socket.socket(socket.AF_UNIX)
    conn.connect(sock)
    conn.sendall(frame(b"qSupported:multiprocess+;hwbreak+"))
    supported = read_until(conn, b"#", 2)
    conn.sendall(b"+" + frame(b"bs"))
    step = read_until(conn, b"#", 2)
    conn.sendall(b"+" + frame(b"bc"))
    cont = read_until(conn, b"#", 2)
    check(b"PacketSize" in supported and b"ReverseStep" not in supported and b"ReverseContinue" not in supported,
          "the real-time modes do not offer reverse execution", repr(supported))
    check(re.search(rb"\$E[0-9a-f]{2}#", step) and re.search(rb"\$E[0-9a-f]{2}#", cont),
          "bs and bc refused with an error in the real-time modes", repr(step + cont))
    conn.sendall(b"+" + frame(b"D"))
    read_until(conn, b"#", 2)
    conn.close()
    sim.wait(timeout=30)


run_sessions(batch_session, long_script_session, realtime_refuses)
