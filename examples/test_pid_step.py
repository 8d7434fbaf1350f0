"""Motor 3's regulator answers a step to an encoder interval of 500 (x 10 us)
with the figures we promise: settled within 5 % in under 30 s, no overshoot to
speak of, no steady-state error. The figures come from the RS485 telemetry, as
tools/plot-telemetry computes them."""
import pytest

import step_response


@pytest.mark.board(motor={"load": 0})
def test_step_to_500_settles_without_overshoot(board):
    step_response.start_regulator(board)
    samples = step_response.capture(board, 40)
    f = step_response.figures(samples)
    assert 0.5 < f["step_at"] < 2.0
    assert f["settling_time"] is not None, "the interval never stayed within 5 % of 500"
    assert f["settling_time"] < 30
    assert f["overshoot"] < 5
    assert abs(f["steady_error"]) <= 5
    # The regulator drives, and the motor turns at the speed the interval means.
    motor = board.motor
    assert motor.enabled and motor.direction == 1
    assert 400 < samples[-1][2] < 800
