"""brivane: fast, verified sample caches for ML data preparation and training.

Write caches from named sources of (data, metadata) samples::

    import brivane
    source = brivane.CacheSource("train", lambda: ((blob, {"label": 3}) for blob in blobs))
    [result] = brivane.write_cache([source], "caches")

and read them back as a prefetching, optionally shuffled and weighted dataset::

    dataset = brivane.open_dataset(result.path, shuffle=True, seed=7)
    for data, metadata, cache_id, sample_id in dataset:
        ...

`brivane.torch` adapts a dataset to PyTorch's DataLoader; `python -m brivane`
packs, inspects and verifies caches from the command line.
"""

from importlib import metadata as _metadata

import pyarrow as _pyarrow  # type: ignore[import-untyped]  # noqa: F401  (loads the libarrow that _brivane links)

from _brivane import CachedDataset, DatasetRuntime
from _brivane_internal import InternalFault

from ._runtime import default_num_workers
from ._typing import Metadata, MetadataValue, SampleData, StrPath
from .config import MiB, ProfilerConfig, ShardCompression, WriterConfig
from .dataset import Dataset, Sample, ipc_to_table, open_dataset, table_to_ipc
from .manifest import CacheInfo, MetadataField, ShardInfo, read_cache_info
from .sources import CacheInput, CacheSource, SampleLike, SourceLike
from .writer import SourceResult, WriteError, check_results, validate_source_paths, write_cache

try:
    __version__ = _metadata.version("brivane")
except _metadata.PackageNotFoundError:  # running from a source tree
    __version__ = "0+unknown"

__all__ = [
    "CacheInfo",
    "CacheInput",
    "CacheSource",
    "CachedDataset",
    "Dataset",
    "DatasetRuntime",
    "InternalFault",
    "Metadata",
    "MetadataField",
    "MetadataValue",
    "MiB",
    "ProfilerConfig",
    "Sample",
    "SampleData",
    "SampleLike",
    "ShardCompression",
    "ShardInfo",
    "SourceLike",
    "SourceResult",
    "StrPath",
    "WriteError",
    "WriterConfig",
    "check_results",
    "default_num_workers",
    "ipc_to_table",
    "open_dataset",
    "read_cache_info",
    "table_to_ipc",
    "validate_source_paths",
    "write_cache",
]
