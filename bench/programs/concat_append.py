"""A list of n integers built by append in a loop (the same as seq_conj.py)."""


def run(n):
    out = []
    for i in range(n):
        out.append(i)
    return len(out)
