"""What a cache holds, read from its manifest.json without opening the cache."""

import json
import os
from dataclasses import dataclass
from typing import Any

from ._typing import StrPath

__all__ = ["MetadataField", "ShardInfo", "CacheInfo", "read_cache_info"]


@dataclass(frozen=True)
class MetadataField:
    name: str
    kind: str  # "bool", "int", "float" or "string"


@dataclass(frozen=True)
class ShardInfo:
    name: str
    byte_len: int
    uncompressed_byte_len: int
    algo: str
    ratio: float
    sha256: str


@dataclass(frozen=True)
class CacheInfo:
    path: str
    format_version: int
    source_name: str
    sample_count: int
    schema: tuple[MetadataField, ...]
    shards: tuple[ShardInfo, ...]
    metadata_sha256: str
    index_sha256: str

    @property
    def stored_bytes(self) -> int:
        """Bytes of all shard files (payloads as stored, with record framing)."""
        return sum(shard.byte_len for shard in self.shards)

    @property
    def data_bytes(self) -> int:
        """Bytes of all payloads before compression."""
        return sum(shard.uncompressed_byte_len for shard in self.shards)

    def file_size(self, name: str) -> int | None:
        """Size of a file of the cache directory, None if it cannot be read."""
        try:
            return os.stat(os.path.join(self.path, name)).st_size
        except OSError:
            return None


def _field(obj: Any, key: str, kind: type | tuple[type, ...], where: str) -> Any:
    if not isinstance(obj, dict) or key not in obj:
        raise ValueError(f"malformed manifest: {where} has no '{key}'")
    value = obj[key]
    if not isinstance(value, kind) or (kind is int and isinstance(value, bool)):
        raise ValueError(f"malformed manifest: {where}.{key} has the wrong type")
    return value


def read_cache_info(path: StrPath) -> CacheInfo:
    """Reads a cache directory's manifest. Raises ValueError when `path` is not
    a cache or its manifest is malformed; nothing else of the cache is checked
    (use `open_dataset(..., validate=True)` for that)."""
    directory = os.fspath(path)
    manifest_path = os.path.join(directory, "manifest.json")
    try:
        with open(manifest_path, "rb") as f:
            doc = json.load(f)
    except FileNotFoundError:
        raise ValueError(f"not a cache directory (no manifest.json): {directory}") from None
    except NotADirectoryError:
        raise ValueError(f"not a cache directory: {directory}") from None
    except (json.JSONDecodeError, UnicodeDecodeError) as error:
        raise ValueError(f"malformed manifest {manifest_path}: {error}") from None

    schema = tuple(
        MetadataField(_field(f, "name", str, "metadata field"), _field(f, "kind", str, "metadata field"))
        for f in _field(doc, "metadata_schema", list, "manifest")
    )
    shards = []
    for s in _field(doc, "shards", list, "manifest"):
        compression = _field(s, "compression", dict, "shard")
        shards.append(
            ShardInfo(
                name=_field(s, "name", str, "shard"),
                byte_len=_field(s, "byte_len", int, "shard"),
                uncompressed_byte_len=_field(s, "uncompressed_byte_len", int, "shard"),
                algo=_field(compression, "algo", str, "shard compression"),
                ratio=float(_field(compression, "ratio", (int, float), "shard compression")),
                sha256=_field(s, "sha256", str, "shard"),
            )
        )
    return CacheInfo(
        path=directory,
        format_version=_field(doc, "format_version", int, "manifest"),
        source_name=_field(doc, "source_name", str, "manifest"),
        sample_count=_field(doc, "sample_count", int, "manifest"),
        schema=schema,
        shards=tuple(shards),
        metadata_sha256=_field(doc, "metadata_sha256", str, "manifest"),
        index_sha256=_field(doc, "index_sha256", str, "manifest"),
    )
