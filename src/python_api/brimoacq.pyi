"""Register PyO3 bindings to brimoacquisition."""

import os
from typing import Any, Dict, Iterator, List, Optional, Sequence, Tuple, Union, overload

_Path = Union[str, "os.PathLike[str]"]

# The dict of Acquisition.raw_event: keys "rawdata" (bytes), "pkg_num" and "event_num" (int).
RawEvent = Dict[str, Any]
# The dict of a parsed event: keys "data" (list per channel of lists of float), "window_labels" and
# "time" (list per channel of lists of int), "timing" (list per channel of lists of int, or None) and
# "ecc_errors" (list per channel of lists of 5-tuples of int, or None).
ParsedEvent = Dict[str, Any]

__all__: List[str]

class Acquisition:
    """Pythonic wrapper around the [`crate::Acquisition`] class."""

    def __new__(cls, path: _Path) -> "Acquisition": ...
    @property
    def is_valid(self) -> bool:
        """Check if the folder is a valid acquisition."""
    @property
    def path(self) -> str:
        """Get the path to the acquisition directory."""
    @property
    def name(self) -> str:
        """Get the name of the acquisition."""
    @property
    def chunk_count(self) -> int:
        """Get the number of chunks in the acquisition"""
    @property
    def metadata(self) -> Any:
        """Read the metadata from the acquisition."""
    @property
    def params(self) -> Any:
        """Get acquisition params."""
    @property
    def readout_metadata(self) -> Any:
        """Read the readout metadata from the acquisition."""
    @property
    def pedestals_calibration(self) -> Any:
        """Read pedestals calibration from the acquisition."""
    @property
    def adc_to_mv_calibration(self) -> Any:
        """Read ADC to mV calibration from the acquisition."""
    @property
    def timing_calibration(self) -> Any:
        """Read timing calibration from the acquisition."""
    def raw_event(self, index: int) -> RawEvent:
        """Fetch a raw event as `bytes`."""
    def parsed_event(self, index: int) -> ParsedEvent:
        """Fetch a parsed event. Requires `brimodaq` to be installed."""
    def __len__(self) -> int: ...
    @overload
    def __getitem__(self, index: int) -> ParsedEvent: ...
    @overload
    def __getitem__(self, index: slice) -> List[ParsedEvent]: ...
    def __iter__(self) -> "_IterEvents": ...

# Named "IterEvents" at run time, but not a module attribute: it is only reachable as the type of
# iter(acquisition), hence the private name here.
class _IterEvents:
    """Iterator over events in an acquisition"""

    def __new__(cls, acq: Acquisition) -> "_IterEvents": ...
    def __iter__(self) -> "_IterEvents": ...
    def __next__(self) -> ParsedEvent: ...

def list_acquisitions(root_dir: _Path) -> List[Acquisition]:
    """List all acquisitions in a directory."""

def is_acquisition(path: _Path) -> bool:
    """Check if a folder is a valid acquisition."""

def export_csv(acq: Acquisition, indices: Sequence[int], out_dir: _Path, pedestals_correction: bool) -> None: ...

def syndrome(data: int) -> List[int]:
    """Calculate the syndrome for a given 16-bit data word."""

def global_parity(data: int) -> int:
    """Calculate the global parity for a 16-bit data word."""

def syndrome_to_index(s: Sequence[int]) -> Optional[int]:
    """Convert a syndrome to an index based on the corrections."""

def ecc_check(raw_bytes: Union[bytes, bytearray, Sequence[int]]) -> List[Tuple[int, int, int, int, int, int]]: ...

def ecc_correct(raw_bytes: Union[bytes, bytearray, Sequence[int]]) -> bytearray: ...
