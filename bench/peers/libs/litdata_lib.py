"""LitData: optimize() with two worker processes (one per core), read with
StreamingDataset over the local output directory."""

import functools

import litdata as ld

WRITE_WORKERS = 2


@functools.lru_cache(maxsize=1)
def _workload(count, size):
    from workloads import Workload

    return Workload("gen", count, size)


def _sample(count, size, i):
    w = _workload(count, size)
    metadata = w.metadata(i)
    metadata["data"] = w.data(i)
    return metadata


def write(out_dir, workload, variant):
    # optimize offers zstd only: written uncompressed. 64MB chunks are the
    # documented default.
    ld.optimize(
        fn=functools.partial(_sample, workload.count, workload.size),
        inputs=list(range(workload.count)),
        output_dir=str(out_dir / "litdata"),
        chunk_bytes="64MB",
        num_workers=WRITE_WORKERS,
        verbose=False,
    )


def _dataset(out_dir, shuffle, seed):
    return ld.StreamingDataset(str(out_dir / "litdata"), shuffle=shuffle, seed=seed)


def read(out_dir, workload, shuffle, seed):
    from . import Tally

    n = nbytes = labels = 0
    for sample in _dataset(out_dir, shuffle, seed):
        n += 1
        nbytes += len(sample["data"])
        labels += sample["label"]
    return Tally(n, nbytes, labels)


def read_batches(out_dir, workload, shuffle, seed):
    from . import BATCH_SIZE, LOADER_WORKERS, batch_tally

    loader = ld.StreamingDataLoader(_dataset(out_dir, shuffle, seed), batch_size=BATCH_SIZE, num_workers=LOADER_WORKERS)
    return batch_tally(loader)
