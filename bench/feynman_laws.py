"""The Feynman Symbolic Regression Database as data: its 100 equations and 20
bonus equations, the published sampling range of every variable (uniform)
and the SI units of every variable and target.

Source: the database published with Udrescu and Tegmark, "AI Feynman: a
physics-inspired method for symbolic regression", Science Advances 6 (2020),
eaay2631 (FeynmanEquations.csv, BonusEquations.csv and units.csv).

Each law (`LAWS`, in the database's order, `BY_ID` by id) has
- `id`: the database's file name, "I.6.2a" ... "III.21.20", "test_1" ... "test_20";
- `target`: the output's name;
- `formula`: a NumPy expression over the variable names and `pi`, using
  exp, log, sqrt, sin, cos, tanh, arcsin, arccos (`evaluate` runs it);
- `variables`: ((name, low, high), ...) in the database's order;
- `units` (name -> exponent vector) and `target_units`.

Units are exponent vectors over the database's own base, `BASE` =
(m, s, kg, T, V): metre, second, kilogram, T the kelvin (temperature, not the
tesla) and V the volt. The ampere, coulomb, tesla, ... are derived from
these: A = kg m^2 s^-3 V^-1, C = kg m^2 s^-2 V^-1, T(esla) = V s m^-2.
`to_si` rewrites a vector over the usual SI base (m, s, kg, K, A) and
`unit_string` writes one as text ("kg m^2 s^-2").

Differences from the published files, each checked by `check()`:
- I.43.16's mu_drift has the units of a mobility, s kg^-1 (the units table
  gives s^-1 kg, with which v = mu_drift q Volt / d does not balance).
- I.44.4's `ln` is written `log`. The bonus file's variable counts for
  test_12, test_13, test_18 and test_19 are one short of their listed
  variables; the listed variables are used.
- Names are the database's; where a name has one meaning in one law and
  another elsewhere, the units table gives the one that balances every law
  (e.g. `n` is a dimensionless number, `sigma` a dimensionless width, `I`
  a current, `Int` a light intensity).

Run `python bench/feynman_laws.py` to check the table: 120 laws, finite
values on their ranges, units balancing.
"""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np

BASE = ("m", "s", "kg", "T", "V")
SI_BASE = ("m", "s", "kg", "K", "A")

# The database's units table (name, m, s, kg, T, V), mu_drift corrected.
_UNITS = """
A 2 0 0 0 0 | a 1 -2 0 0 0 | A_vec -1 1 0 0 1 | alpha 0 0 0 0 0 | B -2 1 0 0 1
beta 0 0 0 0 0 | Bx -2 1 0 0 1 | By -2 1 0 0 1 | Bz -2 1 0 0 1 | c 1 -1 0 0 0
C 2 -2 1 0 -2 | chi 0 0 0 0 0 | d 1 0 0 0 0 | D 2 -1 0 0 0 | d1 1 0 0 0 0
d2 1 0 0 0 0 | delta 0 0 0 0 0 | E_n 2 -2 1 0 0 | E_den -1 -2 1 0 0
Ef -1 0 0 0 1 | epsilon 1 -2 1 0 -2 | f 0 0 0 0 0 | F 1 -2 1 0 0
flux 0 -3 1 0 0 | foc 1 0 0 0 0 | G 3 -2 -1 0 0 | g 1 -2 0 0 0 | g_ 0 0 0 0 0
gamma 0 0 0 0 0 | H -2 1 0 0 1 | h 2 -1 1 0 0 | hbar 2 -1 1 0 0 | H_G 0 -1 0 0 0
I 2 -3 1 0 -1 | I_0 2 -3 1 0 -1 | I1 0 -3 1 0 0 | I2 0 -3 1 0 0
Int 0 -3 1 0 0 | Int_0 0 -3 1 0 0 | j 0 -3 1 0 -1 | Jz 2 -1 1 0 0
K 2 -2 1 0 0 | k -1 0 0 0 0 | k_f 0 0 0 0 0 | k_G 3 -2 1 0 0
k_spring 0 -2 1 0 0 | kappa 1 -3 1 -1 0 | kb 2 -2 1 -1 0 | L 2 -1 1 0 0
L_rad 0 -2 1 0 0 | lambd 1 0 0 0 0 | m 0 0 1 0 0 | M 1 -3 1 0 -1 | m_0 0 0 1 0 0
m1 0 0 1 0 0 | m2 0 0 1 0 0 | mob 0 1 -1 0 0 | mom 4 -3 1 0 -1 | mu 0 0 0 0 0
mu_drift 0 1 -1 0 0 | Nn 1 -2 1 0 0 | n 0 0 0 0 0 | n_rho -3 0 0 0 0
n_0 0 0 0 0 0 | omega 0 -1 0 0 0 | omega_0 0 -1 0 0 0 | p 1 -1 1 0 0
Pol 0 -2 1 0 -1 | p_d 3 -2 1 0 -1 | Pwr 2 -3 1 0 0 | pr -1 -2 1 0 0
prob 0 0 0 0 0 | q 2 -2 1 0 -1 | q1 2 -2 1 0 -1 | q2 2 -2 1 0 -1 | r 1 0 0 0 0
r1 1 0 0 0 0 | r2 1 0 0 0 0 | rho -3 0 1 0 0 | rho_c -1 -2 1 0 -1
rho_c_0 -1 -2 1 0 -1 | rho_0 -3 0 1 0 0 | sigma 0 0 0 0 0
sigma_den 0 -2 1 0 -1 | t 0 1 0 0 0 | T 0 0 0 1 0 | t1 0 1 0 0 0 | T1 0 0 0 1 0
T2 0 0 0 1 0 | tau 2 -2 1 0 0 | theta 0 0 0 0 0 | theta1 0 0 0 0 0
theta2 0 0 0 0 0 | U 2 -2 1 0 0 | u 1 -1 0 0 0 | v 1 -1 0 0 0 | V 3 0 0 0 0
v1 1 -1 0 0 0 | V1 3 0 0 0 0 | V2 3 0 0 0 0 | Volt 0 0 0 0 1 | w 1 -1 0 0 0
x 1 0 0 0 0 | x1 1 0 0 0 0 | x2 1 0 0 0 0 | x3 1 0 0 0 0 | y 1 0 0 0 0
Y -1 -2 1 0 0 | y1 1 0 0 0 0 | y2 1 0 0 0 0 | y3 1 0 0 0 0 | z 1 0 0 0 0
z1 1 0 0 0 0 | z2 1 0 0 0 0 | mu_S -1 -2 1 0 0 | Z_1 0 0 0 0 0 | Z_2 0 0 0 0 0
"""

UNITS: dict[str, tuple[int, ...]] = {
    name: tuple(int(e) for e in exps)
    for name, *exps in (item.split() for item in _UNITS.replace("\n", "|").split("|") if item.strip())
}

# (id, target, formula, "name low high, ...")
_ROWS = (
    ("I.6.2a", "f", "exp(-theta**2/2)/sqrt(2*pi)", "theta 1 3"),
    ("I.6.2", "f", "exp(-(theta/sigma)**2/2)/(sqrt(2*pi)*sigma)", "sigma 1 3, theta 1 3"),
    ("I.6.2b", "f", "exp(-((theta-theta1)/sigma)**2/2)/(sqrt(2*pi)*sigma)", "sigma 1 3, theta 1 3, theta1 1 3"),
    ("I.8.14", "d", "sqrt((x2-x1)**2+(y2-y1)**2)", "x1 1 5, x2 1 5, y1 1 5, y2 1 5"),
    ("I.9.18", "F", "G*m1*m2/((x2-x1)**2+(y2-y1)**2+(z2-z1)**2)",
     "m1 1 2, m2 1 2, G 1 2, x1 3 4, x2 1 2, y1 3 4, y2 1 2, z1 3 4, z2 1 2"),
    ("I.10.7", "m", "m_0/sqrt(1-v**2/c**2)", "m_0 1 5, v 1 2, c 3 10"),
    ("I.11.19", "A", "x1*y1+x2*y2+x3*y3", "x1 1 5, x2 1 5, x3 1 5, y1 1 5, y2 1 5, y3 1 5"),
    ("I.12.1", "F", "mu*Nn", "mu 1 5, Nn 1 5"),
    ("I.12.2", "F", "q1*q2*r/(4*pi*epsilon*r**3)", "q1 1 5, q2 1 5, epsilon 1 5, r 1 5"),
    ("I.12.4", "Ef", "q1*r/(4*pi*epsilon*r**3)", "q1 1 5, epsilon 1 5, r 1 5"),
    ("I.12.5", "F", "q2*Ef", "q2 1 5, Ef 1 5"),
    ("I.12.11", "F", "q*(Ef+B*v*sin(theta))", "q 1 5, Ef 1 5, B 1 5, v 1 5, theta 1 5"),
    ("I.13.4", "K", "1/2*m*(v**2+u**2+w**2)", "m 1 5, v 1 5, u 1 5, w 1 5"),
    ("I.13.12", "U", "G*m1*m2*(1/r2-1/r1)", "m1 1 5, m2 1 5, r1 1 5, r2 1 5, G 1 5"),
    ("I.14.3", "U", "m*g*z", "m 1 5, g 1 5, z 1 5"),
    ("I.14.4", "U", "1/2*k_spring*x**2", "k_spring 1 5, x 1 5"),
    ("I.15.3x", "x1", "(x-u*t)/sqrt(1-u**2/c**2)", "x 5 10, u 1 2, c 3 20, t 1 2"),
    ("I.15.3t", "t1", "(t-u*x/c**2)/sqrt(1-u**2/c**2)", "x 1 5, c 3 10, u 1 2, t 1 5"),
    ("I.15.1", "p", "m_0*v/sqrt(1-v**2/c**2)", "m_0 1 5, v 1 2, c 3 10"),
    ("I.16.6", "v1", "(u+v)/(1+u*v/c**2)", "c 1 5, v 1 5, u 1 5"),
    ("I.18.4", "r", "(m1*r1+m2*r2)/(m1+m2)", "m1 1 5, m2 1 5, r1 1 5, r2 1 5"),
    ("I.18.12", "tau", "r*F*sin(theta)", "r 1 5, F 1 5, theta 0 5"),
    ("I.18.14", "L", "m*r*v*sin(theta)", "m 1 5, r 1 5, v 1 5, theta 1 5"),
    ("I.24.6", "E_n", "1/2*m*(omega**2+omega_0**2)*1/2*x**2", "m 1 3, omega 1 3, omega_0 1 3, x 1 3"),
    ("I.25.13", "Volt", "q/C", "q 1 5, C 1 5"),
    ("I.26.2", "theta1", "arcsin(n*sin(theta2))", "n 0 1, theta2 1 5"),
    ("I.27.6", "foc", "1/(1/d1+n/d2)", "d1 1 5, d2 1 5, n 1 5"),
    ("I.29.4", "k", "omega/c", "omega 1 10, c 1 10"),
    ("I.29.16", "x", "sqrt(x1**2+x2**2-2*x1*x2*cos(theta1-theta2))", "x1 1 5, x2 1 5, theta1 1 5, theta2 1 5"),
    ("I.30.3", "Int", "Int_0*sin(n*theta/2)**2/sin(theta/2)**2", "Int_0 1 5, theta 1 5, n 1 5"),
    ("I.30.5", "theta", "arcsin(lambd/(n*d))", "lambd 1 2, d 2 5, n 1 5"),
    ("I.32.5", "Pwr", "q**2*a**2/(6*pi*epsilon*c**3)", "q 1 5, a 1 5, epsilon 1 5, c 1 5"),
    ("I.32.17", "Pwr", "(1/2*epsilon*c*Ef**2)*(8*pi*r**2/3)*(omega**4/(omega**2-omega_0**2)**2)",
     "epsilon 1 2, c 1 2, Ef 1 2, r 1 2, omega 1 2, omega_0 3 5"),
    ("I.34.8", "omega", "q*v*B/p", "q 1 5, v 1 5, B 1 5, p 1 5"),
    ("I.34.1", "omega", "omega_0/(1-v/c)", "c 3 10, v 1 2, omega_0 1 5"),
    ("I.34.14", "omega", "(1+v/c)/sqrt(1-v**2/c**2)*omega_0", "c 3 10, v 1 2, omega_0 1 5"),
    ("I.34.27", "E_n", "(h/(2*pi))*omega", "omega 1 5, h 1 5"),
    ("I.37.4", "Int", "I1+I2+2*sqrt(I1*I2)*cos(delta)", "I1 1 5, I2 1 5, delta 1 5"),
    ("I.38.12", "r", "4*pi*epsilon*(h/(2*pi))**2/(m*q**2)", "m 1 5, q 1 5, h 1 5, epsilon 1 5"),
    ("I.39.1", "E_n", "3/2*pr*V", "pr 1 5, V 1 5"),
    ("I.39.11", "E_n", "1/(gamma-1)*pr*V", "gamma 2 5, pr 1 5, V 1 5"),
    ("I.39.22", "pr", "n*kb*T/V", "n 1 5, T 1 5, V 1 5, kb 1 5"),
    ("I.40.1", "n", "n_0*exp(-m*g*x/(kb*T))", "n_0 1 5, m 1 5, x 1 5, T 1 5, g 1 5, kb 1 5"),
    ("I.41.16", "L_rad", "h/(2*pi)*omega**3/(pi**2*c**2*(exp((h/(2*pi))*omega/(kb*T))-1))",
     "omega 1 5, T 1 5, h 1 5, kb 1 5, c 1 5"),
    ("I.43.16", "v", "mu_drift*q*Volt/d", "mu_drift 1 5, q 1 5, Volt 1 5, d 1 5"),
    ("I.43.31", "D", "mob*kb*T", "mob 1 5, T 1 5, kb 1 5"),
    ("I.43.43", "kappa", "1/(gamma-1)*kb*v/A", "gamma 2 5, kb 1 5, A 1 5, v 1 5"),
    ("I.44.4", "E_n", "n*kb*T*log(V2/V1)", "n 1 5, kb 1 5, T 1 5, V1 1 5, V2 1 5"),
    ("I.47.23", "c", "sqrt(gamma*pr/rho)", "gamma 1 5, pr 1 5, rho 1 5"),
    ("I.48.2", "E_n", "m*c**2/sqrt(1-v**2/c**2)", "m 1 5, v 1 2, c 3 10"),
    ("I.50.26", "x", "x1*(cos(omega*t)+alpha*cos(omega*t)**2)", "x1 1 3, omega 1 3, t 1 3, alpha 1 3"),
    ("II.2.42", "Pwr", "kappa*(T2-T1)*A/d", "kappa 1 5, T1 1 5, T2 1 5, A 1 5, d 1 5"),
    ("II.3.24", "flux", "Pwr/(4*pi*r**2)", "Pwr 1 5, r 1 5"),
    ("II.4.23", "Volt", "q/(4*pi*epsilon*r)", "q 1 5, epsilon 1 5, r 1 5"),
    ("II.6.11", "Volt", "1/(4*pi*epsilon)*p_d*cos(theta)/r**2", "epsilon 1 3, p_d 1 3, theta 1 3, r 1 3"),
    ("II.6.15a", "Ef", "p_d/(4*pi*epsilon)*3*z/r**5*sqrt(x**2+y**2)",
     "epsilon 1 3, p_d 1 3, r 1 3, x 1 3, y 1 3, z 1 3"),
    ("II.6.15b", "Ef", "p_d/(4*pi*epsilon)*3*cos(theta)*sin(theta)/r**3", "epsilon 1 3, p_d 1 3, theta 1 3, r 1 3"),
    ("II.8.7", "E_n", "3/5*q**2/(4*pi*epsilon*d)", "q 1 5, epsilon 1 5, d 1 5"),
    ("II.8.31", "E_den", "epsilon*Ef**2/2", "epsilon 1 5, Ef 1 5"),
    ("II.10.9", "Ef", "sigma_den/epsilon*1/(1+chi)", "sigma_den 1 5, epsilon 1 5, chi 1 5"),
    ("II.11.3", "x", "q*Ef/(m*(omega_0**2-omega**2))", "q 1 3, Ef 1 3, m 1 3, omega_0 3 5, omega 1 2"),
    ("II.11.17", "n", "n_0*(1+p_d*Ef*cos(theta)/(kb*T))", "n_0 1 3, kb 1 3, T 1 3, theta 1 3, p_d 1 3, Ef 1 3"),
    ("II.11.20", "Pol", "n_rho*p_d**2*Ef/(3*kb*T)", "n_rho 1 5, p_d 1 5, Ef 1 5, kb 1 5, T 1 5"),
    ("II.11.27", "Pol", "n*alpha/(1-(n*alpha/3))*epsilon*Ef", "n 0 1, alpha 0 1, epsilon 1 2, Ef 1 2"),
    ("II.11.28", "theta", "1+n*alpha/(1-(n*alpha/3))", "n 0 1, alpha 0 1"),
    ("II.13.17", "B", "1/(4*pi*epsilon*c**2)*2*I/r", "epsilon 1 5, c 1 5, I 1 5, r 1 5"),
    ("II.13.23", "rho_c", "rho_c_0/sqrt(1-v**2/c**2)", "rho_c_0 1 5, v 1 2, c 3 10"),
    ("II.13.34", "j", "rho_c_0*v/sqrt(1-v**2/c**2)", "rho_c_0 1 5, v 1 2, c 3 10"),
    ("II.15.4", "E_n", "-mom*B*cos(theta)", "mom 1 5, B 1 5, theta 1 5"),
    ("II.15.5", "E_n", "-p_d*Ef*cos(theta)", "p_d 1 5, Ef 1 5, theta 1 5"),
    ("II.21.32", "Volt", "q/(4*pi*epsilon*r*(1-v/c))", "q 1 5, epsilon 1 5, r 1 5, v 1 2, c 3 10"),
    ("II.24.17", "k", "sqrt(omega**2/c**2-pi**2/d**2)", "omega 4 6, c 1 2, d 2 4"),
    ("II.27.16", "flux", "epsilon*c*Ef**2", "epsilon 1 5, c 1 5, Ef 1 5"),
    ("II.27.18", "E_den", "epsilon*Ef**2", "epsilon 1 5, Ef 1 5"),
    ("II.34.2a", "I", "q*v/(2*pi*r)", "q 1 5, v 1 5, r 1 5"),
    ("II.34.2", "mom", "q*v*r/2", "q 1 5, v 1 5, r 1 5"),
    ("II.34.11", "omega", "g_*q*B/(2*m)", "g_ 1 5, q 1 5, B 1 5, m 1 5"),
    ("II.34.29a", "mom", "q*h/(4*pi*m)", "q 1 5, h 1 5, m 1 5"),
    ("II.34.29b", "E_n", "g_*mom*B*Jz/(h/(2*pi))", "g_ 1 5, h 1 5, Jz 1 5, mom 1 5, B 1 5"),
    ("II.35.18", "n", "n_0/(exp(mom*B/(kb*T))+exp(-mom*B/(kb*T)))", "n_0 1 3, kb 1 3, T 1 3, mom 1 3, B 1 3"),
    ("II.35.21", "M", "n_rho*mom*tanh(mom*B/(kb*T))", "n_rho 1 5, mom 1 5, B 1 5, kb 1 5, T 1 5"),
    ("II.36.38", "f", "mom*H/(kb*T)+(mom*alpha)/(epsilon*c**2*kb*T)*M",
     "mom 1 3, H 1 3, kb 1 3, T 1 3, alpha 1 3, epsilon 1 3, c 1 3, M 1 3"),
    ("II.37.1", "E_n", "mom*(1+chi)*B", "mom 1 5, B 1 5, chi 1 5"),
    ("II.38.3", "F", "Y*A*x/d", "Y 1 5, A 1 5, d 1 5, x 1 5"),
    ("II.38.14", "mu_S", "Y/(2*(1+sigma))", "Y 1 5, sigma 1 5"),
    ("III.4.32", "n", "1/(exp((h/(2*pi))*omega/(kb*T))-1)", "h 1 5, omega 1 5, kb 1 5, T 1 5"),
    ("III.4.33", "E_n", "(h/(2*pi))*omega/(exp((h/(2*pi))*omega/(kb*T))-1)", "h 1 5, omega 1 5, kb 1 5, T 1 5"),
    ("III.7.38", "omega", "2*mom*B/(h/(2*pi))", "mom 1 5, B 1 5, h 1 5"),
    ("III.8.54", "prob", "sin(E_n*t/(h/(2*pi)))**2", "E_n 1 2, t 1 2, h 1 4"),
    ("III.9.52", "prob", "(p_d*Ef*t/(h/(2*pi)))*sin((omega-omega_0)*t/2)**2/((omega-omega_0)*t/2)**2",
     "p_d 1 3, Ef 1 3, t 1 3, h 1 3, omega 1 5, omega_0 1 5"),
    ("III.10.19", "E_n", "mom*sqrt(Bx**2+By**2+Bz**2)", "mom 1 5, Bx 1 5, By 1 5, Bz 1 5"),
    ("III.12.43", "L", "n*(h/(2*pi))", "n 1 5, h 1 5"),
    ("III.13.18", "v", "2*E_n*d**2*k/(h/(2*pi))", "E_n 1 5, d 1 5, k 1 5, h 1 5"),
    ("III.14.14", "I", "I_0*(exp(q*Volt/(kb*T))-1)", "I_0 1 5, q 1 2, Volt 1 2, kb 1 2, T 1 2"),
    ("III.15.12", "E_n", "2*U*(1-cos(k*d))", "U 1 5, k 1 5, d 1 5"),
    ("III.15.14", "m", "(h/(2*pi))**2/(2*E_n*d**2)", "h 1 5, E_n 1 5, d 1 5"),
    ("III.15.27", "k", "2*pi*alpha/(n*d)", "alpha 1 5, n 1 5, d 1 5"),
    ("III.17.37", "f", "beta*(1+alpha*cos(theta))", "beta 1 5, alpha 1 5, theta 1 5"),
    ("III.19.51", "E_n", "-m*q**4/(2*(4*pi*epsilon)**2*(h/(2*pi))**2)*(1/n**2)",
     "m 1 5, q 1 5, h 1 5, n 1 5, epsilon 1 5"),
    ("III.21.20", "j", "-rho_c_0*q*A_vec/m", "rho_c_0 1 5, q 1 5, A_vec 1 5, m 1 5"),
    # The bonus equations.
    ("test_1", "A", "(Z_1*Z_2*alpha*hbar*c/(4*E_n*sin(theta/2)**2))**2",
     "Z_1 1 2, Z_2 1 2, alpha 1 2, hbar 1 2, c 1 2, E_n 1 3, theta 1 3"),
    ("test_2", "k", "m*k_G/L**2*(1+sqrt(1+2*E_n*L**2/(m*k_G**2))*cos(theta1-theta2))",
     "m 1 3, k_G 1 3, L 1 3, E_n 1 3, theta1 0 6, theta2 0 6"),
    ("test_3", "r", "d*(1-alpha**2)/(1+alpha*cos(theta1-theta2))", "d 1 3, alpha 2 4, theta1 4 5, theta2 4 5"),
    ("test_4", "v", "sqrt(2/m*(E_n-U-L**2/(2*m*r**2)))", "m 1 3, E_n 8 12, U 1 3, L 1 3, r 1 3"),
    ("test_5", "t", "2*pi*d**(3/2)/sqrt(G*(m1+m2))", "d 1 3, G 1 3, m1 1 3, m2 1 3"),
    ("test_6", "alpha", "sqrt(1+2*epsilon**2*E_n*L**2/(m*(Z_1*Z_2*q**2)**2))",
     "epsilon 1 3, L 1 3, m 1 3, Z_1 1 3, Z_2 1 3, q 1 3, E_n 1 3"),
    ("test_7", "H_G", "sqrt(8*pi*G*rho/3-alpha*c**2/d**2)", "G 1 3, rho 1 3, alpha 1 2, c 1 2, d 1 3"),
    ("test_8", "K", "E_n/(1+E_n/(m*c**2)*(1-cos(theta)))", "E_n 1 3, m 1 3, c 1 3, theta 1 3"),
    ("test_9", "Pwr", "-32/5*G**4/c**5*(m1*m2)**2*(m1+m2)/r**5", "G 1 2, c 1 2, m1 1 5, m2 1 5, r 1 2"),
    ("test_10", "theta1", "arccos((cos(theta2)-v/c)/(1-v/c*cos(theta2)))", "c 4 6, v 1 3, theta2 1 3"),
    ("test_11", "I", "I_0*(sin(alpha/2)*sin(n*delta/2)/(alpha/2*sin(delta/2)))**2",
     "I_0 1 3, alpha 1 3, delta 1 3, n 1 2"),
    ("test_12", "F", "q/(4*pi*epsilon*y**2)*(4*pi*epsilon*Volt*d-q*d*y**3/(y**2-d**2)**2)",
     "q 1 5, y 1 3, Volt 1 5, d 4 6, epsilon 1 5"),
    ("test_13", "Volt", "1/(4*pi*epsilon)*q/sqrt(r**2+d**2-2*r*d*cos(alpha))",
     "q 1 5, r 1 3, d 4 6, alpha 0 6, epsilon 1 5"),
    ("test_14", "Volt", "Ef*cos(theta)*(-r+d**3/r**2*(alpha-1)/(alpha+2))",
     "Ef 1 5, theta 0 6, r 1 5, d 1 5, alpha 1 5"),
    ("test_15", "omega_0", "sqrt(1-v**2/c**2)*omega/(1+v/c*cos(theta))", "c 5 20, v 1 3, omega 1 5, theta 0 6"),
    ("test_16", "E_n", "sqrt((p-q*A_vec)**2*c**2+m**2*c**4)+q*Volt",
     "m 1 5, c 1 5, p 1 5, q 1 5, A_vec 1 5, Volt 1 5"),
    ("test_17", "E_n", "1/(2*m)*(p**2+m**2*omega**2*x**2*(1+alpha*x/y))",
     "m 1 5, omega 1 5, p 1 5, y 1 5, x 1 5, alpha 1 5"),
    ("test_18", "rho_0", "3/(8*pi*G)*(c**2*k_f/r**2+H_G**2)", "G 1 5, k_f 1 5, r 1 5, H_G 1 5, c 1 5"),
    ("test_19", "pr", "-1/(8*pi*G)*(c**4*k_f/r**2+H_G**2*c**2*(1-2*alpha))",
     "G 1 5, k_f 1 5, r 1 5, H_G 1 5, alpha 1 5, c 1 5"),
    ("test_20", "A", "1/(4*pi)*alpha**2*h**2/(m**2*c**2)*(omega_0/omega)**2*(omega_0/omega+omega/omega_0-sin(beta)**2)",
     "omega 1 5, omega_0 1 5, alpha 1 5, h 1 5, m 1 5, c 1 5, beta 0 6"),
)

# The names a formula may use besides its variables.
NUMPY_NAMES = {n: getattr(np, n) for n in ("exp", "log", "sqrt", "sin", "cos", "tanh", "arcsin", "arccos", "pi")}


@dataclass(frozen=True)
class Law:
    id: str
    target: str
    formula: str
    variables: tuple[tuple[str, float, float], ...]

    @property
    def names(self) -> tuple[str, ...]:
        return tuple(v[0] for v in self.variables)

    @property
    def units(self) -> dict[str, tuple[int, ...]]:
        return {n: UNITS[n] for n in self.names}

    @property
    def target_units(self) -> tuple[int, ...]:
        return UNITS[self.target]

    def evaluate(self, X) -> np.ndarray:
        """The formula at the columns of X (a mapping name -> array)."""
        scope = dict(NUMPY_NAMES)
        scope.update({n: np.asarray(X[n], dtype=float) for n in self.names})
        return np.asarray(eval(self.formula, {"__builtins__": {}}, scope), dtype=float)  # noqa: S307

    def sample(self, rows: int, rng: np.random.Generator) -> dict[str, np.ndarray]:
        """Rows drawn uniformly from each variable's range, in order."""
        return {n: rng.uniform(lo, hi, rows) for n, lo, hi in self.variables}

    def sympy(self):
        """(the formula as a SymPy expression, its symbols in order); the
        symbols are positive where the range is, real otherwise."""
        import sympy

        symbols = {n: sympy.Symbol(n, positive=True) if lo > 0 else sympy.Symbol(n, real=True)
                   for n, lo, _ in self.variables}
        scope = dict(symbols, arcsin=sympy.asin, arccos=sympy.acos, log=sympy.log, pi=sympy.pi,
                     exp=sympy.exp, sqrt=sympy.sqrt, sin=sympy.sin, cos=sympy.cos, tanh=sympy.tanh)
        return sympy.parse_expr(self.formula, local_dict=scope), list(symbols.values())


def _law(row) -> Law:
    id_, target, formula, ranges = row
    variables = tuple((n, float(lo), float(hi)) for n, lo, hi in (v.split() for v in ranges.split(",")))
    return Law(id_, target, formula, variables)


LAWS: tuple[Law, ...] = tuple(_law(r) for r in _ROWS)
BY_ID: dict[str, Law] = {law.id: law for law in LAWS}


def to_si(units) -> tuple[int, ...]:
    """A vector over BASE (m, s, kg, T, V) rewritten over SI_BASE
    (m, s, kg, K, A): V = kg m^2 s^-3 A^-1."""
    m, s, kg, k, v = units
    return (m + 2 * v, s - 3 * v, kg + v, k, -v)


def unit_string(units, base=SI_BASE) -> str:
    """"kg m^2 s^-2"-style text of an exponent vector ("1" if dimensionless)."""
    parts = [b if e == 1 else f"{b}^{e}" for b, e in zip(base, units) if e]
    return " ".join(parts) or "1"


def unbalanced(law: Law, rows: int = 64, seed: int = 0) -> float:
    """How far the law is from balancing its units: each base unit is given a
    random scale, each variable and the target scaled by their units'
    product; a balanced law's value scales exactly as its target. Returns
    the largest relative discrepancy (0 up to rounding when balanced)."""
    rng = np.random.default_rng(seed)
    X = law.sample(rows, rng)
    scales = np.exp(rng.uniform(-2.0, 2.0, len(BASE)))
    factor = {n: float(np.prod(scales ** np.array(u))) for n, u in law.units.items()}
    scaled = {n: X[n] * factor[n] for n in law.names}
    want = law.evaluate(X) * float(np.prod(scales ** np.array(law.target_units)))
    got = law.evaluate(scaled)
    return float(np.max(np.abs(got - want) / np.maximum(np.abs(want), 1e-300)))


def check(rows: int = 10_000, seed: int = 0) -> list[str]:
    """The table's faults: a count other than 120, duplicate ids, a formula
    not finite on its ranges, units that do not balance."""
    faults = [] if len(LAWS) == 120 == len(BY_ID) else [f"{len(LAWS)} laws, {len(BY_ID)} ids"]
    rng = np.random.default_rng(seed)
    for law in LAWS:
        with np.errstate(all="ignore"):
            y = law.evaluate(law.sample(rows, rng))
        if y.shape != (rows,) or not np.all(np.isfinite(y)):
            faults.append(f"{law.id}: not finite on its ranges")
        if (err := unbalanced(law)) > 1e-9:
            faults.append(f"{law.id}: units do not balance ({err:.2g})")
    return faults


if __name__ == "__main__":
    problems = check()
    print("\n".join(problems) or f"{len(LAWS)} laws: finite on their ranges, units balanced")
