"""Companion tools for the ``brimoacq`` extension module.

``brimoacq_tools.writer`` writes synthetic acquisitions (metadata, chunk and index files, pedestal
calibration) for every supported board model, and ``brimoacq_tools.cli`` is the ``brimoacq`` command-line
program. Nothing here is needed to read acquisitions: that is the extension module's job.
"""

from .arrays import dense, to_awkward
from .models import MODELS, Window
from .writer import (
    default_params,
    ecc_encode,
    ecc_word_offset,
    encode_event,
    expected_event,
    flip_bits,
    make_pedestals,
    correct_expected,
    synthesize_events,
    write_acquisition,
    write_synthetic,
)

__all__ = [
    "MODELS",
    "Window",
    "default_params",
    "ecc_encode",
    "ecc_word_offset",
    "encode_event",
    "expected_event",
    "flip_bits",
    "make_pedestals",
    "correct_expected",
    "synthesize_events",
    "write_acquisition",
    "write_synthetic",
    "to_awkward",
    "dense",
]
