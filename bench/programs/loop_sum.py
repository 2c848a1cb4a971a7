"""Sum of 1..n in a counting loop: measures the bare loop, locals and integer arithmetic."""


def run(n):
    acc = 0
    for i in range(1, n + 1):
        acc += i
    return acc
