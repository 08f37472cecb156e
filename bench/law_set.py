"""Laws with their physical constants and sampling ranges, for bench/laws.py.

Each law: a name, its variables with the range each is drawn from
(uniformly), the law as SymPy text over those names, the number of rows, and
optional extra noise that belongs to the data (a measured table) or a fixed
table of rows. Constants are written as numbers in the law, so the fitted
constants are compared with them.
"""

import math

AU_MKM, YEAR_DAYS = 149.598, 365.25
# Semi-major axis (AU) and orbital period (years) of eight planets, Pluto and Ceres.
ORBITS = [(0.387098, 0.240846), (0.723332, 0.615198), (1.000001, 1.000017), (1.523679, 1.88082),
          (5.2044, 11.862), (9.5826, 29.4571), (19.2184, 84.0205), (30.07, 164.8), (39.482, 247.94),
          (2.7675, 4.60)]
KEPLER = YEAR_DAYS / AU_MKM**1.5  # 0.1996: the period in days of a in 10^6 km


def law(name, variables, text, rows=100, noise=0.0, table=None, note=""):
    return {"name": name, "variables": variables, "law": text, "rows": rows, "noise": noise, "table": table,
            "note": note}


LAWS = [
    # The problems that fitting constants is for.
    law("gravitation G", {"m1": (1, 5), "m2": (1, 5), "r": (1, 5)}, "6.674e-11*m1*m2/r**2"),
    law("gravitation 2.5", {"m1": (1, 5), "m2": (1, 5), "r": (1, 5)}, "2.5*m1*m2/r**2"),
    law("kepler (10 bodies)", {"a": None}, f"{KEPLER!r}*a**1.5", rows=10,
        table={"a": [a * AU_MKM for a, _ in ORBITS], "y": [t * YEAR_DAYS for _, t in ORBITS]},
        note="measured orbits: a in 10^6 km, period in days"),
    law("ideal gas", {"n": (0.5, 5), "T": (250, 400), "V": (0.01, 0.1)}, "8.314*n*T/V"),
    law("projectile range", {"v0": (5, 30), "theta": (0.1, 1.4)}, "v0**2*sin(2*theta)/9.81"),
    law("ohm (2% noise)", {"R": (1, 100), "I": (0.01, 2)}, "R*I", noise=0.02),
    law("hubble", {"d": (1, 100)}, "67.8*d"),
    law("line", {"x": (0, 10)}, "3.7*x + 12"),
    # Laws with constants inside the formula.
    law("decay", {"t": (0, 10)}, "5*exp(-t/2.3)"),
    law("damped oscillation", {"t": (0, 10)}, "exp(-0.3*t)*cos(2.1*t)"),
    law("arrhenius", {"T": (300, 600)}, "2.5e4*exp(-6000/T)"),
    law("planck-like", {"nu": (0.2, 5), "T": (1, 3)}, "1.5*nu**3/(exp(nu/T) - 1)"),
    law("coulomb", {"q1": (1e-6, 5e-6), "q2": (1e-6, 5e-6), "r": (0.1, 1)}, "8.988e9*q1*q2/r**2"),
    law("pendulum period", {"L": (0.1, 2)}, "2*pi*sqrt(L/9.81)"),
    law("relativistic momentum", {"m": (1, 5), "v": (0.1, 2.5)}, "m*v/sqrt(1 - v**2/2.998**2)"),
    law("michaelis-menten", {"S": (0.1, 10)}, "2.3*S/(0.7 + S)"),
    law("doppler", {"f0": (100, 1000), "v": (0, 100)}, "f0*343/(343 - v)"),
    law("phase-shifted sine", {"x": (0, 6)}, "2*sin(1.5*x + 0.5)"),
    law("logistic", {"x": (-3, 6)}, "1/(1 + exp(-1.5*(x - 2)))"),
    law("stefan-boltzmann", {"A": (0.5, 2), "T": (300, 1000)}, "5.67e-8*A*T**4"),
    # Classic symbolic-regression targets and textbook forms.
    law("kinetic energy", {"m": (1, 5), "v": (0.5, 10)}, "m*v**2/2"),
    law("centripetal force", {"m": (1, 5), "v": (1, 10), "r": (0.5, 5)}, "m*v**2/r"),
    law("malus", {"I0": (1, 10), "theta": (0, 3)}, "I0*cos(theta)**2"),
    law("gaussian", {"x": (-3, 3)}, "exp(-x**2/2)/sqrt(2*pi)"),
    law("nguyen-1", {"x": (-1, 1)}, "x**3 + x**2 + x", rows=20),
    law("nguyen-7", {"x": (0, 2)}, "log(x + 1) + log(x**2 + 1)", rows=20),
    law("keijzer-6 like", {"x": (1, 50)}, "0.5*x*(x + 1)"),
    law("power law", {"x": (0.5, 10)}, "3.2*x**0.75"),
]
assert len({entry["name"] for entry in LAWS}) == len(LAWS)
assert math.isclose(KEPLER, 0.1996, rel_tol=1e-3)
