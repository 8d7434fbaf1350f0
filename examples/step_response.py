"""Step-response figures of motor 3's regulator from the RS485 telemetry, as
tools/plot-telemetry defines them (the interval's settling time and overshoot)."""

SETPOINT = 500  # encoder interval the examples regulate to, x 10 us


def capture(board, seconds, step=0.01):
    """Runs the board for ``seconds`` in steps of ``step`` and returns the RS485
    telemetry as (time, interval, pulse) samples, each line stamped with the
    virtual time of the step in which it arrived (the firmware sends one every
    10 ms, so a stamp is at most one step late)."""
    samples, pending = [], ""
    end = board.time + seconds
    while board.time < end - 1e-6:  # time moves in whole CPU cycles
        board.run(min(step, end - board.time))
        pending += board.rs485.read()
        *lines, pending = pending.replace("\r", "").split("\n")
        for line in lines:
            interval, pulse = line.split(",")
            samples.append((board.time, int(interval), int(pulse)))
    return samples


def figures(samples, setpoint=SETPOINT, band=0.05):
    """The step (where the pulse first changes: the regulator starting), the
    settling time from there until the interval stays within ``band`` of the
    set-point (None if it never does), the overshoot beyond the set-point in % of
    the step, and the steady-state error (mean of the last 5 s minus the set-point)."""
    first_pulse = samples[0][2]
    start = next(i for i, s in enumerate(samples) if s[2] != first_pulse)
    step_at, y0 = samples[start][0], samples[max(start - 1, 0)][1]
    low, high = setpoint * (1 - band), setpoint * (1 + band)
    outside = [i for i in range(start, len(samples)) if not low <= samples[i][1] <= high]
    if outside and outside[-1] == len(samples) - 1:
        settling = None
    else:
        settling = (samples[outside[-1] + 1][0] if outside else step_at) - step_at
    beyond = max((s[1] - setpoint) * (1 if setpoint > y0 else -1) for s in samples[start:])
    overshoot = max(beyond, 0) / abs(setpoint - y0) * 100
    tail = [s[1] for s in samples if s[0] >= samples[-1][0] - 5]
    return {"step_at": step_at, "settling_time": settling, "overshoot": overshoot,
            "steady_error": sum(tail) / len(tail) - setpoint}


def start_regulator(board, kp=None, ki=None, setpoint=SETPOINT):
    """Switches motor 3 on and starts the regulator at ``setpoint`` (the
    firmware's default gains unless given)."""
    board.console.expect_exact("console>")
    assert board.console.command("e3on") == "Engine3 turn on."
    gains = (f" -p={kp}" if kp is not None else "") + (f" -i={ki}" if ki is not None else "")
    assert board.console.command(f"e3pid -f=0{gains} {setpoint}") == ""
