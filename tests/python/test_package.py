"""The brivane package: typed writer settings, sources, and the wrappers over
the native writer and reader."""

import math
import pathlib
import re
import subprocess
import sys
from fractions import Fraction

import numpy as np
import pyarrow as pa
import pyarrow.compute as pc
import pytest

import _brivane
import brivane


@pytest.fixture(scope="module")
def runtime():
    return brivane.DatasetRuntime(2)


def numbered(n):
    return [brivane.CacheInput(f"sample {i}".encode(), {"i": i, "even": i % 2 == 0}) for i in range(n)]


# -- settings -----------------------------------------------------------------


@pytest.mark.parametrize(
    "make, error, message",
    [
        (lambda: brivane.ShardCompression("LZ4"), ValueError, "unsupported shard compression algorithm 'LZ4'"),
        (lambda: brivane.ShardCompression(b"lz4"), TypeError, "algorithm must be a str, got bytes"),
        (lambda: brivane.ShardCompression("none", 2.0), ValueError, "must be 1.0 when algo is 'none', got 2.0"),
        (lambda: brivane.ShardCompression("lz4", 0.0), ValueError, "must be positive and finite, got 0.0"),
        (lambda: brivane.ShardCompression("lz4", math.nan), ValueError, "must be positive and finite, got nan"),
        (lambda: brivane.ShardCompression("lz4", "2"), TypeError, "ratio must be a number, got str"),
        (lambda: brivane.WriterConfig(max_shard_bytes=0), ValueError, "max_shard_bytes must be greater than zero, got 0"),
        (lambda: brivane.WriterConfig(max_shard_bytes=2**64), ValueError, "max_shard_bytes must be below 2**64"),
        (lambda: brivane.WriterConfig(max_shard_bytes=1.5), TypeError, "max_shard_bytes must be an int, got float"),
        (lambda: brivane.WriterConfig(prefetch_size=-3), ValueError, "prefetch_size must be greater than zero, got -3"),
        (lambda: brivane.WriterConfig(prefetch_size=True), TypeError, "prefetch_size must be an int, got bool"),
        (lambda: brivane.WriterConfig(show_progress=1), TypeError, "show_progress must be a bool, got int"),
        (lambda: brivane.WriterConfig(validate_cache="yes"), TypeError, "validate_cache must be a bool, got str"),
        (lambda: brivane.WriterConfig(shard_compression="lz4"), TypeError, "must be a ShardCompression, got str"),
        (lambda: brivane.WriterConfig(profiler="p.json"), TypeError, "profiler must be a ProfilerConfig, got str"),
        (lambda: brivane.ProfilerConfig(""), ValueError, "profiler path must not be empty"),
        (lambda: brivane.CacheSource("", []), ValueError, "cache source name must not be empty"),
        (lambda: brivane.CacheSource("a/b", []), ValueError, "must be a plain path segment, got 'a/b'"),
        (lambda: brivane.CacheSource("..", []), ValueError, "must be a plain path segment"),
        (lambda: brivane.CacheSource(7, []), TypeError, "cache source name must be a str, got int"),
        (lambda: brivane.CacheSource("a", 5), TypeError, "samples must be an iterable or a function returning one"),
    ],
)
def test_bad_settings_fail_at_construction(make, error, message):
    with pytest.raises(error, match=re.escape(message)):
        make()


def test_settings_normalise_what_they_accept(tmp_path):
    config = brivane.WriterConfig(
        max_shard_bytes=np.int64(4096),
        shard_compression=brivane.ShardCompression("lz4", Fraction(3, 2)),
        show_progress=np.bool_(True),
        profiler=brivane.ProfilerConfig(tmp_path / "report.json"),
    )
    assert type(config.max_shard_bytes) is int and config.max_shard_bytes == 4096
    assert config.shard_compression.ratio == 1.5 and type(config.shard_compression.ratio) is float
    assert config.show_progress is True
    assert config.profiler.path == str(tmp_path / "report.json") and config.profiler.enabled
    defaults = brivane.WriterConfig()
    assert defaults.max_shard_bytes == 256 * brivane.MiB
    assert defaults.shard_compression == brivane.ShardCompression("none", 1.0)
    assert not defaults.profiler.enabled and not defaults.validate_cache
    for name in ("a", "a/", "a//", "a/."):
        assert brivane.CacheSource(name, []).name == name


def test_show_progress_defaults_to_whether_stderr_is_a_terminal(monkeypatch):
    class Stream:
        def __init__(self, tty):
            self.tty = tty

        def isatty(self):
            return self.tty

    for tty in (True, False):
        monkeypatch.setattr(sys, "stderr", Stream(tty))
        assert brivane.WriterConfig().show_progress is tty


def test_native_writer_reads_the_typed_settings(runtime, tmp_path):
    # The classes are exactly what the native writer reads, profiler included.
    report = tmp_path / "report.json"
    config = brivane.WriterConfig(
        shard_compression=brivane.ShardCompression("lz4", 2.5),
        show_progress=False,
        profiler=brivane.ProfilerConfig(report),
    )
    sources = [brivane.CacheSource("a", numbered(3))]
    [(status, name, detail)] = _brivane.write_cache(runtime, sources, str(tmp_path / "out"), config, False)
    assert (status, name) == ("success", "a"), detail
    assert report.is_file()
    info = brivane.read_cache_info(detail)
    assert [(s.algo, s.ratio) for s in info.shards] == [("lz4", 2.5)]
    # A disabled profiler is read as off, not as a missing setting.
    off = brivane.WriterConfig(show_progress=False)
    assert _brivane.write_cache(runtime, [brivane.CacheSource("b", numbered(1))], str(tmp_path / "out"), off, False)[0][0] == "success"


# -- sources and writing ------------------------------------------------------


def test_cache_source_calls_a_function_afresh_on_every_iteration():
    calls = []

    def samples():
        calls.append(1)
        yield from numbered(2)

    source = brivane.CacheSource("s", samples)
    assert list(source) == list(source) == numbered(2)
    assert len(calls) == 2
    assert isinstance(numbered(1)[0], tuple)


def test_write_cache_takes_one_source_or_any_collection_and_path_objects(runtime, tmp_path):
    config = brivane.WriterConfig(show_progress=False)
    [single] = brivane.write_cache(brivane.CacheSource("one", numbered(2)), tmp_path, config, runtime=runtime)
    assert single == ("success", "one", str(tmp_path / "one")) and single.ok and single.path == str(tmp_path / "one")

    sources = (brivane.CacheSource(n, numbered(2)) for n in ("two", "three"))
    results = brivane.write_cache(sources, tmp_path, config, runtime=runtime)
    assert [(r.status, r.name) for r in results] == [("success", "two"), ("success", "three")]

    again = brivane.write_cache([brivane.CacheSource("two", numbered(5))], tmp_path, config, runtime=runtime)
    assert not again[0].ok and again[0].path is None
    assert again[0].detail == f"cache path already exists: {tmp_path / 'two'}"
    with pytest.raises(brivane.WriteError, match="two: cache path already exists"):
        brivane.check_results(again)
    reused = brivane.write_cache(
        [brivane.CacheSource("two", numbered(5))], tmp_path, config, runtime=runtime, reuse_existing=True
    )
    assert brivane.check_results(reused)[0].ok
    assert brivane.read_cache_info(tmp_path / "two").sample_count == 2  # kept, not rewritten


def test_write_cache_reports_a_failing_source_and_goes_on(tmp_path):
    def broken():
        yield from numbered(2)
        raise OSError("disk on fire")

    sources = [brivane.CacheSource("bad", broken), brivane.CacheSource("good", numbered(1))]
    results = brivane.write_cache(sources, tmp_path, brivane.WriterConfig(show_progress=False))
    assert results[0] == ("error", "bad", "Python error: OSError: disk on fire")
    assert results[1].ok
    with pytest.raises(ValueError, match="duplicate generated cache path"):
        brivane.validate_source_paths([brivane.CacheSource("x", []), brivane.CacheSource("x/", [])], tmp_path)
    with pytest.raises(TypeError, match="sources must be a cache source or an iterable"):
        brivane.write_cache(42, tmp_path)


# -- reading ------------------------------------------------------------------


@pytest.fixture(scope="module")
def caches(runtime, tmp_path_factory):
    base = tmp_path_factory.mktemp("caches")
    sources = [brivane.CacheSource("a", numbered(4)), brivane.CacheSource("b", numbered(3))]
    results = brivane.write_cache(sources, base, brivane.WriterConfig(show_progress=False), runtime=runtime)
    return [pathlib.Path(r.path) for r in brivane.check_results(results)]


def test_open_dataset_yields_named_samples_from_path_objects(caches):
    dataset = brivane.open_dataset(caches, num_workers=2)
    samples = list(dataset)
    assert len(dataset) == len(samples) == 7
    first = samples[0]
    assert isinstance(first, brivane.Sample)
    assert first == (b"sample 0", {"even": True, "i": 0}, 0, 0)
    assert [(s.cache_id, s.sample_id) for s in samples[3:5]] == [(0, 3), (1, 0)]
    assert brivane.open_dataset(caches[1]).paths == (str(caches[1]),)
    with pytest.raises(ValueError, match="either runtime or num_workers"):
        brivane.open_dataset(caches, num_workers=1, runtime=brivane.DatasetRuntime(1))


def test_active_table_round_trip_through_pyarrow(caches):
    dataset = brivane.open_dataset(caches, shuffle=True, seed=5)
    table = dataset.metadata_table()
    assert table.column_names == ["cache_id", "sample_id", "even", "i", "weight"]
    odd = table.filter(pc.invert(table["even"]))
    odd = odd.set_column(odd.schema.get_field_index("weight"), "weight", pa.array([1.0, 1e-9, 1e-9], pa.float64()))
    dataset.update_metadata_table(odd)
    dataset.set_epoch_len(50)
    drawn = [s.metadata["i"] for s in dataset]
    assert set(drawn) <= {1, 3} and drawn.count(1) > 40
    assert brivane.ipc_to_table(dataset.metadata_ipc()).equals(odd)
    with pytest.raises(ValueError, match="unknown samples metadata row identity"):
        bogus = table.set_column(0, "cache_id", pa.array([9] * table.num_rows, pa.uint64()))
        dataset.update_metadata_table(bogus)


def test_importing_brivane_does_not_import_torch():
    code = "import sys, brivane; print('torch' in sys.modules)"
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout.strip() == "False"
