#!/usr/bin/python3
"""The Python package's benchmark, driven by bench/python.sh.

Loads a TAB trace into a DataFrame once (not timed): the id as int64, the
coordinates as float32, the dialect's own precision, so that every run
below gives the same cells. Then runs ROUNDS rounds in one loop, each with:
`cellfreq --format csv` on the file (a child process), `frequent_cells` on
the DataFrame, and the same job written in ordinary pandas (cells by floor
division, users by integer division, positions by a cumulative count per
user, the cells' counts by a group-by transform, the threshold as a mask).
Prints the median wall time with the spread and the peak resident memory of
each (for a run in this process also its growth above the resident set it
started from, which holds the DataFrame), and checks that the pandas job's
rows are frequent_cells' rows.

A run's peak in this process is measured from the kernel's high-water mark
of the resident set, reset before the run (/proc/self/clear_refs, 5); the
command line's by GNU time.

    python_frames.py CELLFREQ TRACE ROUNDS
"""
import os
import statistics
import subprocess
import sys
import tempfile
import time

import numpy as np
import pandas as pd

import cellfreq

MIB = 1 << 20


def status(field):
    """A memory figure of this process from /proc/self/status, in bytes."""
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024
    raise RuntimeError(f"no {field} in /proc/self/status")


def in_process(job):
    """Runs ``job()``; its wall time in seconds, and the peak resident set in
    bytes, absolute and above the resident set at its start."""
    start_rss = status("VmRSS")
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")
    start = time.perf_counter()
    result = job()
    wall = time.perf_counter() - start
    peak = status("VmHWM")
    del result
    return wall, peak, peak - start_rss


def child(argv):
    """Runs ``argv`` as a child process under GNU time; its wall time and peak
    resident set. (A child forked from this process would count the pages
    it shared with it before its exec, the DataFrame's among them.)"""
    with tempfile.NamedTemporaryFile("r") as figures:
        start = time.perf_counter()
        subprocess.run(["/usr/bin/time", "-f", "%M", "-o", figures.name, *argv], stdout=subprocess.DEVNULL,
                       check=True)
        wall = time.perf_counter() - start
        peak = int(figures.read().split()[-1]) * 1024
        return wall, peak, peak


def pandas_job(trace, cell_size=400, group_size=10, threshold=3, objects=1000):
    """The frequent visits in ordinary pandas: ``user, x, y, position`` in the
    report's order (users ascending, each user's visits by object and then
    in trace order), the objects beyond ``objects`` left out as the TAB
    reader leaves them, and the dialect's record after the last line end (a
    visit of object 0 to cell 0, 0) added as the TAB reader adds it."""
    kept = trace[(trace["id"] >= 0) & (trace["id"] < objects)]
    visits = pd.concat([pd.DataFrame({
        "user": (kept["id"] // group_size).astype(np.int32),
        "x": (kept["x"].astype(np.float64) // cell_size + 1).astype(np.int32),
        "y": (kept["y"].astype(np.float64) // cell_size + 1).astype(np.int32),
        "id": kept["id"],
    }), pd.DataFrame({"user": np.int32(0), "x": np.int32(0), "y": np.int32(0), "id": np.int64(0)}, index=[-1])])
    visits = visits.sort_values("id", kind="stable")
    visits["position"] = visits.groupby("user").cumcount().astype(np.int64)
    counts = visits.groupby(["user", "x", "y"])["id"].transform("count")
    return visits.loc[counts.to_numpy() > threshold, ["user", "x", "y", "position"]].reset_index(drop=True)


def main(cellfreq_path, trace_path, rounds):
    report = os.path.join(os.path.dirname(os.path.abspath(trace_path)), "python-report.csv")
    trace = pd.read_csv(trace_path, sep="\t", header=None, usecols=[1, 5, 6], names=["id", "x", "y"],
                        dtype={"id": np.int64, "x": np.float32, "y": np.float32}, engine="c")
    loaded = status("VmRSS")
    frame_bytes = int(trace.memory_usage(index=False).sum())
    ours = cellfreq.frequent_cells(trace)
    theirs = pandas_job(trace)
    same = ours.drop(columns="ids").equals(theirs)
    rows = len(ours)
    del ours, theirs
    runs = {
        "cellfreq --format csv (file)": lambda: child([cellfreq_path, "--format", "csv", "-o", report, trace_path]),
        "frequent_cells (DataFrame)": lambda: in_process(lambda: cellfreq.frequent_cells(trace)),
        "ordinary pandas (DataFrame)": lambda: in_process(lambda: pandas_job(trace)),
    }
    walls = {name: [] for name in runs}
    peaks = {name: 0 for name in runs}
    grown = {name: 0 for name in runs}
    for _ in range(rounds):
        for name, run in runs.items():
            wall, peak, growth = run()
            walls[name].append(wall)
            peaks[name] = max(peaks[name], peak)
            grown[name] = max(grown[name], growth)
    os.unlink(report)
    print(f"trace {trace_path}: {len(trace)} rows, DataFrame {frame_bytes / MIB:.0f} MiB, "
          f"process {loaded / MIB:.0f} MiB after the load; {rows} frequent visits; "
          f"pandas rows {'equal' if same else 'DIFFER from'} frequent_cells'")
    print(f"{'run':30} {'median_s':>9} {'spread_s':>13} {'peak_MiB':>9} {'above_start_MiB':>16} {'x_cli':>6}")
    cli = statistics.median(walls["cellfreq --format csv (file)"])
    for name in runs:
        median = statistics.median(walls[name])
        print(f"{name:30} {median:9.3f} {min(walls[name]):6.3f}-{max(walls[name]):<6.3f} "
              f"{peaks[name] / MIB:9.0f} {grown[name] / MIB:16.0f} {median / cli:6.2f}")
    return 0 if same else 1


if __name__ == "__main__":
    if len(sys.argv) != 4:
        sys.exit(__doc__.strip().splitlines()[-1].strip())
    sys.exit(main(sys.argv[1], sys.argv[2], int(sys.argv[3])))
