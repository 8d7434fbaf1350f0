"""The host build under gdb-multiarch with tools/gdb/tarvik_tasks.py: a
breakpoint in a console command, the task list, a waiting task's backtrace from
its saved context, and the running task's registers as they were afterwards (the
run then goes on to its end, which it could not with a register left wrong)."""
import os
import re
import subprocess

from gdb_support import GDB, SIM, check, run_sessions

EXTENSION = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools", "gdb", "tarvik_tasks.py")


def session(tmp):
    typed = os.path.join(tmp, "typed")
    with open(typed, "wb") as f:
        f.write(b"help\r")
    script = os.path.join(tmp, "tasks.gdb")
    with open(script, "w") as f:
        f.write("\n".join([
            "set pagination off",
            "set confirm off",
            "break help",
            "run --batch --until 1 < %s" % typed,
            "echo ==regs-before\\n", "info registers rip rsp rbp rbx",
            "echo ==tasks\\n", "tarvik-tasks",
            "echo ==bt-rs485\\n", "tarvik-task-bt RS485",
            "echo ==bt-console\\n", "tarvik-task-bt CONSOLE 2",
            "echo ==regs-after\\n", "info registers rip rsp rbp rbx",
            "echo ==bt\\n", "bt 2",
            "echo ==nope\\n", "tarvik-task-bt NOPE",
        ]) + "\n")
    # The last command fails on purpose, so the continue goes in after it.
    env = dict(os.environ, ASAN_OPTIONS="detect_leaks=0")
    out = subprocess.run([GDB, "-q", "-batch", "-nx", "-x", EXTENSION, "-x", script,
                          "-ex", "continue", SIM], capture_output=True, text=True, timeout=180,
                         env=env, stdin=subprocess.DEVNULL)
    text = out.stdout + out.stderr

    def part(name):
        m = re.search(r"==%s\n(.*?)(?:\n==|\Z)" % re.escape(name), text, re.S)
        return m.group(1) if m else ""

    check("Breakpoint 1, help" in text, "the breakpoint in the help command is hit", text)
    tasks = part("tasks")
    for name, state in (("CONSOLE", "running"), ("KEYS", None), ("RS485", "blocked"),
                        ("REFSTORAGE", "suspended"), ("IDLE", None)):
        row = re.search(r"^%s\s+\d+\s+(\S+)" % name, tasks, re.M)
        check(row is not None and (state is None or row.group(1) == state),
              "tarvik-tasks lists %s%s" % (name, " as " + state if state else ""), tasks)
    rs485 = part("bt-rs485")
    check(re.search(r"#0 .*board::Fiber::switch_to", rs485) is not None and "vTaskDelay" in rs485
          and "vTaskRS485" in rs485 and "help" not in rs485,
          "the blocked RS485 task's backtrace runs from its switch through its delay to its function", rs485)
    console = part("bt-console")
    check(re.search(r"#0 +help \(", console) is not None and "vTaskConsole" in console,
          "the running task's backtrace is the ordinary one", console)
    before, after = part("regs-before"), part("regs-after")
    check(before.strip() != "" and before == after, "the registers are put back after a task's backtrace",
          "before:\n%s\nafter:\n%s" % (before, after))
    check(re.search(r"#0 +help \(", part("bt")) is not None, "bt shows the stopped task again", part("bt"))
    check("no task NOPE (tarvik-tasks lists them)" in text, "an unknown task is named in the error", text)
    # The console then answers to its end: the run went on with the real registers.
    check("help info clr listt_ex" in out.stdout and "exited normally" in text,
          "continuing after the backtraces finishes the run as usual", text)


if __name__ == "__main__":
    run_sessions(session)
