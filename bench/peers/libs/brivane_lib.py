"""brivane: one cache written from one source, read on a 2-worker runtime."""

import brivane

WORKERS = 2


def _cache(out_dir):
    return out_dir / "cache"


def write(out_dir, workload, variant):
    compression = brivane.ShardCompression("lz4", 1.0) if variant == "lz4" else brivane.ShardCompression()
    config = brivane.WriterConfig(shard_compression=compression, show_progress=False)
    source = brivane.CacheSource("cache", workload.samples)
    results = brivane.write_cache([source], out_dir, config, runtime=brivane.DatasetRuntime(WORKERS))
    brivane.check_results(results)


def read(out_dir, workload, shuffle, seed):
    from . import Tally

    dataset = brivane.open_dataset(_cache(out_dir), shuffle=shuffle, seed=seed, num_workers=WORKERS)
    n = nbytes = labels = 0
    for data, metadata, _cache_id, _sample_id in dataset:
        n += 1
        nbytes += len(data)
        labels += metadata["label"]
    return Tally(n, nbytes, labels)


def read_batches(out_dir, workload, shuffle, seed):
    return None
