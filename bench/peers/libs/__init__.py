"""One module per library under test, each with the same three calls:

    write(out_dir, workload, variant)              writes the workload's samples
    read(out_dir, workload, shuffle, seed)         one epoch, one sample at a time
    read_batches(out_dir, workload, shuffle, seed) one epoch through the library's
                                                   documented batch loader, or None

A read returns a `Tally` so the harness can check that the epoch saw every
sample with its payload and metadata.
"""

import importlib
from typing import NamedTuple

MODULES = {
    "brivane": "libs.brivane_lib",
    "streaming": "libs.streaming_lib",
    "webdataset": "libs.webdataset_lib",
    "datasets": "libs.hf_datasets_lib",
    "litdata": "libs.litdata_lib",
}

# What the result table calls each (library, variant) the harness runs.
ROWS = {
    "brivane": ("brivane", "none"),
    "brivane-lz4": ("brivane", "lz4"),
    "streaming": ("streaming", "none"),
    "webdataset": ("webdataset", "none"),
    "datasets": ("datasets", "none"),
    "litdata": ("litdata", "none"),
}

# Each peer's documented batch loader, as the result notes describe it.
BATCH_LOADERS = {
    "streaming": "streaming.StreamingDataLoader(dataset, batch_size=64, num_workers=2)",
    "webdataset": "wds.WebLoader(dataset.batched(64), batch_size=None, num_workers=2)",
    "datasets": "Dataset.iter(batch_size=64) (columnar batches, in-process)",
    "litdata": "litdata.StreamingDataLoader(dataset, batch_size=64, num_workers=2)",
}

BATCH_SIZE = 64
LOADER_WORKERS = 2


class Tally(NamedTuple):
    samples: int
    payload_bytes: int
    label_sum: int


def load(library: str):
    return importlib.import_module(MODULES[library])


def batch_tally(batches) -> Tally:
    """Counts batches shaped as a dict of columns, `data` a list of bytes and
    `label` a tensor or list of ints (what default collation produces)."""
    n = nbytes = labels = 0
    for batch in batches:
        data = batch["data"]
        n += len(data)
        nbytes += sum(map(len, data))
        label = batch["label"]
        labels += int(label.sum()) if hasattr(label, "sum") else sum(label)
    return Tally(n, nbytes, labels)
