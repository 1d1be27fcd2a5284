"""Caches for the dataset tests, written by write_cache, and small edits of
written caches that the writer itself would never produce."""

import json
import os
import struct

import _brivane

from writer_support import Source, make_config


def sample_data(name, i):
    return f"{name}/{i}".encode()


def write_caches(runtime, base, sizes, meta=None, **config):
    """Writes one cache per entry of `sizes` ({name: count}) under `base`,
    sample i of cache `name` holding sample_data(name, i) and meta(name, i)
    (default {"i": i, "name": name}). Returns the cache paths in order."""
    meta = meta or (lambda name, i: {"i": i, "name": name})
    sources = [
        Source(name, [(sample_data(name, i), meta(name, i)) for i in range(count)])
        for name, count in sizes.items()
    ]
    results = _brivane.write_cache(runtime, sources, str(base), make_config(**config), False)
    assert [status for status, _, _ in results] == ["success"] * len(sizes), results
    return [os.path.join(str(base), name) for name in sizes]


def edit_manifest(path, edit):
    manifest_path = os.path.join(path, "manifest.json")
    with open(manifest_path) as f:
        manifest = json.load(f)
    edit(manifest)
    with open(manifest_path, "w") as f:
        json.dump(manifest, f, indent=2)


def empty_out(path):
    """Turns a written cache into one holding no samples (usable without
    validation): an empty index and a sample count of 0."""
    with open(os.path.join(path, "index.bin"), "wb"):
        pass
    edit_manifest(path, lambda m: m.update(sample_count=0))


def index_row(path, i):
    """(shard_id, offset, length) of sample i."""
    with open(os.path.join(path, "index.bin"), "rb") as f:
        f.seek(24 * i)
        return struct.unpack("<QQQ", f.read(24))


def corrupt_record(path, i):
    """Makes sample i unreadable: its metadata length field claims more bytes
    than the record holds."""
    shard_id, offset, _ = index_row(path, i)
    with open(os.path.join(path, "shards", f"{shard_id:06d}.bin"), "r+b") as f:
        f.seek(offset)
        f.write(b"\xff" * 8)


def identities(iterable):
    return [(cache_id, sample_id) for _, _, cache_id, sample_id in iterable]
