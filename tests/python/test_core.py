"""The binding cellfreq._core against the command line: the same rows for a
trace file and for the same rows as columns (number and text ids, float64
and float32, times, degrees), the failures' kinds and messages, and Ctrl-C
stopping a run that leaves nothing behind.

Run by CTest with CELLFREQ naming the command and PYTHONPATH the
build's python/ folder."""
import csv
import io
import os
import random
import signal
import subprocess
import threading
import time

import numpy as np
import pytest

from cellfreq import _core

BIN = os.environ.get("CELLFREQ", "cellfreq")
SEED = 21


def rows(n_objects=40, visits=30, degrees=False):
    """Positions of a few cells per object, so that some cells are frequent;
    times shuffled within each object, so that ordering matters."""
    rng = random.Random(SEED)
    out = []
    for obj in range(n_objects):
        homes = [(rng.uniform(0, 4000), rng.uniform(0, 4000)) for _ in range(3)]
        for k in range(visits):
            hx, hy = homes[rng.randrange(3)] if rng.random() < 0.8 else (rng.uniform(0, 4000), rng.uniform(0, 4000))
            x, y = hx + rng.uniform(-150, 150), hy + rng.uniform(-150, 150)
            if degrees:
                x, y = 8.2 + x / 68000.0, 53.1 + y / 111000.0
            out.append((obj, x, y, float(rng.randrange(10000))))
    return out


def write_tab(path, data):
    with open(path, "w") as f:
        for obj, x, y, _ in data:
            f.write(f"appear\t{obj}\t1\t0\t0\t{x!r}\t{y!r}\t0.5\n")


def write_csv(path, data, timed):
    with open(path, "w") as f:
        f.write("id,x,y,time\n" if timed else "id,x,y\n")
        for obj, x, y, t in data:
            f.write(f"car-{obj * 7 % 40},{x!r},{y!r}" + (f",{t!r}\n" if timed else "\n"))


def cli(args):
    """The command's CSV report as columns (the ids column dropped)."""
    out = subprocess.run([BIN, "--format", "csv", *args], capture_output=True, text=True, check=True).stdout
    table = list(csv.reader(io.StringIO(out)))
    head, body = table[0], table[1:]
    return {name: np.array([int(r[i]) for r in body], dtype=np.int64) for i, name in enumerate(head) if name != "ids"}


def same(got, want):
    assert set(want) <= set(got)
    for name, column in want.items():
        np.testing.assert_array_equal(got[name], column, err_msg=name)


def columns(data, ids, coords, timed):
    """The rows as the binding's columns: number or text ids, coordinates of
    dtype `coords`, times or not."""
    idcol = (np.array([r[0] for r in data], dtype=np.int64) if ids == "int"
             else [f"car-{r[0] * 7 % 40}" for r in data])
    return {"ids": idcol, "x": np.array([r[1] for r in data], dtype=coords),
            "y": np.array([r[2] for r in data], dtype=coords),
            "time": np.array([r[3] for r in data]) if timed else None}


# (name, trace dialect, ids of the columns, coordinate dtype, times, degrees)
CASES = [
    ("tab", "tab", "int", np.float64, False, False),
    ("tab float32", "tab", "int", np.float32, False, False),
    ("csv text ids", "csv", "str", np.float64, False, False),
    ("csv with times", "csv", "str", np.float64, True, False),
    ("csv in degrees", "csv", "str", np.float64, True, True),
]


@pytest.mark.parametrize("name,dialect,ids,coords,timed,degrees", CASES, ids=[c[0] for c in CASES])
@pytest.mark.parametrize("summary", [False, True], ids=["visits", "summary"])
def test_same_rows_as_the_command(tmp_path, name, dialect, ids, coords, timed, degrees, summary):
    data = rows(degrees=degrees)
    if coords == np.float32:  # the file holds exactly what the columns hold
        data = [(o, float(np.float32(x)), float(np.float32(y)), t) for o, x, y, t in data]
    trace = tmp_path / ("trace.csv" if dialect == "csv" else "trace.txt")
    args, settings = ["--cell-size", "300", "--threshold", "2"], {"cell_size": 300, "threshold": 2}
    if dialect == "csv":
        write_csv(trace, data, timed)
        args += ["--input-format", "csv"] + (["--time-column", "time"] if timed else [])
        settings.update(time="time" if timed else None)
    else:
        write_tab(trace, data)
    if degrees:
        args += ["--crs", "EPSG:4326"]
        settings["crs"] = "EPSG:4326"
    want = cli(args + (["--summary"] if summary else []) + [str(trace)])
    key = "summary" if summary else "frequent"
    settings["want"] = [key, "ids"]
    by_path = _core.run({"path": str(trace), "format": dialect}, settings)
    same(by_path[key], want)
    assert by_path[key]["x"].dtype == np.int32 and by_path[key][next(iter(want))].dtype == np.int32
    in_memory = _core.run(columns(data, ids, coords, timed), settings)
    same(in_memory[key], want)
    assert in_memory["ids"] == by_path["ids"]
    assert in_memory["grid_crs"] == ("EPSG:32632" if degrees else None)


def test_cell_visits_and_map(tmp_path):
    data = rows()
    result = _core.run(columns(data, "int", np.float64, False), {"want": ["visits", "map"]})
    cells = {(0, 0): 1}  # the record the TAB dialect adds after the last line end
    for _, x, y, _ in data:
        c = (int(np.float32(x) / np.float32(400) + 1), int(np.float32(y) / np.float32(400) + 1))
        cells[c] = cells.get(c, 0) + 1
    got = dict(zip(zip(result["visits"]["x"].tolist(), result["visits"]["y"].tolist()),
                   result["visits"]["visits"].tolist()))
    assert got == cells
    trace = tmp_path / "trace.txt"
    write_tab(trace, data)
    subprocess.run([BIN, "--map", str(tmp_path / "map.html"), "-o", os.devnull, str(trace)], check=True)
    assert result["map"] == (tmp_path / "map.html").read_text()


# (settings or source change, kind, errno, the command's arguments for the same failure)
FAILURES = [
    ({"cell_size": 0}, "usage", 0, ["--cell-size", "0"]),
    ({"group_size": 3}, "usage", 0, ["--group-size", "3"]),
    ({"users": 101}, "usage", 0, ["--users", "101"]),
    ({"path": "missing.txt"}, "input_output", 2, []),
]


@pytest.mark.parametrize("change,kind,errno,args", FAILURES, ids=[f[1] + str(i) for i, f in enumerate(FAILURES)])
def test_failures_carry_the_commands_message(tmp_path, change, kind, errno, args):
    trace = tmp_path / "trace.txt"
    write_tab(trace, rows(4, 5))
    source = {"path": change.pop("path", str(trace)), "format": "tab"}
    with pytest.raises(_core.Failure) as caught:
        _core.run(source, dict(change))
    failure = caught.value
    command = subprocess.run([BIN, *args, source["path"]], capture_output=True, text=True)
    assert (failure.kind, failure.errno) == (kind, errno)
    assert "cellfreq: " + failure.message + "\n" == command.stderr
    assert command.returncode == (2 if kind == "usage" else 1)


# (columns, the exception, a part of its message)
SHAPES = [
    ({"ids": np.zeros(3, dtype=np.int64), "x": np.zeros(3), "y": np.zeros(2)}, _core.Failure, "differ in length"),
    ({"ids": (i for i in ["a", "b"]), "x": np.zeros(2), "y": np.zeros(2)}, TypeError, "list or object array"),
    ({"ids": np.zeros(2, dtype=np.int32), "x": np.zeros(2), "y": np.zeros(2)}, TypeError, "int64"),
    ({"ids": ["a", "b"], "x": np.zeros(2, dtype=np.int64), "y": np.zeros(2)}, TypeError, "float64 or float32"),
    ({"ids": ["a", "b"], "x": np.zeros((2, 2))[:, 0], "y": np.zeros(2)}, TypeError, "C-contiguous"),
]


@pytest.mark.parametrize("source,raised,words", SHAPES, ids=[w for _, _, w in SHAPES])
def test_columns_of_other_shapes_are_refused(source, raised, words):
    with pytest.raises(raised) as caught:
        _core.run(dict(source, time=None), {})
    assert words in str(caught.value)
    if raised is _core.Failure:
        assert caught.value.kind == "usage"


def test_bad_rows_are_skipped_and_named():
    data = rows(4, 10)
    good = columns(data, "str", np.float64, False)
    bad = {"ids": good["ids"][:3] + [""] + good["ids"][3:] + ["car-1"],
           "x": np.concatenate([good["x"][:3], [1.0], good["x"][3:], [np.nan]]),
           "y": np.concatenate([good["y"][:3], [1.0], good["y"][3:], [2.0]]), "time": None}
    settings = {"threshold": 1, "want": ["frequent", "ids"]}
    want, got = _core.run(good, settings), _core.run(bad, settings)
    same(got["frequent"], want["frequent"])
    assert got["ids"] == want["ids"]
    assert got["messages"] == ["columns:4: empty id", f"columns:{len(data) + 2}: x 'nan' is not a number",
                               "columns: 2 bad rows skipped"]


def test_ctrl_c_stops_the_run_and_leaves_nothing(tmp_path, monkeypatch):
    """A trace that never ends (a pipe fed until the reader goes), a signal
    after a while: KeyboardInterrupt within half a second, and neither the
    cell file nor any temporary is left."""
    scratch = tmp_path / "tmp"
    scratch.mkdir()
    monkeypatch.setenv("TMPDIR", str(scratch))
    fifo = tmp_path / "trace.txt"
    os.mkfifo(fifo)
    block = "".join(f"appear\t{i % 1000}\t1\t0\t0\t{i % 4000}.5\t{i % 3000}.5\t0\n" for i in range(4000)).encode()
    done = threading.Event()

    def feed():
        with open(fifo, "wb") as f:
            try:
                while not done.is_set():
                    f.write(block)
            except BrokenPipeError:
                pass

    feeder = threading.Thread(target=feed)
    feeder.start()
    watchdog = threading.Timer(5, done.set)  # a run that does not stop ends with its trace
    watchdog.start()
    sent = []
    timer = threading.Timer(0.5, lambda: (sent.append(time.monotonic()), os.kill(os.getpid(), signal.SIGINT)))
    timer.start()
    try:
        with pytest.raises(KeyboardInterrupt):
            _core.run({"path": str(fifo), "format": "tab"}, {"cell_file": str(tmp_path / "cells.txt")})
        stopped = time.monotonic()
    finally:
        done.set()
        timer.cancel()
        watchdog.cancel()
        feeder.join()
    assert stopped - sent[0] < 0.5
    assert sorted(p.name for p in tmp_path.iterdir()) == ["tmp", "trace.txt"]
    assert list(scratch.iterdir()) == []


def test_version_is_the_commands():
    out = subprocess.run([BIN, "--version"], capture_output=True, text=True, check=True).stdout
    assert out == f"cellfreq {_core.version()}\n"
