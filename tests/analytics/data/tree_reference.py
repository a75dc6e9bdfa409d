#!/usr/bin/env python3
"""Reference values of the American binomial tree, computed independently of
the library from the tree's definition:

  - n steps, dt = T / n, u = exp(sigma sqrt(dt)), d = 1 / u,
    growth g = exp((r - q) dt) (1 for model 3), p = (g - d) / (u - d),
    one-step discount exp(r dt); a continuation value is
    (p V_up + (1 - p) V_down) / exp(r dt).
  - dividends with 0 <= t <= T and a non-zero amount are taken off the spot
    (in array order) and belong to step floor(n t / T); the lattice spot E is
    the spot less the dividends not yet added back, node k of step j stands
    for E u^(2k - j).
  - terminal values are intrinsic; rolling back, a node is exercised when its
    continuation is below its intrinsic value; for the fugit, an exercised
    node's time is its step, otherwise p X_up + (1 - p) X_down.
  - dividends are added back from the last qualifying array element to the
    first, at their step but not below the lowest step (2 for delta and gamma,
    else 0); after adding one back every node of that step is compared with
    its intrinsic value on the new lattice.
  - results: value V(0); fugit T X(0) / n; delta (V2 - V0) / (S u^2 - S d^2);
    gamma ((V2 - V1) / ((u^2 - 1) S) - (V1 - V0) / ((1 - d^2) S))
          / (0.5 (S u^2 - S d^2)), with V0..V2 the nodes of step 2 and S the
    spot with every dividend added back.

Writes tree_reference.csv beside this file; with --check, compares instead.
"""
import math
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
CSV = os.path.join(HERE, "tree_reference.csv")


def tree(r, S, K, sigma, T, q, cls, model, kind, n, amounts, times):
    lowest = 2 if kind >= 2 else 0
    dt = T / n
    g = 1.0 if model == 3 else math.exp((r - q) * dt)
    E = S
    divs = []
    for a, t in zip(amounts, times):
        if 0.0 <= t <= T and a != 0.0:
            E -= a
            if E <= 0:
                return None
            divs.append((a, math.floor(n * t / T)))
    u = math.exp(sigma * math.sqrt(dt))
    d = 1.0 / u
    p = (g - d) / (u - d)
    if not 0.0 <= p <= 1.0:
        return None
    disc = math.exp(r * dt)

    def intrinsic(spot, j, k):
        price = spot * math.pow(u, 2 * k - j)
        return max(price - K, 0.0) if cls != 0 else max(K - price, 0.0)

    V = [intrinsic(E, n, k) for k in range(n + 1)]
    X = [float(n)] * (n + 1)
    pending = list(reversed(divs))
    for j in range(n, lowest - 1, -1):
        if j < n:
            newV, newX = [], []
            for k in range(j + 1):
                cont = (p * V[k + 1] + (1.0 - p) * V[k]) / disc
                ex = intrinsic(E, j, k)
                if cont < ex:
                    newV.append(ex)
                    newX.append(float(j))
                else:
                    newV.append(cont)
                    newX.append(p * X[k + 1] + (1.0 - p) * X[k])
            V, X = newV, newX
        while pending:
            step = max(pending[0][1], lowest)
            if step > j:
                return None
            if step < j:
                break
            E += pending.pop(0)[0]
            for k in range(j + 1):
                ex = intrinsic(E, j, k)
                if V[k] < ex:
                    V[k] = ex
                    X[k] = float(j)
    if kind == 0:
        return V[0]
    if kind == 1:
        return T * X[0] / n
    Su2, Sd2 = E * u * u, E * d * d
    if kind == 2:
        return (V[2] - V[0]) / (Su2 - Sd2)
    return ((V[2] - V[1]) / ((u * u - 1.0) * E) - (V[1] - V[0]) / ((1.0 - d * d) * E)) / (
        0.5 * (Su2 - Sd2))


# name, r, S, K, sigma, T, q, amounts, times
MARKETS = [
    ("textbook", 0.10, 42.0, 40.0, 0.20, 0.5, 0.0, [], []),
    ("otm_yield", 0.05, 100.0, 110.0, 0.30, 1.0, 0.02, [], []),
    ("high_yield", 0.08, 50.0, 50.0, 0.40, 2.0, 0.12, [], []),
    ("deep_itm_put", 0.10, 30.0, 45.0, 0.25, 1.5, 0.0, [], []),
    ("two_divs", 0.06, 60.0, 58.0, 0.25, 1.0, 0.0, [1.5, 2.0], [0.25, 0.75]),
    ("div_at_now_and_expiry", 0.05, 42.0, 40.0, 0.30, 0.5, 0.01, [0.5, 0.7], [0.0, 0.5]),
    ("divs_ignored", 0.07, 80.0, 85.0, 0.35, 0.75, 0.0, [2.0, 0.0, 3.0], [0.3, 0.4, 0.76]),
    ("big_div", 0.04, 40.0, 35.0, 0.20, 1.0, 0.0, [6.0], [0.5]),
]
STEPS = [5, 20, 21, 100, 303]


def rows():
    out = []
    for name, r, S, K, sigma, T, q, amounts, times in MARKETS:
        for cls in (0, 1):
            for model in (1, 3, 5):
                for n in STEPS:
                    for kind in (0, 1, 2, 3):
                        v = tree(r, S, K, sigma, T, q, cls, model, kind, n, amounts, times)
                        if v is None:
                            continue
                        out.append(",".join([
                            name, repr(r), repr(S), repr(K), repr(sigma), repr(T), repr(q),
                            str(cls), str(model), str(kind), str(n),
                            ";".join(repr(a) for a in amounts) or "-",
                            ";".join(repr(t) for t in times) or "-",
                            repr(v)]))
    return out


def same_row(stored, computed):
    """Equal inputs, and values equal up to the last bits another libm's exp
    or pow may round differently."""
    a, b = stored.split(","), computed.split(",")
    if a[:-1] != b[:-1]:
        return False
    if a[-1] == b[-1]:
        return True
    x, y = float(a[-1]), float(b[-1])
    return abs(x - y) <= 1e-13 * max(abs(x), abs(y), 1e-4)


def main():
    header = "name,r,S,K,sigma,T,q,class,model,kind,steps,amounts,times,value"
    text = "\n".join([header] + rows()) + "\n"
    if len(sys.argv) > 1 and sys.argv[1] == "--check":
        with open(CSV) as f:
            stored = f.read().splitlines()
        computed = text.splitlines()
        if len(stored) != len(computed) or not all(
                same_row(a, b) for a, b in zip(stored, computed)):
            print("tree_reference.csv differs from what tree_reference.py computes")
            return 1
        print("tree_reference.csv matches")
        return 0
    with open(CSV, "w") as f:
        f.write(text)
    return 0


if __name__ == "__main__":
    sys.exit(main())
