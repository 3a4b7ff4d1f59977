import os

import numpy as np
import pytest

SANITIZED = os.environ.get("SONALOC_SANITIZED") == "1"


@pytest.fixture
def rng():
    return np.random.default_rng(12345)
