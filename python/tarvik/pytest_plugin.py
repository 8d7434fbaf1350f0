"""pytest plugin for the Tarvik simulated board (``-p tarvik.pytest_plugin`` from a
checkout; loaded by itself once the package is installed).

- ``board``: a fresh ``tarvik.Board`` for each test, ended after it.
- ``new_board``: makes more boards in one test (``new_board(lcd_task=True)``),
  each ended after the test.
- ``@pytest.mark.board(**options)``: the options of the test's boards (the
  keywords of ``Board``); a marker closer to the test wins over one further out.
- ``--tarvik-image PATH``: every board runs this board image; ``--tarvik-sim
  PATH``: the tarvik-sim to run.
- A failing test's report carries each board's console transcript.
"""

import pytest

from .board import Board, TarvikError

_BOARDS = pytest.StashKey()


def pytest_addoption(parser):
    """The plugin's command-line options."""
    group = parser.getgroup("tarvik", "Tarvik simulated board")
    group.addoption("--tarvik-image", metavar="PATH", default=None,
                    help="run every board on this board image (build/arm/tarvik.elf) on the emulated Cortex-M3")
    group.addoption("--tarvik-sim", metavar="PATH", default=None,
                    help="the tarvik-sim to run (default: $TARVIK_SIM, the checkout's release build, the PATH)")


def pytest_configure(config):
    """Declares the ``board`` marker."""
    config.addinivalue_line("markers", "board(**options): tarvik-sim options of the test's boards "
                                       "(the keywords of tarvik.Board, e.g. lcd_task=True)")


def board_options(node):
    """The options the ``board`` markers give a test, the closest marker winning."""
    options = {}
    for marker in reversed(list(node.iter_markers("board"))):
        if marker.args:
            raise pytest.UsageError(f"{node.nodeid}: the board marker takes keywords only")
        options.update(marker.kwargs)
    return options


@pytest.fixture
def new_board(request):
    """Makes boards for this test: ``new_board(**options)`` starts one with the
    marker's options updated by ``options``; every board is ended after the test."""
    boards = request.node.stash.setdefault(_BOARDS, [])
    config = request.config

    def make(**options):
        merged = board_options(request.node)
        merged.update(options)
        if config.getoption("tarvik_image") and "image" not in merged:
            merged["image"] = config.getoption("tarvik_image")
        if config.getoption("tarvik_sim") and "sim" not in merged:
            merged["sim"] = config.getoption("tarvik_sim")
        b = Board(**merged)
        boards.append(b)
        return b

    yield make
    for b in boards:
        b.close()


@pytest.fixture
def board(new_board):
    """A fresh simulated board for the test, with the ``board`` marker's options."""
    return new_board()


def _printable(text):
    """The console's bytes for a report: CR LF as line ends, other control bytes escaped."""
    text = text.replace("\r\n", "\n").replace("\n\r", "\n")
    return "".join(c if c == "\n" or " " <= c < "\x7f" else f"\\x{ord(c):02x}" for c in text)


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_makereport(item, call):
    """Attaches the console transcripts of a failing test's boards to its report."""
    outcome = yield
    report = outcome.get_result()
    boards = item.stash.get(_BOARDS, [])
    if not report.failed or not boards:
        return
    for n, b in enumerate(boards):
        try:
            if not b._closed:
                b.console.read()  # what the test left unread is part of the story
        except TarvikError:
            pass
        name = "tarvik console" + (f" (board {n + 1})" if len(boards) > 1 else "")
        text = _printable(b.console.transcript) or "(nothing)"
        text += f"\n[virtual time {b.time:.3f} s, {b.cpu if hasattr(b, 'cpu') else '?'}" + (
            f", halted: {b.halted}]" if b.halted else "]")
        if hasattr(report.longrepr, "addsection"):
            report.longrepr.addsection(name, text)  # also in --junitxml's failure text
        else:
            report.sections.append((name, text))
