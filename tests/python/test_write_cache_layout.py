"""What write_cache puts on disk: order, shards and payload encodings, for
different worker counts and in-flight limits."""

import os

import pytest

import _brivane
from writer_support import Source, make_config, read_cache


def distinct(n, size=24):
    return [(i.to_bytes(4, "little") * (size // 4), {"i": i}) for i in range(n)]


@pytest.mark.parametrize("workers, prefetch", [(8, 8), (4, 1), (1, 64), (2, 3)])
@pytest.mark.parametrize("single", [False, True])
def test_samples_are_stored_in_pull_order(tmp_path, workers, prefetch, single):
    runtime = _brivane.DatasetRuntime(workers)
    items = distinct(3000)
    source = Source("s", items)
    config = make_config(prefetch_size=prefetch, max_shard_bytes=4096)
    [result] = _brivane.write_cache(runtime, source if single else [source], str(tmp_path), config, False)
    assert result[0] == "success"
    manifest, stored = read_cache(tmp_path / "s")
    assert stored == items
    assert len(manifest["shards"]) > 10


@pytest.mark.parametrize(
    "payload, limit, per_shard",
    [
        (40, 100, 2),   # records of 50 bytes: 50 + 50 is not over the limit
        (50, 100, 1),   # records of 60 bytes: 60 + 60 is
        (40, 50, 1),    # a record exactly filling a shard
        (40, 10, 1),    # records larger than the limit get shards of their own
    ],
)
def test_shard_rollover(tmp_path, payload, limit, per_shard):
    runtime = _brivane.DatasetRuntime(2)
    items = [(bytes([i]) * payload, {}) for i in range(6)]
    config = make_config(max_shard_bytes=limit)
    assert _brivane.write_cache(runtime, [Source("s", items)], str(tmp_path), config, False)[0][0] == "success"
    manifest, stored = read_cache(tmp_path / "s")
    assert stored == items
    assert [s["byte_len"] for s in manifest["shards"]] == [(10 + payload) * per_shard] * (6 // per_shard)


def test_lz4_payloads_round_trip(tmp_path):
    runtime = _brivane.DatasetRuntime(2)
    items = [(b"", {}), (b"a" * 10000, {}), (os.urandom(3000), {}), (b"xyz" * 7, {})]
    config = make_config(algo="lz4", ratio=2.0)
    assert _brivane.write_cache(runtime, Source("s", items), str(tmp_path), config, False)[0][0] == "success"
    manifest, stored = read_cache(tmp_path / "s")
    assert stored == items
    [shard] = manifest["shards"]
    assert shard["uncompressed_byte_len"] == sum(len(d) for d, _ in items)
    assert shard["byte_len"] < shard["uncompressed_byte_len"]


def test_large_samples(tmp_path):
    runtime = _brivane.DatasetRuntime(2)
    items = [(os.urandom(1 << 20), {"n": i}) for i in range(6)]
    config = make_config(max_shard_bytes=3 << 20)
    assert _brivane.write_cache(runtime, [Source("s", items)], str(tmp_path), config, False)[0][0] == "success"
    manifest, stored = read_cache(tmp_path / "s")
    assert stored == items
    assert len(manifest["shards"]) == 3


def test_many_sources_share_one_pipeline(tmp_path):
    runtime = _brivane.DatasetRuntime(3)
    sources = [Source(f"s{i:02d}", distinct(i % 4 + 1)) for i in range(40)]
    results = _brivane.write_cache(runtime, sources, str(tmp_path), make_config(prefetch_size=3), False)
    assert [r[:2] for r in results] == [("success", f"s{i:02d}") for i in range(40)]
    for i, source in enumerate(sources):
        assert read_cache(tmp_path / f"s{i:02d}")[1] == distinct(i % 4 + 1)


def test_written_caches_read_back_through_the_dataset(tmp_path):
    runtime = _brivane.DatasetRuntime(2)
    a = distinct(50)
    b = [(bytes(range(i)), {"i": i}) for i in range(20)]
    config = make_config(algo="lz4", max_shard_bytes=256)
    results = _brivane.write_cache(runtime, [Source("a", a), Source("b", b)], str(tmp_path), config, False)
    assert [r[0] for r in results] == ["success", "success"]
    dataset = _brivane.CachedDataset(runtime, [r[2] for r in results], 0, 4, False, True)
    got = [(data, meta, cache_id, sample_id) for data, meta, cache_id, sample_id in dataset]
    expected = [(d, m, 0, i) for i, (d, m) in enumerate(a)] + [(d, m, 1, i) for i, (d, m) in enumerate(b)]
    assert got == expected
