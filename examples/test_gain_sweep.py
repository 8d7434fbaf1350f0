"""Tuning the regulator as a loop: a sweep over Kp and Ki, one fresh board each,
the settling time of each pair drawn as a PNG (Debian's python3-matplotlib).
The picture it gives: Ki sets the pace, Kp hardly matters at this set-point.

The PNG goes to $TARVIK_EXAMPLE_OUTPUT (a folder) if set, else the test's
temporary folder; its path is printed."""
import os

import pytest

import step_response

KP = (20, 60)
KI = (30, 60, 120)
SECONDS = 22


def test_settling_time_against_the_gains(new_board, tmp_path):
    matplotlib = pytest.importorskip(
        "matplotlib", reason="matplotlib is not installed (Debian: python3-matplotlib); the gain sweep draws "
                             "its PNG with it")
    matplotlib.use("Agg")
    from matplotlib import pyplot

    settling = {}
    for kp in KP:
        for ki in KI:
            with new_board() as board:
                step_response.start_regulator(board, kp=kp, ki=ki)
                f = step_response.figures(step_response.capture(board, SECONDS, step=0.02))
            assert f["settling_time"] is not None, f"Kp={kp} Ki={ki} did not settle in {SECONDS} s"
            assert f["overshoot"] < 5, f"Kp={kp} Ki={ki} overshoots {f['overshoot']:.1f} %"
            settling[kp, ki] = f["settling_time"]

    for kp in KP:  # more integral action settles sooner, whatever Kp
        times = [settling[kp, ki] for ki in KI]
        assert times == sorted(times, reverse=True), f"Kp={kp}: {times}"

    out = os.environ.get("TARVIK_EXAMPLE_OUTPUT") or str(tmp_path)
    os.makedirs(out, exist_ok=True)
    png = os.path.join(out, "gain_sweep.png")
    fig, ax = pyplot.subplots(figsize=(6, 4))
    for kp in KP:
        ax.plot(KI, [settling[kp, ki] for ki in KI], marker="o", label=f"Kp = {kp}")
    ax.set_xlabel("Ki")
    ax.set_ylabel("settling time to 5 % of 500, s")
    ax.set_title("Motor 3: step to an interval of 500")
    ax.grid(True)
    ax.legend()
    fig.savefig(png, dpi=100)
    pyplot.close(fig)
    assert os.path.getsize(png) > 0
    print(f"gain sweep: {png}")
    for (kp, ki), t in sorted(settling.items()):
        print(f"  Kp={kp:3d} Ki={ki:3d}: settled in {t:.2f} s")
