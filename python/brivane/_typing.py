"""Type aliases shared by the package."""

import os
from typing import TypeAlias

#: A value a sample's metadata may hold.
MetadataValue: TypeAlias = bool | int | float | str
#: A sample's metadata: string keys, typed values.
Metadata: TypeAlias = dict[str, MetadataValue]
#: Anything the package accepts as a file system path.
StrPath: TypeAlias = str | os.PathLike[str]
#: Payload types a sample's data may be given as.
SampleData: TypeAlias = bytes | bytearray | memoryview
