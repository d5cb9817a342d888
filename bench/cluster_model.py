#!/usr/bin/python3
"""The model of a cluster run, from the costs bench/cluster.sh measured.

    cluster_model.py COSTS TINY_RUNS RUNS

COSTS holds lines "name seconds" (per GB of trace, per part, per id, or
once); TINY_RUNS and RUNS lines "bytes chunks wall parse plan merge place
join" of cellfreq-dask runs on 2 workers, the tiny ones giving what a task
and the cluster's start cost. A phase of T equal tasks on W workers takes
ceil(T / W) waves, each a task's cost on the cluster plus its work; the
plan is one task; the join's preparation and commit run in the client.
Prints the model against each measured run, phase by phase, then its table
for 1 TB on 10, 100 and 1000 workers, with the shared file system's bound.
"""
import math
import statistics
import sys

GB = 1e9
PHASES = ["parse", "plan", "merge", "place", "join"]


def load_runs(path):
    """The runs of PATH, as dicts of the trace's bytes, chunks and seconds."""
    runs = []
    with open(path) as f:
        for line in f:
            v = line.split()
            if len(v) != 3 + len(PHASES):
                raise SystemExit(f"cluster_model: a run without all its phases in {path}: {line.strip()}")
            runs.append({"bytes": int(v[0]), "chunks": int(v[1]), "wall": float(v[2]),
                         **{p: float(x) for p, x in zip(PHASES, v[3:])}})
    return runs


class Model:
    """Each phase's seconds for a trace of `size` bytes in `chunks` parse
    pieces on `workers` workers, which take 2 merges each (the plan's
    ranges, --plan 2W)."""

    def __init__(self, costs, tiny):
        self.c = costs
        # A task's cost on the cluster: the tiny runs' parse tasks carry
        # next to no work. The start: what their runs spent outside phases.
        self.task = statistics.median(r["parse"] * 2 / r["chunks"] for r in tiny)
        self.start = statistics.median(
            r["wall"] - sum(r[p] for p in PHASES) - costs["join_prep"] for r in tiny)

    def waves(self, tasks, workers, work_each):
        return math.ceil(tasks / workers) * (self.task + work_each)

    def phases(self, size, chunks, workers, ids=0):
        c, gb = self.c, size / GB
        merges = 2 * workers
        return {
            "start": self.start,
            "parse": self.waves(chunks, workers, c["parse_per_gb"] * gb / chunks),
            "plan": self.task + c["plan_base"] + (chunks - 8) * c["plan_per_part"] + ids * c["plan_per_id"],
            "merge": self.waves(merges, workers, c["merge_per_gb"] * gb / merges),
            "prep": c["join_prep"],
            "place": self.waves(merges, workers, c["place_per_gb"] * gb / merges),
            "join": c["join_commit"],
        }

    def serial(self, p):
        """The run's share that no number of workers shortens."""
        return p["plan"] + p["prep"] + p["join"]

    def traffic(self, size):
        """Bytes across the shared file system: the trace read, the parts
        written and read, the merges' text written, read and written again
        in place."""
        c = self.c
        return size * (1 + 2 * c["parts_per_gb"] + 3 * c["report_per_gb"])


def check(model, runs):
    """The model against each measured run, on 2 workers: its phases, and
    the bound of the bytes that cross the file system at the rate
    measured."""
    print("\nmodel against cellfreq-dask on 2 workers (median of the rounds; s)")
    print(f"{'trace':>7} {'chunks':>6} {'wall':>7} {'model':>7} {'ratio':>6} {'fs bound':>8}  "
          + "  ".join(f"{p + ' m/model':>15}" for p in PHASES))
    keys = sorted({(r["bytes"], r["chunks"]) for r in runs})
    for size, chunks in keys:
        rs = [r for r in runs if (r["bytes"], r["chunks"]) == (size, chunks)]
        got = {k: statistics.median(r[k] for r in rs) for k in ["wall"] + PHASES}
        p = model.phases(size, chunks, 2)
        want = sum(p.values())
        bound = model.traffic(size) / (model.c["fs_gb_per_s"] * GB)
        cells = "  ".join(f"{got[k]:7.2f}/{p[k]:<7.2f}" for k in PHASES)
        print(f"{size / GB:6.1f}G {chunks:6d} {got['wall']:7.2f} {want:7.2f} {got['wall'] / want:6.2f} {bound:8.2f}  "
              f"{cells}   ({len(rs)} round{'s' if len(rs) > 1 else ''})")


def table(model):
    """The model's table for 1 TB, chunks of 256 MiB."""
    size = 1e12
    chunks = math.ceil(size / (256 << 20))
    print(f"\n1 TB in {chunks} chunks of 256 MiB, a per-visit report of all users")
    print("| workers | compute alone | wall, file system at 2 GB/s | wall at 10 GB/s | serial share |")
    print("|---|---|---|---|---|")
    for workers in (10, 100, 1000):
        p = model.phases(size, chunks, workers)
        compute = sum(p.values())
        walls = [max(compute, model.traffic(size) / (bw * GB)) for bw in (2, 10)]
        print(f"| {workers} | {minutes(compute)} | {minutes(walls[0])} | {minutes(walls[1])} | "
              f"{100 * model.serial(p) / walls[1]:.2f} % |")


def minutes(s):
    return f"{s / 60:.1f} min" if s >= 120 else f"{s:.0f} s"


def main(argv):
    if len(argv) != 4:
        raise SystemExit("usage: cluster_model.py COSTS TINY_RUNS RUNS")
    with open(argv[1]) as f:
        costs = {k: float(v) for k, v in (line.split() for line in f if line.strip())}
    # A difference below the clock's resolution is no cost.
    costs = {k: max(0.0, v) for k, v in costs.items()}
    model = Model(costs, load_runs(argv[2]))
    print(f"per task on the cluster {model.task:.3f} s, the cluster's start {model.start:.2f} s")
    for k in ("parse_per_gb", "merge_per_gb", "place_per_gb", "plan_per_part", "plan_per_id", "join_prep",
              "join_commit", "fs_gb_per_s"):
        print(f"{k:16} {costs[k]:.6f}")
    check(model, load_runs(argv[3]))
    table(model)


if __name__ == "__main__":
    main(sys.argv)
