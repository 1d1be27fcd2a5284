"""Helpers for the write_cache tests: configurations, sources, and an
independent reader that checks every file of a written cache."""

import hashlib
import json
import os
import struct
from types import SimpleNamespace

import pyarrow as pa
import pyarrow.ipc


def make_config(algo="none", ratio=1.0, profiler=None, **overrides):
    settings = dict(
        max_shard_bytes=1 << 20,
        prefetch_size=8,
        shard_compression=SimpleNamespace(algo=algo, ratio=ratio),
        show_progress=False,
        validate_cache=False,
    )
    settings.update(overrides)
    if profiler is not None:
        settings["profiler"] = profiler
    return SimpleNamespace(**settings)


class Source:
    """A cache source over a list of items, or over a generator function."""

    def __init__(self, name, items):
        self.name = name
        self._items = items

    def __iter__(self):
        return iter(self._items() if callable(self._items) else self._items)


def samples(n, size=16, meta=None):
    return [(bytes([i % 256]) * size, dict(meta or {"i": i})) for i in range(n)]


def sha256_file(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


ARROW_KINDS = {"bool": pa.bool_(), "int": pa.int64(), "float": pa.float64(), "string": pa.utf8()}


def read_cache(path):
    """Reads a cache directory without the module, checking digests, sizes,
    the index layout and the metadata table. Returns (manifest, samples) with
    samples a list of (data bytes, metadata dict) in index order."""
    with open(os.path.join(path, "manifest.json"), "rb") as f:
        text = f.read()
    assert not text.endswith(b"\n")
    manifest = json.loads(text)
    assert list(manifest) == [
        "format_version", "source_name", "sample_count", "metadata_schema",
        "metadata_sha256", "index_sha256", "shards",
    ]
    assert manifest["format_version"] == 2
    assert sorted(os.listdir(path)) == ["index.bin", "manifest.json", "metadata.arrow", "shards"]
    assert sha256_file(os.path.join(path, "index.bin")) == manifest["index_sha256"]
    assert sha256_file(os.path.join(path, "metadata.arrow")) == manifest["metadata_sha256"]

    shards = []
    for k, shard in enumerate(manifest["shards"]):
        assert shard["name"] == f"{k:06d}.bin"
        shard_path = os.path.join(path, "shards", shard["name"])
        with open(shard_path, "rb") as f:
            content = f.read()
        assert len(content) == shard["byte_len"]
        assert hashlib.sha256(content).hexdigest() == shard["sha256"]
        shards.append(content)
    assert sorted(os.listdir(os.path.join(path, "shards"))) == [s["name"] for s in manifest["shards"]]

    with open(os.path.join(path, "index.bin"), "rb") as f:
        index = f.read()
    count = manifest["sample_count"]
    assert len(index) == 24 * count
    rows = [struct.unpack_from("<QQQ", index, 24 * i) for i in range(count)]

    ends = {}
    raw_lengths = {}
    out = []
    for shard_id, offset, length in rows:
        assert offset == ends.get(shard_id, 0), "records follow each other"
        assert not ends or shard_id >= max(ends)
        ends[shard_id] = offset + length
        record = shards[shard_id][offset:offset + length]
        (n,) = struct.unpack_from("<Q", record, 0)
        meta = json.loads(record[8:8 + n])
        payload = record[8 + n:]
        algo = manifest["shards"][shard_id]["compression"]["algo"]
        if algo == "lz4":
            (size,) = struct.unpack_from("<I", payload, 0)
            data = pa.Codec("lz4_raw").decompress(payload[4:], decompressed_size=size).to_pybytes()
            assert len(data) == size
        else:
            data = payload
        raw_lengths[shard_id] = raw_lengths.get(shard_id, 0) + len(data)
        out.append((data, meta))
    for k, shard in enumerate(manifest["shards"]):
        assert ends.get(k) == shard["byte_len"], "every shard holds records end to end"
        assert raw_lengths[k] == shard["uncompressed_byte_len"]

    with pa.OSFile(os.path.join(path, "metadata.arrow")) as f:
        table = pa.ipc.open_file(f).read_all()
    schema = manifest["metadata_schema"]
    assert table.num_rows == count
    assert table.schema.names == [field["name"] for field in schema]
    for field, arrow_field in zip(schema, table.schema):
        assert arrow_field.type == ARROW_KINDS[field["kind"]]
        assert not arrow_field.nullable
    columns = table.to_pydict()
    for i, (_, meta) in enumerate(out):
        assert list(meta) == [field["name"] for field in schema]
        for name, value in meta.items():
            assert columns[name][i] == value
    return manifest, out
