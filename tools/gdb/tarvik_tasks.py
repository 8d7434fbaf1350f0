"""gdb extension for the host build of the firmware (make debug-host): the
kernel's tasks by name and state, from the kernel's own lists.

    (gdb) source tools/gdb/tarvik_tasks.py
    (gdb) tarvik-tasks

The host build runs each task on a fiber of its own, so gdb's threads are the
simulator's, not the tasks; `bt` shows the stack of the task that runs now (the
others wait inside their fiber switch). On the board image under tarvik-sim
--gdb, the tasks are gdb's threads instead (info threads, thread N, bt).
"""
import gdb


def _static(name):
    symbol = gdb.lookup_static_symbol("(anonymous namespace)::" + name) or gdb.lookup_global_symbol(name)
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


class TarvikTasks(gdb.Command):
    """List the firmware's tasks: name, priority, state (running, ready, blocked,
suspended, deleted-awaiting-idle) and the control block's address."""

    def __init__(self):
        super().__init__("tarvik-tasks", gdb.COMMAND_STATUS)

    def invoke(self, argument, from_tty):
        current = gdb.parse_and_eval("pxCurrentTCB")
        running = bool(_static("scheduler_running"))
        ready = _static("ready_lists")
        rows = []
        seen = set()

        def add(tcb, state):
            if int(tcb) in seen:
                return
            seen.add(int(tcb))
            if running and tcb == current:
                state = "running"
            field = tcb["pcTaskName"]
            low_i, high_i = field.type.range()
            raw = bytes(int(field[i]) & 0xFF for i in range(low_i, high_i + 1))
            name = raw.split(b"\0")[0].decode(errors="replace")
            rows.append((name, int(tcb["uxPriority"]), state, int(tcb)))

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
        if not rows:
            print("no tasks yet (the scheduler has not started)")
            return
        print("%-16s %4s  %-22s %s" % ("task", "prio", "state", "control block"))
        for name, prio, state, address in rows:
            print("%-16s %4d  %-22s 0x%x" % (name, prio, state, address))


TarvikTasks()
