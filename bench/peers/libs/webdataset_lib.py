"""WebDataset: tar shards written with ShardWriter (a TarWriter per shard),
read with WebDataset(...).decode(); metadata travels as each sample's .json."""

import webdataset as wds

SHARD_BYTES = 64 << 20  # member bytes per shard, the size the other peers default to; several shards let loader workers split them
SHUFFLE_BUFFER = 1000  # the buffer size of the library's own examples


def write(out_dir, workload, variant):
    # Tar has no per-member compression: written uncompressed.
    pattern = str(out_dir / "shard-%06d.tar")
    with wds.ShardWriter(pattern, maxsize=SHARD_BYTES, verbose=0) as sink:
        for i, (data, metadata) in enumerate(workload.samples()):
            sink.write({"__key__": f"{i:09d}", "bin": data, "json": metadata})


def _dataset(out_dir, shuffle, seed):
    urls = sorted(str(p) for p in out_dir.glob("shard-*.tar"))
    if shuffle:
        return wds.WebDataset(urls, shardshuffle=len(urls), seed=seed).shuffle(SHUFFLE_BUFFER).decode()
    return wds.WebDataset(urls, shardshuffle=False).decode()


def read(out_dir, workload, shuffle, seed):
    from . import Tally

    n = nbytes = labels = 0
    for sample in _dataset(out_dir, shuffle, seed):
        n += 1
        nbytes += len(sample["bin"])
        labels += sample["json"]["label"]
    return Tally(n, nbytes, labels)


def _columns(samples):
    return {"data": [s["bin"] for s in samples], "label": [s["json"]["label"] for s in samples]}


def read_batches(out_dir, workload, shuffle, seed):
    from . import BATCH_SIZE, LOADER_WORKERS, batch_tally

    # Batching inside the pipeline and loading with batch_size=None is the
    # documented WebLoader pattern.
    pipeline = _dataset(out_dir, shuffle, seed).batched(BATCH_SIZE, collation_fn=_columns)
    loader = wds.WebLoader(pipeline, batch_size=None, num_workers=LOADER_WORKERS)
    return batch_tally(loader)
