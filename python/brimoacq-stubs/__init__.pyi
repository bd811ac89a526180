"""Register PyO3 bindings to brimoacquisition."""

# Type stubs of the extension module `brimoacq`, shipped as the stub-only package `brimoacq-stubs`.
#
# The names ParsedEvent, RawEvent, ReadResult, EccRecord and EccErrorTuple exist only for type checkers; the module does not define them at run time. Import them under TYPE_CHECKING:
#
#     from typing import TYPE_CHECKING
#     if TYPE_CHECKING:
#         from brimoacq import ParsedEvent, ReadResult

import os
from types import TracebackType
from typing import Any, Dict, Iterator, List, Literal, Optional, Sequence, SupportsIndex, Tuple, Type, TypedDict, Union, final, overload

import numpy as np
from numpy.typing import NDArray

_Path = Union[str, "os.PathLike[str]"]
_Indices = Union[Sequence[int], range]
_Errors = Literal["raise", "skip"]

__all__ = [
    "Acquisition",
    "list_acquisitions",
    "is_acquisition",
    "export_csv",
    "syndrome",
    "global_parity",
    "syndrome_to_index",
    "ecc_check",
    "ecc_correct",
]
__version__: str

# One entry of ParsedEvent["ecc_errors"][channel] (vombel96 only): the five fields of the parser's ECC
# error record, in record order.
EccErrorTuple = Tuple[int, int, int, int, int]

class RawEvent(TypedDict):
    """What Acquisition.raw_event returns."""

    rawdata: bytes  # the event's packet bytes as stored
    pkg_num: int  # the requested global event index
    event_num: int  # the same index

class ParsedEvent(TypedDict):
    """A parsed event: what parsed_event, acq[i], acq[a:b] and iteration give. Every list has one entry per
    channel; a channel without windows is an empty list."""

    data: List[List[float]]  # samples, window after window
    window_labels: List[List[int]]  # the number of every window read, in readout order
    time: List[List[int]]  # the time axis in sample units, parallel to data
    timing: Optional[List[List[int]]]  # lanwe models: the 24-bit timing value of every window; else None
    ecc_errors: Optional[List[List[EccErrorTuple]]]  # vombel96 only (96 lists); None for other models

class _ReadResultArrays(TypedDict):
    index: NDArray[np.int64]
    data: NDArray[np.float32]
    offsets: NDArray[np.int64]
    time: NDArray[np.uint16]
    window_labels: NDArray[np.uint16]
    window_offsets: NDArray[np.int64]

class ReadResult(_ReadResultArrays, total=False):
    """Many parsed events at once as flat arrays (Acquisition.read and iter_batches). With E events of C
    channels each:

    - index: int64 [E], the acquisition index of each event;
    - data: float32, every sample, event by event, channel by channel, window after window; the samples
      of event e, channel c are data[offsets[e*C + c]:offsets[e*C + c + 1]];
    - offsets: int64 [E*C + 1];
    - time: uint16, the time axis in sample units, parallel to data;
    - window_labels: uint16, the window number of every window; those of event e, channel c are
      window_labels[window_offsets[e*C + c]:window_offsets[e*C + c + 1]];
    - window_offsets: int64 [E*C + 1];
    - timing: uint32, parallel to window_labels; present only for the lanwe models.
    """

    timing: NDArray[np.uint32]

# The tuple form of one record of ecc_check:
# (channel_offset, packet_offset, raw_word, corrected_word, bit_index, parity).
EccRecord = Tuple[int, int, int, int, int, int]

@final
class Acquisition:
    """Pythonic wrapper around the [`crate::Acquisition`] class.

    An opened acquisition directory. It holds nothing open: every call reads the files as they are at
    that moment; only `metadata` and `params` are fixed when the object is created. Usable as a context
    manager, pickled by its path (re-opened where it is unpickled, so it can be handed to worker
    processes), and shown as `<Acquisition 'NAME' model='MODEL' path='PATH'>`.
    """

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
    def raw_event(self, index: SupportsIndex) -> RawEvent:
        """Fetch a raw event as `bytes`."""
    def parsed_event(self, index: SupportsIndex) -> ParsedEvent:
        """Fetch a parsed event. Requires `brimodaq` to be installed."""
    def read(
        self, indices: Optional[_Indices] = None, *, pedestals: bool = False, errors: _Errors = "raise"
    ) -> ReadResult:
        """The events `indices` (all events when None) parsed into flat arrays, optionally corrected by
        the pedestal table. errors="skip" leaves out events that cannot be read or parsed ("index" says
        which were kept); "raise" raises at the first one. The lanwe models add "timing"."""
    def iter_batches(
        self,
        batch_size: int = 1000,
        *,
        indices: Optional[_Indices] = None,
        pedestals: bool = False,
        errors: _Errors = "raise",
    ) -> Iterator[ReadResult]:
        """`read` in batches of at most `batch_size` events, for acquisitions that do not fit in memory."""
    def read_raw(self, indices: Optional[_Indices] = None) -> Tuple[NDArray[np.uint8], NDArray[np.int64]]:
        """The packets of `indices` (all events when None) concatenated, with the E+1 offsets where each
        packet starts."""
    def has_usable_pedestals(self) -> bool:
        """Whether the acquisition has a pedestal calibration file that decodes, i.e. whether pedestal
        correction would actually be applied."""
    def __len__(self) -> int: ...
    @overload
    def __getitem__(self, index: SupportsIndex, /) -> ParsedEvent: ...
    @overload
    def __getitem__(self, index: slice, /) -> List[ParsedEvent]: ...
    def __iter__(self) -> "_IterEvents": ...
    def __enter__(self) -> "Acquisition":
        """Return self."""
    def __exit__(
        self,
        exc_type: Optional[Type[BaseException]],
        exc_value: Optional[BaseException],
        traceback: Optional[TracebackType],
        /,
    ) -> None:
        """Do nothing: no file is held open between calls."""
    def __reduce__(self) -> Tuple[Type["Acquisition"], Tuple[str]]:
        """Pickle as the path; unpickling opens the acquisition again."""

# Named "IterEvents" at run time, but not a module attribute: it is only reachable as the type of
# iter(acquisition), hence the private name here.
@final
class _IterEvents:
    """Iterator over events in an acquisition"""

    def __new__(cls, acq: Acquisition) -> "_IterEvents": ...
    def __iter__(self) -> "_IterEvents": ...
    def __next__(self) -> ParsedEvent: ...

def list_acquisitions(root_dir: _Path) -> List[Acquisition]:
    """List all acquisitions in a directory."""

def is_acquisition(path: _Path) -> bool:
    """Check if a folder is a valid acquisition."""

def export_csv(acq: Acquisition, indices: Sequence[int], out_dir: _Path, pedestals_correction: bool) -> None:
    """Write the events `indices` of `acq` as CSV files into the existing directory `out_dir`.

    The index list is cut into runs of 1000 entries, in the order given (duplicates allowed); run k is
    written to "<acq.name> (chunk k).csv", replacing a file of that name. Each file starts with the
    header acq_num,evt_num,windnum_chC,data_chC,time_chC,... (a fourth column timing_chC for the lanwe
    models) for every channel C that holds samples in some event of the file, then one row per sample
    position of each event, the channels aligned by window number. "acq_num" is always 0 and "evt_num"
    counts the events of the file from 0; it is not the acquisition index.

    Events that cannot be read, parsed or pedestal-corrected are left out of their file without an error,
    so a file can hold fewer events than its run of indices. With `pedestals_correction` True, the
    pedestal of each cell (channel, window number, sample position) from the acquisition's
    "pedestals_calibration" file is subtracted from every sample; when that file is missing or does not
    decode, the export runs uncorrected without saying so (check `has_usable_pedestals()` first).

    All four arguments are required, by position or keyword. `indices` is a sequence of ints (a list,
    tuple or range; not a str); `pedestals_correction` must be exactly True or False. The interpreter
    lock is released while the files are written, so other Python threads keep running.

    Raises:
        TypeError: an argument of the wrong type (its name is in the message).
        OverflowError: an index below 0 or above 2**64 - 1.
        acquisition.MetadataError: metadata.yml is missing or invalid; nothing is written.
        acquisition.ExportError: "Could not export: " and the cause, e.g. "invalid path" when `out_dir`
            does not exist (it is not created), "file access was denied", or an unsupported board model
            (before any file is created). Files of earlier runs stay as written.
    """

def syndrome(data: int) -> List[int]:
    """Calculate the syndrome for a given 16-bit data word."""

def global_parity(data: int) -> int:
    """Calculate the global parity for a 16-bit data word."""

def syndrome_to_index(s: Sequence[int]) -> Optional[int]:
    """Convert a syndrome to an index based on the corrections."""

def ecc_check(raw_bytes: Union[bytes, bytearray, Sequence[int]]) -> List[EccRecord]:
    """Check the error-correcting code of every sample word of a full-size vombel96 packet.

    Each 16-bit sample word (little-endian) holds ten data bits (0-9) and four check bits (10-13); its
    syndrome (see `syndrome`) and its global parity over all sixteen bits (see `global_parity`) show
    whether it was damaged. The packet geometry is fixed: chip blocks of 131140 bytes, sixteen channels
    each, 4096 sample words per channel, and a two-byte event footer; the full 96-channel packet is
    786842 bytes. Valid lengths are 2 and, for n = 1 to 6 chip blocks, n*131140 - 5 to n*131140 + 2;
    any other length raises ValueError naming it. Bytes outside the channels' sample ranges are not
    examined.

    Returns one tuple per suspicious word (a non-zero syndrome or an odd parity), ordered by channel and
    then by position, an empty list for a clean packet:
    (channel_offset, packet_offset, raw_word, corrected_word, bit_index, parity)

    - channel_offset: byte offset of the word within its channel's samples (2 x sample number);
    - packet_offset: byte offset of the word's low byte in the packet;
    - raw_word: the word as stored;
    - corrected_word: raw_word with bit bit_index inverted for a single error (parity 1, non-zero
      syndrome); raw_word itself for a double error (parity 0), which cannot be repaired, and for an odd
      parity with a zero syndrome (a flipped bit 14 or 15), which names no data bit;
    - bit_index: the bit the syndrome points to (15 for syndrome 15, which matches no single bit; 0 for
      a zero syndrome);
    - parity: the word's global parity, 1 for an odd number of set bits.

    `raw_bytes` is a bytes-like object or a sequence of ints 0-255 (a str raises TypeError). The
    channels are checked in parallel on a process-wide pool of worker threads (one per processor, or
    RAYON_NUM_THREADS); the call holds the interpreter lock until all are done.
    """

def ecc_correct(raw_bytes: Union[bytes, bytearray, Sequence[int]]) -> bytearray:
    """Return a corrected copy of a full-size vombel96 packet, as a new bytearray of the same length.

    Runs `ecc_check` and writes the corrected_word of every record whose parity is 1 back at its
    packet_offset (low byte first): single-bit errors in bits 0-13 are repaired; double errors (parity 0)
    are left as they are. The argument is never modified. Accepts and refuses the same arguments and
    lengths as `ecc_check`. Call `ecc_check` on the result to see what could not be repaired.
    """

def _layout_defaults() -> Dict[str, Dict[str, int]]:
    """The layout keys of each model value and the values used when params do not give them."""
