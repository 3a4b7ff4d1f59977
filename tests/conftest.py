import os

import numpy as np
import pytest

SANITIZED = os.environ.get("SONALOC_SANITIZED") == "1"


def gaussian(shape, centre, sigma=1.0, amplitude=1.0):
    """A float32 Gaussian spot computed in double precision."""
    grid = np.indices(shape, dtype=np.float64)
    r2 = sum((grid[a] - centre[a]) ** 2 for a in range(len(shape)))
    return (amplitude * np.exp(-r2 / (2.0 * sigma * sigma))).astype(np.float32)


@pytest.fixture
def rng():
    return np.random.default_rng(12345)
