"""Errors caught: each iteration divides by zero inside try/except, whose handler answers 1;
run(n) counts n catches."""


def run(n):
    caught = 0
    for i in range(n):
        try:
            caught += i // 0
        except ZeroDivisionError:
            caught += 1
    return caught
