"""How often two C libraries' libm differ: run once per interpreter to dump
the bits, then compare the dumps.

    python libm_compare.py dump > glibc.txt      (with each interpreter)
    python libm_compare.py compare glibc.txt musl.txt

Inputs: 6,630 arguments i/100 for i in [-3315, 3315), the same for every
function (log and sqrt take |x| + 0.001, pow the base |x| + 0.5 with the
exponent 1.7 and, as a second case, x / 10)."""

import math
import struct
import sys

XS = [i / 100 for i in range(-3315, 3315)]
FUNCS = {
    "exp": lambda x: math.exp(x),
    "log": lambda x: math.log(abs(x) + 0.001),
    "sin": lambda x: math.sin(x),
    "cos": lambda x: math.cos(x),
    "sqrt": lambda x: math.sqrt(abs(x) + 0.001),
    "pow": lambda x: math.pow(abs(x) + 0.5, 1.7),
    "pow2": lambda x: math.pow(1.5, x / 10),
}


def bits(v):
    return struct.unpack("<q", struct.pack("<d", v))[0]


def dump():
    for name, f in FUNCS.items():
        print(name, " ".join(str(bits(f(x))) for x in XS))


def compare(a_path, b_path):
    a = dict(line.split(" ", 1) for line in open(a_path))
    b = dict(line.split(" ", 1) for line in open(b_path))
    print(f"{len(XS)} inputs per function")
    for name in FUNCS:
        pa, pb = map(int, a[name].split()), map(int, b[name].split())
        ulps = [abs(x - y) for x, y in zip(pa, pb)]
        diff = sum(u != 0 for u in ulps)
        print(f"{name:5} differ: {diff:5} ({100 * diff / len(XS):.2f} %), max {max(ulps)} ULP")


if __name__ == "__main__":
    dump() if sys.argv[1] == "dump" else compare(sys.argv[2], sys.argv[3])
