"""The list functions against pure Python."""

import math
import random

import tarnwick
from bench import Case


def cases():
    rng = random.Random(1)
    for n in (1, 1_000, 100_000):
        xs = [rng.uniform(-1, 1) for _ in range(n)]
        target = 1.3 if n == 1 else (1 / 1.5 if n == 1_000 else None)
        yield Case(f"sum_of_squares n={n}", lambda xs=xs: tarnwick.sum_of_squares(xs),
                   "math.fsum", lambda xs=xs: math.fsum(xs), target)
        yield Case(f"sum_of_squares n={n}", lambda xs=xs: tarnwick.sum_of_squares(xs),
                   "sum(x*x for x in xs)", lambda xs=xs: sum(x * x for x in xs))

    a = [[rng.random() for _ in range(64)] for _ in range(64)]
    b = [[rng.random() for _ in range(64)] for _ in range(64)]

    def triple_loop():
        return [[sum(a[i][k] * b[k][j] for k in range(64)) for j in range(64)] for i in range(64)]

    yield Case("matrix_multiply 64x64", lambda: tarnwick.matrix_multiply(a, b),
               "pure-Python triple loop", triple_loop)

    for n in (1_000, 1_000_000):
        data = [rng.random() for _ in range(n)]
        yield Case(f"parallel_transform n={n}", lambda d=data: tarnwick.parallel_transform(d, 2.5),
                   "list comprehension", lambda d=data: [x * 2.5 for x in d])
