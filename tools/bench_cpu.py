"""CPU time of processes as the kernel's scheduler counts it, for the benchmarks that compare a few
hundredths of a percent of one core: per thread and in nanoseconds, far finer than the 10 ms ticks
of /proc/<pid>/stat."""
import os
import pathlib
import time


def thread_cpu_ns(pid):
    """Nanoseconds on a CPU of each live thread of the process, from the scheduler's statistics: far
    finer than the 10 ms ticks of /proc/<pid>/stat, which would hide the 0.01 % sought and blur
    the few seconds a server spends in minutes."""
    times = {}
    try:
        tasks = os.listdir(f"/proc/{pid}/task")
    except OSError:
        return times
    for task in tasks:
        try:
            times[task] = int(pathlib.Path(f"/proc/{pid}/task/{task}/schedstat").read_text().split()[0])
        except (OSError, ValueError, IndexError):
            continue
    return times


def cpu_over(seconds, groups):
    """CPU seconds of each group of processes over the same `seconds`, and the time measured.
    Counted per thread: one that begins meanwhile counts in full, one that ends loses only its
    time after the first reading."""
    before = [{pid: thread_cpu_ns(pid) for pid in pids} for pids in groups]
    start = time.monotonic()
    time.sleep(seconds)
    elapsed = time.monotonic() - start
    used = []
    for pids, first in zip(groups, before):
        used.append(sum(ns - first[pid].get(task, 0) for pid in pids for task, ns in thread_cpu_ns(pid).items())
                    / 1e9)
    return used, elapsed


def percent(cpu, elapsed):
    """CPU seconds over `elapsed` seconds as % of one core."""
    return 100 * cpu / elapsed
