"""Compile JSONata expressions once and evaluate them against JSON-like Python data or JSON text."""

# The public names of the native module, one line each (`as` marks them re-exported).
from ._zarnu import Document as Document
from ._zarnu import Expression as Expression
from ._zarnu import Function as Function
from ._zarnu import ZarnuError as ZarnuError
from ._zarnu import __version__ as __version__
from ._zarnu import union_reads as union_reads
