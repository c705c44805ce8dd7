#!/usr/bin/env python3
"""Where the time of a run with tasks goes, seen from /proc.

Usage: task-profile.py [-i SECONDS] COMMAND...

Runs COMMAND (a master with -t<n>) and samples every process it starts
every SECONDS (default 0.01): each process's CPU time from
/proc/PID/schedstat. Prints the run's time, the master's CPU time, each
worker's CPU time and the share of the run it was busy, the sum against
workers x run time, the run's length on free cores (the first worker's start
and the busiest worker's CPU time), and a timeline of how many cores the workers kept busy
(one character per 1/60 of the run: 0-8, '+' above 8). The CPU time of a
process is not disturbed by other load on the machine; the timeline is.
"""
import os
import subprocess
import sys
import time


def runtime_ns(pid):
    try:
        with open("/proc/%d/schedstat" % pid) as f:
            return int(f.read().split()[0])
    except (OSError, ValueError, IndexError):
        return None


def children(pid):
    try:
        with open("/proc/%d/task/%d/children" % (pid, pid)) as f:
            return [int(p) for p in f.read().split()]
    except OSError:
        return []


def main():
    args = sys.argv[1:]
    interval = 0.01
    if args[:1] == ["-i"]:
        interval = float(args[1])
        args = args[2:]
    t0 = time.monotonic()
    master = subprocess.Popen(args, stdout=subprocess.DEVNULL)
    samples = {}  # pid -> [(t, ns)]
    while master.poll() is None:
        t = time.monotonic() - t0
        for pid in [master.pid] + children(master.pid):
            ns = runtime_ns(pid)
            if ns is not None:
                samples.setdefault(pid, []).append((t, ns))
        time.sleep(interval)
    wall = time.monotonic() - t0
    workers = [p for p in samples if p != master.pid]
    m = samples.get(master.pid, [(0, 0)])
    print("run %.2f s, master CPU %.2f s (as last seen), %d workers" % (wall, m[-1][1] / 1e9, len(workers)))
    total = 0.0
    for p in sorted(workers, key=lambda p: samples[p][0][0]):
        s = samples[p]
        cpu = (s[-1][1]) / 1e9
        total += cpu
        # Busy: the samples in which the worker ran more than half the time.
        busy = sum(b[0] - a[0] for a, b in zip(s, s[1:]) if (b[1] - a[1]) / 1e9 > 0.5 * (b[0] - a[0]))
        print("  worker %6d: seen %5.2f-%5.2f s, CPU %6.2f s, busy %5.1f%% of the run" %
              (p, s[0][0], s[-1][0], cpu, 100 * busy / wall))
    if workers:
        print("workers' CPU %.2f s = %.1f%% of %d x %.2f s" % (total, 100 * total / (len(workers) * wall),
                                                             len(workers), wall))
        # On free cores the run would take about its busiest worker's CPU
        # time after the first worker started: a figure other load on the
        # machine disturbs little.
        first = min(samples[p][0][0] for p in workers)
        busiest = max(samples[p][-1][1] for p in workers) / 1e9
        print("first worker at %.2f s, busiest worker's CPU %.2f s: about %.2f s on free cores" %
              (first, busiest, first + busiest))
    slots = 60
    line = []
    for k in range(slots):
        a, b = wall * k / slots, wall * (k + 1) / slots
        used = 0.0
        for p in workers:
            s = samples[p]
            for (ta, na), (tb, nb) in zip(s, s[1:]):
                lo, hi = max(ta, a), min(tb, b)
                if hi > lo and tb > ta:
                    used += (nb - na) / 1e9 * (hi - lo) / (tb - ta)
        cores = used / (b - a)
        line.append(str(int(cores + 0.5)) if cores < 8.5 else "+")
    print("cores busy |" + "".join(line) + "|")
    return master.returncode


if __name__ == "__main__":
    sys.exit(main())
