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
_F64 = struct.Struct(">d")


def float_bytes(values):
    """The big-endian f32 bytes of a vector (list, tuple or numpy array)."""
    if _np is not None and isinstance(values, _np.ndarray):
        if values.ndim != 1:
            raise ValueError("a vector must be one-dimensional")
        return values.astype(">f4", copy=False).tobytes()
    if not isinstance(values, (list, tuple)):
        values = list(values)
    return struct.pack(">%df" % len(values), *values)


def row_bytes(vectors, count):
    """The big-endian f32 bytes of each row of `vectors`, which must hold `count` rows: an (n, d)
    floating-point numpy array is converted in one pass, any other sequence row by row."""
    if _np is None or not isinstance(vectors, _np.ndarray):
        rows = [float_bytes(row) for row in vectors]
        if len(rows) != count:
            raise ValueError("%d vectors for %d ids" % (len(rows), count))
        return rows
    if vectors.ndim != 2:
        raise ValueError("vectors must be a two-dimensional array (got %d dimensions)"
                         % vectors.ndim)
    if vectors.shape[0] != count:
        raise ValueError("%d vectors for %d ids" % (vectors.shape[0], count))
    if vectors.dtype.kind != "f":
        raise TypeError("vectors must be floating-point (got dtype %s)" % vectors.dtype)
    data = _np.ascontiguousarray(vectors, dtype=">f4").tobytes()
    width = 4 * vectors.shape[1]
    return [data[i * width:(i + 1) * width] for i in range(count)]


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
        return self.float_bytes(float_bytes(values))

    def float_bytes(self, data):
        """A float sequence already encoded as big-endian f32 bytes."""
        self.i32(len(data) // 4)
        self._parts.append(data)
        return self

    def bytes(self):
        return b"".join(self._parts)


class Reader:
    # Fixed-width values are unpacked in place (unpack_from), without slicing: a search reply is
    # read once per call, and its decoding is a visible share of a call's cost.
    def __init__(self, data):
        self._data = data
        self._pos = 0

    def _advance(self, n):
        start = self._pos
        if start + n > len(self._data):
            raise ValueError("truncated reply from the library")
        self._pos = start + n
        return start

    def _take(self, n):
        start = self._advance(n)
        return self._data[start:self._pos]

    def u8(self):
        return self._data[self._advance(1)]

    def i32(self):
        return _I32.unpack_from(self._data, self._advance(4))[0]

    def u32(self):
        return _U32.unpack_from(self._data, self._advance(4))[0]

    def u64(self):
        return _U64.unpack_from(self._data, self._advance(8))[0]

    def f32(self):
        return _F32.unpack_from(self._data, self._advance(4))[0]

    def f64(self):
        return _F64.unpack_from(self._data, self._advance(8))[0]

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
