import os
import sys

import pytest

# The package from this checkout, whether installed or not.
sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "python"))

# Taken before any test changes the working folder.
SIM = os.path.abspath(os.environ["TARVIK_SIM"]) if os.environ.get("TARVIK_SIM") else None


@pytest.fixture
def sim():
    """The tarvik-sim under test (CTest names it in $TARVIK_SIM)."""
    if not SIM:
        pytest.fail("TARVIK_SIM must name the tarvik-sim to test")
    return SIM


@pytest.fixture
def on_image():
    """Whether the tarvik-sim runs the board image ($TARVIK_SIM_IMAGE, as CTest sets it)."""
    return bool(os.environ.get("TARVIK_SIM_IMAGE"))
