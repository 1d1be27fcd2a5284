"""MosaicML Streaming: MDSWriter, and StreamingDataset over a local directory
(local= only, no remote), as its documentation shows."""

from streaming import MDSWriter, StreamingDataset
from streaming.base.util import clean_stale_shared_memory

COLUMNS = {"data": "bytes", "label": "int64", "score": "float64", "split": "str"}


def write(out_dir, workload, variant):
    # MDS offers zstd, gz, bz2, snappy and brotli, no LZ4: shards stay uncompressed.
    with MDSWriter(out=str(out_dir / "mds"), columns=COLUMNS, compression=None) as writer:
        for data, metadata in workload.samples():
            metadata["data"] = data
            writer.write(metadata)


def _dataset(out_dir, shuffle, seed):
    from . import BATCH_SIZE

    clean_stale_shared_memory()
    return StreamingDataset(local=str(out_dir / "mds"), shuffle=shuffle, shuffle_seed=seed, batch_size=BATCH_SIZE)


def read(out_dir, workload, shuffle, seed):
    from . import Tally

    n = nbytes = labels = 0
    for sample in _dataset(out_dir, shuffle, seed):
        n += 1
        nbytes += len(sample["data"])
        labels += sample["label"]
    return Tally(n, nbytes, labels)


def read_batches(out_dir, workload, shuffle, seed):
    from streaming import StreamingDataLoader

    from . import BATCH_SIZE, LOADER_WORKERS, batch_tally

    loader = StreamingDataLoader(_dataset(out_dir, shuffle, seed), batch_size=BATCH_SIZE, num_workers=LOADER_WORKERS)
    return batch_tally(loader)
