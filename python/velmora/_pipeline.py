"""The read pipeline of the velmora command, native (the extension module
velmora._pipeline_ext, built with pybind11): whole jobs for velmora.fastq
and the shards of velmora.dask.  Internal: use those modules.

The extension links libvelmora without a search path of its own, so the
library is loaded first, from wherever velmora._native finds it; the dynamic
loader then gives the extension that same library by its SONAME.
"""

from . import _native

_native.lib()

from ._pipeline_ext import *  # noqa: E402,F401,F403
from ._pipeline_ext import DataError, TABLE_HEADER  # noqa: E402,F401
