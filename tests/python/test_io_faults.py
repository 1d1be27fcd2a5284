"""Writes that the file system refuses: the source fails with an I/O error,
nothing is published, the staging directory is gone, and the same call
succeeds once there is room.

Both faults are set up in a child process: a lowered file-size limit
(RLIMIT_FSIZE with SIGXFSZ ignored, so an oversized write fails with EFBIG
instead of killing the process), and a read-only staging parent. A read-only
directory does not stop root, so when the tests run as root the child drops
to the unprivileged uid 65534 once the module is imported and the runtime
started (the interpreter itself may live where that uid cannot read). That
behaves the same on every file system, unlike chattr +i, which needs support
from the file system and a capability."""

import json
import os
import resource
import signal
import subprocess
import sys
import tempfile

import pytest

import _brivane

from writer_support import Source, make_config, read_cache

HERE = os.path.dirname(os.path.abspath(__file__))
NOBODY = 65534
NAME = "faulty"


def source(count, size, note):
    return Source(NAME, [(bytes([i % 256]) * size, {"i": i, "note": "x" * note}) for i in range(count)])


def child_write(base, count, size, note, max_shard_bytes, uid):
    """Runs in the child: one write_cache call, results printed as JSON."""
    runtime = _brivane.DatasetRuntime(2)
    if uid is not None:
        os.setgid(uid)
        os.setuid(uid)
    config = make_config(algo="none", max_shard_bytes=max_shard_bytes)
    results = _brivane.write_cache(runtime, [source(count, size, note)], base, config, False)
    print(json.dumps(results))


def run_child(base, count, size, note, max_shard_bytes, fsize=None, uid=None):
    def prepare():
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        if fsize is not None:
            resource.setrlimit(resource.RLIMIT_FSIZE, (fsize, resource.RLIM_INFINITY))

    code = (f"import sys; sys.path.insert(0, {HERE!r}); import test_io_faults as t; "
            f"t.child_write({base!r}, {count}, {size}, {note}, {max_shard_bytes}, {uid!r})")
    env = dict(os.environ, PYTHONDONTWRITEBYTECODE="1")
    done = subprocess.run([sys.executable, "-c", code], preexec_fn=prepare, cwd="/", env=env,
                          capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    return [tuple(result) for result in json.loads(done.stdout)]


def assert_failed_cleanly(base, results, prefix="I/O error: "):
    assert len(results) == 1
    status, name, detail = results[0]
    assert (status, name) == ("error", NAME), results
    assert detail.startswith(prefix), detail
    assert not os.path.exists(os.path.join(base, NAME))
    assert not os.path.exists(os.path.join(base, "tmp", NAME))


def assert_rerun_succeeds(base, count, size, note, max_shard_bytes):
    """Returns the size of every file of the published cache by role."""
    runtime = _brivane.DatasetRuntime(2)
    config = make_config(algo="none", max_shard_bytes=max_shard_bytes)
    destination = os.path.join(base, NAME)
    results = _brivane.write_cache(runtime, [source(count, size, note)], base, config, False)
    assert results == [("success", NAME, destination)]
    _, got = read_cache(destination)
    assert got == source(count, size, note)._items
    assert os.listdir(os.path.join(base, "tmp")) == []
    shards = os.path.join(destination, "shards")
    return {
        "shard": max(os.path.getsize(os.path.join(shards, f)) for f in os.listdir(shards)),
        "metadata.arrow": os.path.getsize(os.path.join(destination, "metadata.arrow")),
        "index.bin": os.path.getsize(os.path.join(destination, "index.bin")),
    }


# (the file that outgrows the limit, samples, payload bytes, metadata text
# length, max_shard_bytes, file-size limit, failure prefix); files are
# written in this order. metadata.arrow goes through the Arrow IPC writer,
# whose write failures are Arrow errors that carry the OS error.
FSIZE_CASES = [
    ("shard", 40, 1000, 0, 1 << 20, 20000, "I/O error: "),
    ("metadata.arrow", 3000, 1, 64, 4096, 100000, "Arrow error: "),
    ("index.bin", 2000, 1, 0, 4096, 30000, "I/O error: "),
]
WRITE_ORDER = ["shard", "metadata.arrow", "index.bin"]


@pytest.mark.parametrize("overflowing,count,size,note,max_shard_bytes,limit,prefix", FSIZE_CASES,
                         ids=[case[0] for case in FSIZE_CASES])
def test_file_size_limit_fails_the_source_with_an_io_error(tmp_path, overflowing, count, size, note,
                                                          max_shard_bytes, limit, prefix):
    base = str(tmp_path / "base")
    results = run_child(base, count, size, note, max_shard_bytes, fsize=limit)
    assert_failed_cleanly(base, results, prefix)
    assert "File too large" in results[0][2]
    sizes = assert_rerun_succeeds(base, count, size, note, max_shard_bytes)
    # The case hits the file it names: every file written before it fits.
    position = WRITE_ORDER.index(overflowing)
    assert sizes[overflowing] > limit
    assert all(sizes[earlier] <= limit for earlier in WRITE_ORDER[:position]), sizes


@pytest.fixture
def shared_base():
    """A base directory an unprivileged child can reach (pytest's tmp_path
    sits below a root-only directory)."""
    top = tempfile.mkdtemp(prefix="brivane-io-")
    os.chmod(top, 0o755)
    try:
        yield os.path.join(top, "base")
    finally:
        for root, dirs, _ in os.walk(top):
            for d in dirs:
                os.chmod(os.path.join(root, d), 0o755)
        subprocess.run(["rm", "-rf", top], check=True)


def test_read_only_staging_parent_fails_the_source_with_an_io_error(shared_base):
    base = shared_base
    staging_parent = os.path.join(base, "tmp")
    os.makedirs(staging_parent)
    os.chmod(base, 0o755)
    os.chmod(staging_parent, 0o555)
    uid = NOBODY if os.geteuid() == 0 else None
    results = run_child(base, 10, 100, 8, 1 << 20, uid=uid)
    assert_failed_cleanly(base, results)
    assert "Permission denied" in results[0][2]
    assert os.listdir(staging_parent) == []

    os.chmod(staging_parent, 0o755)
    assert_rerun_succeeds(base, 10, 100, 8, 1 << 20)
