"""The pytest plugin run on a suite of its own (pytester): the fixture, the
marker, --tarvik-image, and the console transcript in a failure's report and
in --junitxml."""
import os

import pytest

pytest_plugins = ["pytester"]

SUITE = '''
import pytest

def test_fresh_board_each_time(board):
    board.console.expect_exact("console>")
    assert board.console.command("e3pulse 7") == "Engine3 pulse changed."
    assert board.var("engine3_pulse") == 7

def test_and_here_it_is_fresh_again(board):
    assert board.var("engine3_pulse") == 1000

@pytest.mark.board(lcd_task=True)
def test_the_marker_gives_options(board):
    board.run(1.0)
    assert board.lcd.rows[0] == "   Test mode.   "

@pytest.mark.board(lcd_task=True)
class TestNested:
    @pytest.mark.board(lcd_task=False)
    def test_the_closest_marker_wins(self, board):
        board.run(1.0)
        assert not board.lcd.on

def test_the_cpu(board):
    print("cpu:", board.cpu)

def test_a_failure_shows_the_console(board):
    board.console.expect_exact("console>")
    board.console.type("help e3on\\r")
    board.run(1.0)  # left unread: the report reads it
    assert board.var("engine3_pulse") == 5
'''


@pytest.fixture
def suite(pytester, sim, monkeypatch):
    pytester.makepyfile(test_suite=SUITE)
    package = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", "..", "python"))
    monkeypatch.setenv("PYTHONPATH", os.pathsep.join(filter(None, [package, os.environ.get("PYTHONPATH")])))
    return pytester


def test_fixture_marker_and_the_failure_report(suite, sim, on_image):
    junit = suite.path / "junit.xml"
    image = ["--tarvik-image", os.environ["TARVIK_SIM_IMAGE"]] if on_image else []
    result = suite.runpytest_subprocess("-p", "tarvik.pytest_plugin", "--tarvik-sim", sim, *image, "-s",
                                        f"--junitxml={junit}")
    result.assert_outcomes(passed=5, failed=1)
    result.stdout.fnmatch_lines(["*cpu: " + ("image" if on_image else "host") + "*"])
    out = result.stdout.str()
    report = out[out.index("test_a_failure_shows_the_console"):]
    assert "tarvik console" in report
    # The transcript, CR LF as line ends, including what the test left unread.
    assert " Tarvik! Start programm.\n Version: 0.0.1\nconsole>help e3on\nCommand e3on:\nEngine3 turn on.\nconsole>" \
        in report
    assert "[virtual time 1.0" in report
    xml = junit.read_text()
    assert "Engine3 turn on." in xml and "tarvik console" in xml


def test_a_board_that_cannot_start_fails_the_test_in_setup(suite, sim):
    result = suite.runpytest_subprocess("-p", "tarvik.pytest_plugin", "--tarvik-sim", sim, "--tarvik-image",
                                        "/nonexistent.elf", "-k", "fresh_board_each")
    result.assert_outcomes(errors=1)
    result.stdout.fnmatch_lines(["*cannot read /nonexistent.elf*"])
