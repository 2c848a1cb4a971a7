"""functools.reduce over a list of n integers with a lambda."""

import functools


def prepare(n):
    return list(range(n))


def run(data):
    return functools.reduce(lambda acc, x: acc + x, data, 0)
