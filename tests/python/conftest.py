import os
import time

import pytest


def _thread_names():
    """{thread id: OS thread name} of this process."""
    names = {}
    for tid in os.listdir("/proc/self/task"):
        try:
            with open(f"/proc/self/task/{tid}/comm") as f:
                names[int(tid)] = f.read().rstrip("\n")
        except FileNotFoundError:  # the thread ended while we looked
            pass
    return names


def _wait_until(predicate, timeout=10.0):
    """Polls predicate until it holds; False if it never did within timeout."""
    deadline = time.monotonic() + timeout
    while not predicate():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.01)
    return True


@pytest.fixture
def thread_names():
    return _thread_names


@pytest.fixture
def wait_until():
    return _wait_until
