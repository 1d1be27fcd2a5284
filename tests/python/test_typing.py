"""Static typing: the package passes mypy --strict, the stubs of the native
module match it at run time, and the types catch misuse."""

import os
import re
import shutil
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

pytest.importorskip("mypy")

ROOT = Path(__file__).resolve().parents[2]

GOOD = '''
from collections.abc import Iterator

import _brivane
import brivane
from brivane.torch import CacheIterableDataset


def write(blobs: list[bytes]) -> list[str]:
    source = brivane.CacheSource("train", lambda: (brivane.CacheInput(b, {"n": len(b)}) for b in blobs))
    config = brivane.WriterConfig(shard_compression=brivane.ShardCompression("lz4"), profiler=brivane.ProfilerConfig("p.json"))
    results = brivane.check_results(brivane.write_cache([source], "out", config))
    return [r.detail for r in results if r.ok]


class Lines:
    """A source of its own shape, without CacheSource."""

    name = "lines"

    def __iter__(self) -> Iterator[tuple[bytes, dict[str, brivane.MetadataValue]]]:
        yield b"x", {"line": 1}


def write_own() -> bool:
    [result] = brivane.write_cache(Lines(), "out")
    return result.ok


def read(path: str) -> int:
    dataset = brivane.open_dataset([path], shuffle=True, seed=3)
    total = 0
    for sample in dataset:
        total += len(sample.data) + sample.cache_id + int(sample.metadata["n"])
    native: _brivane.CachedDataset = dataset.native
    for data, metadata, cache_id, sample_id in native:
        total += len(data) + sample_id
    return total


def sizes(path: str) -> int:
    dataset = CacheIterableDataset(path, transform=lambda s: len(s.data))
    first: int = next(iter(dataset))
    return first
'''

# Each line must give exactly the error code at its end.
BAD = '''
import _brivane
import brivane
brivane.WriterConfig(max_shard_bytes="big")  # arg-type
brivane.ShardCompression("zstd")  # arg-type
brivane.open_dataset("p").set_epoch_len("x")  # arg-type
text: str = next(iter(brivane.open_dataset("p"))).data  # assignment
_brivane.write_cache(_brivane.DatasetRuntime(1), [], "b", object(), False)  # arg-type
_brivane.CachedDataset(_brivane.DatasetRuntime(1), ["p"], 0, 1, 1, False)  # arg-type
'''


@pytest.fixture
def stubs(tmp_path):
    """The stubs of the source tree as plain modules, so that they take
    precedence over whatever is installed."""
    directory = tmp_path / "stubs"
    directory.mkdir()
    for name in ("_brivane", "_brivane_internal"):
        shutil.copy(ROOT / "python" / f"{name}-stubs" / "__init__.pyi", directory / f"{name}.pyi")
    return directory


def run_mypy_tool(args, stubs, cwd, request):
    cache = getattr(request.config, "cache", None)
    cache_dir = cache.mkdir("mypy") if cache is not None else cwd / ".mypy_cache"
    env = dict(os.environ, MYPYPATH=f"{stubs}{os.pathsep}{ROOT / 'python'}", MYPY_CACHE_DIR=str(cache_dir))
    return subprocess.run([sys.executable, "-m", *args], cwd=cwd, env=env, capture_output=True, text=True)


def test_package_and_usage_pass_strict_mypy_and_misuse_is_caught(tmp_path, stubs, request):
    (tmp_path / "good.py").write_text(textwrap.dedent(GOOD))
    (tmp_path / "bad.py").write_text(BAD)
    done = run_mypy_tool(["mypy", "--strict", str(ROOT / "python" / "brivane"), "good.py", "bad.py"], stubs, tmp_path, request)
    errors = re.findall(r"^(\S+?):(\d+): error: .*\[([a-z-]+)\]$", done.stdout, re.MULTILINE)
    expected = [
        ("bad.py", str(n + 1), line.rsplit("# ", 1)[1])
        for n, line in enumerate(BAD.splitlines())
        if "  # " in line
    ]
    assert sorted(errors) == sorted(expected), done.stdout + done.stderr


def test_stubs_match_the_native_module(tmp_path, stubs, request):
    done = run_mypy_tool(["mypy.stubtest", "_brivane", "_brivane_internal"], stubs, tmp_path, request)
    assert done.returncode == 0, done.stdout + done.stderr
