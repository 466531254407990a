"""Loads libvexradb_bindings.so and calls it the way generated bindings do: checked contract
version and checksums, call-status records, buffers owned by the library, and one handle
reference consumed by every method call."""

import ctypes
import os
import pathlib

from . import errors
from ._codec import Reader

CONTRACT_VERSION = 26
LIBRARY_NAME = "libvexradb_bindings.so"
ENV_LIBRARY = "VEXRADB_LIBRARY"

# The signature checksum of every operation this package calls.
CHECKSUMS = {
    "func_version": 0xE2AB,
    "func_system_info": 0x3E47,
    "constructor_vexraclient_new_in_memory": 0x6F50,
    "constructor_vexraclient_open": 0xC75D,
    "method_vexraclient_insert": 0x0C04,
    "method_vexraclient_upsert": 0xCDB6,
    "method_vexraclient_upsert_batch": 0x89B3,
    "method_vexraclient_get": 0xE96E,
    "method_vexraclient_delete": 0x17CC,
    "method_vexraclient_list": 0xFC50,
    "method_vexraclient_len": 0xB056,
    "method_vexraclient_is_empty": 0x8142,
    "method_vexraclient_search": 0xE6DB,
    "method_vexraclient_search_with_filter": 0xCC20,
    "method_vexraclient_stats": 0xFCE4,
    "method_vexraclient_sync": 0x7C4C,
    "method_vexraclient_checkpoint": 0x4D49,
}


class RustBuffer(ctypes.Structure):
    _fields_ = [
        ("capacity", ctypes.c_uint64),
        ("len", ctypes.c_uint64),
        ("data", ctypes.POINTER(ctypes.c_uint8)),
    ]


class CallStatus(ctypes.Structure):
    _fields_ = [("code", ctypes.c_int8), ("error_buf", RustBuffer)]


_P = ctypes.c_void_p
_B = RustBuffer
_S = ctypes.POINTER(CallStatus)

# (C name without the "uniffi_vexradb_bindings_fn_" prefix, result, argument types)
_FUNCTIONS = {
    "func_version": (_B, []),
    "func_system_info": (_B, []),
    "constructor_vexraclient_new_in_memory": (_P, [ctypes.c_uint32]),
    "constructor_vexraclient_open": (_P, [_B, _B]),
    "clone_vexraclient": (_P, [_P]),
    "free_vexraclient": (None, [_P]),
    "method_vexraclient_insert": (None, [_P, _B, _B, _B]),
    "method_vexraclient_upsert": (None, [_P, _B, _B, _B]),
    "method_vexraclient_upsert_batch": (None, [_P, _B]),
    "method_vexraclient_get": (_B, [_P, _B]),
    "method_vexraclient_delete": (ctypes.c_int8, [_P, _B]),
    "method_vexraclient_list": (_B, [_P, ctypes.c_uint32, ctypes.c_uint32]),
    "method_vexraclient_len": (ctypes.c_uint64, [_P]),
    "method_vexraclient_is_empty": (ctypes.c_int8, [_P]),
    "method_vexraclient_search": (_B, [_P, _B, ctypes.c_uint32]),
    "method_vexraclient_search_with_filter": (_B, [_P, _B, ctypes.c_uint32, _B]),
    "method_vexraclient_stats": (_B, [_P]),
    "method_vexraclient_sync": (None, [_P]),
    "method_vexraclient_checkpoint": (None, [_P]),
    # The library's extensions, under their own prefix (no checksums: not in the contract).
    "vexradb_ext_search_with_filter_json": (_B, [_P, _B, ctypes.c_uint32, _B]),
}
_EXTENSION_PREFIX = "vexradb_ext_"


def _candidate_paths():
    env = os.environ.get(ENV_LIBRARY)
    if env:
        yield pathlib.Path(env)
        return
    here = pathlib.Path(__file__).resolve().parent
    yield here / LIBRARY_NAME  # installed next to the package
    yield here.parent.parent / "build" / LIBRARY_NAME  # the repository's build directory


def _find_library():
    for path in _candidate_paths():
        if path.is_file():
            return path
    tried = ", ".join(str(p) for p in _candidate_paths())
    raise errors.LibraryMismatchError(
        "cannot find %s (tried %s); build it with scripts/main.sh or set %s"
        % (LIBRARY_NAME, tried, ENV_LIBRARY)
    )


class Library:
    """The loaded library, checked against this package's contract."""

    def __init__(self, path):
        self.path = path
        self._lib = ctypes.CDLL(str(path))
        self._check_contract()
        self._functions = {}

    def _check_contract(self):
        version = self._symbol("ffi_vexradb_bindings_uniffi_contract_version")
        version.restype = ctypes.c_uint32
        version.argtypes = []
        if version() != CONTRACT_VERSION:
            raise errors.LibraryMismatchError(
                "%s speaks contract version %d; this package needs %d"
                % (self.path, version(), CONTRACT_VERSION)
            )
        for name, expected in CHECKSUMS.items():
            checksum = self._symbol("uniffi_vexradb_bindings_checksum_" + name)
            checksum.restype = ctypes.c_uint16
            checksum.argtypes = []
            if checksum() != expected:
                raise errors.LibraryMismatchError(
                    "%s: the signature of %s differs from this package's (checksum %#06x, "
                    "expected %#06x)" % (self.path, name, checksum(), expected)
                )
        self._alloc = self._symbol("ffi_vexradb_bindings_rustbuffer_alloc")
        self._alloc.restype = RustBuffer
        self._alloc.argtypes = [ctypes.c_uint64, _S]
        self._free = self._symbol("ffi_vexradb_bindings_rustbuffer_free")
        self._free.restype = None
        self._free.argtypes = [RustBuffer, _S]

    def _symbol(self, name):
        try:
            return getattr(self._lib, name)
        except AttributeError:
            raise errors.LibraryMismatchError("%s has no function %s" % (self.path, name)) from None

    def function(self, name):
        """The exported function `uniffi_vexradb_bindings_fn_<name>`, or the extension `name`,
        typed."""
        fn = self._functions.get(name)
        if fn is None:
            restype, argtypes = _FUNCTIONS[name]
            extension = name.startswith(_EXTENSION_PREFIX)
            fn = self._symbol(name if extension else "uniffi_vexradb_bindings_fn_" + name)
            fn.restype = restype
            fn.argtypes = argtypes + [_S]
            self._functions[name] = fn
        return fn

    # ---- buffers --------------------------------------------------------------------------

    def to_buffer(self, data):
        """A library-owned buffer holding `data`; ownership passes to the callee."""
        status = CallStatus()
        buf = self._alloc(len(data), ctypes.byref(status))
        self._raise_for(status)
        if data:
            ctypes.memmove(buf.data, data, len(data))
        return buf

    def to_buffers(self, *payloads):
        """Library-owned buffers of each payload, all or none: when one cannot be made, those
        already made are released before the error is raised."""
        buffers = []
        try:
            for data in payloads:
                buffers.append(self.to_buffer(data))
        except BaseException:
            for buf in buffers:
                self.take_bytes(buf)
            raise
        return buffers

    def take_bytes(self, buf):
        """The bytes of a buffer the library returned, which is then released."""
        data = ctypes.string_at(buf.data, buf.len) if buf.len else b""
        status = CallStatus()
        self._free(buf, ctypes.byref(status))
        return data

    # ---- calls ----------------------------------------------------------------------------

    def call(self, name, *args):
        """Calls a function with a fresh call status and raises what it reports."""
        status = CallStatus()
        result = self.function(name)(*args, ctypes.byref(status))
        self._raise_for(status)
        return result

    def _raise_for(self, status):
        if status.code == 0:
            return
        detail = self.take_bytes(status.error_buf)
        if status.code == 1:
            reader = Reader(detail)
            number = reader.i32()
            raise errors.error_for(number, reader.text())
        message = detail.decode("utf-8", "replace") or "internal failure (no message)"
        raise errors.InternalError(message)


_library = None


def library():
    """The process's library, loaded and checked on first use."""
    global _library
    if _library is None:
        _library = Library(_find_library())
    return _library
