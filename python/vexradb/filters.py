"""Metadata filters for Client.search: Eq, In, And and Or, combinable with & and |.

    Eq("genre", "jazz") & In("year", [1999, 2000])

Values compare as JSON values of the same kind: the integer 1 does not match the float 1.0.
"""

import json

from ._codec import Writer


class Filter:
    def __and__(self, other):
        return And(self, other)

    def __or__(self, other):
        return Or(self, other)

    def encode(self, writer):
        raise NotImplementedError


class Eq(Filter):
    """The metadata field (a dot-separated path) exists and equals `value`."""

    def __init__(self, field, value):
        self.field = field
        self.value = value

    def encode(self, writer):
        writer.i32(1).text(self.field).text(_json(self.value))

    def __repr__(self):
        return "Eq(%r, %r)" % (self.field, self.value)


class In(Filter):
    """The metadata field exists and equals one of `values`."""

    def __init__(self, field, values):
        self.field = field
        self.values = list(values)

    def encode(self, writer):
        writer.i32(2).text(self.field).i32(len(self.values))
        for value in self.values:
            writer.text(_json(value))

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

    def encode(self, writer):
        writer.i32(self._number).i32(len(self.filters))
        for f in self.filters:
            f.encode(writer)

    def __repr__(self):
        return "%s(%s)" % (type(self).__name__, ", ".join(map(repr, self.filters)))


class And(_Combination):
    """Every sub-filter matches (an empty And matches everything)."""

    _number = 3


class Or(_Combination):
    """At least one sub-filter matches (an empty Or matches nothing)."""

    _number = 4


def _json(value):
    return json.dumps(value, separators=(",", ":"), ensure_ascii=False, allow_nan=False)


def encode_filter(f):
    writer = Writer()
    f.encode(writer)
    return writer.bytes()
