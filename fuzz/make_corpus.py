"""Writes seed corpora for the fuzz targets from caches made by the real
writer: manifest.json files, single shard records (plain and LZ4), their
embedded metadata, metadata.arrow files and exported active tables.

    .venv/bin/python fuzz/make_corpus.py [OUT_DIR]   (default build/fuzz-corpus)

Each target gets OUT_DIR/<target>/. The schema and the two cache sizes match
fuzz/fuzz_schema.h, so the seeds start out valid for the harnesses.
"""

import hashlib
import os
import shutil
import struct
import sys
import tempfile
from types import SimpleNamespace

import pyarrow as pa
import pyarrow.compute as pc
import pyarrow.ipc

import _brivane


class Source:
    def __init__(self, name, items):
        self.name = name
        self.items = items

    def __iter__(self):
        return iter(self.items)


def config(algo):
    return SimpleNamespace(
        max_shard_bytes=256,
        prefetch_size=4,
        shard_compression=SimpleNamespace(algo=algo, ratio=1.0),
        show_progress=False,
        validate_cache=False,
    )


def items(name, count):
    out = []
    for i in range(count):
        data = (f"{name}-{i}-".encode() * (i * 7 + 1))[: 40 * i + 3]
        meta = {"flag": i % 2 == 0, "i": i - 2, "name": f"{name}\u00e9{i}", "x": i * 0.25 - 0.5}
        out.append((data, meta))
    return out


def put(out, target, label, content):
    folder = os.path.join(out, target)
    os.makedirs(folder, exist_ok=True)
    digest = hashlib.sha256(content).hexdigest()[:12]
    with open(os.path.join(folder, f"{label}-{digest}"), "wb") as f:
        f.write(content)


def records(path):
    with open(os.path.join(path, "index.bin"), "rb") as f:
        index = f.read()
    for i in range(len(index) // 24):
        shard_id, offset, length = struct.unpack_from("<QQQ", index, 24 * i)
        with open(os.path.join(path, "shards", f"{shard_id:06d}.bin"), "rb") as f:
            f.seek(offset)
            yield f.read(length)


def ipc_bytes(table):
    sink = pa.BufferOutputStream()
    with pa.ipc.new_file(sink, table.schema) as writer:
        writer.write_table(table)
    return sink.getvalue().to_pybytes()


def main():
    out = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else "build/fuzz-corpus")
    shutil.rmtree(out, ignore_errors=True)
    runtime = _brivane.DatasetRuntime(2)
    with tempfile.TemporaryDirectory() as base:
        caches = []
        for name, count, algo in [("a", 5, "lz4"), ("b", 3, "none")]:
            result = _brivane.write_cache(runtime, [Source(name, items(name, count))], base, config(algo), False)
            assert result[0][0] == "success", result
            caches.append(os.path.join(base, name))

        for path in caches:
            name = os.path.basename(path)
            with open(os.path.join(path, "manifest.json"), "rb") as f:
                put(out, "manifest", name, f.read())
            with open(os.path.join(path, "metadata.arrow"), "rb") as f:
                put(out, "metadata_table", name, f.read())
            for record in records(path):
                put(out, "record", name, record)
                (n,) = struct.unpack_from("<Q", record, 0)
                put(out, "embedded_metadata", name, record[8:8 + n])

        dataset = _brivane.CachedDataset(runtime, caches, 0, 4, False, True)
        exported = dataset.metadata_ipc()
        put(out, "update_table", "export", exported)
        table = pa.ipc.open_file(pa.BufferReader(exported)).read_all()
        kept = table.filter(pc.field("flag"))
        kept = kept.set_column(kept.schema.get_field_index("weight"), "weight",
                               pc.multiply(kept["weight"], 3.5))
        put(out, "update_table", "filtered", ipc_bytes(kept))
        put(out, "update_table", "reordered", ipc_bytes(table.take([7, 0, 3])))
        # Narrower integer type for an id column.
        narrow = table.set_column(0, "cache_id", table["cache_id"].cast(pa.int32()))
        put(out, "update_table", "narrow", ipc_bytes(narrow))
    for target in sorted(os.listdir(out)):
        print(f"{target}: {len(os.listdir(os.path.join(out, target)))} seeds")


if __name__ == "__main__":
    main()
