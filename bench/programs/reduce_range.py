"""functools.reduce(operator.add, range(n))."""

import functools
import operator


def run(n):
    return functools.reduce(operator.add, range(n))
