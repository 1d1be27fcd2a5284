"""What a cache is written from: named sources of (data, metadata) samples."""

from collections.abc import Callable, Iterable, Iterator
from typing import NamedTuple, Protocol, TypeAlias

from ._typing import Metadata, SampleData

__all__ = ["CacheInput", "CacheSource", "SampleLike", "SourceLike", "check_source_name"]


class CacheInput(NamedTuple):
    """One sample to write: the payload bytes and a flat metadata dict.

    Every sample of a source must carry the same metadata keys with values of
    the same kind (bool, int, float or str); the first sample fixes the schema.
    A plain `(data, metadata)` tuple is accepted wherever a CacheInput is.
    """

    data: SampleData
    metadata: Metadata


#: What a source may yield: a CacheInput or any (data, metadata) tuple.
SampleLike: TypeAlias = tuple[SampleData, Metadata]


class SourceLike(Protocol):
    """What the writer needs of a source: a `name` and iteration over its
    samples. `CacheSource` is one; any object of this shape works as well."""

    @property
    def name(self) -> str: ...

    def __iter__(self) -> Iterator[SampleLike]: ...


def check_source_name(name: object) -> str:
    """Returns `name` if it can name a cache directory: a non-empty str that
    is one plain path segment ("a" or "a/", not "a/b", ".", ".." or "/a")."""
    if not isinstance(name, str):
        raise TypeError(f"cache source name must be a str, got {type(name).__name__}")
    if not name:
        raise ValueError("cache source name must not be empty")
    parts = name.split("/")
    # Trailing separators and "." after the first segment add no component.
    rest = [part for part in parts[1:] if part not in ("", ".")]
    if parts[0] in ("", ".", "..") or rest:
        raise ValueError(f"cache source name must be a plain path segment, got {name!r}")
    return name


class CacheSource:
    """A named source of samples; its name becomes the cache's directory name.

    `samples` is either an iterable of `CacheInput` (a list, a one-shot
    generator, ...) or a function returning one, such as a generator function;
    a function is called afresh each time the source is iterated, so the same
    source can be written more than once.
    """

    __slots__ = ("name", "_samples")

    def __init__(
        self,
        name: str,
        samples: Iterable[SampleLike] | Callable[[], Iterable[SampleLike]],
    ) -> None:
        self.name = check_source_name(name)
        if not callable(samples) and not isinstance(samples, Iterable):
            raise TypeError(
                f"samples must be an iterable or a function returning one, got {type(samples).__name__}"
            )
        self._samples = samples

    def __iter__(self) -> Iterator[SampleLike]:
        samples = self._samples
        if callable(samples):
            return iter(samples())
        return iter(samples)

    def __repr__(self) -> str:
        return f"CacheSource({self.name!r})"
