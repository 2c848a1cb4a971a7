"""Perform and resume as a generator driven by send: the generator yields x 1000 times and is
sent x + 1 each time; run(n) does this n/1000 times, so n yields and n sends."""


def asker(m):
    total = 0
    for i in range(m):
        total += yield i
    return total


def ask_sum(m):
    g = asker(m)
    try:
        x = next(g)
        while True:
            x = g.send(x + 1)
    except StopIteration as stop:
        return stop.value


def run(n):
    total = 0
    for _ in range(n // 1000):
        total += ask_sum(1000)
    return total
