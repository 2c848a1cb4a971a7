"""Calls the module-level function host_inc (the same Python callable) n times.

The runner binds host_inc in this module's namespace before calling run.
"""


def run(n):
    acc = 0
    for _ in range(n):
        acc = host_inc(acc)  # noqa: F821 (bound by the runner)
    return acc
