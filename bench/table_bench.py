"""Export and replacement of the active sample table for one cache of
10,000,000 samples with three metadata columns (int, str, float).

The cache is written with one sample by write_cache and then widened: its
index repeats that sample's row, metadata.arrow is rewritten with pyarrow and
the manifest's count and digests follow. Usage: python bench/table_bench.py [rows]
"""

import hashlib
import json
import os
import sys
import tempfile
import time
from types import SimpleNamespace

import numpy as np
import pyarrow as pa
import pyarrow.ipc

import _brivane


def config():
    return SimpleNamespace(max_shard_bytes=1 << 20, prefetch_size=4,
                           shard_compression=SimpleNamespace(algo="none", ratio=1.0),
                           show_progress=False, validate_cache=False)


class Source:
    name = "bench"

    def __iter__(self):
        return iter([(b"x", {"i": 0, "name": "s0000000", "score": 0.0})])


def sha256(path):
    digest = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            digest.update(block)
    return digest.hexdigest()


def widen(path, rows):
    with open(os.path.join(path, "index.bin"), "rb") as f:
        row = f.read(24)
    with open(os.path.join(path, "index.bin"), "wb") as f:
        f.write(row * rows)
    ids = np.arange(rows, dtype=np.int64)
    table = pa.table({
        "i": ids,
        "name": pa.array(np.char.add("s", np.char.zfill(ids.astype(str), 7)).astype(object), pa.utf8()),
        "score": ids * 0.5,
    })
    schema = pa.schema([pa.field(f.name, f.type, nullable=False) for f in table.schema])
    with pa.ipc.new_file(os.path.join(path, "metadata.arrow"), schema) as writer:
        writer.write_table(table.cast(schema))
    manifest_path = os.path.join(path, "manifest.json")
    with open(manifest_path) as f:
        manifest = json.load(f)
    manifest.update(sample_count=rows, metadata_sha256=sha256(os.path.join(path, "metadata.arrow")),
                    index_sha256=sha256(os.path.join(path, "index.bin")))
    with open(manifest_path, "w") as f:
        json.dump(manifest, f, indent=2)


def timed(label, rows, call):
    """Wall time and rows/s, and the processor time, which is what to compare
    on a busy machine."""
    start, cpu = time.perf_counter(), time.process_time()
    result = call()
    seconds, cpu = time.perf_counter() - start, time.process_time() - cpu
    print(f"{label:<36} {seconds:7.3f} s {rows / seconds:14,.0f} rows/s   (processor {cpu:.3f} s)")
    return result


def main():
    rows = int(sys.argv[1]) if len(sys.argv) > 1 else 10_000_000
    runtime = _brivane.DatasetRuntime(2)
    with tempfile.TemporaryDirectory() as base:
        [(status, _, path)] = _brivane.write_cache(runtime, [Source()], base, config(), False)
        assert status == "success", path
        widen(path, rows)
        dataset = _brivane.CachedDataset(runtime, [path], 0, 4, False, False)

        ipc = timed("metadata_ipc (first call)", rows, dataset.metadata_ipc)
        timed("metadata_ipc", rows, dataset.metadata_ipc)
        print(f"{'export size':<36} {len(ipc) / 2**20:7.1f} MiB")
        for _ in range(2):
            timed("update_metadata_ipc (export as is)", rows, lambda: dataset.update_metadata_ipc(ipc))
        timed("metadata_ipc (stored replacement)", rows, dataset.metadata_ipc)


if __name__ == "__main__":
    main()
