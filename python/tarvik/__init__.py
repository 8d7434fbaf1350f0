"""Drive the Tarvik motor-control unit's simulated board from Python, in virtual
time, through ``tarvik-sim --control``::

    from tarvik import Board
    with Board(lcd_task=True) as b:
        b.console.expect("console>")
        b.console.type("e3on\\r")
        b.console.expect(r"Engine3 turn on\\.", within=1.0)

The pytest plugin is ``tarvik.pytest_plugin`` (its ``board`` fixture)."""

from .board import (KEYS, PROMPT, PROTOCOL_VERSION, Board, Console, Halted, LcdState, Match, MotorState,
                    RequestError, Rs485, TarvikError, Timeout, escape, find_sim, option_arguments)

__all__ = ["Board", "Console", "Rs485", "Match", "LcdState", "MotorState", "TarvikError", "RequestError",
           "Timeout", "Halted", "escape", "find_sim", "option_arguments", "KEYS", "PROMPT", "PROTOCOL_VERSION"]
