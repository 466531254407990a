"""Exceptions raised by the vexradb package."""


class VexraError(Exception):
    """An error the database reported. `message` is its full text."""

    number = 0  # the error's variant number on the wire

    def __init__(self, message):
        super().__init__(message)
        self.message = message


class InternalError(Exception):
    """An internal failure of the library (a bug, or an argument it could not decode)."""

    def __init__(self, message):
        super().__init__(message)
        self.message = message


class LibraryMismatchError(ImportError):
    """The shared library found is not the one this package was written for."""


def _error_class(name, number, doc):
    return type(name, (VexraError,), {"number": number, "__doc__": doc})


DimensionMismatchError = _error_class("DimensionMismatchError", 1, "Vector of the wrong length.")
VectorNotFoundError = _error_class("VectorNotFoundError", 2, "A live vector could not be read.")
DuplicateVectorIdError = _error_class("DuplicateVectorIdError", 3, "Insert of a live id.")
IndexEmptyError = _error_class("IndexEmptyError", 4, "Search before anything was inserted.")
InvalidConfigurationError = _error_class("InvalidConfigurationError", 5, "Bad configuration.")
StorageError = _error_class("StorageError", 6, "Storage failure.")
VexraIOError = _error_class("VexraIOError", 7, "Operating-system input/output failure.")
SerializationError = _error_class("SerializationError", 8, "Text that is not valid JSON.")
CollectionNotFoundError = _error_class("CollectionNotFoundError", 9, "Unknown collection.")
DuplicateCollectionError = _error_class("DuplicateCollectionError", 10, "Existing collection.")
WalCorruptedError = _error_class("WalCorruptedError", 11, "Damaged write-ahead log.")
SnapshotCorruptedError = _error_class("SnapshotCorruptedError", 12, "Damaged snapshot.")
IndexCorruptedError = _error_class("IndexCorruptedError", 13, "Damaged index.")
ChecksumMismatchError = _error_class("ChecksumMismatchError", 14, "Checksum mismatch.")
UnsupportedVersionError = _error_class("UnsupportedVersionError", 15, "Unknown file version.")
CapacityExceededError = _error_class("CapacityExceededError", 16, "The store is full.")
LockFailedError = _error_class("LockFailedError", 17, "A lock could not be taken.")
CancelledError = _error_class("CancelledError", 18, "The operation was cancelled.")

_BY_NUMBER = {
    cls.number: cls
    for cls in (
        DimensionMismatchError, VectorNotFoundError, DuplicateVectorIdError, IndexEmptyError,
        InvalidConfigurationError, StorageError, VexraIOError, SerializationError,
        CollectionNotFoundError, DuplicateCollectionError, WalCorruptedError,
        SnapshotCorruptedError, IndexCorruptedError, ChecksumMismatchError,
        UnsupportedVersionError, CapacityExceededError, LockFailedError, CancelledError,
    )
}


def error_for(number, message):
    """The exception for an error variant number (a plain VexraError for an unknown one)."""
    cls = _BY_NUMBER.get(number)
    if cls is None:
        error = VexraError(message)
        error.number = number
        return error
    return cls(message)
