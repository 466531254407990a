"""The byte encoding of the library's interface: big-endian numbers, an i32 length before texts
and sequences, one tag byte before optional values, i32 variant numbers counted from 1."""

import struct

try:  # optional fast path for large float sequences
    import numpy as _np
except ImportError:  # pragma: no cover - exercised where numpy is absent
    _np = None

_I32 = struct.Struct(">i")
_U32 = struct.Struct(">I")
_U64 = struct.Struct(">Q")
_F32 = struct.Struct(">f")


def float_bytes(values):
    """The big-endian f32 bytes of a vector (list, tuple or numpy array)."""
    if _np is not None and isinstance(values, _np.ndarray):
        if values.ndim != 1:
            raise ValueError("a vector must be one-dimensional")
        return values.astype(">f4", copy=False).tobytes()
    values = list(values)
    return struct.pack(">%df" % len(values), *values)


class Writer:
    def __init__(self):
        self._parts = []

    def i32(self, value):
        self._parts.append(_I32.pack(value))
        return self

    def u32(self, value):
        self._parts.append(_U32.pack(value))
        return self

    def u8(self, value):
        self._parts.append(bytes((value,)))
        return self

    def boolean(self, value):
        return self.u8(1 if value else 0)

    def text(self, value):
        data = value.encode("utf-8")
        self.i32(len(data))
        self._parts.append(data)
        return self

    def optional_text(self, value):
        if value is None:
            return self.u8(0)
        self.u8(1)
        return self.text(value)

    def floats(self, values):
        data = float_bytes(values)
        self.i32(len(data) // 4)
        self._parts.append(data)
        return self

    def bytes(self):
        return b"".join(self._parts)


class Reader:
    def __init__(self, data):
        self._data = data
        self._pos = 0

    def _take(self, n):
        if self._pos + n > len(self._data):
            raise ValueError("truncated reply from the library")
        start = self._pos
        self._pos += n
        return self._data[start:self._pos]

    def u8(self):
        return self._take(1)[0]

    def i32(self):
        return _I32.unpack(self._take(4))[0]

    def u32(self):
        return _U32.unpack(self._take(4))[0]

    def u64(self):
        return _U64.unpack(self._take(8))[0]

    def f32(self):
        return _F32.unpack(self._take(4))[0]

    def text(self):
        return self._take(self.i32()).decode("utf-8")

    def optional_text(self):
        return self.text() if self.u8() == 1 else None

    def floats(self):
        count = self.i32()
        data = self._take(4 * count)
        return list(struct.unpack(">%df" % count, data))

    def done(self):
        return self._pos == len(self._data)
