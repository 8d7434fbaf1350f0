#!/usr/bin/python3
"""Debian's gdb-multiarch, in batch mode, against tarvik-sim --gdb on the board
image: a breakpoint in the motor's interrupt handler, the core's system
registers, variables, the kernel's tasks as threads with the context of a
blocked one, watchpoints on a variable and on a TIM3 register, virtual time
standing still across a wall-clock pause, a second debugger refused, monitor
reset leaving the core at its reset vector, detaching with the console still
answering; then over TCP, attached to a running board,
steps and a run that ends while the debugger waits; then kill; and with
--control, a debugger between the client's requests; and a replay under it.

Usage: gdb_multiarch.py TARVIK_SIM IMAGE.elf"""
import os
import re
import socket
import subprocess
import time

from gdb_support import ELF, GDB, SIM, check, ended, frame, read_until, run_sessions, simulator, wait_for_socket


def run_gdb(script_text, tmp, name):
    script = os.path.join(tmp, name + ".commands")
    with open(script, "w") as f:
        f.write(script_text)
    r = subprocess.run([GDB, "-batch", "-nx", "-x", script, ELF], capture_output=True, text=True, timeout=120)
    return r.stdout + r.stderr


# A blocked task's thread number, from gdb's own list.
SELECT_BLOCKED = """python
import re
for line in gdb.execute("info threads", to_string=True).splitlines():
    m = re.match(r"\\*?\\s*(\\d+)\\s+Thread \\S+ \\"(\\w+)\\" \\(blocked\\)", line)
    if m:
        print("blocked task: " + m.group(2))
        gdb.execute("thread " + m.group(1))
        break
end
"""


def time_of(line):
    m = re.search(r"(\d+\.\d+) s \((\d+) cycles", line)
    return m.group(0) if m else None


def batch_session(tmp):
    sock = os.path.join(tmp, "board.gdb")
    out_path, err_path = os.path.join(tmp, "console.txt"), os.path.join(tmp, "stderr.txt")
    with open(out_path, "wb") as out, open(err_path, "w+") as err:
        sim = simulator(["--batch", "--image", ELF, "--gdb", sock, "--gdb-wait"],
                               stdin=subprocess.PIPE, stdout=out, stderr=err)
        sim.stdin.write(b"e3on\r")
        sim.stdin.close()
        wait_for_socket(sock, sim)
        second = ("import socket; s = socket.socket(socket.AF_UNIX); s.connect('%s'); "
                  "print('second debugger:', s.recv(200).decode())" % sock)
        script = """set pagination off
set confirm off
target remote %(sock)s
monitor time
monitor help
monitor lcd
monitor press up 200ms
monitor press sideways
monitor violations
monitor reset
monitor frobnicate
break vEngine3Handler
continue
bt
info registers basepri primask control msp psp
p engine3_pulse
info threads
%(select_blocked)s
bt
frame
info registers sp pc
thread 2
delete 1
watch engine3_pulse
watch *(uint32_t*)0x40000434
monitor type e3pulse 300\\r
continue
continue
delete
monitor time
shell sleep 1.5
monitor time
shell /usr/bin/python3 -c "%(second)s"
# e3pulse answered (its prompt next), then the reset line in the middle of the run
tbreak cprintf if $_streq((const char *) $r0, "\\r\\nconsole>")
continue
monitor reset
maintenance flush register-cache
x/2xw 0x08000000
python
for r in ("pc", "sp", "xpsr", "control", "primask"):
    print("after reset %%s=0x%%x" %% (r, int(gdb.parse_and_eval("$" + r)) & 0xffffffff))
end
monitor type help\\r
detach
""" % {"sock": sock, "select_blocked": SELECT_BLOCKED, "second": second}
        out_text = run_gdb(script, tmp, "batch")
        status = ended(sim)
        err.seek(0)
        sim_err = err.read()
    console = open(out_path, "rb").read().decode(errors="replace")

    for command in ("help", "time", "step-irq", "press KEY", "type TEXT", "lcd", "violations", "reset"):
        check(re.search(r"^  %s " % re.escape(command), out_text, re.M), "monitor help lists " + command, out_text)
    check(len(re.findall(r"^\|[^|\n]{16}\|$", out_text, re.M)) == 4, "monitor lcd: four rows of 16", out_text)
    check("pressed up" in out_text and "press KEY [HOLD]: KEY one of" in out_text, "monitor press", out_text)
    check("no hardware rule broken so far" in out_text, "monitor violations", out_text)
    check(len(re.findall(r"^reset: halted at the reset vector, pc 0x080[0-9a-f]{5} sp 0x200[0-9a-f]{5}$",
                         out_text, re.M)) == 2, "monitor reset, at the vector and in the middle of the run", out_text)
    vector = re.search(r"^0x8000000(?: <[^>]*>)?:\s+(0x[0-9a-f]+)\s+(0x[0-9a-f]+)$", out_text, re.M)
    after = dict(re.findall(r"^after reset (\w+)=(0x[0-9a-f]+)$", out_text, re.M))
    if check(vector and len(after) == 5, "the vector table and the registers after the reset", out_text):
        check(int(after["sp"], 16) == int(vector.group(1), 16) and
              int(after["pc"], 16) == int(vector.group(2), 16) & ~1 and after["xpsr"] == "0x1000000" and
              after["control"] == "0x0" and after["primask"] == "0x0",
              "after monitor reset: sp and pc from the vector table, thread mode, CONTROL and PRIMASK clear",
              out_text)
    check("unknown command 'frobnicate'" in out_text, "an unknown monitor command", out_text)
    check(re.search(r"Thread \d+ \"CONSOLE\" hit Breakpoint 1, vEngine3Handler \(\)", out_text),
          "the breakpoint in vEngine3Handler after e3on, in the interrupted console task", out_text)
    check("<signal handler called>" in out_text, "bt: the handler on top of the task's stack", out_text)
    regs = dict(re.findall(r"^(basepri|primask|control|msp|psp)\s+(0x[0-9a-f]+)", out_text, re.M))
    check(sorted(regs) == ["basepri", "control", "msp", "primask", "psp"], "info registers basepri ... psp", out_text)
    if len(regs) == 5:
        check(regs["control"] == "0x0", "CONTROL in a handler: SPSEL clear", out_text)
        check(0x20000000 <= int(regs["msp"], 16) <= 0x20005000 and 0x20000000 <= int(regs["psp"], 16) < 0x20005000,
              "msp and psp in SRAM", out_text)
    pulse = re.search(r"^\$1 = (\d+)$", out_text, re.M)
    check(pulse, "p engine3_pulse", out_text)
    for task, state in (("CONSOLE", "running"), ("RS485", None), ("IDLE", None), ("KEYS", None),
                        ("REFSTORAGE", "suspended")):
        pattern = r"Thread \d+ \"%s\" \((%s)\)" % (task, state or r"ready|blocked|suspended")
        check(re.search(pattern, out_text), "info threads lists %s%s" % (task, " " + state if state else ""),
              out_text)
    blocked = re.search(r"blocked task: (\w+)\n\[Switching to thread (\d+) .*\]\n#0  (.*)\n", out_text)
    if check(blocked, "thread N on a blocked task", out_text):
        after = out_text[blocked.end():]
        check(re.search(r"^#0  .* at /.*\.cpp:\d+$", after, re.M) and "vEngine3Handler" not in after.split("\n")[0],
              "bt of the blocked task: its own frames, with source lines", out_text)
    old = re.search(r"Hardware watchpoint 2: engine3_pulse\n\nOld value = (\d+)\nNew value = 300", out_text)
    check(old and pulse and old.group(1) == pulse.group(1), "the watchpoint on engine3_pulse, old and new value",
          out_text)
    check(re.search(r"Hardware watchpoint 3: \*\(uint32_t\*\)0x40000434\n\nOld value = \d+\nNew value = 300",
                    out_text), "the watchpoint on TIM3 CCR1, old and new value", out_text)
    times = [time_of(line) for line in out_text.splitlines() if time_of(line)]
    check(len(times) == 3 and times[1] == times[2] and times[0] != times[1],
          "monitor time the same before and after a wall-clock pause while halted: %s" % times, out_text)
    check("second debugger: $E.a debugger is already attached" in out_text, "a second debugger refused with a message",
          out_text)
    check("[Inferior 1 (Remote target) detached]" in out_text, "detached", out_text)
    check(status == 0, "tarvik-sim ended its run after the detach (status %s): %s" % (status, sim_err))
    check("Engine3 pulse changed." in console and re.search(r"console>help\r\nhelp info clr", console),
          "the console answered e3pulse and, after the detach, help", console)
    check(console.count("Start programm.") == 2 and console.rfind("Start programm.") > console.find("Engine3 pulse"),
          "the banner again after monitor reset", console)
    check("a second debugger was refused" in sim_err, "tarvik-sim said it refused the second debugger", sim_err)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def tcp_session(tmp):
    port = str(free_port())
    # Paced to the wall clock (a batch run of an idle board would be over before
    # gdb has started): the board runs from the start, the debugger attaches later.
    sim = simulator(["--pty", "--until", "4", "--image", ELF, "--gdb", port],
                           stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    line = sim.stderr.readline()
    check("gdb server on 127.0.0.1:" + port in line, "the TCP endpoint on the loopback", line)
    script = """set pagination off
target remote :%s
monitor time
monitor step-irq
p/x $pc
stepi
p/x $pc
stepi
p/x $pc
continue
""" % port
    out_text = run_gdb(script, tmp, "tcp")
    status = ended(sim)
    pcs = re.findall(r"^\$\d+ = (0x[0-9a-f]+)$", out_text, re.M)
    check(len(pcs) == 3 and len(set(pcs)) == 3, "stepi moves the pc on: %s" % pcs, out_text)
    attached = [time_of(line) for line in out_text.splitlines() if time_of(line)]
    check(attached and attached[0] != "0.000000 s (0 cycles", "attached to a board that had run", out_text)
    check("step-irq off: steps stay in the code being stepped" in out_text, "monitor step-irq", out_text)
    check("[Inferior 1 (Remote target) exited normally]" in out_text,
          "the run ended at --until while the debugger waited: exited", out_text)
    check(status == 0, "tarvik-sim over TCP ended normally (%s)" % status)


def pty_session(tmp):
    sock = os.path.join(tmp, "pty.gdb")
    sim = simulator(["--pty", "--until", "4", "--image", ELF, "--gdb", sock, "--gdb-wait"],
                           stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    wait_for_socket(sock, sim)
    script = """set pagination off
target remote %s
break vEngine3Handler
monitor type e3on\\r
continue
monitor time
shell sleep 1
monitor time
kill
""" % sock
    out_text = run_gdb(script, tmp, "pty")
    check(re.search(r"hit Breakpoint 1, vEngine3Handler", out_text), "--pty: the breakpoint", out_text)
    times = [time_of(line) for line in out_text.splitlines() if time_of(line)]
    check(len(times) == 2 and times[0] == times[1], "--pty: time stands still while halted: %s" % times, out_text)
    try:
        sim.wait(timeout=40)
    except subprocess.TimeoutExpired:
        sim.kill()
    err = sim.stderr.read()
    check("the board halted: the debugger killed the run" in err, "--pty: kill stops the board", err)


def interrupt_session(tmp):
    """The interrupt byte while the board runs, as gdb sends it on Ctrl-C, over a
    bare socket (gdb's batch mode cannot press Ctrl-C)."""
    sock = os.path.join(tmp, "interrupt.gdb")
    sim = simulator(["--pty", "--until", "6", "--image", ELF, "--gdb", sock],
                    stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    wait_for_socket(sock, sim)
    conn = socket.socket(socket.AF_UNIX)
    conn.connect(sock)
    conn.sendall(frame("?"))
    first = read_until(conn, b"#", 5)
    check(b"$T02thread:" in first, "halted when the debugger connected", repr(first))
    conn.sendall(frame("vCont;c"))
    running = read_until(conn, b"$", 0.5)
    check(b"$" not in running, "no reply while the board runs", repr(running))
    started = time.time()
    conn.sendall(b"\x03")
    stopped = read_until(conn, b"#", 2)
    check(b"$T02thread:" in stopped and time.time() - started < 1, "the interrupt byte halts at once", repr(stopped))
    conn.sendall(frame("D"))
    check(b"$OK#9a" in read_until(conn, b"#9a", 2), "detached")
    conn.close()
    sim.wait(timeout=30)


def control_session(tmp):
    """With --control the board runs only on the client's requests: the debugger
    attaches and is answered between them, and a run asked for while it holds the
    board waits, time standing still, until it lets the board go."""
    import sys
    sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "python"))
    from tarvik import Board

    sock = os.path.join(tmp, "control.gdb")
    with Board(image=ELF, sim=SIM, gdb=sock) as board:
        board.console.expect("console>")
        script = os.path.join(tmp, "control.commands")
        with open(script, "w") as f:
            f.write("""set pagination off
target remote %s
monitor time
break vEngine3Handler
continue
p engine3_pulse
monitor time
shell sleep 1.5
monitor time
delete
detach
""" % sock)
        gdb = subprocess.Popen([GDB, "-batch", "-nx", "-x", script, ELF], stdout=subprocess.PIPE,
                               stderr=subprocess.STDOUT, text=True)
        end = time.time() + 60
        while "debugger attached" not in board.stderr() and gdb.poll() is None and time.time() < end:
            time.sleep(0.05)
        before = board.time
        board.console.type("e3on\r")
        runs, longest = 0, 0.0
        while gdb.poll() is None and time.time() < end:
            started = time.time()
            board.run(0.05)
            longest = max(longest, time.time() - started)
            runs += 1
        ran = board.time - before
        out_text = gdb.communicate(timeout=30)[0]
        board.console.type("help\r")
        board.console.expect("help info clr")
    times = [time_of(line) for line in out_text.splitlines() if time_of(line)]
    check(len(times) == 3 and times[1] == times[2], "--control: time stands still while halted: %s" % times,
          out_text)
    check(re.search(r"hit Breakpoint 1, vEngine3Handler", out_text) and re.search(r"^\$1 = \d+$", out_text, re.M),
          "--control: the breakpoint after e3on, a variable read", out_text)
    check("[Inferior 1 (Remote target) detached]" in out_text, "--control: detached", out_text)
    check(longest >= 1.5, "--control: the run asked for while halted waited for the debugger (%.2f s)" % longest)
    check(runs > 0 and abs(ran - 0.05 * runs) < 1e-6,
          "--control: each run went its 0.05 s of virtual time, no more (%d runs, %.6f s)" % (runs, ran))


def replay_session(tmp):
    """A recording replayed under the debugger: a breakpoint in the replay, and the
    console's bytes the recording's once the debugger has let the board go."""
    recording = os.path.join(tmp, "run.rec")
    first = subprocess.run([SIM, "--batch", "--image", ELF, "--until", "1", "--record", recording],
                           input=b"e3on\re3info\r", capture_output=True, timeout=120)
    check(first.returncode == 0, "the recorded run", first.stderr.decode(errors="replace"))
    sock = os.path.join(tmp, "replay.gdb")
    out_path = os.path.join(tmp, "replay.txt")
    with open(out_path, "wb") as out:
        sim = simulator(["--image", ELF, "--replay", recording, "--gdb", sock, "--gdb-wait"],
                        stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.PIPE, text=True)
        wait_for_socket(sock, sim)
        out_text = run_gdb("""set pagination off
target remote %s
break vEngine3Handler
continue
p engine3_pulse
delete
detach
""" % sock, tmp, "replay")
        status = ended(sim)
    check(re.search(r"hit Breakpoint 1, vEngine3Handler", out_text) and re.search(r"^\$1 = \d+$", out_text, re.M),
          "--replay --gdb: the breakpoint in the replayed run", out_text)
    replayed = open(out_path, "rb").read()
    check(status == 0 and replayed == first.stdout and b"Engine3 turn on." in replayed,
          "--replay --gdb: the console's bytes are the recording's (status %s)" % status,
          "recorded:\n%r\nreplayed:\n%r" % (first.stdout[-300:], replayed[-300:]))


def refusals(tmp):
    env = {k: v for k, v in os.environ.items() if k != "TARVIK_SIM_IMAGE"}
    not_a_socket = os.path.join(tmp, "notes.txt")
    with open(not_a_socket, "w") as f:
        f.write("mine\n")
    for args, said in ((["--gdb", "3333"], "--gdb needs --image"),
                       (["--image", ELF, "--gdb-wait"], "--gdb-wait needs --gdb"),
                       (["--image", ELF, "--gdb", not_a_socket], "exists and is not a socket"),
                       (["--image", ELF, "--gdb"], "--gdb needs a TCP port or a Unix socket path")):
        r = subprocess.run([SIM, "--batch"] + args, stdin=subprocess.DEVNULL, capture_output=True, text=True,
                           env=env, timeout=30)
        check(r.returncode == 2 and said in r.stderr, "%s refused: %s" % (" ".join(args), said), r.stderr)
    check(open(not_a_socket).read() == "mine\n", "a file that is not a socket is left alone")


run_sessions(refusals, batch_session, tcp_session, interrupt_session, pty_session, control_session, replay_session)
