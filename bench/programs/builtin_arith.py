"""Arithmetic through functions held as values: operator.add, mul and lt, called at each step."""

from operator import add, lt, mul


def run(n):
    i = 0
    acc = 0
    while lt(i, n):
        acc = add(acc, mul(i, 3))
        i = add(i, 1)
    return acc
