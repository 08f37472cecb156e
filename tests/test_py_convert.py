"""Argument kinds: what each converter accepts and refuses, with which
message, and its robustness against hostile sequences."""

import pytest

import vok_core


# ---------------------------------------------------------------- kinds

class Floaty:
    def __init__(self, v):
        self.v = v

    def __float__(self):
        return self.v


class Indexy:
    def __index__(self):
        return 3


@pytest.mark.parametrize(
    "arg, expected",
    [
        ([0], [1.0]), ((0.0, 0), [1.0, 1.0]), (range(2), [1.0, 2.718281828459045]), (bytes(1), [1.0]),
        ([True], [2.718281828459045]), ([Floaty(0.0)], [1.0]), ([Indexy()], [20.085536923187668]),
    ],
)
def test_float_sequence_accepts_any_sequence_of_numbers(arg, expected):
    assert vok_core.exp_n(arg) == expected


@pytest.mark.parametrize(
    "arg, exc, message",
    [
        ("abc", TypeError, "argument 'xs': Can't extract `str` to `Vec`"),
        ({1.0}, TypeError, "argument 'xs': 'set' object cannot be converted to 'Sequence'"),
        ({1.0: 2.0}, TypeError, "argument 'xs': 'dict' object cannot be converted to 'Sequence'"),
        ((x for x in [1.0]), TypeError, "argument 'xs': 'generator' object cannot be converted to 'Sequence'"),
        (3.0, TypeError, "argument 'xs': 'float' object cannot be converted to 'Sequence'"),
        (["a"], TypeError, "argument 'xs': must be real number, not str"),
        ([None], TypeError, "argument 'xs': must be real number, not NoneType"),
        ([10**400], OverflowError, "int too large to convert to float"),
    ],
)
def test_float_sequence_errors(arg, exc, message):
    with pytest.raises(exc) as info:
        vok_core.exp_n(arg)
    assert type(info.value) is exc and str(info.value) == message


def test_type_error_is_renamed_keeping_its_cause():
    class Bad:
        def __float__(self):
            raise TypeError("boom") from KeyError("root")

    with pytest.raises(TypeError) as info:
        vok_core.exp_n([Bad()])
    assert str(info.value) == "argument 'xs': boom"
    assert isinstance(info.value.__cause__, KeyError)


class TypeErrorSubclass(TypeError):
    pass


@pytest.mark.parametrize("exc", [ValueError, TypeErrorSubclass])  # only an exact TypeError is renamed
def test_other_exceptions_pass_unchanged(exc):
    class Bad:
        def __float__(self):
            raise exc("nope")

    with pytest.raises(exc) as info:
        vok_core.exp_n([Bad()])
    assert type(info.value) is exc and str(info.value) == "nope"


def test_first_bad_argument_in_parameter_order_is_reported():
    with pytest.raises(TypeError, match="argument 'as_'"):
        vok_core.add_n("x", "y")
    with pytest.raises(TypeError, match="argument 'bs'"):
        vok_core.add_n([1.0], "y")


@pytest.mark.parametrize(
    "points, exc, message",
    [
        ([[0.0, 1.0]], TypeError, "argument 'points': 'list' object cannot be converted to 'PyTuple'"),
        ([(0.0, 1.0, 2.0)], ValueError, "expected tuple of length 2, but got tuple of length 3"),
        ([(0.0, "a")], TypeError, "argument 'points': must be real number, not str"),
        ("ab", TypeError, "argument 'points': Can't extract `str` to `Vec`"),
    ],
)
def test_point_sequence_kind(points, exc, message):
    with pytest.raises(exc) as info:
        vok_core.boost_n(points, [0.0], 1.0)
    assert type(info.value) is exc and str(info.value) == message


def test_point_sequence_accepts_tuple_subclasses():
    import collections
    P = collections.namedtuple("P", "x y")
    assert vok_core.boost_n([P(0.0, 1.0)], [0.0], 1.0) == [(0.0, 1.0)]


@pytest.mark.parametrize(
    "item, exc, message",
    [
        ([1.0] * 7, ValueError, "expected a sequence of length 8 (got 7)"),
        (3.0, TypeError, "argument 'a_batch': 'float' object cannot be converted to 'Sequence'"),
        ("abcdefgh", TypeError, "argument 'a_batch': must be real number, not str"),
    ],
)
def test_octet_sequence_kind(item, exc, message):
    with pytest.raises(exc) as info:
        vok_core.octonion_mul_n([item], [[1.0] + [0.0] * 7])
    assert type(info.value) is exc and str(info.value) == message


def test_octet_items_may_be_any_sequence():
    assert vok_core.octonion_mul_n([tuple(range(8))], [range(1, 2)] and [[1] + [0] * 7]) == [
        [float(i) for i in range(8)]]


def test_nested_sequence_kind():
    with pytest.raises(TypeError, match="^argument 'a_batch': Can't extract `str` to `Vec`$"):
        vok_core.geometric_product_n(["ab"], [[1.0]], [])
    assert vok_core.geometric_product_n([(3,)], [range(2, 3)], ()) == [[6.0]]


@pytest.mark.parametrize(
    "signature, exc, message",
    [
        ([128], OverflowError, "out of range integral type conversion attempted"),
        ([-129], OverflowError, "out of range integral type conversion attempted"),
        ([1.0], TypeError, "argument 'signature': 'float' object cannot be interpreted as an integer"),
        ([2**70], OverflowError, "Python int too large to convert to C long"),
    ],
)
def test_small_integer_sequence_kind(signature, exc, message):
    with pytest.raises(exc) as info:
        vok_core.geometric_product_n([[1.0]], [[1.0]], signature)
    assert type(info.value) is exc and str(info.value) == message


@pytest.mark.parametrize(
    "lam, exc, message",
    [
        (1.0, TypeError, "argument 'lam': 'float' object cannot be interpreted as an integer"),
        (-1, OverflowError, "can't convert negative int to unsigned"),
        (2**64, OverflowError, "int too big to convert"),
    ],
)
def test_count_kind(lam, exc, message):
    with pytest.raises(exc) as info:
        vok_core.christoffel_batch_n([(0.0, 0.0)], lam, 0, 1, 0.5)
    assert type(info.value) is exc and str(info.value) == message


def test_count_kind_accepts_index_objects():
    assert vok_core.christoffel_batch_n([(0.0, 5.0)], Indexy(), 0, 1, 0.5) == [0.0]
    assert vok_core.christoffel_batch_n([(0.0, 5.0)], 2**64 - 1, 0, 1, 0.5) == [0.0]


@pytest.mark.parametrize(
    "n, exc, message",
    [
        (1.5, TypeError, "argument 'n': 'float' object cannot be interpreted as an integer"),
        (2**63, OverflowError, "Python int too large to convert to C long"),
    ],
)
def test_integer_kind(n, exc, message):
    with pytest.raises(exc) as info:
        vok_core.VOKKnot(vok_core.VOKPoint(0.0, 1.0), n)
    assert type(info.value) is exc and str(info.value) == message


def test_flag_kind():
    p = vok_core.VOKPoint(0.5, 2.0)
    assert p.minkowski_delta(True, 1.0) == p.minkowski_delta(False, 1.0)
    with pytest.raises(TypeError) as info:
        p.minkowski_delta(1, 1.0)
    assert str(info.value) == "argument 'plus_signature': 'int' object cannot be converted to 'PyBool'"
    np = pytest.importorskip("numpy")
    assert p.minkowski_delta(np.bool_(True), 1.0) == p.minkowski_delta(True, 1.0)
    with pytest.raises(TypeError, match="'numpy.ndarray' object|'ndarray' object"):
        p.minkowski_delta(np.array([True]), 1.0)


def test_float_kind_for_scalars():
    assert vok_core.boost_n([(0.0, 1.0)], [0.0], 1) == [(0.0, 1.0)]
    with pytest.raises(TypeError, match="^argument 'c': must be real number, not str$"):
        vok_core.boost_n([(0.0, 1.0)], [0.0], "1")


def test_flag_kind_judges_numpy_booleans_by_name_and_module():
    p = vok_core.VOKPoint(0.5, 2.0)
    no_truth = type("bool_", (), {"__module__": "numpy"})
    with pytest.raises(TypeError) as info:
        p.minkowski_delta(no_truth(), 1.0)
    assert str(info.value) == ("argument 'plus_signature': object of type '<class 'numpy.bool_'>' "
                               "does not define a '__bool__' conversion")
    with_truth = type("bool", (), {"__module__": "numpy", "__bool__": lambda self: False})
    assert p.minkowski_delta(with_truth(), 1.0) == p.minkowski_delta(False, 1.0)
    odd_module = type("bool_", (), {})
    odd_module.__module__ = 5  # not a string: simply not NumPy's
    with pytest.raises(TypeError, match="'bool_' object cannot be converted to 'PyBool'"):
        p.minkowski_delta(odd_module(), 1.0)


# ---------------------------------------------------------------- robustness

class LyingLength:
    """A sequence whose __len__ disagrees with what iteration yields."""

    def __init__(self, items, length):
        self.items, self.length = items, length

    def __len__(self):
        if isinstance(self.length, Exception):
            raise self.length
        return self.length

    def __getitem__(self, i):
        return self.items[i]


@pytest.mark.parametrize("length", [0, 1, 10**6, 2**62, RuntimeError("len failed")])
def test_reported_length_only_presizes(length):
    assert vok_core.exp_n(LyingLength([0.0, 0.0, 0.0], length)) == [1.0, 1.0, 1.0]


def test_length_too_large_for_the_interpreter():
    assert vok_core.exp_n(LyingLength([0.0], 2**70)) == [1.0]


def test_iteration_error_midway_propagates():
    class Breaks:
        def __len__(self):
            return 5

        def __getitem__(self, i):
            if i == 2:
                raise KeyError("midway")
            return 1.0

    with pytest.raises(KeyError, match="midway"):
        vok_core.exp_n(Breaks())


@pytest.mark.parametrize("action", ["clear", "pop", "extend"])
def test_items_that_mutate_the_list_while_converting(action):
    data = []

    class Mutator:
        def __float__(self):
            if action == "clear":
                data.clear()
            elif action == "pop":
                data.pop()
            else:
                data.extend([2.0] * 3)
            return 0.0

    data.extend([1.0, Mutator(), 1.0, 1.0])
    result = vok_core.exp_n(data)
    expected = {"clear": [2.718281828459045, 1.0], "pop": [2.718281828459045, 1.0, 2.718281828459045],
                "extend": None}[action]
    if expected is None:
        assert result[:3] == [2.718281828459045, 1.0, 2.718281828459045] and len(result) == 7
    else:
        assert result == expected


def test_point_items_that_mutate_the_list():
    data = []

    class Mutator:
        def __float__(self):
            data.clear()
            return 0.0

    data.extend([(Mutator(), 1.0), (0.0, 1.0)])
    assert vok_core.boost_n(data, [0.0, 0.0], 1.0) == [(0.0, 1.0)]
