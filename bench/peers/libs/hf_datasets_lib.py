"""Hugging Face datasets: Dataset.from_generator into a cache directory, read
back by memory-mapping the Arrow files it wrote."""

import datasets

FEATURES = datasets.Features(
    {
        "data": datasets.Value("binary"),
        "label": datasets.Value("int64"),
        "score": datasets.Value("float64"),
        "split": datasets.Value("string"),
    }
)
datasets.disable_progress_bars()


def _rows(count, size):
    from workloads import Workload

    for data, metadata in Workload("gen", count, size).samples():
        metadata["data"] = data
        yield metadata


def write(out_dir, workload, variant):
    # Arrow cache files are written uncompressed; there is no LZ4 option.
    datasets.Dataset.from_generator(
        _rows,
        features=FEATURES,
        cache_dir=str(out_dir / "hf"),
        gen_kwargs={"count": workload.count, "size": workload.size},
    )


def _dataset(out_dir, shuffle, seed):
    files = sorted(out_dir.glob("hf/generator/*/*/generator-*.arrow"))
    parts = [datasets.Dataset.from_file(str(f)) for f in files]
    ds = parts[0] if len(parts) == 1 else datasets.concatenate_datasets(parts)
    return ds.shuffle(seed=seed) if shuffle else ds


def read(out_dir, workload, shuffle, seed):
    from . import Tally

    n = nbytes = labels = 0
    for row in _dataset(out_dir, shuffle, seed):
        n += 1
        nbytes += len(row["data"])
        labels += row["label"]
    return Tally(n, nbytes, labels)


def read_batches(out_dir, workload, shuffle, seed):
    from . import BATCH_SIZE, batch_tally

    # Dataset.iter is the documented batched access; it reads columns
    # straight from the memory-mapped table in this process.
    return batch_tally(_dataset(out_dir, shuffle, seed).iter(batch_size=BATCH_SIZE))
