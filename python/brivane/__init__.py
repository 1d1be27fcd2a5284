"""brivane: fast, verified sample caches for ML data preparation and training."""

import pyarrow as _pyarrow  # noqa: F401  (loads the libarrow that _brivane links)

from _brivane import *  # noqa: F401,F403
