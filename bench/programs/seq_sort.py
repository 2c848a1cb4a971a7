"""sorted() of n integers in a scrambled order."""


def prepare(n):
    return [(i * 7919) % n for i in range(n)]


def run(data):
    s = sorted(data)
    return [s[0], s[len(s) // 2], s[-1]]
