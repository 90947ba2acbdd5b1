"""vornkit: everyday work with pyvorn_device devices.

The helpers that sit on top of the unchanged extension module (`import pyvorn_device`):

- plugins: `sim_plugin()`, `bundled_plugins()`, `plugin_dir()`, `sdk_prefix()`, `resolve_plugin()`, `open_manager()`,
  `open_device()`, and `set_registers()` to stage and send register values in one call;
- streams as iterators: `stream()` (`for chunk in ...`) and `astream()` (`async for`), bounded by
  the queue limit, with errors raised (or yielded, errors="yield"); `overflow_counts()` reads
  the counts of an overflow report;
- acquisitions: `capture()` into one numpy array, `record()` into a raw, .npy or SigMF file
  by the module's native writer;
- the `vorn` command line tool (vornkit.cli).

numpy is needed by capture() only (pip install 'pyvorn_device[numpy]'). See docs/python-api.md.
"""

from ._acquire import NPY_DTYPES, Recording, capture, record
from ._errors import (
    OVERFLOW_PREFIX,
    RegisterError,
    StreamEndedError,
    StreamError,
    StreamOverflowError,
    StreamTimeoutError,
    VornError,
    overflow_counts,
)
from ._plugins import (
    open_device,
    open_manager,
    plugin_dir,
    bundled_plugins,
    resolve_plugin,
    sdk_prefix,
    set_registers,
    sim_plugin,
)
from ._progress import Progress, ProgressLine
from ._stream import AsyncChunkStream, Block, ChunkStream, astream, stream

__all__ = [
    "Block",
    "NPY_DTYPES",
    "OVERFLOW_PREFIX",
    "AsyncChunkStream",
    "ChunkStream",
    "Progress",
    "ProgressLine",
    "Recording",
    "RegisterError",
    "StreamEndedError",
    "StreamError",
    "StreamOverflowError",
    "StreamTimeoutError",
    "VornError",
    "astream",
    "capture",
    "open_device",
    "open_manager",
    "overflow_counts",
    "plugin_dir",
    "record",
    "bundled_plugins",
    "resolve_plugin",
    "sdk_prefix",
    "set_registers",
    "sim_plugin",
    "stream",
]
