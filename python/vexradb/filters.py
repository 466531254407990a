"""Metadata filters for Client.search: Eq, In, the ranges Gt, Gte, Lt and Lte, GeoRadius, and
And, Or and Not, combinable with &, | and ~.

    Eq("genre", "jazz") & In("year", [1999, 2000]) & Lt("price", 100) & ~Eq("sold", True)

Values compare as JSON values of the same kind: the integer 1 does not match the float 1.0;
ranges compare any number. Filters of Eq, In, And and Or travel in the library's exported filter
record; the others as JSON text through the library's extension (vexradb_ext_ functions).

Filters are immutable: each makes its encoded bytes and its JSON text on first use and keeps
them, so a filter built once and passed to many searches is encoded once.
"""

import json
import struct
from json.encoder import encode_basestring

_I32 = struct.Struct(">i")


class Filter:
    # Whether the exported filter record can carry this filter (encoded); every filter has the
    # JSON form (json_text).
    in_contract = False

    def __init__(self, **parts):
        for name, value in parts.items():
            object.__setattr__(self, "_" + name, value)

    def __setattr__(self, name, value):
        raise AttributeError("filters are immutable: build a new one")

    def __and__(self, other):
        return And(self, other)

    def __or__(self, other):
        return Or(self, other)

    def __invert__(self):
        return Not(self)

    def encoded(self):
        """The bytes of the exported filter record (for filters in_contract), made once."""
        return self._cached("_encoded_bytes", self._encode)

    def json_text(self):
        """The JSON text of the library's extension, made once."""
        return self._cached("_json_text", lambda: _json(self.to_json()))

    def json_utf8(self):
        """json_text() in UTF-8, as the library takes it, made once."""
        return self._cached("_json_utf8", lambda: self.json_text().encode("utf-8"))

    def _cached(self, name, make):
        value = self.__dict__.get(name)
        if value is None:
            value = make()
            object.__setattr__(self, name, value)
        return value

    def _encode(self):
        raise TypeError("%r has no exported filter record; use its JSON text" % (self,))

    def to_json(self):
        raise NotImplementedError


class Eq(Filter):
    """The metadata field (a dot-separated path) exists and equals `value`."""

    in_contract = True

    def __init__(self, field, value):
        super().__init__(field=field, value=value)

    field = property(lambda self: self._field)
    value = property(lambda self: self._value)

    def _encode(self):
        return (_I32.pack(1) + _text_bytes(self._field.encode("utf-8"))
                + _text_bytes(_json(self._value).encode("utf-8")))

    def to_json(self):
        return {"field": self._field, "eq": self._value}

    def __repr__(self):
        return "Eq(%r, %r)" % (self._field, self._value)


class In(Filter):
    """The metadata field exists and equals one of `values`."""

    in_contract = True

    def __init__(self, field, values):
        super().__init__(field=field, values=tuple(values))

    field = property(lambda self: self._field)
    values = property(lambda self: self._values)

    def _encode(self):
        texts = [_text_bytes(_value_json(value).encode("utf-8")) for value in self._values]
        return b"".join([_I32.pack(2), _text_bytes(self._field.encode("utf-8")),
                         _I32.pack(len(texts))] + texts)

    def to_json(self):
        return {"field": self._field, "in": list(self._values)}

    def __repr__(self):
        return "In(%r, %r)" % (self._field, list(self._values))


class _Combination(Filter):
    _number = 0

    def __init__(self, *filters):
        flat = []
        for f in filters:
            # And(And(a, b), c) is And(a, b, c): keeps & chains shallow.
            flat.extend(f.filters if type(f) is type(self) else [f])
        super().__init__(filters=tuple(flat))

    filters = property(lambda self: self._filters)

    @property
    def in_contract(self):
        return all(f.in_contract for f in self._filters)

    def _encode(self):
        return b"".join([_I32.pack(self._number), _I32.pack(len(self._filters))]
                        + [f.encoded() for f in self._filters])

    def to_json(self):
        return {self._key: [f.to_json() for f in self._filters]}

    def __repr__(self):
        return "%s(%s)" % (type(self).__name__, ", ".join(map(repr, self._filters)))


class And(_Combination):
    """Every sub-filter matches (an empty And matches everything)."""

    _number = 3
    _key = "and"


class Or(_Combination):
    """At least one sub-filter matches (an empty Or matches nothing)."""

    _number = 4
    _key = "or"


class Not(Filter):
    """The sub-filter does not match (a missing field matches ~Eq)."""

    def __init__(self, filter):
        super().__init__(filter=filter)

    filter = property(lambda self: self._filter)

    def to_json(self):
        return {"not": self._filter.to_json()}

    def __repr__(self):
        return "Not(%r)" % (self._filter,)


class _Bound(Filter):
    _key = None

    def __init__(self, field, number):
        if isinstance(number, bool) or not isinstance(number, (int, float)):
            raise TypeError("%s takes a number, not %r" % (type(self).__name__, number))
        super().__init__(field=field, number=number)

    field = property(lambda self: self._field)
    number = property(lambda self: self._number)

    def to_json(self):
        return {"field": self._field, self._key: self._number}

    def __repr__(self):
        return "%s(%r, %r)" % (type(self).__name__, self._field, self._number)


class Gt(_Bound):
    """The metadata field is a number greater than `number`."""

    _key = "gt"


class Gte(_Bound):
    """The metadata field is a number at least `number`."""

    _key = "gte"


class Lt(_Bound):
    """The metadata field is a number less than `number`."""

    _key = "lt"


class Lte(_Bound):
    """The metadata field is a number at most `number`."""

    _key = "lte"


class GeoRadius(Filter):
    """The metadata field is a point ({"lat": .., "lon": ..} or [lat, lon], in degrees) at most
    `meters` from (lat, lon) along the earth's surface."""

    def __init__(self, field, lat, lon, meters):
        super().__init__(field=field, lat=lat, lon=lon, meters=meters)

    field = property(lambda self: self._field)
    lat = property(lambda self: self._lat)
    lon = property(lambda self: self._lon)
    meters = property(lambda self: self._meters)

    def to_json(self):
        return {"field": self._field,
                "geo_radius": {"lat": self._lat, "lon": self._lon, "meters": self._meters}}

    def __repr__(self):
        return "GeoRadius(%r, %r, %r, %r)" % (self._field, self._lat, self._lon, self._meters)


def _json(value):
    return json.dumps(value, separators=(",", ":"), ensure_ascii=False, allow_nan=False)


def _value_json(value):
    """The JSON text of one operand: plain integers and strings without json.dumps, whose set-up
    costs several times the conversion (an In of many values is made of little else)."""
    kind = type(value)
    if kind is int:
        return str(value)
    if kind is str:
        return encode_basestring(value)
    return _json(value)


def _text_bytes(data):
    return _I32.pack(len(data)) + data
