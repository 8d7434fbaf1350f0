"""The Python package's Board on the real tarvik-sim: the issue's example, the
exceptions and their messages, the process always ended."""
import os

import pytest

import tarvik
from tarvik import Board, Halted, RequestError, TarvikError, Timeout

FAKE_SIM = os.path.join(os.path.dirname(os.path.abspath(__file__)), "fake_sim.py")


def test_the_readme_example(sim, on_image):
    with Board(sim=sim, lcd_task=True) as b:
        assert b.cpu == ("image" if on_image else "host")
        b.console.expect("console>")
        b.console.type("e3on\r")
        b.console.expect(r"Engine3 turn on\.", within=1.0)
        b.press("up", hold=0.3)
        b.run(2.0)
        # The task clears and redraws the screen every 100 ms or so: a look at one
        # instant may fall in the middle of a redraw.
        b.wait_until(lambda b: b.lcd.rows[0] == "Sys_st:TEST.    ", within=0.2)
        assert b.pin("PA5") == 0
        assert b.motor.enabled
        assert b.time == pytest.approx(2.0, abs=0.6)
        assert b.rs485.lines()[-1] == "0000,1000"
    assert b._proc.poll() == 0


def test_a_pattern_not_seen_in_time_says_when_and_what_came_last(sim):
    with Board(sim=sim) as b:
        b.console.expect_exact("console>")
        b.console.type("help e3on\r")
        with pytest.raises(Timeout) as caught:
            b.console.expect("Engine4", within=1.5)
        message = str(caught.value)
        assert "'Engine4'" in message and "within 1.5 s of virtual time" in message
        assert f"now {b.time:.3f} s" in message
        assert "Engine3 turn on.\\r\\nconsole>" in message  # the console's last bytes
        assert caught.value.time == b.time
        # Nothing was consumed: the bytes are still there to expect.
        assert b.console.expect_exact("turn on.").before.endswith("Engine3 ")
        with pytest.raises(Timeout, match="level 1 on PB0"):
            b.wait_pin("PB0", level=1, within=0.1)


def test_refused_requests_raise_with_the_reason_and_the_board_goes_on(sim):
    with Board(sim=sim) as b:
        with pytest.raises(RequestError, match='bad key "left"'):
            b.press("left")
        with pytest.raises(RequestError, match="no variable 'nope'"):
            b.var("nope")
        with pytest.raises(ValueError):
            b.console.write("\u20ac")  # not a byte
        assert b.var("engine3_pulse") == 1000
        assert len(b.var("fTasks")) > 8  # a table comes back as its bytes
        assert b.console.expect(tarvik.escape("Version: 0.0.1")).text == "Version: 0.0.1"


def test_the_process_is_ended_whatever_happens_in_the_block(sim):
    with pytest.raises(ZeroDivisionError):
        with Board(sim=sim) as b:
            b.run(0.1)
            1 / 0
    assert b._proc.poll() is not None
    with pytest.raises(TarvikError, match="has ended"):
        b.run(0.1)
    assert b.close() == ""  # a second close is harmless


def test_a_tarvik_sim_that_refuses_its_options_says_why(sim):
    with pytest.raises(TarvikError, match="--keys: bad key press"):
        Board(sim=sim, keys="sideways@1s")


def test_options_as_keywords():
    assert tarvik.option_arguments({"lcd_task": True, "battery_removed": False, "backup": None,
                                    "motor": {"load": 0.002, "inertia": 3e-5}, "reset_at": [1, 2.5],
                                    "keys": "up@1s"}) == [
        "--lcd-task", "--motor", "load=0.002,inertia=3e-05", "--reset-at", "1,2.5", "--keys", "up@1s"]


def test_a_halted_board_raises_halted_from_runs_and_waits():
    with Board(sim=FAKE_SIM) as b:
        with pytest.raises(Halted) as caught:
            b.run(1)
        assert caught.value.reason == "stack overflow" and caught.value.time == 0.25
        assert b.halted == "stack overflow"
        with pytest.raises(Halted, match="the board halted: stack overflow"):
            b.console.expect("console>")
        with pytest.raises(Halted):
            b.wait_pin("PA5")


def test_another_protocol_version_is_refused():
    with pytest.raises(TarvikError, match="speaks control protocol 2"):
        Board(sim=FAKE_SIM, version_reply=2)


def test_the_socket_carries_the_same_protocol(sim):
    with Board(sim=sim, socket=True) as b:
        path = b._socket_path
        assert b.console.expect_exact("console>").before.endswith("0.0.1\r\n")
        assert b.console.command("e3pulse 42") == "Engine3 pulse changed."
        assert b.var("engine3_pulse") == 42
    assert not os.path.exists(path)
    assert b._proc.poll() == 0
