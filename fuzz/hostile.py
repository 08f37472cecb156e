"""Argument generators for fuzzing vok_core's boundary.

Every value is drawn from the fuzzer's bytes through a FuzzedDataProvider, so
an input file replays the same call. Besides plain floats, integers and
sequences the generators produce hostile objects: numbers whose __float__ or
__index__ runs code (raising, returning the wrong type, emptying or refilling
the container that holds them, collecting garbage), sequences whose __len__
lies or whose iteration raises, and wrong types of every kind.

A hostile object holds no strong reference to what it mutates except through
the generator's list of targets, which is cleared after the call, so that
every object built for a call dies with it; `Gen.leaked()` then names any
that survived (a reference the extension forgot to drop).
"""

import array
import gc
import math
import os
import struct
import weakref
from fractions import Fraction

try:
    import numpy
except ImportError:  # the fuzzer runs without NumPy too
    numpy = None

# Clearing the keyword dict of a running call (found through the garbage
# collector) is on unless VOK_FUZZ_KWARGS_CLEAR=0.
KWARGS_CLEAR = os.environ.get("VOK_FUZZ_KWARGS_CLEAR", "1") != "0"


def _bits(u):
    return struct.unpack("<d", struct.pack("<Q", u))[0]


SPECIAL_FLOATS = [
    0.0, -0.0, 1.0, -1.0, 0.5, 2.0, 3.0, math.pi, -math.pi / 2, 1e-10, 1e-3,
    math.inf, -math.inf, math.nan, _bits(0xFFF8000000000000), _bits(0x7FF0000000000001),
    _bits(0x7FF8DEADBEEF0001), _bits(0xFFF7FFFFFFFFFFFF),
    5e-324, -5e-324, 2.2250738585072014e-308, 2.225073858507201e-308, 1.7976931348623157e308,
    709.78, math.nextafter(709.78, 0), math.nextafter(709.78, math.inf), 709.782712893384, -709.78, 710.0,
    -745.13321910194122, 1e-300, math.nextafter(1e-300, 0), math.nextafter(1e-300, 1), -1e-300, 1e-301,
    1e300, -1e300, 1e16, 2.0**53 + 1, 2.0**63, 2.0**64,
]

INTEGERS = [0, 1, 2, 3, 4, 7, 8, -1, -2, 127, 128, -128, -129, 255, 2**31 - 1, 2**31, 2**53 + 1,
            2**63 - 1, 2**63, -2**63, -2**63 - 1, 2**64 - 1, 2**64, 2**1023, 2**1024, -2**1024, 10**400]


class Hostile(Exception):
    """Raised by hostile objects; the extension must pass it through."""


class HostileBase(BaseException):
    """Like Hostile, but not an Exception: nothing may swallow it."""


class FloatSub(float):
    pass


class IntSub(int):
    pass


class Box:
    """A number whose conversion runs one action the first time it is asked,
    then answers `value`. Kinds: 'float' defines __float__, 'index' defines
    __index__, 'both' defines both."""

    def __init__(self, gen, value, action, kind):
        self.gen, self.value, self.action, self.kind = gen, value, action, kind

    def _convert(self):
        action, self.action = self.action, None
        if action is not None:
            result = action(self)
            if result is not None:
                return result
        return self.value

    def __repr__(self):
        return f"Box({self.kind}, {self.value!r})"


class FloatBox(Box):
    def __float__(self):
        return self._convert()


class IndexBox(Box):
    def __index__(self):
        return self._convert()


class BothBox(Box):
    def __float__(self):
        return float(self._convert())

    def __index__(self):
        return int(self._convert())


class LyingSeq:
    """A sequence over a list whose __len__ answers `length` (or raises), read
    through __getitem__, or through __iter__ when `fail_at` is set: the
    iteration then raises after that many items."""

    def __init__(self, items, length, fail_at=None, fail=Hostile):
        self.items, self.length, self.fail_at, self.fail = items, length, fail_at, fail

    def __len__(self):
        if isinstance(self.length, type):
            raise self.length("len refused")
        return self.length

    def __getitem__(self, i):
        return self.items[i]

    def __repr__(self):
        return f"LyingSeq({self.items!r}, len={self.length!r}, fail_at={self.fail_at!r})"


class IterSeq(LyingSeq):
    def __iter__(self):
        for k, item in enumerate(self.items):
            if k == self.fail_at:
                raise self.fail("iteration refused")
            yield item


class ListSub(list):
    """A list subclass: takes the generic path, with its own __len__."""

    def __len__(self):
        return 2**62


class TupleSub(tuple):
    def __len__(self):
        return 0

    def __getitem__(self, i):
        raise Hostile("tuple item refused")


class Gen:
    """Draws call arguments from a FuzzedDataProvider."""

    def __init__(self, fdp):
        self.fdp = fdp
        self.targets = []  # mutable containers built so far, for actions to hit
        self.made = []  # weak references to every object built, for leaked()

    # ------------------------------------------------------------ basics

    def pick(self, n):
        return self.fdp.ConsumeIntInRange(0, n - 1)

    def choice(self, seq):
        return seq[self.pick(len(seq))]

    def chance(self, in_n):
        return self.pick(in_n) == 0

    def _track(self, obj):
        self.made.append(weakref.ref(obj))
        return obj

    def plain_float(self):
        k = self.pick(4)
        if k == 0:
            return self.choice(SPECIAL_FLOATS)
        if k == 1:
            return self.fdp.ConsumeFloat()
        return self.fdp.ConsumeRegularFloat()

    # ------------------------------------------------------------ actions

    def action(self):
        """An action for a Box: returns a replacement result or None."""
        k = self.pick(13)
        slot = self.pick(8)
        if k == 0:
            return _refuse
        if k == 1:
            return _refuse_hard
        if k == 2:
            return lambda box: "not a number"  # wrong return type: TypeError
        if k == 3:
            return lambda box: FloatSub(1.5) if box.kind == "float" else IntSub(3)
        if k == 4:
            return lambda box: gc.collect() and None
        if k == 5:
            return _out_of_memory
        if k == 6 and KWARGS_CLEAR:
            return _clear_referring_dicts
        mutate = [_clear, _shrink, _grow, _replace, _clear, _reverse][k % 6]
        return lambda box: mutate(box.gen.targets[slot % len(box.gen.targets)]) if box.gen.targets else None

    def box(self, value, kind):
        cls = {"float": FloatBox, "index": IndexBox, "both": BothBox}[kind]
        return self._track(cls(self, value, self.action(), kind))

    # ------------------------------------------------------------ scalars

    def wrong(self):
        options = [None, "1.5", b"2", [1.0], (1.0,), {}, object(), 1 + 2j, Fraction(1, 3), FloatSub(-0.0),
                   IntSub(5), math, Box]
        if numpy is not None:
            options += [numpy.float64("nan"), numpy.int64(-3), numpy.True_, numpy.float32(1e-40),
                        numpy.array([1.0, 2.0])]
        return self.choice(options)

    def number(self):
        """An argument for a float parameter."""
        k = self.pick(16)
        if k < 9:
            return self.plain_float()
        if k == 9:
            return self.choice(INTEGERS)
        if k == 10:
            return self.fdp.ConsumeInt(self.pick(9) * 8)
        if k == 11:
            return self.choice([True, False])
        if k == 12:
            return self.box(self.plain_float(), "float")
        if k == 13:
            return self.box(self.choice(INTEGERS), self.choice(["index", "both"]))
        return self.wrong()

    def index(self, small, in_range_extremes=True):
        """An argument for a count or integer parameter: a value from
        `small` (the fast, meaningful ones), an extreme integer, a hostile
        object or a wrong type. Without `in_range_extremes` only extremes
        that fail conversion are drawn: for find_formula's options, where a
        huge valid count means a search of minutes."""
        k = self.pick(10)
        if k < 6:
            return self.choice(small)
        if k == 6:
            extremes = [-1, -2**63, 2**64, 10**30, -10**30]
            return self.choice(extremes + [2**64 - 1, 2**62, 2**31] if in_range_extremes else extremes)
        if k == 7:
            return self.box(self.choice(small), self.choice(["index", "both"]))
        if k == 8:
            return self.choice([1.0, 0.0, math.nan, True, False])
        return self.wrong()

    def flag(self):
        k = self.pick(8)
        if k < 5:
            return self.choice([True, False])
        if k == 5 and numpy is not None:
            return self.choice([numpy.True_, numpy.False_])
        if k == 6:
            return self.choice([0, 1, 1.0, None, "True"])
        return self.box(1.0, "both")

    # ------------------------------------------------------------ sequences

    def seq(self, item, max_len=12):
        """A sequence of items made by `item()`, in one of many disguises."""
        n = self.pick(max_len + 1)
        k = self.pick(14)
        if k in (10, 11):  # homogeneous fast paths: plain floats
            items = [self.plain_float() for _ in range(n)]
            if k == 10 and numpy is not None:
                return numpy.array(items)
            return array.array("d", items) if k == 11 else items
        if k == 12:
            return self.choice(["abc", "", {1.0, 2.0}, {"a": 1.0}, (x for x in [1.0]), None, 3.0, range(n),
                                bytes(n), memoryview(b"ab")])
        lst = self._track_container([])
        lst.extend(item() for _ in range(n))
        if k < 5:
            return lst
        if k == 5:
            return tuple(lst)
        if k == 6:
            return ListSub(lst)
        if k == 7:
            length = self.choice([n, n + 1, max(n - 1, 0), 0, 2**62, 2**63 - 1, -1, Hostile, OverflowError])
            return self._track(LyingSeq(lst, length))
        if k == 8:
            return self._track(IterSeq(lst, n, self.pick(n + 1), self.choice([Hostile, HostileBase, StopIteration])))
        return TupleSub(lst)

    def _track_container(self, lst):
        self.targets.append(lst)
        return lst

    def point(self):
        k = self.pick(10)
        if k < 6:
            return (self.number(), self.number())
        if k == 6:
            return [self.number(), self.number()]
        if k == 7:
            return tuple(self.number() for _ in range(self.choice([0, 1, 3])))
        if k == 8:
            return TupleSub((self.number(), self.number()))
        return self.number()

    def octet(self):
        k = self.pick(6)
        if k < 4:
            return self.seq(self.number, 9) if k == 3 else self._track_container([self.number() for _ in range(8)])
        if k == 4:
            return tuple(self.number() for _ in range(8))
        return self._track(LyingSeq([self.number() for _ in range(self.pick(9))], 8))

    # ------------------------------------------------------------ after the call

    def leaked(self):
        """The objects built for this call that are still alive once the
        call and the generator's own references are gone."""
        self.targets.clear()
        if any(r() is not None for r in self.made):
            gc.collect()  # only cycles are left to break, if nothing leaked
        return [r() for r in self.made if r() is not None]


# Raising from a plain function, with no local naming the exception, keeps
# the exception, its traceback and the box free of reference cycles.
def _refuse(box):
    raise Hostile("conversion refused")


def _refuse_hard(box):
    raise HostileBase("conversion refused hard")


def _out_of_memory(box):
    raise MemoryError


def _clear(target):
    target.clear()


def _shrink(target):
    del target[len(target) // 2:]


def _grow(target):
    target.extend([0.25] * 3)


def _replace(target):
    for i in range(len(target)):
        target[i] = -2.0


def _reverse(target):
    target.reverse()


def _clear_referring_dicts(box):
    # The dicts that refer to this object: the keyword arguments of the
    # running call among them.
    for d in gc.get_referrers(box):
        if type(d) is dict and all(type(k) is str for k in d):
            d.clear()
