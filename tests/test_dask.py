#!/usr/bin/python3
"""cellfreq-dask end to end, on local clusters of two worker processes.

A run cut into 64 KiB chunks must give cellfreq's own outputs byte for byte
(a generated trace, and a malformed one whose records break across chunk
ends); options are refused before any work; a trace that vanishes under the
tasks fails the run with cellfreq's message and no outputs; a task that fails
once and a worker killed mid-task leave the outputs as they were.

Usage: test_dask.py CELLFREQ TRACEGEN; exit status 77 when Python's
distributed is not installed.
"""
import glob
import io
import logging
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import types
import unittest
import warnings

try:
    import distributed
except ImportError:
    print("skipped: Python's distributed is not installed")
    sys.exit(77)

HERE = os.path.dirname(os.path.abspath(__file__))
SCRIPT = os.path.join(HERE, os.pardir, "tools", "dask", "cellfreq_dask.py")
CELLFREQ = TRACEGEN = ""

# Runs cellfreq and numbers its runs (run 1 is the option check, run 2 the
# version here, then one version check per worker: FIRST_TASK); run $AT
# first makes $FAULT happen: the trace vanishes, is rewritten in place, the
# worker running it is killed, or it fails on its own.
WRAPPER = """#!/bin/sh
n=1; until mkdir "$TICKETS/$n" 2>/dev/null; do n=$((n + 1)); done
if [ "$n" = "$AT" ]; then
  case $FAULT in
    vanish) mv "$TRACE" "$TRACE.gone" ;;
    kill) kill -9 $PPID; exit 1 ;;
    rewrite)  # the same size, time, head and tail; other bytes inside
      touch -r "$TRACE" "$TRACE.stamp"
      printf 'XXXX' | dd of="$TRACE" bs=1 seek=$(($(stat -c %s "$TRACE") / 2)) \
        conv=notrunc 2>/dev/null
      touch -r "$TRACE.stamp" "$TRACE" ;;
    fail) echo "cellfreq: a passing fault" >&2; exit 1 ;;
  esac
fi
exec "$CELLFREQ" "$@"
"""

# The runs compared, {d} standing for the folder of their output files.
CASES = [
    ["--cell-file", "{d}/cells.txt", "--heatmap", "{d}/heat.svg"],
    ["--format", "csv", "-o", "{d}/r.csv", "--heatmap", "{d}/heat.geojson"],
    ["--format", "json", "--summary", "--users", "7", "--threshold", "5"],
    ["--format", "geojson", "-o", "{d}/r.json", "--cell-size", "250"],
    ["--summary", "--group-size", "5", "--objects", "300", "--users", "40"],
]
# CSV in degrees, with text ids and a time column.
CSVCASES = [
    ["--input-format", "csv", "--crs", "EPSG:4326", "--x-column", "lon",
     "--y-column", "lat", "--time-column", "time", "--format", "json",
     "--id-map", "{d}/ids.csv", "--heatmap", "{d}/heat.geojson"],
]
CHUNK = ["--chunk-size", "64K", "--no-progress"]
FIRST_TASK = 1 + 1 + 2 + 1  # the run of the first task, on 2 workers


def run(command, folder, env=None):
    """Runs COMMAND in FOLDER; its status, stdout (bytes) and stderr."""
    done = subprocess.run(command, cwd=folder, capture_output=True,
                          env=env, check=False)
    return done.returncode, done.stdout, done.stderr.decode()


def read(path):
    """The bytes of the file PATH."""
    with open(path, "rb") as file:
        return file.read()


def write(path, data):
    """Makes the file PATH hold DATA (bytes)."""
    with open(path, "wb") as file:
        file.write(data)


def outputs(folder, stdout):
    """The run's standard output and every file it wrote in FOLDER."""
    found = {"stdout": stdout}
    for name in sorted(os.listdir(folder)):
        found[name] = read(os.path.join(folder, name))
    return found


class DaskRun(unittest.TestCase):
    """cellfreq-dask against cellfreq alone."""

    @classmethod
    def setUpClass(cls):
        """A scratch folder, the two traces and a cluster of two workers."""
        cls.tmp = tempfile.mkdtemp(prefix="test-dask-")
        cls.trace = os.path.join(cls.tmp, "trace.txt")
        subprocess.run([TRACEGEN, "--objects", "300", "--steps", "300", "-o",
                        cls.trace], check=True)
        cls.csv = os.path.join(cls.tmp, "trace.csv")
        subprocess.run([TRACEGEN, "--objects", "100", "--steps", "200",
                        "--format", "csv", "-o", cls.csv], check=True)
        corpus = sorted(glob.glob(os.path.join(HERE, "fuzz", "corpus",
                                               "*.txt")))
        texts = {os.path.basename(p): read(p) for p in corpus}
        ctrlz = texts.pop("ctrlz.txt")
        body = b"".join(texts.values())
        cls.malformed = os.path.join(cls.tmp, "malformed.txt")
        # A Ctrl-Z ends the trace several chunks in, with data after it.
        write(cls.malformed, body * (300000 // len(body)) + ctrlz + body * 10)
        cls.wrapper = os.path.join(cls.tmp, "wrapper.sh")
        write(cls.wrapper, WRAPPER.encode())
        os.chmod(cls.wrapper, 0o755)
        with warnings.catch_warnings():  # the cluster's own deprecations
            warnings.simplefilter("ignore", DeprecationWarning)
            cls.cluster = distributed.LocalCluster(
                n_workers=2, threads_per_worker=1,
                dashboard_address="127.0.0.1:0",
                scheduler_kwargs={"dashboard": False},
                silence_logs=logging.ERROR, local_directory=cls.tmp)

    @classmethod
    def tearDownClass(cls):
        """Stops the cluster, checks that no work folder was left."""
        cls.cluster.close()
        left = glob.glob(os.path.join(cls.tmp, "cellfreq-dask-*"))
        shutil.rmtree(cls.tmp)
        assert not left, f"work folders left behind: {left}"

    def folder(self, name):
        """A new empty folder in the scratch folder."""
        return tempfile.mkdtemp(prefix=name + "-", dir=self.tmp)

    def alone(self, trace, options, messages=""):
        """cellfreq's own outputs of OPTIONS and TRACE, and its MESSAGES."""
        out = self.folder("alone")
        args = [o.replace("{d}", out) for o in options]
        status, stdout, err = run([CELLFREQ, *args, trace], out)
        self.assertEqual((status, err), (0, messages))
        return outputs(out, stdout)

    def dask(self, cluster, trace, options, env=None, cellfreq=None):
        """cellfreq-dask's status, outputs and standard error."""
        out = self.folder("dask")
        args = [o.replace("{d}", out) for o in options]
        status, stdout, err = run(
            [SCRIPT, *cluster, *CHUNK, "--cellfreq", cellfreq or CELLFREQ,
             *args, trace],
            self.tmp, env)
        return status, outputs(out, stdout), err

    def faulty(self, fault, at, trace=None):
        """The wrapper's environment for FAULT at run AT, on TRACE."""
        tickets = self.folder("tickets")
        return tickets, dict(os.environ, TICKETS=tickets, AT=str(at),
                             FAULT=fault, TRACE=trace or self.trace,
                             CELLFREQ=CELLFREQ)

    def test_outputs_are_cellfreqs(self):
        """Every output of every case, on both traces, byte for byte."""
        scheduler = ["--scheduler", self.cluster.scheduler_address]
        for trace in (self.trace, self.malformed):
            for options in CASES:
                with self.subTest(trace=trace, options=options):
                    status, found, err = self.dask(scheduler, trace, options)
                    self.assertEqual((status, err), (0, ""))
                    self.assertEqual(found, self.alone(trace, options))
        for options in CSVCASES:
            with self.subTest(trace=self.csv, options=options):
                status, found, err = self.dask(scheduler, self.csv, options)
                self.assertEqual(status, 0, err)
                self.assertEqual(found, self.alone(self.csv, options, err))

    def test_usage_errors_come_before_any_work(self):
        """Status 2 and one line; cellfreq ran the check at most, and no
        scheduler was contacted (none listens at the address)."""
        cases = [(["--chunk-size", "0"], 0, "invalid --chunk-size '0'"),
                 (["--cell-size", "-1"], 1, "invalid --cell-size '-1'"),
                 (["--crs", "EPSG:4326"], 1, "--crs needs --input-format csv"),
                 (["--join"], 1, "each run a piece of their own")]
        for options, runs, message in cases:
            with self.subTest(options=options):
                tickets, env = self.faulty("none", 0)
                status, found, err = self.dask(
                    ["--scheduler", "tcp://127.0.0.1:9"], self.trace,
                    options, env, self.wrapper)
                self.assertEqual(status, 2)
                self.assertRegex(err, f"^cellfreq-dask: .*{message}.*\n$")
                self.assertEqual(found, {"stdout": b""})
                self.assertEqual(len(os.listdir(tickets)), runs)

    def test_failing_task_ends_the_run_without_outputs(self):
        """The trace vanishes when the first task starts: status 1, the
        message of cellfreq, old outputs untouched."""
        trace = os.path.join(self.folder("vanish"), "trace.txt")
        shutil.copy(self.trace, trace)
        _, env = self.faulty("vanish", FIRST_TASK, trace)
        out = self.folder("old")
        write(os.path.join(out, "r.txt"), b"old report\n")
        status, _, err = run(
            [SCRIPT, "--local-cluster", "2", "--work", self.tmp, *CHUNK,
             "--cellfreq", self.wrapper, "-o", "r.txt", "--cell-file", "c.txt",
             "--heatmap", "h.svg", trace], out, env)
        self.assertEqual((status, err), (1, f"cellfreq-dask: cannot open "
                         f"trace '{trace}': No such file or directory\n"))
        self.assertEqual(outputs(out, b""), {"stdout": b"",
                                             "r.txt": b"old report\n"})

    def test_trace_rewritten_during_the_run(self):
        """The trace rewritten in place during the merges, in its middle,
        its size and modification time kept, so that no piece can tell:
        status 1, one line, no outputs."""
        trace = os.path.join(self.folder("rewrite"), "trace.txt")
        shutil.copy(self.trace, trace)
        tickets, env = self.faulty("rewrite", 0, trace)
        # The first merge is the run after the checks, the parses and the
        # plan.
        size = os.path.getsize(trace)
        env["AT"] = str(FIRST_TASK + -(-size // 65536) + 1)
        status, found, err = self.dask(
            ["--local-cluster", "2"], trace, CASES[0], env, self.wrapper)
        self.assertEqual((status, err), (1, f"cellfreq-dask: trace '{trace}' "
                         "changed during the run; no outputs were written\n"))
        self.assertEqual(found, {"stdout": b""})
        self.assertGreater(len(os.listdir(tickets)), int(env["AT"]))

    def test_interrupt_while_the_cluster_starts(self):
        """A signal when the work folder appears, when the workers' folder
        appears (the cluster is starting) and soon after: the run stops
        with 128 + N, and neither folder is left, even a moment later."""
        moments = [("cellfreq-dask-*", 0), ("cellfreq-dask-*/workers", 0),
                   ("cellfreq-dask-*/workers", 0.3)]
        for (pattern, after), signum in zip(moments, (signal.SIGINT,
                                                      signal.SIGTERM,
                                                      signal.SIGTERM)):
            with self.subTest(pattern=pattern, after=after):
                tmp = self.folder("tmpdir")
                child = subprocess.Popen(
                    [SCRIPT, "--local-cluster", "2", *CHUNK, "--cellfreq",
                     CELLFREQ, self.trace], cwd=tmp,
                    env=dict(os.environ, TMPDIR=tmp), stdout=subprocess.PIPE,
                    stderr=subprocess.PIPE)
                deadline = time.monotonic() + 60
                while (not glob.glob(os.path.join(tmp, pattern))
                       and child.poll() is None
                       and time.monotonic() < deadline):
                    time.sleep(0.01)
                time.sleep(after)
                child.send_signal(signum)
                _, err = child.communicate(timeout=120)
                self.assertEqual(child.returncode, 128 + signum, err)
                self.assertEqual(err.decode(), "cellfreq-dask: interrupted "
                                 f"by {signal.Signals(signum).name}\n")
                time.sleep(1)  # a worker still writing would show
                self.assertEqual(os.listdir(tmp), [])

    def test_relative_work_folder(self):
        """--work given relative to the current folder, which the workers
        do not share: the same outputs."""
        expected = self.alone(self.trace, CASES[0])
        out = self.folder("relative")
        args = [o.replace("{d}", out) for o in CASES[0]]
        status, stdout, err = run(
            [SCRIPT, "--scheduler", self.cluster.scheduler_address, *CHUNK,
             "--cellfreq", CELLFREQ, "--work", ".", *args, self.trace], out)
        self.assertEqual((status, err), (0, ""))
        self.assertEqual(outputs(out, stdout), expected)

    def test_checked_cluster(self):
        """A scheduler without workers fails after --wait-workers; a worker
        that sees another work folder (a file system of its own over the
        scratch folder) is named before any task."""
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", DeprecationWarning)
            empty = distributed.LocalCluster(
                n_workers=0, dashboard_address="127.0.0.1:0",
                scheduler_kwargs={"dashboard": False},
                silence_logs=logging.ERROR)
        address = empty.scheduler_address
        try:
            started = time.monotonic()
            status, found, err = self.dask(
                ["--scheduler", address, "--wait-workers", "1"], self.trace,
                [])
            self.assertEqual((status, err), (1, f"cellfreq-dask: no worker "
                             f"joined scheduler '{address}' within 1 s "
                             "(--wait-workers)\n"))
            self.assertLess(time.monotonic() - started, 30)
            self.assertEqual(found, {"stdout": b""})
            hidden = subprocess.Popen(
                ["unshare", "-m", "sh", "-c",
                 f"mount -t tmpfs none '{self.tmp}' && exec {sys.executable}"
                 f" -m distributed.cli.dask_worker {address} --nthreads 1 "
                 "--no-dashboard"], stdout=subprocess.DEVNULL,
                stderr=subprocess.DEVNULL)
            try:
                with distributed.Client(address) as client:
                    try:
                        client.wait_for_workers(1, timeout=30)
                    except TimeoutError:
                        self.skipTest("no worker in a mount namespace of "
                                      "its own (unshare needs privileges)")
                status, found, err = self.dask(
                    ["--scheduler", address, "--work", self.tmp],
                    self.trace, [])
                self.assertEqual(status, 1, err)
                self.assertRegex(err, r"^cellfreq-dask: worker tcp://\S+ on "
                                 r"\S+ cannot use the work folder '.*': No "
                                 r"such file or directory; the work folder "
                                 r"must be on a file system that every "
                                 r"worker shares\n$")
                self.assertEqual(found, {"stdout": b""})
            finally:
                hidden.terminate()
                hidden.wait()
        finally:
            empty.close()

    def test_retried_task_and_killed_worker(self):
        """A task that fails once, and a worker killed while it parses,
        cost time only."""
        expected = self.alone(self.trace, CASES[0])
        for fault in ("fail", "kill"):
            with self.subTest(fault=fault):
                tickets, env = self.faulty(fault, FIRST_TASK + 3)
                status, found, err = self.dask(
                    ["--local-cluster", "2"], self.trace, CASES[0], env,
                    self.wrapper)
                self.assertEqual((status, err), (0, ""))
                self.assertEqual(found, expected)
                self.assertGreater(len(os.listdir(tickets)), FIRST_TASK + 3)


class ProgressLines(unittest.TestCase):
    """The progress of a running phase, on a clock of the test's own."""

    def test_lines_of_a_running_phase(self):
        module = types.ModuleType("cellfreq_dask")
        with open(SCRIPT, encoding="utf-8") as source:
            exec(compile(source.read(), SCRIPT, "exec"), module.__dict__)
        now = [100.0]
        err = io.StringIO()
        progress = module.Progress(True, lambda: now[0])
        old, sys.stderr = sys.stderr, err
        try:
            progress.start("parse", 4, 4 << 30)
            for step, workers in ((1.0, 2), (1.5, 2), (0.5, 3), (3.0, 3)):
                now[0] += step
                progress.advance(1 << 30, workers)
            progress.end()
            progress.start("merge", 3)
            now[0] += 4.0
            progress.tick(1)
            progress.advance(0, 1)
        finally:
            sys.stderr = old
        self.assertEqual(err.getvalue(), (
            "cellfreq-dask: parse: 2/4 tasks, 2.00 of 4.00 GiB, "
            "0.80 GiB/s, 2 workers\n"
            "cellfreq-dask: parse: 4 tasks in 6.00 s\n"
            "cellfreq-dask: merge: 0/3 tasks, 0.00 tasks/s, 1 worker\n"))


if __name__ == "__main__":
    CELLFREQ, TRACEGEN = map(os.path.abspath, sys.argv[1:3])
    result = unittest.main(argv=sys.argv[:1], exit=False).result
    sys.exit(0 if result.wasSuccessful() else 1)
