"""Writer settings: the objects `write_cache` reads its configuration from.

Every class validates its values when it is constructed, so a bad setting
fails where it is written instead of deep inside a long write.
"""

import math
import operator
import os
import sys
from dataclasses import dataclass, field
from typing import Final, Literal, SupportsFloat, SupportsIndex

from ._typing import StrPath

__all__ = ["MiB", "ShardCompression", "ProfilerConfig", "WriterConfig"]

MiB: Final = 1 << 20
_U64_MAX: Final = (1 << 64) - 1

CompressionAlgo = Literal["lz4", "none"]
_ALGOS: Final = ("lz4", "none")


def _positive_u64(name: str, value: object) -> int:
    if isinstance(value, bool) or not isinstance(value, SupportsIndex):
        raise TypeError(f"{name} must be an int, got {type(value).__name__}")
    number = operator.index(value)
    if number <= 0:
        raise ValueError(f"{name} must be greater than zero, got {number}")
    if number > _U64_MAX:
        raise ValueError(f"{name} must be below 2**64, got {number}")
    return number


def _flag(name: str, value: object) -> bool:
    if isinstance(value, bool):
        return value
    kind = type(value)
    # NumPy's boolean scalar is accepted by the native reader too.
    if kind.__module__ == "numpy" and kind.__name__ in ("bool", "bool_"):
        return bool(value)
    raise TypeError(f"{name} must be a bool, got {kind.__name__}")


def stderr_is_terminal() -> bool:
    stream = sys.stderr
    try:
        return stream is not None and stream.isatty()
    except (AttributeError, ValueError):  # replaced or closed stream
        return False


@dataclass(frozen=True)
class ShardCompression:
    """How sample payloads are stored in the shard files.

    `algo` is "none" (payloads stored as given) or "lz4" (each payload
    compressed on its own, decompressed transparently when read). `ratio` is the
    expected compression ratio; it is recorded in the cache's manifest for tools
    and does not change what is written. With "none" it must be 1.0.
    """

    algo: CompressionAlgo = "none"
    ratio: float = 1.0

    def __post_init__(self) -> None:
        algo: object = self.algo
        if not isinstance(algo, str):
            raise TypeError(f"shard compression algorithm must be a str, got {type(algo).__name__}")
        if algo not in _ALGOS:
            raise ValueError(f"unsupported shard compression algorithm {algo!r}: use 'lz4' or 'none'")
        ratio: object = self.ratio
        if isinstance(ratio, bool) or not isinstance(ratio, (SupportsFloat, SupportsIndex)):
            raise TypeError(f"shard compression ratio must be a number, got {type(ratio).__name__}")
        value = float(ratio)
        if not (math.isfinite(value) and value > 0):
            raise ValueError(f"shard compression ratio must be positive and finite, got {value!r}")
        if algo == "none" and value != 1.0:
            raise ValueError(f"shard compression ratio must be 1.0 when algo is 'none', got {value!r}")
        object.__setattr__(self, "ratio", value)


@dataclass(frozen=True)
class ProfilerConfig:
    """Where `write_cache` writes its JSON timing report.

    `ProfilerConfig("report.json")` turns the report on; `ProfilerConfig()`
    (the default of `WriterConfig`) leaves it off. The report is written when
    the call ends, also when it fails after the sources were walked.
    """

    path: StrPath | None = None

    def __post_init__(self) -> None:
        if self.path is None:
            return
        try:
            path = os.fspath(self.path)
        except TypeError:
            raise TypeError(f"profiler path must be a str or os.PathLike, got {type(self.path).__name__}") from None
        if not isinstance(path, str):
            raise TypeError("profiler path must be a str path, not bytes")
        if not path:
            raise ValueError("profiler path must not be empty")
        object.__setattr__(self, "path", path)

    @property
    def enabled(self) -> bool:
        """Whether a report is written."""
        return self.path is not None


@dataclass(frozen=True, kw_only=True)
class WriterConfig:
    """Settings of one `write_cache` call.

    max_shard_bytes: size at which a shard file is closed and the next one
        started (default 256 MiB); a single larger sample still fits in a shard
        of its own.
    prefetch_size: how many samples may be in flight between your sources and
        the writer; the effective limit is also bounded by the runtime's worker
        count (default 64).
    shard_compression: payload compression, see `ShardCompression` (default:
        none).
    show_progress: draw progress on standard error (default: on when standard
        error is a terminal).
    validate_cache: when an existing cache is reused, re-hash all of its files
        before accepting it (default off; no effect on newly written caches).
    profiler: optional timing report, see `ProfilerConfig` (default off).
    """

    max_shard_bytes: int = 256 * MiB
    prefetch_size: int = 64
    shard_compression: ShardCompression = field(default_factory=ShardCompression)
    show_progress: bool = field(default_factory=stderr_is_terminal)
    validate_cache: bool = False
    profiler: ProfilerConfig = field(default_factory=ProfilerConfig)

    def __post_init__(self) -> None:
        set_field = object.__setattr__
        set_field(self, "max_shard_bytes", _positive_u64("max_shard_bytes", self.max_shard_bytes))
        set_field(self, "prefetch_size", _positive_u64("prefetch_size", self.prefetch_size))
        if not isinstance(self.shard_compression, ShardCompression):
            raise TypeError(
                f"shard_compression must be a ShardCompression, got {type(self.shard_compression).__name__}"
            )
        set_field(self, "show_progress", _flag("show_progress", self.show_progress))
        set_field(self, "validate_cache", _flag("validate_cache", self.validate_cache))
        if not isinstance(self.profiler, ProfilerConfig):
            raise TypeError(f"profiler must be a ProfilerConfig, got {type(self.profiler).__name__}")
