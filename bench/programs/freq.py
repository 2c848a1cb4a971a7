"""Counts occurrences of n small integers in a dict."""


def run(n):
    f = {}
    for x in [(i * 7) % 1000 for i in range(n)]:
        f[x] = f.get(x, 0) + 1
    return [len(f), f[0]]
