"""gdb extension for the host build of the firmware (make debug-host): the
kernel's tasks by name and state, from the kernel's own lists.

    (gdb) source tools/gdb/tarvik_tasks.py
    (gdb) tarvik-tasks
    (gdb) tarvik-task-bt KEYS

The host build runs each task on a fiber of its own, so gdb's threads are the
simulator's, not the tasks; `bt` shows the stack of the task that runs now (the
others wait inside their fiber switch). tarvik-task-bt puts a waiting task's
saved registers in place for one backtrace and then puts the real ones back.
On the board image under tarvik-sim --gdb, the tasks are gdb's threads instead
(info threads, thread N, bt).
"""
import gdb

# What the fiber switch pushes below its return address, from the saved stack
# pointer up: the control words, then r15, r14, r13, r12, rbx, rbp.
_SAVED = ("r15", "r14", "r13", "r12", "rbx", "rbp")
# Everything a backtrace's unwinding may read, put back afterwards.
_SWAPPED = ("rip", "rsp") + _SAVED


def _static(name):
    if gdb.selected_inferior().pid == 0:
        raise gdb.GdbError("the program is not running")
    scope, _, last = name.rpartition("::")
    anonymous = (scope + "::" if scope else "") + "(anonymous namespace)::" + last
    symbol = gdb.lookup_static_symbol(anonymous) or gdb.lookup_global_symbol(name)
    if symbol is None:
        raise gdb.GdbError("no %s: is this the host build of tarvik-sim, with its debug information?" % name)
    return symbol.value()


def _owners(lst):
    """The control blocks on one kernel list, in its order."""
    tcb = gdb.lookup_type("tskTaskControlBlock").pointer()
    end = lst["xListEnd"].address
    item = lst["xListEnd"]["pxNext"]
    seen = 0
    while item != end and seen < 64:
        yield item["pvOwner"].cast(tcb)
        item = item["pxNext"]
        seen += 1


def _name(tcb):
    field = tcb["pcTaskName"]
    low, high = field.type.range()
    raw = bytes(int(field[i]) & 0xFF for i in range(low, high + 1))
    return raw.split(b"\0")[0].decode(errors="replace")


def _tasks():
    """(control block, state) of every task the kernel knows, each once."""
    current = gdb.parse_and_eval("pxCurrentTCB")
    running = bool(_static("scheduler_running"))
    seen = set()
    found = []

    def add(tcb, state):
        if int(tcb) in seen:
            return
        seen.add(int(tcb))
        found.append((tcb, "running" if running and tcb == current else state))

    ready = _static("ready_lists")
    low, high = ready.type.range()
    for p in range(high, low - 1, -1):
        for tcb in _owners(ready[p]):
            add(tcb, "ready")
    for tcb in _owners(_static("delayed_list")):
        add(tcb, "blocked")
    for tcb in _owners(_static("suspended_list")):
        add(tcb, "blocked" if int(tcb["xEventListItem"]["pvContainer"]) != 0 else "suspended")
    for tcb in _owners(_static("terminated_list")):
        add(tcb, "deleted-awaiting-idle")
    return found


class TarvikTasks(gdb.Command):
    """List the firmware's tasks: name, priority, state (running, ready, blocked,
suspended, deleted-awaiting-idle) and the control block's address."""

    def __init__(self):
        super().__init__("tarvik-tasks", gdb.COMMAND_STATUS)

    def invoke(self, argument, from_tty):
        rows = [(_name(tcb), int(tcb["uxPriority"]), state, int(tcb)) for tcb, state in _tasks()]
        if not rows:
            print("no tasks yet (the scheduler has not started)")
            return
        print("%-16s %4s  %-22s %s" % ("task", "prio", "state", "control block"))
        for name, prio, state, address in rows:
            print("%-16s %4d  %-22s 0x%x" % (name, prio, state, address))


TarvikTasks()


class TarvikTaskBt(gdb.Command):
    """Backtrace of one task, by name or control block: tarvik-task-bt NAME|ADDRESS [bt options].
For a task that is not running, its registers as its fiber switch saved them are
put in the current thread for the backtrace and the real ones put back after."""

    def __init__(self):
        super().__init__("tarvik-task-bt", gdb.COMMAND_STACK)

    def invoke(self, argument, from_tty):
        words = argument.split(None, 1)
        if not words:
            raise gdb.GdbError("usage: tarvik-task-bt NAME|ADDRESS [bt options]")
        which, options = words[0], (words[1] if len(words) > 1 else "")
        chosen = None
        for tcb, state in _tasks():
            if _name(tcb) == which or (which.startswith("0x") and int(tcb) == int(which, 16)):
                chosen = (tcb, state)
                break
        if chosen is None:
            raise gdb.GdbError("no task %s (tarvik-tasks lists them)" % which)
        tcb, state = chosen
        fiber = tcb["pxHost"]["fiber"]
        # The fiber on the processor now, whatever the kernel has chosen to run
        # next: a handler runs on the stack of the task it interrupted.
        if int(fiber) == int(_static("board::g_current")):
            gdb.execute("bt " + options, from_tty)
            return
        sp = int(fiber["sp_"])
        u64 = gdb.lookup_type("unsigned long").pointer()
        word = lambda i: int(gdb.Value(sp + 8 * i).cast(u64).dereference())
        values = {"rip": word(7), "rsp": sp + 64}
        for i, reg in enumerate(_SAVED):
            values[reg] = word(1 + i)
        frame = gdb.selected_frame()
        gdb.newest_frame().select()
        real = {reg: int(gdb.parse_and_eval("$" + reg)) for reg in _SWAPPED}
        try:
            for reg in _SWAPPED:
                gdb.execute("set $%s = %d" % (reg, values[reg]), to_string=True)
            print("task %s (%s), as its switch left it:" % (which, state))
            gdb.execute("bt " + options, from_tty)
        finally:
            gdb.newest_frame().select()
            for reg in _SWAPPED:
                gdb.execute("set $%s = %d" % (reg, real[reg]), to_string=True)
            gdb.invalidate_cached_frames()
            try:
                frame.select()
            except gdb.error:
                gdb.newest_frame().select()


TarvikTaskBt()
