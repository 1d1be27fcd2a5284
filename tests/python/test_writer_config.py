"""How write_cache reads and checks its writer_config object."""

import fractions
import json
import math
import pathlib
from types import SimpleNamespace

import numpy as np
import pytest

import _brivane
from writer_support import Source, make_config, read_cache, samples


@pytest.fixture(scope="module")
def runtime():
    return _brivane.DatasetRuntime(2)


def write(runtime, tmp_path, config, sources=()):
    return _brivane.write_cache(runtime, list(sources), str(tmp_path), config, False)


@pytest.mark.parametrize(
    "overrides, message",
    [
        (dict(max_shard_bytes=0), "max_shard_bytes must be greater than zero"),
        (dict(prefetch_size=0), "prefetch_size must be greater than zero"),
        (dict(max_shard_bytes=0, prefetch_size=0), "max_shard_bytes must be greater than zero"),
        (dict(algo="LZ4"), "unsupported shard compression algorithm 'LZ4'"),
        (dict(algo="zstd"), "unsupported shard compression algorithm 'zstd'"),
        (dict(algo="none", ratio=2.0), "shard_compression.ratio must be 1.0 when algo is 'none'"),
        (dict(algo="none", ratio=0.0), "shard_compression.ratio must be positive and finite"),
        (dict(algo="none", ratio=math.nan), "shard_compression.ratio must be positive and finite"),
        (dict(algo="lz4", ratio=-1.0), "shard_compression.ratio must be positive and finite"),
        (dict(algo="lz4", ratio=math.inf), "shard_compression.ratio must be positive and finite"),
        # Sizes are checked before the compression settings are even read.
        (dict(max_shard_bytes=0, algo="bogus"), "max_shard_bytes must be greater than zero"),
    ],
)
def test_invalid_values_are_value_errors(runtime, tmp_path, overrides, message):
    with pytest.raises(ValueError) as info:
        write(runtime, tmp_path, make_config(**overrides))
    assert info.value.args == (message,)
    assert list(tmp_path.iterdir()) == []


@pytest.mark.parametrize(
    "overrides, prefix",
    [
        (dict(max_shard_bytes=-1), "Python error: OverflowError: "),
        (dict(max_shard_bytes=2**64), "Python error: OverflowError: "),
        (dict(prefetch_size=2.0), "Python error: TypeError: "),
        (dict(show_progress=1), "Python error: TypeError: 'int' object is not an instance of 'bool'"),
        (dict(validate_cache=None), "Python error: TypeError: 'None' is not an instance of 'bool'"),
        (dict(algo=b"lz4"), "Python error: TypeError: 'bytes' object is not an instance of 'str'"),
        (dict(ratio="1.0"), "Python error: TypeError: "),
    ],
)
def test_wrongly_typed_values_are_python_errors(runtime, tmp_path, overrides, prefix):
    with pytest.raises(RuntimeError) as info:
        write(runtime, tmp_path, make_config(**overrides))
    assert len(info.value.args) == 1
    assert info.value.args[0].startswith(prefix), info.value.args[0]


def test_every_plain_attribute_is_read_before_any_check(runtime, tmp_path):
    config = make_config(max_shard_bytes=0)
    del config.validate_cache
    with pytest.raises(RuntimeError, match=r"^Python error: AttributeError: .*validate_cache"):
        write(runtime, tmp_path, config)


def test_attributes_are_read_in_order(runtime, tmp_path):
    config = make_config()
    del config.shard_compression, config.show_progress
    with pytest.raises(RuntimeError, match="shard_compression"):
        write(runtime, tmp_path, config)


def test_interrupt_from_a_getter_is_raised_as_such(runtime, tmp_path):
    class Config:
        @property
        def max_shard_bytes(self):
            raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt) as info:
        write(runtime, tmp_path, Config())
    assert info.value.args == ("KeyboardInterrupt: ",)


@pytest.mark.parametrize(
    "overrides",
    [
        dict(show_progress=np.True_, validate_cache=np.False_),
        dict(max_shard_bytes=True, prefetch_size=np.uint8(3)),
        dict(algo="none", ratio=1),
        dict(algo="lz4", ratio=fractions.Fraction(1, 4)),
    ],
)
def test_accepted_values(runtime, tmp_path, overrides):
    assert write(runtime, tmp_path, make_config(**overrides)) == []


def test_lz4_ratio_is_recorded_and_changes_no_bytes(runtime, tmp_path):
    digests = set()
    for i, ratio in enumerate([0.25, 1.0, 7.5]):
        config = make_config(algo="lz4", ratio=ratio)
        [result] = write(runtime, tmp_path, config, [Source(f"c{i}", samples(20, size=300))])
        assert result[0] == "success", result
        manifest, _ = read_cache(result[2])
        assert {s["compression"]["ratio"] for s in manifest["shards"]} == {ratio}
        assert {s["compression"]["algo"] for s in manifest["shards"]} == {"lz4"}
        digests.add(tuple(s["sha256"] for s in manifest["shards"]))
    assert len(digests) == 1


class TestProfilerSetting:
    def test_absent_or_unreadable_profiler_turns_profiling_off(self, runtime, tmp_path):
        class Config:
            def __init__(self):
                self.__dict__.update(vars(make_config()))

            @property
            def profiler(self):
                raise KeyboardInterrupt  # discarded like any other failure

        assert write(runtime, tmp_path / "out", Config(), [Source("a", samples(2))])[0][0] == "success"
        assert write(runtime, tmp_path / "out", make_config(), [Source("b", samples(2))])[0][0] == "success"
        assert sorted(p.name for p in (tmp_path / "out").iterdir()) == ["a", "b", "tmp"]
        assert sorted(p.name for p in tmp_path.iterdir()) == ["out"]

    @pytest.mark.parametrize(
        "profiler, pattern",
        [
            (SimpleNamespace(enabled=False), r"^Python error: AttributeError: .*path"),
            (SimpleNamespace(path="r.json"), r"^Python error: AttributeError: .*enabled"),
            (SimpleNamespace(enabled=1, path="r.json"), r"^Python error: TypeError: 'int' object is not an instance of 'bool'"),
            (None, r"^Python error: AttributeError: "),
        ],
    )
    def test_readable_profiler_needs_both_attributes(self, runtime, tmp_path, profiler, pattern):
        config = make_config()
        config.profiler = profiler
        with pytest.raises(RuntimeError, match=pattern):
            write(runtime, tmp_path, config)
        assert list(tmp_path.iterdir()) == []

    def test_path_goes_through_str(self, runtime, tmp_path):
        class BadPath:
            def __str__(self):
                raise ValueError("no text")

        config = make_config(profiler=SimpleNamespace(enabled=True, path=BadPath()))
        with pytest.raises(RuntimeError, match=r"^Python error: ValueError: no text$"):
            write(runtime, tmp_path, config)

        report = tmp_path / "deep" / "er" / "report.json"
        config = make_config(profiler=SimpleNamespace(enabled=True, path=pathlib.Path(report)))
        assert write(runtime, tmp_path, config) == []
        assert json.loads(report.read_text())["sources"] == []

    def test_disabled_profiler_writes_nothing(self, runtime, tmp_path):
        report = tmp_path / "report.json"
        config = make_config(profiler=SimpleNamespace(enabled=False, path=str(report)))
        assert write(runtime, tmp_path / "out", config, [Source("a", samples(3))])[0][0] == "success"
        assert not report.exists()
