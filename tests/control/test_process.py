"""tarvik-sim --control as a program: its options, the end of its input, the
Unix socket, and the same requests giving the same replies run after run."""
import json
import os
import socket
import subprocess
import time

SESSION = [
    {"op": "hello"},
    {"op": "run", "until": "console>", "within": 1},
    {"op": "write", "data": "e3on\re3pid -f=0 500\r"},
    {"op": "run", "until": "console>", "within": 2},
    {"op": "run", "until": "console>", "within": 2},
    {"op": "run", "for": 1.5},
    {"op": "read", "line": "rs485"},
    {"op": "motor"},
    {"op": "var", "name": "engine3_pulse"},
    {"op": "press", "key": "up", "hold": 0.2},
    {"op": "run", "pin": "PA4", "level": 1, "within": 1},
    {"op": "lcd"},
    {"op": "read"},
]


def lines(requests):
    return "".join(json.dumps(r) + "\n" for r in requests)


def control(sim, requests, *options, timeout=120):
    return subprocess.run([sim, "--control", *options], input=lines(requests), capture_output=True, text=True,
                          timeout=timeout)


def test_the_same_requests_give_the_same_replies_every_run(sim):
    first = control(sim, SESSION)
    second = control(sim, SESSION)
    assert first.returncode == 0, first.stderr
    assert first.stdout == second.stdout
    replies = [json.loads(line) for line in first.stdout.splitlines()]
    assert len(replies) == len(SESSION)
    assert all(r["ok"] for r in replies), first.stdout
    assert replies[3]["data"] == "e3on\r\nEngine3 turn on.\r\nconsole>"
    assert replies[4]["data"] == "e3pid -f=0 500\r\n\r\nconsole>"
    assert replies[6]["data"].endswith("\n\r") and "," in replies[6]["data"]
    assert replies[7]["rpm"] > 0


def test_end_of_input_ends_the_run_cleanly_and_writes_its_files(sim, tmp_path):
    lcd = tmp_path / "lcd.txt"
    rs485 = tmp_path / "rs485.txt"
    r = control(sim, SESSION[:6], "--lcd-task", "--lcd", str(lcd), "--rs485", str(rs485))
    assert r.returncode == 0, r.stderr
    assert r.stderr == ""
    rows = lcd.read_text().split("\n")
    assert len(rows) == 5 and rows[-1] == "" and all(len(row) == 16 for row in rows[:4])
    assert rs485.read_bytes().count(b"\n\r") > 100  # about 100 lines a second
    # A last request without its line feed still counts; an empty input is a run of nothing.
    r = subprocess.run([sim, "--control"], input='{"op": "time"}', capture_output=True, text=True, timeout=60)
    assert json.loads(r.stdout)["time"] == 0.0 and r.returncode == 0
    assert control(sim, []).returncode == 0


def test_end_replies_then_ends_the_program(sim):
    r = control(sim, [{"op": "run", "for": 0.1}, {"op": "end"}, {"op": "time"}])
    replies = [json.loads(line) for line in r.stdout.splitlines()]
    assert [x["ok"] for x in replies] == [True, True]  # nothing read after end
    assert replies[1]["report"] == ""
    assert r.returncode == 0


def test_options_that_do_not_go_with_control_are_refused(sim, tmp_path):
    r = subprocess.run([sim, "--control", "--until", "5"], capture_output=True, text=True, timeout=60)
    assert r.returncode == 2 and "--until does not go with --control" in r.stderr
    not_a_socket = tmp_path / "file"
    not_a_socket.write_text("mine")
    r = subprocess.run([sim, "--control", str(not_a_socket)], capture_output=True, text=True, timeout=60)
    assert r.returncode == 2 and "exists and is not a socket" in r.stderr
    assert not_a_socket.read_text() == "mine"
    helped = subprocess.run([sim, "--help"], capture_output=True, text=True, timeout=60)
    assert "--control [PATH]" in helped.stdout


def connect(path, proc, seconds=30):
    end = time.monotonic() + seconds
    while True:
        s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        try:
            s.connect(path)
            return s
        except OSError:
            s.close()
            assert proc.poll() is None and time.monotonic() < end, "no control socket"
            time.sleep(0.01)


def test_a_unix_socket_serves_one_client_and_goes_away(sim, tmp_path):
    path = str(tmp_path / "control")
    proc = subprocess.Popen([sim, "--control", path], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE)
    try:
        client = connect(path, proc)
        stream = client.makefile("rwb")
        stream.write(b'{"op":"hello"}\n{"op":"run","until":"console>","within":1}\n')
        stream.flush()
        assert json.loads(stream.readline())["version"] == 1
        assert json.loads(stream.readline())["matched"] is True
        # One client: nobody else gets in while it is connected.
        other = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        try:
            other.connect(path)
            connected = True
        except OSError:
            connected = False
        other.close()
        assert not connected
        stream.close()
        client.close()  # the end of its input ends the run
        assert proc.wait(timeout=60) == 0
        assert proc.stdout.read() == b""  # standard output is not the protocol's here
    finally:
        if proc.poll() is None:
            proc.kill()
    assert not os.path.exists(path)


def test_a_recorded_control_session_replays_with_the_same_bytes_and_display(sim, tmp_path):
    record, sent, lcd = tmp_path / "session.rec", tmp_path / "rs485.1", tmp_path / "lcd.1"
    session = SESSION + [{"op": "fault", "load": 0.01, "bounce": 0.004}, {"op": "press", "key": "down"},
                         {"op": "run", "for": 0.3}, {"op": "release", "key": "down"},
                         {"op": "write", "data": "e3info\r"}, {"op": "run", "for": 0.5}, {"op": "read"}]
    first = control(sim, session, "--lcd-task", "--record", str(record), "--rs485", str(sent), "--lcd", str(lcd))
    assert first.returncode == 0, first.stderr
    heard = "".join(json.loads(line).get("data", "") for line, request in zip(first.stdout.splitlines(), session)
                    if request.get("line", "console") == "console")  # reads, and runs until a pattern
    again = subprocess.run([sim, "--replay", str(record), "--rs485", str(sent) + ".again", "--lcd",
                            str(lcd) + ".again"], stdin=subprocess.DEVNULL, capture_output=True, timeout=120)
    assert again.returncode == 0 and not again.stderr, again.stderr
    assert again.stdout.decode("latin-1") == heard and "Engine3 setup:" in heard
    for path in (sent, lcd):
        recorded = path.read_bytes()
        assert recorded and recorded == (tmp_path / (path.name + ".again")).read_bytes(), path
