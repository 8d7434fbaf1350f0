"""A console session as a person has it: commands, a typing mistake erased, and
the history recalled with the grave accent (the Up arrow on the front panel)."""

WIPE = "\b \b"  # what the console prints to erase one character


def test_commands_answer_and_change_the_firmware(board):
    board.console.expect_exact("console>")
    assert board.console.command("e3pulse 300") == "Engine3 pulse changed."
    assert board.var("engine3_pulse") == 300
    info = board.console.command("e3info")
    assert info.startswith("Engine3 setup:\r\npulse: 300\r\n")
    assert board.console.command("nonsense") == "Command not found."


def test_backspace_erases_what_was_typed(board):
    board.console.expect_exact("console>")
    board.console.type("e3pulsx\b")
    board.console.expect_exact("e3pulsx" + WIPE)
    assert board.console.command("e 250") == "Engine3 pulse changed."
    assert board.var("engine3_pulse") == 250


def test_the_grave_accent_recalls_the_history_newest_first(board):
    board.console.expect_exact("console>")
    board.console.command("e3pulse 111")
    board.console.command("e3pulse 222")
    assert board.var("engine3_pulse") == 222
    # Up once: the newest line is shown; Up again wipes it and shows the one before.
    board.console.type("`")
    board.console.expect_exact("e3pulse 222")
    board.console.type("`")
    board.console.expect_exact(WIPE * len("e3pulse 222") + "e3pulse 111")
    # Enter runs the recalled line again.
    board.console.type("\r")
    board.console.expect_exact("\r\nEngine3 pulse changed.\r\nconsole>")
    assert board.var("engine3_pulse") == 111
