"""Float sequences read through their buffer (exact numpy.ndarray,
array.array, memoryview of 1-D doubles or floats) give exactly what their
items give; every other sequence keeps the item-by-item path."""

import array
import struct

import pytest

import vok_core

np = pytest.importorskip("numpy")

# Quiet and signalling NaNs with payloads, signed zeros, infinities, the
# smallest subnormal and ordinary values, as raw bits.
F64_BITS = [0x7FF8000000000001, 0xFFF8DEAD0000BEEF, 0x7FF0000000000001, 0x8000000000000000, 0x0000000000000000,
            0x7FF0000000000000, 0xFFF0000000000000, 0x0000000000000001, 0x3FF8000000000000, 0xC002000000000000]
F32_BITS = [0x7FC00001, 0xFFC0BEEF, 0x7F800001, 0x80000000, 0x7F800000, 0xFF800000, 0x00000001, 0x3FC00000]


def f64():
    return np.frombuffer(struct.pack(f"<{len(F64_BITS)}Q", *F64_BITS), dtype="<f8").copy()


def f32():
    return np.frombuffer(struct.pack(f"<{len(F32_BITS)}I", *F32_BITS), dtype="<f4").copy()


def unaligned_f64():
    raw = b"\0" + struct.pack(f"<{len(F64_BITS)}Q", *F64_BITS)
    return np.frombuffer(raw, dtype="<f8", offset=1)


def bits(values):
    return struct.pack(f"<{len(values)}d", *values)


def through(x):
    """The values as a call receives them, as a float sequence and as a row of
    a nested one (times 1.0, which keeps every payload the conversion left)."""
    flat = vok_core.mul_n(x, [1.0] * 64)
    row = vok_core.geometric_product_n([x[:4]], [[1.0, 0.0, 0.0, 0.0]], [1, 1])[0]
    return bits(flat), bits(row)


@pytest.mark.parametrize(
    "make",
    [
        f64, f32, unaligned_f64,
        lambda: f64()[::2], lambda: f64()[::-1], lambda: np.stack([f64(), f64()], axis=1)[:, 1],
        lambda: f64().astype(">f8"), lambda: f64().astype("<f2"), lambda: memoryview(f32()).cast("B").cast("@f"), lambda: np.arange(-3, 4), lambda: f64() > 0,
        lambda: array.array("d", f64().tobytes()), lambda: array.array("f", f32().tobytes()),
        lambda: memoryview(f64()), lambda: memoryview(f32())[::-2], lambda: memoryview(f64().tobytes()).cast("d"),
        lambda: memoryview(array.array("d", f64().tobytes())),
    ],
    ids=["f8", "f4", "f8-unaligned", "f8-step2", "f8-reversed", "f8-column", "f8-big-endian", "f2", "memoryview-at-f", "int64",
         "bool", "array-d", "array-f", "memoryview-f8", "memoryview-f4-strided", "memoryview-cast",
         "memoryview-array"],
)
def test_values_are_the_items_values(make):
    x = make()
    assert through(x) == through(list(x))
    assert bits(vok_core.add_n(x, [0.0] * 3)) == bits(vok_core.add_n(list(x), [0.0] * 3))  # zipped to the shorter


@pytest.mark.parametrize(
    "make",
    [lambda: np.ones((2, 2)), lambda: np.array([1.0, "a"], dtype=object), lambda: np.array(["1.0"])],
    ids=["2-d", "object", "str"],
)
def test_errors_are_the_items_errors(make):
    x = make()
    with pytest.raises(Exception) as direct:
        vok_core.exp_n(x)
    with pytest.raises(Exception) as items:
        vok_core.exp_n(list(x))
    assert (type(direct.value), str(direct.value)) == (type(items.value), str(items.value))


def test_a_zero_dimensional_array_reports_what_iteration_reports():
    x = np.array(1.5)
    with pytest.raises(TypeError) as iteration:
        iter(x)
    with pytest.raises(TypeError) as direct:
        vok_core.exp_n(x)
    assert str(direct.value) == "argument 'xs': " + str(iteration.value)


def test_a_released_memoryview_reports_what_using_it_reports():
    # (iter() on a released view reads freed memory in some 3.13 releases, so
    # the expected error is taken from another use of the view.)
    x = memoryview(f64())
    x.release()
    with pytest.raises(ValueError) as use:
        len(x)
    with pytest.raises(ValueError) as direct:
        vok_core.exp_n(x)
    assert str(direct.value) == str(use.value) == "operation forbidden on released memoryview object"


class DoublingArray(np.ndarray):
    def __iter__(self):
        return (2.0 * v for v in np.ndarray.__iter__(self))


class DoublingArrayArray(array.array):
    def __iter__(self):
        return (2.0 * v for v in super().__iter__())


def impostor(name):
    """A Python class calling itself `name` whose buffer differs from its items."""
    def buffer(self, flags):
        return memoryview(array.array("d", [1.0, 1.0]))
    return type(name, (), {"__buffer__": buffer, "__len__": lambda self: 2,
                           "__getitem__": lambda self, i: [2.0, 2.0][i]})


@pytest.mark.parametrize(
    "x",
    [np.array([1.0, 1.0]).view(DoublingArray), DoublingArrayArray("d", [1.0, 1.0]), impostor("numpy.ndarray")(),
     impostor("array.array")()],
    ids=["ndarray-subclass", "array-subclass", "named-ndarray", "named-array"],
)
def test_other_exporters_are_read_item_by_item(x):
    assert memoryview(x).tolist() == [1.0, 1.0]
    assert vok_core.mul_n(x, [1.0, 1.0]) == [2.0, 2.0]
