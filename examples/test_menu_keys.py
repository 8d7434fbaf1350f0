"""The LCD menus walked with the unit's keys (the LCD task started, as
--lcd-task does), the display read back row by row."""
import pytest

pytestmark = pytest.mark.board(lcd_task=True)

TEST_MODE = ["   Test mode.   ", "Console connect.", "var1:Hello      ", " " * 16]


def screen_test1(state, var4):
    return [f"Sys_st:{state}.    ", "Var3:000    .   ", f"Var4:{var4}     ", " " * 16]


def shows(board, rows, within=3.0):
    """Waits until the display shows ``rows`` (the LCD task redraws the whole
    screen about once a second)."""
    board.wait_until(lambda b: b.lcd.rows == rows, within, step=0.02, what=f"screen {rows}")


def tap(board, key):
    """A press the LCD task sees once, then time for it to act."""
    board.press(key, hold=0.3)
    board.run(0.6)


def test_keys_walk_from_the_test_screen_through_the_menu(board):
    shows(board, TEST_MODE)
    tap(board, "up")
    shows(board, screen_test1("TEST", "0x04d2"))
    tap(board, "up")  # on Test1, up counts var4 up
    shows(board, screen_test1("TEST", "0x04d3"))
    board.console.expect_exact("console>")
    assert board.console.command("var_get var4") == "Var var4=0x4d3(1235)"
    tap(board, "down")
    tap(board, "down")
    shows(board, screen_test1("TEST", "0x04d1"))
    tap(board, "esc")  # esc switches the system state
    shows(board, screen_test1("WORK", "0x04d1"))
    tap(board, "enter")  # enter goes back to the test screen
    shows(board, TEST_MODE)
    assert board.lcd.on


def test_a_key_held_acts_once(board):
    shows(board, TEST_MODE)
    board.press("up", hold=None)
    board.run(1.0)
    shows(board, screen_test1("TEST", "0x04d2"))
    board.run(1.0)
    shows(board, screen_test1("TEST", "0x04d2"))
    board.release("up")
    board.run(0.3)  # the keys task must see it up before the next press counts
    tap(board, "up")
    shows(board, screen_test1("TEST", "0x04d3"))
