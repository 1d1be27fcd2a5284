"""Default worker runtimes."""

import os

import _brivane

__all__ = ["default_num_workers", "make_runtime"]


def default_num_workers() -> int:
    """One worker per CPU this process may run on."""
    try:
        return max(1, len(os.sched_getaffinity(0)))
    except (AttributeError, OSError):
        return max(1, os.cpu_count() or 1)


def make_runtime(num_workers: int | None) -> _brivane.DatasetRuntime:
    if num_workers is None:
        num_workers = default_num_workers()
    if isinstance(num_workers, bool) or not isinstance(num_workers, int):
        raise TypeError(f"num_workers must be an int, got {type(num_workers).__name__}")
    if num_workers <= 0:
        raise ValueError(f"num_workers must be greater than zero, got {num_workers}")
    return _brivane.DatasetRuntime(num_workers)
