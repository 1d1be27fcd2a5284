"""A write_cache killed with SIGKILL at any moment leaves either nothing or a
complete cache at the destination, and the same call run again succeeds.

The child process writes one source and reports on stdout when it starts and
when its source is exhausted, so the kills can be spread over the sample
loop, the finish of the cache files and the publish rename."""

import os
import random
import signal
import subprocess
import sys
import time

from types import SimpleNamespace

import _brivane

NAME = "big"
COUNT = 600
HERE = os.path.dirname(os.path.abspath(__file__))


def sample(i):
    # Long text metadata makes metadata.arrow big enough that finishing the
    # cache takes a measurable time after the last sample.
    data = (b"%06d" % i) * (1 + i % 50)
    return data, {"i": i, "note": ("n%d-" % i) * 300, "x": i / 8}


class BigSource:
    """Calls marker("K") just before handing out sample `mark_at` and
    marker("E") once it is exhausted."""

    name = NAME

    def __init__(self, marker=None, mark_at=-1):
        self._marker = marker
        self._mark_at = mark_at

    def __iter__(self):
        for i in range(COUNT):
            if i == self._mark_at:
                self._marker("K")
            yield sample(i)
        if self._marker:
            self._marker("E")


def config():
    # Reuse with validation makes "the same call again" succeed whether the
    # killed call published or not.
    return SimpleNamespace(
        max_shard_bytes=1 << 16,
        prefetch_size=8,
        shard_compression=SimpleNamespace(algo="lz4", ratio=1.0),
        show_progress=False,
        validate_cache=True,
    )


def write(runtime, base, marker=None, mark_at=-1):
    return _brivane.write_cache(runtime, BigSource(marker, mark_at), base, config(), True)


def child_main(base, mark_at):
    def marker(text):
        sys.stdout.write(text + "\n")
        sys.stdout.flush()

    runtime = _brivane.DatasetRuntime(2)
    results = write(runtime, base, marker, mark_at)
    marker("D" if results[0][0] == "success" else "F " + repr(results))


def start_child(base, mark_at=-1):
    code = (f"import sys; sys.path.insert(0, {HERE!r}); import test_crash_safety as t; "
            f"t.child_main({base!r}, {mark_at})")
    return subprocess.Popen([sys.executable, "-c", code], stdout=subprocess.PIPE, text=True, cwd=HERE)


def wait_for(proc, marker):
    line = proc.stdout.readline().strip()
    assert line == marker, f"child said {line!r}, expected {marker!r}"


def check_complete(runtime, path):
    dataset = _brivane.CachedDataset(runtime, [path], 0, 16, False, True)
    got = [(data, meta) for data, meta, _, _ in dataset]
    assert len(got) == COUNT
    for i, item in enumerate(got):
        assert item == sample(i), f"sample {i} differs"


def calibrate(base):
    """Seconds from exhaustion of the source to the end of the call."""
    proc = start_child(base)
    wait_for(proc, "E")
    start = time.monotonic()
    wait_for(proc, "D")
    finish_time = time.monotonic() - start
    assert proc.wait(timeout=60) == 0
    return finish_time


def kill_plans(rng, finish_time):
    """(phase, sample, delay) for every trial: in the sample loop (a little
    after a random sample was pulled), while the files are finished (counted
    from exhaustion), and once the staging directory holds its last files
    (the rename follows within about a millisecond)."""
    plans = [("write", rng.randrange(COUNT), rng.uniform(0, 0.005)) for _ in range(25)]
    plans += [("finish", -1, rng.uniform(0, finish_time * 1.2)) for _ in range(25)]
    plans += [("publish", -1, rng.choice([0.0, rng.uniform(0, 0.001)])) for _ in range(25)]
    rng.shuffle(plans)
    return plans


def run_trial(base, phase, mark_at, delay):
    proc = start_child(base, mark_at)
    try:
        wait_for(proc, "K" if phase == "write" else "E")
        if phase == "publish":
            staged = os.path.join(base, "tmp", NAME)
            deadline = time.monotonic() + 30
            while not (os.path.exists(os.path.join(staged, "metadata.arrow"))
                       or os.path.exists(os.path.join(base, NAME))):
                assert time.monotonic() < deadline, "the child never reached publish"
        time.sleep(delay)
        proc.send_signal(signal.SIGKILL)
    finally:
        proc.wait(timeout=60)
        proc.stdout.close()
    return proc.returncode


def test_sigkill_at_any_moment_leaves_nothing_or_a_complete_cache(tmp_path):
    runtime = _brivane.DatasetRuntime(2)
    finish_time = calibrate(str(tmp_path / "calibration"))
    rng = random.Random(20261211)
    outcomes = {}
    for trial, (phase, mark_at, delay) in enumerate(kill_plans(rng, finish_time)):
        base = str(tmp_path / f"t{trial}")
        code = run_trial(base, phase, mark_at, delay)
        destination = os.path.join(base, NAME)
        published = os.path.exists(destination)
        if published:
            check_complete(runtime, destination)
        key = (phase, "killed" if code == -signal.SIGKILL else "exited", "published" if published else "absent")
        outcomes[key] = outcomes.get(key, 0) + 1

        results = write(runtime, base)
        assert results == [("success", NAME, destination)], (phase, mark_at, delay, results)
        check_complete(runtime, destination)
        assert os.listdir(os.path.join(base, "tmp")) == []
    assert sum(outcomes.values()) >= 50
    print("crash-safety outcomes:", sorted(outcomes.items()))
