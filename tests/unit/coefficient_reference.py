#!/usr/bin/env python3
"""Prints reference filter coefficients for the unit tests, computed apart
from the code under test: the pole exp(-1e-7 / tau) in 60-digit decimal
arithmetic (from the same double quotient the program forms), truncated
exactly. Only time constants whose results lie well away from an integer
boundary are printed, so that any correct double-precision evaluation must
give these very values."""
from decimal import Decimal, getcontext, ROUND_FLOOR

getcontext().prec = 60
SCALE = Decimal(4294967295)
MARGIN = Decimal("1e-4")

taus = ["1e-300", "1e-12", "1e-9", "3.3e-9", "1e-8", "4.7e-8", "1e-7", "2.5e-7", "1e-6", "3e-6", "1e-5",
        "1e-4", "1e-3", "0.01", "0.1", "1", "10", "1000", "1e6", "1e9"]


def floor_with_margin(value):
    whole = value.to_integral_value(rounding=ROUND_FLOOR)
    fraction = value - whole
    return int(whole), MARGIN < fraction < 1 - MARGIN


for text in taus:
    x = -1e-7 / float(text)  # the double quotient, rounded as in C
    pole = Decimal(x).exp()
    ku, ku_safe = floor_with_margin((Decimal("0.5") - pole / 2) * SCALE + 1)
    ky, ky_safe = floor_with_margin(pole * SCALE)
    if ky == 0:
        ky_safe = True  # a pole that underflows gives exactly 0
    if ku_safe and ky_safe:
        print("    {%s, 0x%08Xu, 0x%08Xu}," % (text, ku, ky))
    else:
        print("    // %s lies too close to an integer boundary" % text)
