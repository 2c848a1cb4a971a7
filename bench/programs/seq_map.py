"""A list comprehension over a list of n integers."""


def prepare(n):
    return list(range(n))


def run(data):
    return len([x * 2 for x in data])
