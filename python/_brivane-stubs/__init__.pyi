"""Type stubs for the native module _brivane."""

from collections.abc import Sequence
from typing import Protocol, SupportsIndex, final, type_check_only

from typing_extensions import disjoint_base

_MetadataValue = bool | int | float | str
_Sample = tuple[bytes, dict[str, _MetadataValue], int, int]

@type_check_only
class _ShardCompression(Protocol):
    @property
    def algo(self) -> str: ...
    @property
    def ratio(self) -> float: ...

@type_check_only
class _WriterConfig(Protocol):
    """The attributes write_cache reads; `profiler` is optional."""

    @property
    def max_shard_bytes(self) -> SupportsIndex: ...
    @property
    def prefetch_size(self) -> SupportsIndex: ...
    @property
    def shard_compression(self) -> _ShardCompression: ...
    @property
    def show_progress(self) -> bool: ...
    @property
    def validate_cache(self) -> bool: ...

@disjoint_base
class DatasetRuntime:
    def __new__(cls, num_workers: SupportsIndex) -> DatasetRuntime: ...

@final
@type_check_only
class PyDatasetIterator:
    def __iter__(self) -> PyDatasetIterator: ...
    def __next__(self) -> _Sample: ...

@disjoint_base
class CachedDataset:
    def __new__(
        cls,
        runtime: DatasetRuntime,
        paths: Sequence[str],
        seed: SupportsIndex,
        prefetch_size: SupportsIndex,
        shuffle: bool,
        validate_cache: bool,
    ) -> CachedDataset: ...
    def __iter__(self) -> PyDatasetIterator: ...
    def __len__(self) -> int: ...
    def set_epoch_len(self, epoch_len: SupportsIndex) -> None: ...
    def metadata_ipc(self) -> bytes: ...
    def samples_metadata_ipc(self) -> bytes: ...
    def update_metadata_ipc(self, ipc: bytes) -> None: ...
    def set_samples_metadata_ipc(self, ipc: bytes) -> None: ...

def write_cache(
    runtime: DatasetRuntime,
    sources: object,
    base_cache_dir: str,
    writer_config: _WriterConfig,
    reuse_existing: bool,
) -> list[tuple[str, str, str]]: ...
def validate_source_paths(sources: list[object], base_cache_dir: str) -> None: ...
