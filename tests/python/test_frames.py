"""The Python package against the command line: the same rows, cells, squares,
map and messages, for trace files, DataFrames and dicts.

Every expectation comes from running `cellfreq` itself on the same trace
(tracegen fleets: TAB in grid metres, CSV in degrees and in UTM metres,
gzipped), so a fault in either front end's conversion shows as a
difference. Run with PYTHONPATH=<build>/python; CELLFREQ and TRACEGEN name
the programs (default: the build folder next to the package).
"""
import html
import json
import os
import re
import signal
import subprocess
import sys
import time
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

import cellfreq

BUILD = Path(cellfreq.__file__).resolve().parents[2]
CELLFREQ = os.environ.get("CELLFREQ", str(BUILD / "apps" / "cellfreq"))
TRACEGEN = os.environ.get("TRACEGEN", str(BUILD / "tools" / "tracegen"))
# A child Python finds the package where this one found it.
CHILD_ENV = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))

DEGREES = (["--input-format", "csv", "--crs", "EPSG:4326", "--x-column", "lon", "--y-column", "lat"],
           dict(crs="EPSG:4326", x="lon", y="lat"))
TIMES = (["--time-column", "time"], dict(time="time"))

# name: (trace, command-line options, the same as keywords)
CASES = {
    "tab": ("fleet.txt", [], {}),
    "tab-small-cells": ("fleet.txt", ["--cell-size", "100", "--threshold", "5", "--users", "12"],
                        dict(cell_size=100, threshold=5, users=12)),
    "degrees-times": ("fleet.csv", DEGREES[0] + TIMES[0], {**DEGREES[1], **TIMES[1]}),
    "degrees": ("fleet.csv", DEGREES[0] + ["--group-size", "4"], {**DEGREES[1], "group_size": 4}),
    "gzip-degrees-times": ("fleet.csv.gz", DEGREES[0] + TIMES[0], {**DEGREES[1], **TIMES[1]}),
    "utm-times": ("metres.csv", ["--input-format", "csv", "--crs", "EPSG:32632"] + TIMES[0],
                  dict(crs="EPSG:32632", **TIMES[1])),
    "grid-metres": ("metres.csv", ["--input-format", "csv", "--cell-size", "250", "--threshold", "6"],
                    dict(cell_size=250, threshold=6)),
    "tab-delimited": ("fleet.tsv", DEGREES[0] + ["--delimiter", "tab"],
                      {**DEGREES[1], "input_format": "csv", "delimiter": "tab"}),
}


@pytest.fixture(scope="module")
def traces(tmp_path_factory):
    """One small fleet as a TAB trace, CSV in degrees (plain, gzipped and
    TAB-delimited) and CSV in UTM metres, in a folder of its own."""
    folder = tmp_path_factory.mktemp("traces")
    fleet = ["--seed", "3", "--objects", "200", "--steps", "40"]
    for name, form in (("fleet.txt", []), ("fleet.csv", ["--format", "csv"]),
                       ("fleet.csv.gz", ["--format", "csv", "--gzip"]), ("metres.csv", ["--format", "csv-metres"])):
        subprocess.run([TRACEGEN, *fleet, *form, "-o", str(folder / name)], check=True)
    (folder / "fleet.tsv").write_text((folder / "fleet.csv").read_text().replace(",", "\t"))
    return folder


def cli(*args, check=True):
    """Runs cellfreq and returns the finished process (stdout as text)."""
    return subprocess.run([CELLFREQ, *map(str, args)], capture_output=True, text=True, check=check)


def cli_frame(trace, options, summary=False):
    """`cellfreq --format csv` read by pandas, with the frame's dtypes and its
    ids split into lists; a TAB trace's report has no ids, so its users'
    object numbers stand in for them, as the package gives them."""
    out = cli("--format", "csv", *(["--summary"] if summary else []), *options, trace).stdout
    frame = pd.read_csv(pd.io.common.StringIO(out), dtype={"ids": str}, keep_default_na=False)
    frame = frame.astype({"user": np.int32, "x": np.int32, "y": np.int32})
    if "ids" in frame:
        frame["ids"] = frame["ids"].str.split(" ")
    else:
        size = int(options[options.index("--group-size") + 1]) if "--group-size" in options else 10
        frame["ids"] = [[str(o) for o in range(u * size, (u + 1) * size)] for u in frame["user"]]
    return frame


def assert_same(frame, expected):
    assert list(frame.columns) == list(expected.columns)
    assert isinstance(frame.index, pd.RangeIndex)
    pd.testing.assert_frame_equal(frame.drop(columns="ids"), expected.drop(columns="ids"))
    assert frame["ids"].tolist() == expected["ids"].tolist()


def in_memory(trace, options):
    """The trace's rows as a DataFrame, and the keywords that name its columns:
    a TAB trace's id and coordinates (integer ids and no CRS: the core takes
    them in the TAB dialect's terms, its record after the last line end
    included), a CSV trace's columns as pandas reads them, its times as
    datetime64."""
    if trace.suffix == ".txt":
        rows = pd.read_csv(trace, sep="\t", header=None, usecols=[1, 5, 6])
        return rows.set_axis(["id", "x", "y"], axis=1), dict(options)
    rows = pd.read_csv(trace, sep="\t" if trace.suffix == ".tsv" else ",")
    rows["time"] = pd.to_datetime(rows["time"])
    return rows, dict(options)


@pytest.mark.parametrize("summary", [False, True], ids=["visits", "summary"])
@pytest.mark.parametrize("case", CASES)
def test_path_and_frame_give_the_command_lines_rows(traces, case, summary):
    trace, options, keywords = CASES[case]
    expected = cli_frame(traces / trace, options, summary)
    assert len(expected) > 0
    assert_same(cellfreq.frequent_cells(traces / trace, summary=summary, **keywords), expected)
    rows, keywords = in_memory(traces / trace, keywords)
    assert_same(cellfreq.frequent_cells(rows, summary=summary, **keywords), expected)


def test_a_dict_of_lists_and_text_times_give_the_same_rows(traces):
    trace, options, keywords = CASES["degrees-times"]
    rows = pd.read_csv(traces / trace)
    columns = {name: rows[name].tolist() for name in rows}
    assert_same(cellfreq.frequent_cells(columns, **keywords), cli_frame(traces / trace, options))


def test_integer_ids_are_object_numbers_and_text_ids_numbered_by_appearance():
    x = np.array([100.0, 100, 100, 100, 900, 900, 900, 900])
    numbered = cellfreq.frequent_cells({"id": np.array([0, 0, 0, 0, 1, 1, 1, 1], np.int16), "x": x, "y": x},
                                       group_size=1)
    assert numbered[["user", "x", "y"]].drop_duplicates().values.tolist() == [[0, 1, 1], [1, 3, 3]]
    assert numbered["ids"].str[0].tolist() == ["0"] * 4 + ["1"] * 4
    named = cellfreq.frequent_cells({"id": ["b"] * 4 + ["a"] * 4, "x": x, "y": x}, group_size=1)
    assert named["ids"].str[0].tolist() == ["b"] * 4 + ["a"] * 4
    assert named["user"].dtype == np.int32 and named["position"].dtype == np.int64


def features(path):
    """The properties and the outer ring of each feature of a GeoJSON layer."""
    layer = json.loads(Path(path).read_text())
    return [(f["properties"], np.array(f["geometry"]["coordinates"][0])) for f in layer["features"]]


def assert_squares(frame, layer, keys):
    """The frame's rows and squares are the layer's features, matched by ``keys``."""
    assert len(frame) == len(layer)
    rows = {tuple(int(v) for v in row[keys]): row for _, row in frame.iterrows()}
    for properties, ring in layer:
        row = rows[tuple(properties[k] for k in keys)]
        assert row["visits"] == properties["visits"]
        assert np.allclose(np.array(row.geometry.exterior.coords), ring, rtol=0, atol=2e-9)


@pytest.mark.parametrize("case", ["tab", "degrees-times", "utm-times"])
def test_cell_visits_and_squares_are_the_geojson_layers(traces, tmp_path, case):
    trace, options, keywords = CASES[case]
    cli("--format", "geojson", "--summary", "-o", tmp_path / "frequent.geojson",
        "--heatmap", tmp_path / "heat.geojson", *options, traces / trace)
    visits = cellfreq.cell_visits(traces / trace, **keywords)
    assert list(visits.columns) == ["x", "y", "visits"]
    assert visits.dtypes.tolist() == [np.int32, np.int32, np.int64]
    heat = cellfreq.cell_visits(traces / trace, geometry=True, **keywords)
    pd.testing.assert_frame_equal(pd.DataFrame(heat.drop(columns="geometry")), visits)
    assert_squares(heat, features(tmp_path / "heat.geojson"), ["x", "y"])
    frequent = cellfreq.frequent_cells(traces / trace, summary=True, geometry=True, **keywords)
    assert_squares(frequent, features(tmp_path / "frequent.geojson"), ["user", "x", "y"])
    grid = None if "crs" not in keywords else "EPSG:32632"
    assert (frequent.crs, heat.crs) == (("EPSG:4326",) * 2 if grid else (None, None))


def test_the_map_is_the_command_lines_page(traces, tmp_path):
    trace, options, keywords = CASES["degrees-times"]
    cli("--map", tmp_path / "cli.html", "-o", os.devnull, *options, traces / trace)
    page = cellfreq.map(traces / trace, path=tmp_path / "py.html", **keywords)
    assert (tmp_path / "py.html").read_bytes() == (tmp_path / "cli.html").read_bytes()
    assert page.html.encode() == (tmp_path / "cli.html").read_bytes()
    frame = page._repr_html_()
    assert frame.startswith("<iframe") and '"' not in re.search(r'srcdoc="(.*)"', frame, re.S).group(1)
    assert html.unescape(re.search(r'srcdoc="(.*)"', frame, re.S).group(1)) == page.html
    assert sorted(p.name for p in tmp_path.iterdir()) == ["cli.html", "py.html"]


def message(*args):
    """The command line's one-line failure for ARGS, without "cellfreq: "."""
    run = cli(*args, check=False)
    assert run.returncode in (1, 2)
    return run.stderr.strip().split("\n")[-1].removeprefix("cellfreq: ")


# name: (keywords, the same as command-line options)
FAILURES = {
    "cell size": (dict(cell_size=0), ["--cell-size", "0"]),
    "users": (dict(users=200), ["--users", "200"]),
    "group size": (dict(group_size=0), ["--group-size", "0"]),
    "threshold": (dict(threshold=-1), ["--threshold", "-1"]),
    "crs of a TAB trace": (dict(crs="EPSG:4326"), ["--crs", "EPSG:4326"]),
    "input format": (dict(input_format="json"), ["--input-format", "json"]),
    "grid crs alone": (dict(grid_crs="EPSG:32632"), ["--grid-crs", "EPSG:32632"]),
    "delimiter": (dict(input_format="csv", delimiter=";;"), ["--input-format", "csv", "--delimiter", ";;"]),
}


@pytest.mark.parametrize("case", FAILURES)
def test_bad_values_are_usage_errors_with_the_command_lines_message(traces, case):
    keywords, options = FAILURES[case]
    with pytest.raises(cellfreq.UsageError) as caught:
        cellfreq.frequent_cells(traces / "fleet.txt", **keywords)
    assert isinstance(caught.value, ValueError) and isinstance(caught.value, cellfreq.Error)
    assert str(caught.value) == message(*options, traces / "fleet.txt")


def test_an_unknown_crs_of_a_dataframe_fails_as_the_command_line_does(traces):
    rows = pd.read_csv(traces / "fleet.csv")
    with pytest.raises(cellfreq.UsageError) as caught:
        cellfreq.frequent_cells(rows, x="lon", y="lat", crs="EPSG:99999")
    assert str(caught.value) == message("--input-format", "csv", "--crs", "EPSG:99999", traces / "fleet.csv")


@pytest.mark.parametrize("name, kind, number", [("missing.txt", FileNotFoundError, 2),
                                                 ("folder", IsADirectoryError, 21)], ids=["missing", "folder"])
def test_a_trace_that_cannot_be_read_is_the_oserror_of_its_errno(tmp_path, name, kind, number):
    (tmp_path / "folder").mkdir()
    with pytest.raises(kind) as caught:
        cellfreq.frequent_cells(tmp_path / name)
    error = caught.value
    assert isinstance(error, cellfreq.InputOutputError) and isinstance(error, cellfreq.Error)
    assert str(error) == message(tmp_path / name)
    assert error.errno == number and error.filename == str(tmp_path / name)


def test_geopandas_is_needed_only_for_geometry(monkeypatch):
    fresh = subprocess.run([sys.executable, "-c", "import sys, cellfreq; print('geopandas' in sys.modules)"],
                           capture_output=True, text=True, check=True, env=CHILD_ENV)
    assert fresh.stdout.strip() == "False"
    monkeypatch.setitem(sys.modules, "geopandas", None)
    with pytest.raises(ImportError, match="geometry=True needs GeoPandas"):
        cellfreq.cell_visits({"id": [1], "x": [1.0], "y": [1.0]}, geometry=True)


@pytest.mark.parametrize("call, kind", [
    (lambda: cellfreq.frequent_cells(42), TypeError),
    (lambda: cellfreq.frequent_cells({"id": [1], "x": [1.0], "y": [1.0]}, cell_size="400"), TypeError),
    (lambda: cellfreq.frequent_cells({"id": [1], "x": [1.0], "y": [1.0]}, users=1.5), TypeError),
    (lambda: cellfreq.frequent_cells({"id": [1], "x": [1.0]}), cellfreq.UsageError),
    (lambda: cellfreq.frequent_cells({"id": [1, 2], "x": [1.0], "y": [1.0]}), cellfreq.UsageError),
    (lambda: cellfreq.frequent_cells({"id": [1.5], "x": [1.0], "y": [1.0]}), cellfreq.UsageError),
], ids=["data", "cell_size", "users", "column", "lengths", "decimal id"])
def test_wrong_types_and_shapes_are_refused_before_the_run(call, kind):
    with pytest.raises(kind):
        call()


@pytest.mark.parametrize("bad", [["b,zz,300"], ["b,zz,300", ",400,500"]], ids=["one", "two"])
def test_skipped_rows_are_a_warning_with_the_command_lines_lines(tmp_path, bad):
    trace = tmp_path / "bad.csv"
    trace.write_text("\n".join(["id,x,y", "a,100,100", *bad, "a,100,100", ""]))
    with pytest.warns(cellfreq.SkippedRowsWarning) as caught:
        visits = cellfreq.cell_visits(trace)
    lines = cli("--input-format", "csv", "-o", os.devnull, trace).stderr.strip().replace("cellfreq: ", "")
    assert str(caught[0].message) == lines and caught[0].filename == __file__
    assert visits.attrs["messages"] == lines.split("\n") and visits["visits"].tolist() == [2]
    assert (visits.attrs["group_size"], visits.attrs["grid_crs"]) == (10, None)


def test_only_the_progress_bar_prints_and_only_on_stderr(traces, capfd):
    cellfreq.frequent_cells(traces / "fleet.txt")
    cellfreq.cell_visits(pd.read_csv(traces / "fleet.csv"), x="lon", y="lat", crs="EPSG:4326")
    assert capfd.readouterr() == ("", "")
    cellfreq.frequent_cells(traces / "fleet.txt", progress=True)
    out, err = capfd.readouterr()
    assert out == "" and err.startswith("\rcellfreq: read ") and err.endswith("\n")


def test_the_version_is_the_command_lines():
    assert "cellfreq " + cellfreq.__version__ == cli("--version").stdout.strip()


INTERRUPTED = """
import sys, time, cellfreq
print("ready", flush=True)
try:
    cellfreq.frequent_cells(sys.argv[1], memory_limit=32 << 20)
    print("finished", flush=True)
except KeyboardInterrupt:
    print(time.monotonic(), flush=True)
"""


def interrupt_after(trace, delay, env):
    """Seconds from a SIGINT sent `delay` s into a run of `trace` to the
    moment its KeyboardInterrupt reached Python, or None if it finished."""
    child = subprocess.Popen([sys.executable, "-c", INTERRUPTED, str(trace)], stdout=subprocess.PIPE, text=True,
                             env=env)
    try:
        assert child.stdout.readline().strip() == "ready"
        time.sleep(delay)
        sent = time.monotonic()
        child.send_signal(signal.SIGINT)
        answer = child.stdout.readline().strip()
        assert child.wait(timeout=10) == 0
    finally:
        child.kill()
    return None if answer == "finished" else float(answer) - sent


def test_ctrl_c_stops_a_run_within_half_a_second_and_leaves_no_temporaries(tmp_path):
    trace = tmp_path / "large.txt"
    subprocess.run([TRACEGEN, "--seed", "9", "--bytes", "400000000", "-o", str(trace)], check=True)
    scratch = tmp_path / "scratch"
    scratch.mkdir()
    env = dict(CHILD_ENV, TMPDIR=str(scratch))
    # The suite's other tests share the cores, and a busy machine can keep
    # the interrupted process off them for a while: one of three tries
    # within half a second shows that the run stops as promised, while a
    # run that never looks at the interrupt fails all three.
    waits = []
    for _ in range(3):
        wait = interrupt_after(trace, 0.6, env)
        assert wait is not None, "the run ended before the signal; give it a larger trace"
        assert list(scratch.iterdir()) == []
        waits.append(wait)
        if wait < 0.5:
            break
    assert min(waits) < 0.5, waits
