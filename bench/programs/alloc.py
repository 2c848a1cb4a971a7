"""Builds a fresh three-element list on every iteration and keeps only the last one."""


def run(n):
    v = None
    for i in range(n):
        v = [i, i + 1, i * 2]
    return v
