"""A filtering list comprehension over a list of n integers."""


def prepare(n):
    return list(range(n))


def run(data):
    return len([x for x in data if 2 * (x // 2) < x])
