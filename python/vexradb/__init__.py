"""VexraDB: an embeddable vector database.

    from vexradb import Client, Eq, In

    with Client.in_memory(3) as db:
        db.insert("a", [1.0, 0.0, 0.0], {"genre": "jazz", "year": 1999})
        hits = db.search([1.0, 0.1, 0.0], k=5, filter=Eq("genre", "jazz") & In("year", [1999]))

Pure Python over the library's C interface (through cffi, nothing compiled); numpy arrays are
accepted as vectors.
The library is looked up in $VEXRADB_LIBRARY, next to this package, then in the repository's
build directory.
"""

from .client import (Client, HybridResult, Record, SearchResult, Stats, TextResult, system_info,
                     version)
from .errors import *  # noqa: F401,F403 - the exception classes
from .errors import InternalError, LibraryMismatchError, VexraError
from .filters import And, Eq, Filter, GeoRadius, Gt, Gte, In, Lt, Lte, Not, Or

__all__ = [
    "Client", "Record", "SearchResult", "Stats", "TextResult", "HybridResult", "version",
    "system_info",
    "Filter", "Eq", "In", "And", "Or", "Not", "Gt", "Gte", "Lt", "Lte", "GeoRadius",
    "VexraError", "InternalError", "LibraryMismatchError",
]
