"""Generator-style effects: a generator yields 1000 values and the consumer sums them; run(n)
does this n/1000 times, so n yields and n resumptions."""


def gen(m):
    for i in range(m):
        yield i


def gen_sum(m):
    total = 0
    for x in gen(m):
        total += x
    return total


def run(n):
    total = 0
    for _ in range(n // 1000):
        total += gen_sum(1000)
    return total
