"""Calls of a closure that captures two variables of its maker, n times."""


def make_affine(a, b):
    def affine(x):
        return a * x + b

    return affine


def run(n):
    f = make_affine(3, 1)
    acc = 0
    for i in range(n):
        acc += f(i)
    return acc
