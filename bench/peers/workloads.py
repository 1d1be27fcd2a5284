"""The sample streams every library writes and reads back.

Payloads are slices of one seeded pool of random bytes, so a sample costs a
copy of its payload to produce and generating it barely shows in the timings
(it is the same for every library). Metadata is derived from the sample
number, which lets a reader's sequential epoch be checked exactly.
"""

from dataclasses import dataclass
from functools import cached_property

import numpy as np

POOL_SPAN = 8 << 20
SPLITS = ("train",) * 8 + ("val", "test")


@dataclass(frozen=True)
class Workload:
    name: str
    count: int
    size: int

    def scaled(self, scale: float) -> "Workload":
        return Workload(self.name, max(1, int(self.count * scale)), self.size)

    @cached_property
    def _pool(self) -> bytes:
        return np.random.default_rng(20261211).bytes(POOL_SPAN + self.size)

    def data(self, i: int) -> bytes:
        # A stride coprime with the span walks the pool without short repeats.
        offset = (i * 1_000_003) % POOL_SPAN
        return self._pool[offset:offset + self.size]

    @staticmethod
    def metadata(i: int) -> dict:
        return {"label": i % 1000, "score": (i % 9973) / 9973.0, "split": SPLITS[i % 10]}

    def samples(self):
        data, metadata = self.data, self.metadata
        for i in range(self.count):
            yield data(i), metadata(i)

    @property
    def label_sum(self) -> int:
        full, rest = divmod(self.count, 1000)
        return full * (999 * 1000 // 2) + rest * (rest - 1) // 2

    @property
    def payload_bytes(self) -> int:
        return self.count * self.size


WORKLOADS = {
    "W1": Workload("W1", 200_000, 1 << 10),
    "W2": Workload("W2", 4_000, 256 << 10),
}
