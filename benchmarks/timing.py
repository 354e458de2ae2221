"""Timing one thing against a baseline in the same run, which every figure here is."""

import statistics
import timeit


def against(subject, baseline, env, number, rounds, baseline_number=None):
    """(median seconds per call of `subject`, median ratio to `baseline`), the two timed in turn
    in every round, so that a slow spell of the machine weighs on both sides of each ratio. Each is
    a statement run in `env`, or a callable (`env` None)."""
    timed = timeit.Timer(subject, globals=env)
    base = timeit.Timer(baseline, globals=env)
    base_number = baseline_number or number
    times, ratios = [], []
    for _ in range(rounds):
        b = base.timeit(base_number) / base_number
        t = timed.timeit(number) / number
        times.append(t)
        ratios.append(t / b)
    return statistics.median(times), statistics.median(ratios)
