"""Groups n integers into 100 lists by remainder."""


def run(n):
    g = {}
    for x in range(n):
        g.setdefault(x % 100, []).append(x)
    return [len(g), len(g[0])]
