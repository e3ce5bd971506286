# Every test session uses an access counter of its own (the module built
# for testing can be pointed at one), removed when the session ends, so the
# tests never touch the machine-wide counter of real clients.
import os
import secrets

import pytest

from qorvane import _qorvane


@pytest.fixture(scope="session", autouse=True)
def private_counter():
    _qorvane._use_counter_name(f"/qorvane-pytest-{os.getpid()}-{secrets.token_hex(4)}")
    yield
    _qorvane._remove_counter()


@pytest.fixture
def settings(tmp_path):
    """A settings directory holding a PrinterSet key; returns (dir, file)."""
    path = tmp_path / "QorRunningSet.Inf"
    path.write_bytes(b"[PrinterSet]\r\nPort = LPT1;\r\nCopies = 2;\r\nDuplex = on;\r\nCopies = 9;\r\n")
    return str(tmp_path), path
