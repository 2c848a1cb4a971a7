"""Removes duplicates from n integers, keeping the first of each in order."""


def run(n):
    seen, out = set(), []
    for x in [i % 5000 for i in range(n)]:
        if x not in seen:
            seen.add(x)
            out.append(x)
    return len(out)
