#!/usr/bin/env python3
"""Where the threads of a multi-threaded decode spend each picture.

Runs `hevc-decode --threads 1` on a stream under perf with user probes on
the decoder's task functions and the scheduler's switch events, then
prints, per picture, how long the caller's thread and the worker slot (any
worker running) spend in each part: wavefront row and tile tasks ("row
task"), slice tasks, the reconstruction task, the rows of a picture's tail
shared with it, the in-loop filters, slice data decoded on the caller's
thread (in the reconstruction task's mode: parsing), the rest, and idle
(inside a task: waiting for another thread's progress; outside: no task to
run), and the core time no thread of the decoder uses ("idle cores"), by
what the caller's thread does meanwhile. Needs root (perf probe) and a
build with debug information (RelWithDebInfo).

    hevc-timeline.py build/tools/hevc-decode/hevc-decode stream.hevc
"""
import collections
import os
import re
import subprocess
import sys
import tempfile

PART = {
    "RowTask": "row task", "ReconTask": "recon task", "RunRows": "tail rows",
    "HevcFilterAdvance": "filters", "HevcThreadsFilterShared": "filters", "DeblockBandTask": "filters",
    "HevcDecodeSliceData": "slice data", "SliceTask": "slice task", "FilterTask": "filters", "TailTask": "filters",
    "TileTailTask": "filters",
}
# Functions whose entry and return are probed: the decode call (it names
# the caller's thread), the picture's end (it counts pictures) and those
# above. The innermost of these on a thread's stack names what it does.
FUNCTIONS = ["IHW265D_DecodeFrame", "HevcFinishPicture"] + list(PART)
GROUP = "probe_hevc_timeline"
CORES = os.cpu_count() or 1


def run(cmd, **kw):
    return subprocess.run(cmd, check=False, capture_output=True, text=True, **kw)


def add_probes(binary):
    run(["perf", "probe", "-q", "-d", GROUP + ":*"])
    for f in FUNCTIONS:
        for probe_def in (f"{GROUP}:{f}={f}", f"{GROUP}:{f}_ret={f}%return"):
            r = run(["perf", "probe", "-q", "-x", binary, "-a", probe_def])
            if r.returncode:
                sys.exit(f"perf probe {probe_def} failed: {r.stderr.strip()}")


def record(binary, stream, data):
    r = run(["perf", "record", "-q", "-a", "-o", data, "-e", GROUP + ":*", "-e", "sched:sched_switch", "--",
             binary, "--threads", "1", "--chunk", "1000000", stream])
    if r.returncode:
        sys.exit(f"perf record failed: {r.stderr.strip()}")
    return run(["perf", "script", "-i", data, "-F", "tid,time,event,trace"]).stdout


def parse(text):
    """Events as (time, tid, name, prev_pid, next_pid)."""
    out = []
    pat = re.compile(r"\s*(\d+)\s+([\d.]+):\s+(\S+):(.*)")
    for line in text.splitlines():
        m = pat.match(line)
        if not m:
            continue
        tid, t, event, rest = int(m.group(1)), float(m.group(2)), m.group(3), m.group(4)
        if event.endswith("sched_switch"):
            s = re.search(r"prev_pid=(\d+).*next_pid=(\d+)", rest)
            if s:
                out.append((t, tid, "switch", int(s.group(1)), int(s.group(2))))
        else:
            # A return probe named NAME_ret shows as NAME_ret__return.
            out.append((t, tid, event.split(":")[-1].replace("_ret__return", "_ret"), 0, 0))
    return out


def report(events):
    calls = [e for e in events if e[2] == "IHW265D_DecodeFrame"]
    if not calls:
        sys.exit("no decode calls were seen: is the binary built with debug information?")
    caller = calls[0][1]
    # From the first picture's end to the last one's: the steady state,
    # without creation, the first picture and the flush.
    ends = [e[0] for e in events if e[2] == "HevcFinishPicture"]
    if len(ends) < 2:
        sys.exit("fewer than two pictures were decoded")
    pictures = len(ends) - 1
    stack = collections.defaultdict(list)
    running = {caller}
    workers = set()
    acc = collections.Counter()
    last = None

    def part(tid):
        for f in reversed(stack[tid]):
            if f in PART:
                return PART[f]
        return "other"

    for t, tid, name, prev, nxt in events:
        started = ends[0] <= t <= ends[-1]
        if started and last is not None:
            dt = t - last
            acc[("caller", part(caller) if caller in running else "idle")] += dt
            busy = [w for w in workers if w in running]
            # Core time the decoder leaves unused, by what the caller's
            # thread does meanwhile: its own serial work shows here.
            idle = dt * max(0, CORES - len(busy) - (caller in running))
            acc[("idle cores", part(caller) if caller in running else "caller waits")] += idle
            if busy:
                acc[("workers", part(busy[0]))] += dt
            else:
                inside = any(stack[w] for w in workers)
                acc[("workers", "idle in a task" if inside else "idle, no task")] += dt
        last = t
        if name == "switch":
            running.discard(prev)
            if nxt == caller or nxt in workers:
                running.add(nxt)
            continue
        if tid != caller and tid not in workers:
            workers.add(tid)
            running.add(tid)
        if name.endswith("_ret"):
            f = name[:-4]
            if f in stack[tid]:
                while stack[tid][-1] != f:
                    stack[tid].pop()
                stack[tid].pop()
        else:
            stack[tid].append(name)
    print(f"{pictures} pictures; ms per picture (probes add a few microseconds per call)")
    for who in ("caller", "workers", "idle cores"):
        parts = sorted((k[1], v) for k, v in acc.items() if k[0] == who)
        total = sum(v for _, v in parts)
        print(f"  {who:8s} " + "  ".join(f"{p} {1e3 * v / pictures:.3f}" for p, v in parts) +
              f"  ({'total' if who == 'idle cores' else 'wall'} {1e3 * total / pictures:.3f})")


def main():
    if len(sys.argv) != 3:
        sys.exit(__doc__.strip().splitlines()[-1].strip())
    binary, stream = sys.argv[1], sys.argv[2]
    add_probes(binary)
    try:
        with tempfile.NamedTemporaryFile(suffix=".data") as f:
            report(parse(record(binary, stream, f.name)))
    finally:
        run(["perf", "probe", "-q", "-d", GROUP + ":*"])


if __name__ == "__main__":
    main()
