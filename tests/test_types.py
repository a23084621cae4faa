"""The types a service hands the encoder beyond the plain ones (datetimes, UUIDs, Enum members,
dataclasses, NaN), and dumps's default: written as orjson writes them, byte for byte as the
reference encoder writes them, with the hook's contract (nested, raising, self-returning, never
consulted for what the encoder writes itself, free to change the tree) and no leaks."""

from __future__ import annotations

import collections
import dataclasses
import datetime as dt
import decimal
import enum
import gc
import io
import math
import os
import sys
import uuid
from typing import Any, ClassVar

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import wexo
from wexo import _ext
from wexo.reference import dumps as reference
from wexo_native import loads_binary

from test_encoder_native import OPTION_SETS, SCALARS, TEXT, columns, rows
from test_leaks import blocks_per_call

native = _ext.dumps
SANITIZER = bool(os.environ.get("WEXO_SANITIZER"))
EXACT_INT_LIMIT = 2.0**53


class Color(enum.Enum):
    RED = "red"
    GREEN = 2
    BLUE = (1, "b")  # a tuple value: a list once written


class Level(enum.IntEnum):
    LOW = 1
    HIGH = 7


class Perm(enum.Flag):
    R = 4
    W = 2


@dataclasses.dataclass
class Point:
    x: int
    y: float
    label: str = "p"
    kind: ClassVar[str] = "point"  # not a field
    tags: list[str] = dataclasses.field(default_factory=list)


@dataclasses.dataclass(frozen=True, slots=True)
class Event:
    at: dt.datetime
    id: uuid.UUID
    color: Color
    where: Point


@dataclasses.dataclass
class Empty:
    pass


UTC = dt.timezone.utc
IST = dt.timezone(dt.timedelta(hours=5, minutes=30))
WEST = dt.timezone(dt.timedelta(hours=-3))
U = uuid.UUID("12345678-9abc-def0-0fed-cba987654321")

# Each case is written by orjson natively, by default (NaN and the infinities as null).
ORACLE = {
    "naive datetime": dt.datetime(2024, 3, 9, 14, 5, 7),
    "microseconds": dt.datetime(2024, 3, 9, 14, 5, 7, 120),
    "utc": dt.datetime(2024, 12, 31, 23, 59, 59, 999999, tzinfo=UTC),
    "positive offset": dt.datetime(2001, 1, 2, 3, 4, 5, tzinfo=IST),
    "negative offset": dt.datetime(1999, 7, 1, 0, 0, tzinfo=WEST),
    "year 1": dt.datetime(1, 1, 1),
    "year 9999": dt.datetime(9999, 12, 31, 23, 59, 59, 1),
    "date": dt.date(2024, 2, 29),
    "early date": dt.date(33, 4, 5),
    "time": dt.time(7, 8, 9),
    "time microseconds": dt.time(23, 0, 0, 500000),
    "uuid": U,
    "nil uuid": uuid.UUID(int=0),
    "max uuid": uuid.UUID(int=2**128 - 1),
    "uuid4": uuid.UUID("0b7f3a8e-6f0e-4c1d-9a4b-2f6d8c9e1a7b"),
    "enum str": Color.RED,
    "enum int": Color.GREEN,
    "enum tuple": Color.BLUE,
    "int enum": Level.HIGH,
    "flag": Perm.R | Perm.W,
    "dataclass": Point(1, 2.5, tags=["a", "b"]),
    "slots dataclass": Event(dt.datetime(2020, 5, 6, tzinfo=UTC), U, Color.GREEN, Point(0, -1.0)),
    "empty dataclass": Empty(),
    "nan": float("nan"),
    "infinities": [float("inf"), -math.inf, 1.5],
    "rows of dataclasses": [Point(i, i / 4, f"n{i % 3}") for i in range(12)],
    "mixed service payload": {
        "at": dt.datetime(2024, 1, 2, 3, 4, 5, 6, tzinfo=UTC),
        "day": dt.date(2024, 1, 2),
        "ids": [uuid.UUID(int=i * 7919) for i in range(5)],
        "levels": [Level.LOW, Level.HIGH, Color.RED],
        "points": {"a": Point(1, 1.0), "b": Point(2, float("nan"))},
        "missing": [1.0, float("nan"), 2.5, float("-inf")],
    },
}


def plain(x: Any) -> Any:
    """orjson's decoded value as this format gives it back: integral floats below 2**53 as ints."""
    if type(x) is float and -EXACT_INT_LIMIT < x < EXACT_INT_LIMIT and x == int(x):
        return int(x)
    if isinstance(x, list):
        return [plain(v) for v in x]
    if isinstance(x, dict):
        return {k: plain(v) for k, v in x.items()}
    return x


def typed(x: Any) -> Any:
    """x with each scalar paired with its type, for a type-exact comparison."""
    if isinstance(x, list):
        return [typed(v) for v in x]
    if isinstance(x, dict):
        return [(k, typed(v)) for k, v in x.items()]
    return (type(x).__name__, x)


@pytest.mark.parametrize("name", list(ORACLE))
def test_written_as_orjson_writes_them(name):
    orjson = pytest.importorskip("orjson")
    value = ORACLE[name]
    want = plain(orjson.loads(orjson.dumps(value)))
    got = wexo.loads(wexo.dumps(value, nonfinite="null"))
    assert typed(got) == typed(want)
    assert reference(value, nonfinite="null") == native(value, nonfinite="null")


def test_each_type_is_written_as_the_value_it_stands_for():
    # What the encoder writes in a value's place is exactly what the caller could have passed.
    tree = {"at": dt.datetime(2024, 3, 9, 14, 5, 7, tzinfo=IST), "id": U, "c": Color.BLUE,
            "p": Point(1, 2.0), "rows": [Point(i, 0.5) for i in range(3)], "t": dt.time(1, 2),
            "nan": float("nan")}
    same = {"at": "2024-03-09T14:05:07+05:30", "id": "12345678-9abc-def0-0fed-cba987654321",
            "c": (1, "b"), "p": {"x": 1, "y": 2.0, "label": "p", "tags": []},
            "rows": [{"x": i, "y": 0.5, "label": "p", "tags": []} for i in range(3)],
            "t": "01:02:00", "nan": None}
    assert native(tree, nonfinite="null") == native(same)


class Stamp(dt.datetime):
    def isoformat(self, *args, **kwargs):  # not consulted: the base type's form is written
        return "overridden"


class MyUUID(uuid.UUID):
    def __str__(self):
        return "overridden"


def test_subclasses_of_the_types_are_written_as_their_base():
    tree = [Stamp(2020, 1, 2, 3, 4, 5), MyUUID(int=255), Level.LOW, dt.date.today()]
    data = native(tree)
    assert data == reference(tree)
    out = loads_binary(data)
    assert out[:3] == ["2020-01-02T03:04:05", "00000000-0000-0000-0000-0000000000ff", 1]


# Values nothing converts keep their TypeError, with the exact path; default may convert them.
REFUSED = [  # tree, message
    ({"items": [1, 2, {"price": decimal.Decimal("1.5")}]},
     "unsupported type decimal.Decimal at $.items[2].price"),
    ({"s": {1, 2}}, "unsupported type set at $.s"),
    ([b"bytes"], "unsupported type bytes at $[0]"),
    ({"t": dt.time(1, 2, tzinfo=UTC)}, "unsupported type datetime.time with tzinfo at $.t"),
    ({"c": Color}, "unsupported type enum.EnumType at $.c" if sys.version_info >= (3, 11)
     else "unsupported type enum.EnumMeta at $.c"),
    ({"cls": Point}, "unsupported type type at $.cls"),  # the class, not an instance
    ({"p": Point(1, decimal.Decimal(2))}, "unsupported type decimal.Decimal at $.p.y"),
    ({"e": [Color.RED, Perm.R, Level.LOW, {"deep": complex(1, 2)}]},
     "unsupported type complex at $.e[3].deep"),
    ([float("nan")], "float is not finite at $[0]"),
]


@pytest.mark.parametrize(("tree", "message"), REFUSED, ids=range(len(REFUSED)))
def test_refusals_name_the_path(tree, message):
    # without a default, a refused type says what would convert it
    if message.startswith("unsupported type"):
        message += " (a default= function can convert it)"
    for dumps in (native, reference):
        with pytest.raises((TypeError, ValueError)) as caught:
            dumps(tree)
        assert str(caught.value) == message
        assert type(caught.value) is (ValueError if "finite" in message else TypeError)


class Price:
    def __init__(self, amount: str) -> None:
        self.amount = decimal.Decimal(amount)


def to_plain(o: object) -> object:
    """A hook that takes two steps for a Price: a dict holding a Decimal, then the Decimal."""
    if isinstance(o, Price):
        return {"amount": o.amount, "currency": "EUR"}
    if isinstance(o, decimal.Decimal):
        return str(o)
    if isinstance(o, (set, frozenset)):
        return sorted(o)
    raise TypeError(f"cannot write {type(o).__name__}")


def test_default_converts_in_turn_and_keeps_paths_exact():
    tree = {"items": [{"price": Price("1.50")}, {"price": Price("2")}, {"tags": {"b", "a"}}]}
    data = native(tree, default=to_plain)
    assert data == reference(tree, default=to_plain)
    assert loads_binary(data) == {"items": [{"price": {"amount": "1.50", "currency": "EUR"}},
                                            {"price": {"amount": "2", "currency": "EUR"}},
                                            {"tags": ["a", "b"]}]}

    def halfway(o):  # a Price becomes a dict holding a Decimal, which it leaves as it is
        return {"amount": o.amount} if isinstance(o, Price) else o

    tree = {"items": [1, 2, {"price": Price("3")}]}
    for dumps in (native, reference):
        with pytest.raises(TypeError) as caught:
            dumps(tree, default=halfway)
        assert str(caught.value) == (
            "unsupported type decimal.Decimal after 254 conversions at $.items[2].price.amount")


class Boom(Exception):
    pass


def test_an_exception_of_default_propagates_unchanged():
    err = Boom("mine")

    def hook(o):
        raise err

    for dumps in (native, reference):
        with pytest.raises(Boom) as caught:
            dumps({"a": [1, decimal.Decimal(1)]}, default=hook)
        assert caught.value is err


def test_a_hook_returning_its_argument_ends_after_254_calls():
    calls = []

    def same(o):
        calls.append(o)
        return o

    value = decimal.Decimal(7)
    for dumps in (native, reference):
        calls.clear()
        with pytest.raises(TypeError) as caught:
            dumps({"x": [None, value]}, default=same)
        assert str(caught.value) == "unsupported type decimal.Decimal after 254 conversions at $.x[1]"
        assert len(calls) == 254 and all(c is value for c in calls)


def test_default_is_not_consulted_for_what_the_encoder_writes():
    calls = []

    def hook(o):
        calls.append(o)
        return None

    class S(str):
        pass

    tree = {"plain": [None, True, 1, 2.5, "x", (1, 2), {"k": [1]}], "sub": S("s"),
            "od": collections.OrderedDict(a=1), "types": list(ORACLE.values())}
    native(tree, default=hook, nonfinite="null")
    reference(tree, default=hook, nonfinite="null")
    assert calls == []
    # nonfinite="error" is not for default to mend, nor a key that is not a str
    with pytest.raises(ValueError, match=r"float is not finite at \$\[1\]"):
        native([1, math.nan], default=hook)
    for dumps in (native, reference):
        with pytest.raises(TypeError) as caught:
            dumps({"a": {U: 1}}, default=hook)
        assert str(caught.value) == f"object key {U!r} is not a str at $.a"
    assert calls == []


def test_cycles_through_the_hook():
    class Loop:
        pass

    loop = Loop()
    tree = {"a": [loop]}
    fresh = lambda o: {"again": o}  # noqa: E731 - a new container each time: nesting grows
    cached = {"again": loop}
    for dumps in (native, reference):
        with pytest.raises(ValueError) as caught:
            dumps(tree, default=fresh)
        assert str(caught.value) == "nesting deeper than 512 levels at $.a[0]....again (depth 512)"
        with pytest.raises(ValueError) as caught:
            dumps(tree, default=lambda o: cached)
        assert str(caught.value) == "circular reference at $.a[0].again"
        with pytest.raises(ValueError) as caught:
            dumps(tree, default=lambda o: tree)
        assert str(caught.value) == "circular reference at $.a[0]"


def test_hook_results_shared_or_fresh_match_the_reference():
    shared = [{"v": i, "name": "shared name"} for i in range(4)]

    class A:
        pass

    tree = {"xs": [A() for _ in range(6)], "rows": [{"a": A(), "b": i} for i in range(5)],
            "again": shared}
    for hook in (lambda o: shared, lambda o: [{"v": 1, "name": "fresh name"}], lambda o: 1.5,
                 lambda o: dt.date(2000, 1, 1), lambda o: Color.BLUE):
        for options in ({}, {"anchors": False}, {"tables": False, "pool": False}):
            assert native(tree, default=hook, **options) == reference(tree, default=hook, **options)


def test_default_may_call_dumps_again():
    def hook(o):
        return {"inner": native({"d": decimal.Decimal(1)}, default=str).hex()}

    tree = [decimal.Decimal(2)] * 3
    assert native(tree, default=hook) == reference(tree, default=hook)


class Victims:
    before: list = []
    after: dict = {}
    tree: dict = {}


def mutate(o):
    """A hook that empties containers of the tree, before and after its place, and the root."""
    Victims.before.clear()
    Victims.after.clear()
    Victims.tree.clear()
    gc.collect()
    return "hooked"


def test_a_hook_that_mutates_the_tree_reads_no_freed_memory():
    for _ in range(3):
        before = [f"early {i}" * 3 for i in range(40)]
        after = {f"k{i}": [f"late {i}" * 3, i + 0.5] for i in range(40)}
        Victims.before, Victims.after = before, after
        tree = {"before": before, "x": Price("1"), "also": before, "after": after,
                "rows": [{"p": Price("2"), "s": f"row {i}" * 2} for i in range(10)]}
        Victims.tree = tree
        want_before = list(before)
        del before, after
        data = native(tree, default=mutate)
        out = loads_binary(data)
        # each container is written as it was when the encoder reached it
        assert out["before"] == out["also"] == want_before
        assert out["x"] == "hooked" and out["after"] == {}
        assert out["rows"] == [{"p": "hooked", "s": f"row {i}" * 2} for i in range(10)]


def test_keyword_checks():
    for dumps in (native, reference):
        with pytest.raises(TypeError) as caught:
            dumps(1, default=5)
        assert str(caught.value) == "dumps(): default must be callable or None, not int"
        with pytest.raises(ValueError) as caught:
            dumps(1, nonfinite="zero")
        assert str(caught.value) == "dumps(): nonfinite must be 'error' or 'null', not 'zero'"
        with pytest.raises(TypeError) as caught:
            dumps(1, nonfinite=None)
        assert str(caught.value) == "dumps(): nonfinite must be 'error' or 'null', not None"
        assert dumps([math.nan], nonfinite="null") == dumps([None], default=None)
        with pytest.raises(ValueError):
            dumps([math.inf], nonfinite="error")


def test_dump_takes_default_and_nonfinite():
    fp = io.BytesIO()
    wexo.dump({"d": decimal.Decimal("1.5"), "n": math.nan}, fp, default=str, nonfinite="null")
    assert wexo.loads(fp.getvalue()) == {"d": "1.5", "n": None}


# The byte-identity property over trees holding the new types, shared hook results and NaN.

class Box:
    """Unwrapped by HOOK into what it holds."""

    def __init__(self, inner: object) -> None:
        self.inner = inner


def HOOK(o: object) -> object:
    if isinstance(o, Box):
        return o.inner
    if isinstance(o, decimal.Decimal):
        return float(o)
    raise TypeError("not mine")


class Fixed(dt.tzinfo):
    """A time zone of the caller's own, in Python."""

    def utcoffset(self, when):
        return dt.timedelta(hours=2, minutes=15)

    def dst(self, when):
        return None


ZONES = st.sampled_from([
    None, UTC, IST, WEST, Fixed(),
    dt.timezone(dt.timedelta(hours=-1, minutes=-2, seconds=-3, microseconds=-4)),
    dt.timezone(dt.timedelta(seconds=30)), dt.timezone(dt.timedelta(hours=23, minutes=59)),
])


@settings(max_examples=60 if SANITIZER else 300, deadline=None)
@given(st.one_of(st.datetimes(timezones=ZONES), st.dates(), st.times()))
def test_datetimes_as_their_isoformat(value):
    assert native([value]) == native([value.isoformat()]) == reference([value])


NEW = st.one_of(
    st.datetimes(timezones=ZONES),
    st.datetimes().map(lambda d: Stamp(*d.timetuple()[:6], d.microsecond)),
    st.dates(),
    st.times(),
    st.uuids(),
    st.sampled_from([Color.RED, Color.GREEN, Color.BLUE, Level.LOW, Perm.W, Perm.R | Perm.W]),
    st.sampled_from([math.nan, math.inf, -math.inf]),
    st.decimals(allow_nan=False, allow_infinity=False, places=2, max_value=10**6,
                min_value=-10**6),
)
LEAVES = st.one_of(SCALARS, NEW)


def boxed(children):
    return st.one_of(
        children.map(Box),
        st.builds(Point, st.integers(-9, 9), st.floats(allow_nan=False, allow_infinity=False),
                  TEXT, st.lists(TEXT, max_size=3)),
        st.tuples(children, children).map(lambda p: Point(0, 1.0, "x", [p[0], p[1]])),  # type: ignore[list-item]
    )


class Items(list):  # type: ignore[type-arg]
    pass


Pair = collections.namedtuple("Pair", "a b")

TREES = st.recursive(
    LEAVES,
    lambda children: st.one_of(
        st.lists(children, max_size=6),
        st.dictionaries(TEXT, children, max_size=6),
        # containers of other types, copied by the reference encoder as they are
        st.lists(children, max_size=4).map(tuple),
        st.lists(children, max_size=4).map(Items),
        st.tuples(children, children).map(lambda p: Pair(*p)),
        st.dictionaries(TEXT, children, max_size=4).map(collections.OrderedDict),
        rows(children),
        columns(children),
        boxed(children),
    ),
    max_leaves=30,
)


@st.composite
def shared_trees(draw):
    """Containers in several places, some reached only through a Box."""
    parts = draw(st.lists(TREES, min_size=1, max_size=3))
    picks = draw(st.lists(st.integers(0, len(parts) - 1), min_size=1, max_size=8))
    return [Box(parts[i]) if k % 2 else parts[i] for k, i in enumerate(picks)]


@settings(max_examples=40 if SANITIZER else 250, deadline=None,
          suppress_health_check=[HealthCheck.too_slow])
@given(st.one_of(TREES, shared_trees()), OPTION_SETS)
def test_same_bytes_as_the_reference_with_types_and_hook(tree, options):
    assert native(tree, default=HOOK, nonfinite="null", **options) == \
        reference(tree, default=HOOK, nonfinite="null", **options)


# Leaks on every path of the hook and the conversions.

def _refuse(fn):
    def run():
        try:
            fn()
        except (TypeError, ValueError, Boom):
            pass
    return run


def _raise(o):
    raise Boom("x")


LEAKS = {
    "types": lambda: native(ORACLE["mixed service payload"], nonfinite="null"),
    "rows of dataclasses": lambda: native(ORACLE["rows of dataclasses"]),
    "hook success": lambda: native({"a": [Price("1"), Price("2")]}, default=to_plain),
    "hook fresh containers": lambda: native([Box([1, "x" * 30])] * 5, default=HOOK),
    "hook raising": _refuse(lambda: native({"a": [1, Price("1")]}, default=_raise)),
    "hook chain limit": _refuse(lambda: native([decimal.Decimal(1)], default=lambda o: o)),
    "hook nesting": _refuse(lambda: native([Box(0)], default=lambda o: [o])),
    "refused aware time": _refuse(lambda: native({"t": dt.time(1, tzinfo=UTC)})),
    "refused in dataclass": _refuse(lambda: native(Point(1, decimal.Decimal(1)))),
}


@pytest.mark.skipif(SANITIZER, reason="PYTHONMALLOC=malloc counts no blocks")
@pytest.mark.parametrize("name", list(LEAKS))
def test_no_reference_leaks(name):
    assert blocks_per_call(LEAKS[name], 1500, warm=200) < 0.05
