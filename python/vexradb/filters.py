"""Metadata filters for Client.search: Eq, In, the ranges Gt, Gte, Lt and Lte, GeoRadius, and
And, Or and Not, combinable with &, | and ~.

    Eq("genre", "jazz") & In("year", [1999, 2000]) & Lt("price", 100) & ~Eq("sold", True)

Values compare as JSON values of the same kind: the integer 1 does not match the float 1.0;
ranges compare any number. Filters of Eq, In, And and Or travel in the library's exported filter
record; the others as JSON text through the library's extension (vexradb_ext_ functions).
"""

import json

from ._codec import Writer


class Filter:
    # Whether the exported filter record can carry this filter (encode); every filter has the
    # JSON form (to_json).
    in_contract = False

    def __and__(self, other):
        return And(self, other)

    def __or__(self, other):
        return Or(self, other)

    def __invert__(self):
        return Not(self)

    def encode(self, writer):
        raise NotImplementedError

    def to_json(self):
        raise NotImplementedError


class Eq(Filter):
    """The metadata field (a dot-separated path) exists and equals `value`."""

    def __init__(self, field, value):
        self.field = field
        self.value = value

    in_contract = True

    def encode(self, writer):
        writer.i32(1).text(self.field).text(_json(self.value))

    def to_json(self):
        return {"field": self.field, "eq": self.value}

    def __repr__(self):
        return "Eq(%r, %r)" % (self.field, self.value)


class In(Filter):
    """The metadata field exists and equals one of `values`."""

    def __init__(self, field, values):
        self.field = field
        self.values = list(values)

    in_contract = True

    def encode(self, writer):
        writer.i32(2).text(self.field).i32(len(self.values))
        for value in self.values:
            writer.text(_json(value))

    def to_json(self):
        return {"field": self.field, "in": self.values}

    def __repr__(self):
        return "In(%r, %r)" % (self.field, self.values)


class _Combination(Filter):
    _number = 0

    def __init__(self, *filters):
        flat = []
        for f in filters:
            # And(And(a, b), c) is And(a, b, c): keeps & chains shallow.
            flat.extend(f.filters if type(f) is type(self) else [f])
        self.filters = flat

    @property
    def in_contract(self):
        return all(f.in_contract for f in self.filters)

    def encode(self, writer):
        writer.i32(self._number).i32(len(self.filters))
        for f in self.filters:
            f.encode(writer)

    def to_json(self):
        return {self._key: [f.to_json() for f in self.filters]}

    def __repr__(self):
        return "%s(%s)" % (type(self).__name__, ", ".join(map(repr, self.filters)))


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
        self.filter = filter

    def to_json(self):
        return {"not": self.filter.to_json()}

    def __repr__(self):
        return "Not(%r)" % (self.filter,)


class _Bound(Filter):
    _key = None

    def __init__(self, field, number):
        if isinstance(number, bool) or not isinstance(number, (int, float)):
            raise TypeError("%s takes a number, not %r" % (type(self).__name__, number))
        self.field = field
        self.number = number

    def to_json(self):
        return {"field": self.field, self._key: self.number}

    def __repr__(self):
        return "%s(%r, %r)" % (type(self).__name__, self.field, self.number)


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
        self.field = field
        self.lat, self.lon, self.meters = lat, lon, meters

    def to_json(self):
        return {"field": self.field,
                "geo_radius": {"lat": self.lat, "lon": self.lon, "meters": self.meters}}

    def __repr__(self):
        return "GeoRadius(%r, %r, %r, %r)" % (self.field, self.lat, self.lon, self.meters)


def _json(value):
    return json.dumps(value, separators=(",", ":"), ensure_ascii=False, allow_nan=False)


def filter_json(f):
    """The JSON text of a filter, for the library's extension."""
    return _json(f.to_json())


def encode_filter(f):
    writer = Writer()
    f.encode(writer)
    return writer.bytes()
