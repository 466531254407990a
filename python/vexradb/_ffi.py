"""Loads libvexradb_bindings.so and calls it the way generated bindings do: checked contract
version and checksums, call-status records, buffers owned by the library, and one handle
reference consumed by every method call."""

import os
import pathlib

import cffi

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


# The interface's records and buffer functions, as its public header declares them.
_BASICS = """
typedef struct RustBuffer { uint64_t capacity; uint64_t len; uint8_t* data; } RustBuffer;
typedef struct ForeignBytes { int32_t len; const uint8_t* data; } ForeignBytes;
typedef struct CallStatus { int8_t code; RustBuffer error_buf; } CallStatus;
uint32_t ffi_vexradb_bindings_uniffi_contract_version(void);
RustBuffer ffi_vexradb_bindings_rustbuffer_alloc(uint64_t size, CallStatus* status);
RustBuffer ffi_vexradb_bindings_rustbuffer_from_bytes(ForeignBytes bytes, CallStatus* status);
void ffi_vexradb_bindings_rustbuffer_free(RustBuffer buf, CallStatus* status);
"""

# name without the "uniffi_vexradb_bindings_fn_" prefix: (result, parameters before the status)
_FUNCTIONS = {
    "func_version": ("RustBuffer", ""),
    "func_system_info": ("RustBuffer", ""),
    "constructor_vexraclient_new_in_memory": ("void*", "uint32_t"),
    "constructor_vexraclient_open": ("void*", "RustBuffer, RustBuffer"),
    "clone_vexraclient": ("void*", "void*"),
    "free_vexraclient": ("void", "void*"),
    "method_vexraclient_insert": ("void", "void*, RustBuffer, RustBuffer, RustBuffer"),
    "method_vexraclient_upsert": ("void", "void*, RustBuffer, RustBuffer, RustBuffer"),
    "method_vexraclient_upsert_batch": ("void", "void*, RustBuffer"),
    "method_vexraclient_get": ("RustBuffer", "void*, RustBuffer"),
    "method_vexraclient_delete": ("int8_t", "void*, RustBuffer"),
    "method_vexraclient_list": ("RustBuffer", "void*, uint32_t, uint32_t"),
    "method_vexraclient_len": ("uint64_t", "void*"),
    "method_vexraclient_is_empty": ("int8_t", "void*"),
    "method_vexraclient_search": ("RustBuffer", "void*, RustBuffer, uint32_t"),
    "method_vexraclient_search_with_filter":
        ("RustBuffer", "void*, RustBuffer, uint32_t, RustBuffer"),
    "method_vexraclient_stats": ("RustBuffer", "void*"),
    "method_vexraclient_sync": ("void", "void*"),
    "method_vexraclient_checkpoint": ("void", "void*"),
    # The library's extensions, under their own prefix (no checksums: not in the contract).
    "vexradb_ext_search_with_filter_json":
        ("RustBuffer", "void*, RustBuffer, uint32_t, RustBuffer"),
    "vexradb_ext_open_client": ("void*", "RustBuffer, RustBuffer, int8_t, uint32_t"),
    "vexradb_ext_search_batch":
        ("RustBuffer", "void*, RustBuffer, uint32_t, uint32_t, RustBuffer, uint32_t, int8_t"),
    "vexradb_ext_set_text_index": ("void", "void*, RustBuffer"),
    "vexradb_ext_text_search": ("RustBuffer", "void*, RustBuffer, uint32_t, RustBuffer"),
    "vexradb_ext_hybrid_search":
        ("RustBuffer", "void*, RustBuffer, RustBuffer, uint32_t, RustBuffer, RustBuffer"),
}
_EXTENSION_PREFIX = "vexradb_ext_"
# ForeignBytes counts in an i32: larger payloads are copied into an allocated buffer instead.
_FOREIGN_BYTES_MAX = 2**31 - 1


def _symbol_name(name):
    return name if name.startswith(_EXTENSION_PREFIX) else "uniffi_vexradb_bindings_fn_" + name


def _declarations():
    lines = [_BASICS]
    for name, (result, parameters) in _FUNCTIONS.items():
        status = "CallStatus* status" if not parameters else ", CallStatus* status"
        lines.append("%s %s(%s%s);" % (result, _symbol_name(name), parameters, status))
    lines += ["uint16_t uniffi_vexradb_bindings_checksum_%s(void);" % name for name in CHECKSUMS]
    return "\n".join(lines)


# cffi in its ABI mode: the library is opened at run time and nothing is compiled. Its calls cost
# a fraction of what ctypes' cost, which is most of what this package adds to a search; like
# ctypes, it lets go of the interpreter lock during each call.
ffi = cffi.FFI()
ffi.cdef(_declarations())
_BUFFER = ffi.typeof("RustBuffer")
_STATUS = ffi.typeof("CallStatus*")


def is_buffer(value):
    """Whether `value` is a RustBuffer (which a call would take over)."""
    return isinstance(value, ffi.CData) and ffi.typeof(value) is _BUFFER


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
        try:
            self._lib = ffi.dlopen(str(path))
        except OSError as error:
            raise errors.LibraryMismatchError("cannot load %s: %s" % (path, error)) from None
        self._check_contract()
        self._functions = {}

    def _check_contract(self):
        version = self._symbol("ffi_vexradb_bindings_uniffi_contract_version")()
        if version != CONTRACT_VERSION:
            raise errors.LibraryMismatchError(
                "%s speaks contract version %d; this package needs %d"
                % (self.path, version, CONTRACT_VERSION)
            )
        for name, expected in CHECKSUMS.items():
            checksum = self._symbol("uniffi_vexradb_bindings_checksum_" + name)()
            if checksum != expected:
                raise errors.LibraryMismatchError(
                    "%s: the signature of %s differs from this package's (checksum %#06x, "
                    "expected %#06x)" % (self.path, name, checksum, expected)
                )
        self._alloc = self._symbol("ffi_vexradb_bindings_rustbuffer_alloc")
        self._from_bytes = self._symbol("ffi_vexradb_bindings_rustbuffer_from_bytes")
        self._free = self._symbol("ffi_vexradb_bindings_rustbuffer_free")

    def _symbol(self, name):
        try:
            return getattr(self._lib, name)
        except AttributeError:
            raise errors.LibraryMismatchError("%s has no function %s" % (self.path, name)) from None

    def function(self, name):
        """The exported function `uniffi_vexradb_bindings_fn_<name>`, or the extension `name`."""
        fn = self._functions.get(name)
        if fn is None:
            fn = self._functions[name] = self._symbol(_symbol_name(name))
        return fn

    # ---- buffers --------------------------------------------------------------------------

    def to_buffer(self, data):
        """A library-owned buffer holding `data`; ownership passes to the callee."""
        status = ffi.new(_STATUS)
        if len(data) <= _FOREIGN_BYTES_MAX:  # one call copies it in
            buf = self._from_bytes((len(data), ffi.from_buffer(data)), status)
            self._raise_for(status)
            return buf
        buf = self._alloc(len(data), status)
        self._raise_for(status)
        ffi.memmove(buf.data, data, len(data))
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
        data = ffi.unpack(ffi.cast("char*", buf.data), buf.len) if buf.len else b""
        self._free(buf, ffi.new(_STATUS))
        return data

    # ---- calls ----------------------------------------------------------------------------

    def call(self, name, *args):
        """Calls a function with a fresh call status and raises what it reports."""
        status = ffi.new(_STATUS)
        result = self.function(name)(*args, status)
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
