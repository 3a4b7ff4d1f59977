"""sonaloc_ulm: from an acquisition file to super-resolved maps, over the sonaloc module.

``run(path_or_array, Config(...), out_dir)`` runs the whole pipeline; every
stage is a function of its own module:

- :mod:`.io`: reading files, axis views, blocks of frames;
- :mod:`.clutter`: SVD clutter filter, envelope;
- :mod:`.floor`: noise floor estimate and subtraction with clipping;
- :mod:`.psf`: PSF measurement, the choices from it, resampling;
- :mod:`.localize`: detection and localization per frame;
- :mod:`.tracks`: linking, frames of the track points, speeds, length filter;
- :mod:`.maps`: density, speed and direction maps, pictures;
- :mod:`.quality`: FRC, saturation, figures against a ground truth;
- :mod:`.simulate`: simulated acquisitions with their ground truth.
"""
__version__ = "0.1.0"

from .config import Config, config_from  # noqa: E402
from .errors import UlmError  # noqa: E402
from .pipeline import run  # noqa: E402

__all__ = ["Config", "UlmError", "config_from", "run", "__version__"]
