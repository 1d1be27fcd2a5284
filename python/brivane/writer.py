"""Writing caches: typed wrappers over the native writer."""

import os
from collections.abc import Iterable
from typing import Literal, NamedTuple, cast

import _brivane

from ._runtime import make_runtime
from ._typing import StrPath
from .config import WriterConfig
from .sources import SourceLike

__all__ = ["SourceResult", "WriteError", "check_results", "write_cache", "validate_source_paths"]


class SourceResult(NamedTuple):
    """Outcome of one source: `status` is "success" or "error"; `detail` is the
    cache directory on success and the reason on error."""

    status: Literal["success", "error"]
    name: str
    detail: str

    @property
    def ok(self) -> bool:
        return self.status == "success"

    @property
    def path(self) -> str | None:
        """The cache directory, when the source succeeded."""
        return self.detail if self.ok else None


class WriteError(RuntimeError):
    """Raised by `check_results` when some sources failed."""

    def __init__(self, failed: list[SourceResult]) -> None:
        self.failed = failed
        lines = [f"{r.name}: {r.detail}" for r in failed]
        super().__init__(f"{len(failed)} cache source(s) failed: " + "; ".join(lines))


def _as_native_sources(sources: object) -> object:
    # The native writer takes a list, or one source object: keep both shapes,
    # and turn any other collection of sources into a list.
    if isinstance(sources, list) or hasattr(sources, "name"):
        return sources
    if isinstance(sources, (str, bytes)) or not isinstance(sources, Iterable):
        raise TypeError(
            f"sources must be a cache source or an iterable of them, got {type(sources).__name__}"
        )
    return list(sources)


def write_cache(
    sources: SourceLike | Iterable[SourceLike],
    base_dir: StrPath,
    config: WriterConfig | None = None,
    *,
    runtime: _brivane.DatasetRuntime | None = None,
    reuse_existing: bool = False,
) -> list[SourceResult]:
    """Writes every source into its own cache directory `base_dir`/name.

    Sources are written one after another; a source that fails (bad sample,
    exception in its iterator, existing destination, ...) yields an "error"
    result and the others are still written. Each cache appears at its final
    path in one rename only once it is complete. With `reuse_existing`, an
    existing destination is kept (re-validated first when
    `config.validate_cache` is set) instead of being an error.

    `sources` may be one source (giving one result) or a collection of them
    (giving one result per source, in order). `runtime` defaults to a fresh
    runtime with one worker per available CPU.
    """
    if not isinstance(reuse_existing, bool):
        raise TypeError(f"reuse_existing must be a bool, got {type(reuse_existing).__name__}")
    native_sources = _as_native_sources(sources)
    base = os.fspath(base_dir)
    if not isinstance(base, str):
        raise TypeError("base_dir must be a str path, not bytes")
    results = _brivane.write_cache(
        runtime if runtime is not None else make_runtime(None),
        native_sources,
        base,
        config if config is not None else WriterConfig(),
        reuse_existing,
    )
    return [SourceResult(cast(Literal["success", "error"], status), name, detail) for status, name, detail in results]


def check_results(results: Iterable[SourceResult]) -> list[SourceResult]:
    """Returns `results` as a list, raising WriteError if any source failed."""
    results = list(results)
    failed = [r for r in results if not r.ok]
    if failed:
        raise WriteError(failed)
    return results


def validate_source_paths(sources: Iterable[SourceLike], base_dir: StrPath) -> None:
    """Raises ValueError if two sources would be written to the same directory
    under `base_dir`. Useful before handing single sources to several
    processes; `write_cache` runs the same check on the sources it is given."""
    base = os.fspath(base_dir)
    if not isinstance(base, str):
        raise TypeError("base_dir must be a str path, not bytes")
    _brivane.validate_source_paths(list(sources), base)
