"""The main job: what _combinatorial computes, and how fast.

For now it prints a few coefficients and shows that a coefficient of 2^64 or
more is an error, not a wrapped number.
"""
import argparse
import math

import _combinatorial as m


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--quick", action="store_true", help="short run, for CI")
    parser.parse_args()

    for n, k in [(5, 2), (10, 3), (64, 32), (65535, 2), (65535, 4)]:
        print(f"C({n}, {k}) = {m.comb(n, k)}  (math.comb agrees: {m.comb(n, k) == math.comb(n, k)})")
    try:
        m.comb(68, 34)
    except OverflowError as error:
        print(f"C(68, 34) = {math.comb(68, 34)} does not fit: OverflowError: {error}")


if __name__ == "__main__":
    main()
