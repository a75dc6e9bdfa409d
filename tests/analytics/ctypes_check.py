#!/usr/bin/env python3
"""Calls HlUnivOpt through Python's C interface, as a macro or script would."""
import ctypes
import sys


class FP(ctypes.Structure):
    _fields_ = [("rows", ctypes.c_uint16), ("columns", ctypes.c_uint16),
                ("array", ctypes.c_double * 8)]


def main():
    lib = ctypes.CDLL(sys.argv[1])
    eight = [ctypes.c_double] * 6 + [ctypes.c_short] * 2
    lib.HLUOA_PRICE.argtypes = eight
    lib.HLUOA_PRICE.restype = ctypes.c_double
    lib.HLUOA_DPRICE.argtypes = eight + [ctypes.POINTER(FP)] * 2
    lib.HLUOA_DPRICE.restype = ctypes.c_double
    lib.HLUOA_DARRAY.argtypes = eight + [ctypes.POINTER(FP)] * 2
    lib.HLUOA_DARRAY.restype = ctypes.POINTER(FP)
    lib.HLUOA_SETOPTSTEP.argtypes = [ctypes.c_short]
    lib.HLUOA_SETOPTSTEP.restype = ctypes.c_short

    failures = []
    call = lib.HLUOA_PRICE(0.1, 42, 40, 0.2, 0.5, 0, 1, 0)
    if abs(call - 4.7594) > 5e-5:
        failures.append("European call %r, expected 4.7594" % call)
    if lib.HLUOA_PRICE(0.1, 42, 0, 0.2, 0.5, 0, 1, 0) != 99999999.9:
        failures.append("a zero strike did not give the error value")
    if lib.HLUOA_SETOPTSTEP(41) != 40:
        failures.append("HLUOA_SETOPTSTEP(41) did not give 40")

    amounts = FP(1, 1, (ctypes.c_double * 8)(1.0))
    times = FP(1, 1, (ctypes.c_double * 8)(0.0))
    with_div = lib.HLUOA_DPRICE(0.1, 42, 40, 0.2, 0.5, 0, 1, 0, amounts, times)
    plain = lib.HLUOA_PRICE(0.1, 41, 40, 0.2, 0.5, 0, 1, 0)
    if with_div != plain:
        failures.append("a dividend due now was not taken off the spot: %r vs %r" % (with_div, plain))

    none = FP(1, 1, (ctypes.c_double * 8)(-1.0))
    none2 = FP(1, 1, (ctypes.c_double * 8)(-1.0))
    result = lib.HLUOA_DARRAY(0.1, 42, 40, 0.2, 0.5, 0, 1, 0, none, none2).contents
    if (result.rows, result.columns) != (1, 8) or result.array[0] != call:
        failures.append("HLUOA_DARRAY: %dx%d, price %r" % (result.rows, result.columns,
                                                          result.array[0]))
    for f in failures:
        print("FAIL:", f)
    if not failures:
        print("ctypes calls agree")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
