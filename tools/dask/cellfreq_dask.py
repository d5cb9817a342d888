#!/usr/bin/python3
"""cellfreq-dask: one cellfreq run, cut into pieces that a Dask cluster runs.

The pieces are cellfreq's own (--parse-range, --plan, --merge-users,
--join); this program only cuts the trace into byte ranges, hands the
pieces to the cluster's workers, and runs the join itself so that the
report reaches its own standard output. Everything the pieces pass on goes
through one work folder, which every worker must see.

Exit status as cellfreq's: 0 success, 1 failure, 2 usage error, 128 + N
when ended by signal N.
"""

import logging
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

PROG = "cellfreq-dask"

HELP = """\
Usage: cellfreq-dask [--scheduler ADDRESS | --local-cluster N]
                     [--chunk-size SIZE] [--cellfreq PATH] [--work DIR]
                     [cellfreq option]... TRACE
Run cellfreq on a Dask cluster: the trace is parsed in byte ranges in
parallel, users are grouped in ranges in parallel, and the outputs are
joined here. The outputs and the exit status are those of
'cellfreq [cellfreq option]... TRACE' run alone.

Cluster:
  --scheduler ADDRESS  use the workers of a running scheduler
                       (tcp://HOST:8786)
  --local-cluster N    start N worker processes of one thread each on this
                       machine for the run (default: one per processor)
  --chunk-size SIZE    bytes of the trace per parse task, with K, M or G
                       (powers of 1024) (default 256M)
  --cellfreq PATH      the cellfreq program, the same path on every worker
                       (default: the cellfreq installed beside this program,
                       else the one on PATH)
  --work DIR           create the run's work folder in DIR (default: TMPDIR
                       for a local cluster, the current folder with
                       --scheduler); removed at the end
  --wait-workers SECONDS
                       with --scheduler, how long to wait for a first worker
                       to join (default 60); then the run fails
  --progress           progress on standard error: the cluster, then each
                       phase's tasks (and bytes) done, its rate, the
                       workers, and its time (the default when it is a
                       terminal)
  --no-progress        no progress lines
  -h, --help           show this help and exit
  --version            show the versions of this program and of cellfreq

Every other argument goes to cellfreq unchanged, in the same order; TRACE
comes last and must be a file, TAB or CSV (a run in pieces refuses gzip
and standard input). Options of cellfreq-dask may stand
anywhere before TRACE; '--' passes all that follows to cellfreq.

This program assumes a file system that every worker sees: the trace, the
work folder and cellfreq must have the same paths on every worker and
here. The outputs (-o, --cell-file, --heatmap) are written here. Before the
first task every worker proves it: it reads a marker written here into the
work folder and writes one of its own, runs the same cellfreq version, and
sees the trace with the same size and time; a worker that does not is
named, and the run ends with status 1.

Before any task is sent, cellfreq parses the trace's first line here, in a
throw-away folder, with all the options: a usage error it finds ends the
run with status 2, an unreadable trace with status 1. Then:
  parse  one task per chunk of --chunk-size bytes;
  plan   one task: checks the parts and prints 2 user ranges per worker;
  merge  one task per user range;
  join   run here: the report on standard output (or -o), the other files.
A task whose cellfreq fails is tried twice more (on any worker); if it
still fails, or a worker dies running it three times, the run ends with
status 1, cellfreq's message and no outputs.

A cluster of several machines: on one of them start the scheduler,
    dask scheduler                       (listens on tcp://HOST:8786)
and on every machine one or more workers of one thread each,
    dask worker tcp://HOST:8786 --nworkers 4 --nthreads 1
then, from any machine that sees the same files,
    cellfreq-dask --scheduler tcp://HOST:8786 --cell-size 100 \\
        -o report.txt /shared/trace.txt
"""


class Failure(Exception):
    """A run that cannot go on: its message and exit status."""

    def __init__(self, message, status=1):
        super().__init__(message)
        self.status = status


class Interrupted(BaseException):
    """Raised by the signal handler so that the run unwinds and cleans up."""

    def __init__(self, signum):
        super().__init__(signum)
        self.signum = signum


# Own options and whether they take a value.
OWN_OPTIONS = {
    "--scheduler": True, "--local-cluster": True, "--chunk-size": True,
    "--cellfreq": True, "--work": True, "--wait-workers": True,
    "--progress": False,
    "--no-progress": False, "-h": False, "--help": False, "--version": False,
}


def parse_size(text):
    """Bytes in TEXT: digits with an optional K, M or G; None if invalid."""
    shift = {"k": 10, "m": 20, "g": 30}.get(text[-1:].lower(), 0)
    digits = text[:-1] if shift else text
    if not digits.isascii() or not digits.isdigit() or int(digits) == 0:
        return None
    return int(digits) << shift


def split_args(argv):
    """ARGV split into our own options (a dict) and cellfreq's arguments.

    Raises Failure (status 2) for an option of ours without its value.
    """
    own = {}
    rest = []
    i = 0
    while i < len(argv):
        arg = argv[i]
        i += 1
        if arg == "--":
            rest.extend(argv[i - 1:])
            break
        name, eq, value = arg.partition("=")
        if name not in OWN_OPTIONS or (eq and not name.startswith("--")):
            rest.append(arg)
            continue
        if OWN_OPTIONS[name] and not eq:
            if i == len(argv):
                raise Failure(f"option '{name}' needs a value", 2)
            value = argv[i]
            i += 1
        elif eq and not OWN_OPTIONS[name]:
            raise Failure(f"option '{name}' takes no value", 2)
        if OWN_OPTIONS[name] and not value:
            raise Failure(f"invalid {name} '': expected a value", 2)
        own[name] = value
    return own, rest


def parse_args(argv):
    """The run's settings from ARGV; raises Failure (status 2) when bad."""
    own, rest = split_args(argv)
    settings = {"help": "-h" in own or "--help" in own}
    if settings["help"]:
        return settings
    settings["cellfreq"] = find_cellfreq(own.get("--cellfreq"))
    settings["version"] = "--version" in own
    if settings["version"]:
        return settings
    if "--scheduler" in own and "--local-cluster" in own:
        raise Failure("give --scheduler or --local-cluster, not both", 2)
    workers = own.get("--local-cluster", str(os.cpu_count() or 1))
    if not workers.isascii() or not workers.isdigit() or int(workers) < 1:
        raise Failure(f"invalid --local-cluster '{workers}': expected a "
                      "number of worker processes, 1 or more", 2)
    chunk = parse_size(own.get("--chunk-size", "256M"))
    if chunk is None or chunk >= 1 << 62:
        raise Failure(f"invalid --chunk-size '{own['--chunk-size']}': "
                      "expected bytes, with K, M or G, such as 64M", 2)
    if not rest or rest[-1] == "--":
        raise Failure("no trace given: the last argument names the "
                      "trace file", 2)
    options, trace = rest[:-1], [rest[-1]]
    if options[-1:] == ["--"] or not trace[0].startswith("-"):
        # A name, the same for every worker wherever it runs; something
        # else ("-", an option) is cellfreq's to refuse.
        trace = ["--", os.path.abspath(trace[0])]
        if options[-1:] == ["--"]:
            options.pop()
    wait = own.get("--wait-workers", "60")
    if not wait.isascii() or not wait.isdigit():
        raise Failure(f"invalid --wait-workers '{wait}': expected whole "
                      "seconds, 0 or more", 2)
    if "--progress" in own or "--no-progress" in own:
        progress = "--progress" in own
    else:
        progress = sys.stderr.isatty()
    settings.update(
        scheduler=own.get("--scheduler"), workers=int(workers), chunk=chunk,
        options=options, progress=progress, trace=trace, wait=int(wait),
        # Absolute, since the workers run in folders of their own.
        workparent=(os.path.abspath(own["--work"]) if "--work" in own
                    else None))
    return settings


def find_cellfreq(given):
    """The absolute path of the cellfreq program; raises Failure if none."""
    if given is None:
        here = os.path.dirname(os.path.realpath(__file__))
        beside = os.path.join(here, "cellfreq")
        found = beside if os.access(beside, os.X_OK) else shutil.which(
            "cellfreq")
        if found is None:
            raise Failure("no cellfreq beside this program nor on PATH: "
                          "give --cellfreq PATH", 2)
    else:
        found = shutil.which(given)
        if found is None:
            raise Failure(f"invalid --cellfreq '{given}': expected the path "
                          "of an executable program", 2)
    return os.path.abspath(found)


def piece_command(settings, work, *piece):
    """The command line of one piece: the user's options, then the piece's.

    The piece's options come last, so they win over any the user gave.
    """
    return ([settings["cellfreq"]] + settings["options"]
            + ["--work", work, *piece] + settings["trace"])


def chunk_ranges(size, chunk):
    """The parse ranges 'A:B' that tile a trace of SIZE bytes."""
    if size == 0:
        return ["0:1"]
    return [f"{a}:{a + chunk}" for a in range(0, size, chunk)]


def run_piece(command):
    """Runs one piece on a worker and returns its standard output.

    A piece that fails raises CalledProcessError carrying its status and
    standard error, which the scheduler sends back to the client.
    """
    done = subprocess.run(command, stdin=subprocess.DEVNULL,
                          capture_output=True, check=False)
    if done.returncode != 0:
        raise subprocess.CalledProcessError(done.returncode, command,
                                            done.stdout, done.stderr)
    return done.stdout.decode()


def piece_failure(status, stderr):
    """The Failure for a piece that ended with STATUS and STDERR (bytes)."""
    lines = stderr.decode(errors="replace").strip().splitlines()
    message = lines[-1] if lines else ""
    message = message.removeprefix("cellfreq: ")
    if not message:
        message = (f"cellfreq was ended by signal {-status}" if status < 0
                   else f"cellfreq ended with status {status}")
    return Failure(message, 2 if status == 2 else 1)


def run_here(command, capture):
    """Runs COMMAND in this process and returns (status, stdout, stderr).

    The child has a session of its own so that a signal reaches it once,
    passed on from here: cellfreq then removes its unfinished outputs itself.
    """
    pipe = subprocess.PIPE if capture else None
    with subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=pipe,
                          stderr=pipe, start_new_session=True) as child:
        try:
            out, err = child.communicate()
        except Interrupted as stop:
            child.send_signal(stop.signum)
            child.wait()
            raise
    return child.returncode, out, err


def check_options(settings, work):
    """Has cellfreq check the options and the trace before any task is sent.

    It parses the trace's first line here into a throw-away folder, with
    every option of the run: whatever it refuses is refused for the run.
    """
    folder = os.path.join(work, "check")
    os.mkdir(folder)
    status, _, err = run_here(
        piece_command(settings, folder, "--parse-range", "0:1"), True)
    if status != 0:
        raise piece_failure(status, err)
    if not os.path.exists(os.path.join(folder, "part-0.bin")):
        raise Failure("cellfreq ran no piece with these options", 2)
    shutil.rmtree(folder)


class Progress:
    """Progress on standard error: while a phase runs, its tasks (and bytes)
    done, the rate and the workers, every few seconds; when it ends, its
    time."""

    EVERY = 2.0  # seconds between the lines of a running phase

    def __init__(self, shown, clock=time.monotonic):
        self.shown, self.clock = shown, clock
        self.phase, self.count, self.started = "", 0, 0.0
        self.done = self.bytes = self.total = 0
        self.last = 0.0

    def say(self, text):
        """One line, if shown."""
        if self.shown:
            print(f"{PROG}: {text}", file=sys.stderr, flush=True)

    def start(self, phase, count, total=0):
        """Begins PHASE, of COUNT tasks over TOTAL bytes (0: not counted)."""
        self.phase, self.count, self.started = phase, count, self.clock()
        self.done, self.bytes, self.total = 0, 0, total
        self.last = self.started

    def advance(self, size, workers):
        """One more task done, of SIZE bytes, with WORKERS in the cluster;
        a line when the last was a while ago."""
        self.done += 1
        self.bytes += size
        self.tick(workers)

    def tick(self, workers):
        """A line of the running phase, when the last was a while ago."""
        now = self.clock()
        if now - self.last < self.EVERY or self.done == self.count:
            return
        self.last = now
        took = max(now - self.started, 1e-9)
        line = f"{self.phase}: {self.done}/{self.count} tasks"
        if self.total:
            gib = 1 << 30
            line += (f", {self.bytes / gib:.2f} of {self.total / gib:.2f} "
                     f"GiB, {self.bytes / gib / took:.2f} GiB/s")
        else:
            line += f", {self.done / took:.2f} tasks/s"
        self.say(f"{line}, {workers} worker{'s' if workers != 1 else ''}")

    def end(self):
        """Ends the phase: its line."""
        took = self.clock() - self.started
        self.say(f"{self.phase}: {self.count} "
                 f"task{'s' if self.count != 1 else ''} in {took:.2f} s")


def workers_of(client):
    """The number of workers in CLIENT's cluster now."""
    return len(client.scheduler_info()["workers"])


def run_tasks(client, progress, phase, commands, sizes=None):
    """Runs COMMANDS as tasks, each tried up to three times; their outputs.

    SIZES, when given, are the bytes each command reads, for the progress.
    The first task that fails for good cancels the others and ends the run.
    """
    from distributed import wait  # only a run needs it, not --help
    sizes = sizes or [0] * len(commands)
    progress.start(phase, len(commands), sum(sizes))
    futures = client.map(run_piece, commands, pure=False, retries=2)
    size_of = {f.key: size for f, size in zip(futures, sizes)}
    pending = set(futures)
    while pending:
        try:
            done, pending = wait(pending, timeout=Progress.EVERY,
                                 return_when="FIRST_COMPLETED")
        except TimeoutError:
            progress.tick(workers_of(client))
            continue
        for future in done:
            if future.status != "finished":
                error = future.exception()
                client.cancel(futures)
                if isinstance(error, subprocess.CalledProcessError):
                    raise piece_failure(error.returncode, error.stderr)
                raise Failure(f"a {phase} task failed: {error}")
            progress.advance(size_of[future.key], workers_of(client))
    results = client.gather(futures)
    progress.end()
    return results


def cellfreq_version(program):
    """What PROGRAM --version prints, or why it printed nothing."""
    try:
        done = subprocess.run([program, "--version"], capture_output=True,
                              text=True, check=False)
    except OSError as error:
        return f"no cellfreq: {error.strerror}"
    return done.stdout.strip() or f"status {done.returncode}"


def probe_worker(work, token, cellfreq, trace):
    """Runs on a worker: what it sees of the run's shared files, as a dict.

    "folder": why the work folder is of no use here (the client's marker
    unreadable or another's, or no file of ours can be written and read
    back); else "marker": the file it wrote for the client to read,
    "version": what its cellfreq --version prints (or why it cannot run),
    and "trace": the trace's size and modification time (or why not)."""
    import socket
    import uuid
    found = {"host": socket.gethostname()}
    try:
        with open(os.path.join(work, "client-marker"), encoding="ascii") as f:
            if f.read() != token:
                raise OSError("it holds another run's marker")
        mine = os.path.join(work, f"worker-marker-{uuid.uuid4().hex}")
        with open(mine, "w", encoding="ascii") as f:
            f.write(token)
        with open(mine, encoding="ascii") as f:
            if f.read() != token:
                raise OSError("a marker written there reads back otherwise")
        found["marker"] = mine
    except OSError as error:
        found["folder"] = error.strerror or str(error)
        return found
    found["version"] = cellfreq_version(cellfreq)
    try:
        st = os.stat(trace)
        found["trace"] = (st.st_size, st.st_mtime_ns)
    except OSError as error:
        found["trace"] = error.strerror
    return found


def check_workers(client, settings, work):
    """Checks, before the first task, that every worker shares the work
    folder both ways, runs the same cellfreq, and sees the same trace; a
    worker that does not is named, and the run fails."""
    import secrets
    token = secrets.token_hex(16)
    with open(os.path.join(work, "client-marker"), "w", encoding="ascii") as f:
        f.write(token)
    cellfreq, trace = settings["cellfreq"], settings["trace"][-1]
    own = cellfreq_version(cellfreq)
    size, mtime = trace_identity(trace)[2:4]
    results = client.run(probe_worker, work, token, cellfreq, trace,
                         on_error="return")
    for address, found in sorted(results.items()):
        name = f"worker {address}"
        if isinstance(found, BaseException):
            raise Failure(f"{name} cannot be checked: {found}")
        where = f"{name} on {found['host']}"
        reason = found.get("folder")
        if reason is None:
            try:
                with open(found["marker"], encoding="ascii") as f:
                    if f.read() != token:
                        reason = "its marker reads otherwise here"
                os.remove(found["marker"])
            except OSError as error:
                reason = f"its marker is not seen here ({error.strerror})"
        if reason is not None:
            raise Failure(f"{where} cannot use the work folder '{work}': "
                          f"{reason}; the work folder must be on a file "
                          "system that every worker shares")
        if found["version"] != own:
            raise Failure(f"{where} runs '{found['version']}' as "
                          f"'{cellfreq}'; here it is '{own}'")
        if found["trace"] != (size, mtime):
            seen = (f"{found['trace'][0]} bytes" if isinstance(
                found["trace"], tuple) else found["trace"])
            raise Failure(f"{where} sees another trace '{trace}' ({seen}; "
                          f"here {size} bytes, with another time)")
    os.remove(os.path.join(work, "client-marker"))


def trace_identity(path):
    """What tells whether the file PATH is still the one it was: its device,
    inode, size, modification time and change time. The change time moves
    with every write and cannot be set back, so even a rewrite of the same
    size that restores the modification time shows."""
    try:
        st = os.stat(path)
    except OSError as error:
        raise Failure(f"cannot read trace '{path}': {error.strerror}") from error
    return (st.st_dev, st.st_ino, st.st_size, st.st_mtime_ns, st.st_ctime_ns)


def run_on(client, settings, work, workers, progress):
    """Runs the parse, plan and merge tasks on CLIENT's cluster, then the join
    here; returns the join's status.

    The trace must be the same file, unchanged, from before the first parse
    to the join: a trace changed in between would give outputs of neither
    version, so that is a failure before the join writes anything. (The
    join reads the merges' files, not the trace, so a change after its
    start cannot reach its outputs.)"""
    trace = settings["trace"][-1]
    identity = trace_identity(trace)
    size = identity[2]
    ranges = chunk_ranges(size, settings["chunk"])
    run_tasks(client, progress, "parse", [
        piece_command(settings, work, "--parse-range", r) for r in ranges],
        [min(size, int(b)) - int(a) for a, b in
         (r.split(":") for r in ranges)])
    plan = piece_command(settings, work, "--plan", str(max(1, 2 * workers)))
    ranges = run_tasks(client, progress, "plan", [plan])[0].split()
    run_tasks(client, progress, "merge", [
        piece_command(settings, work, "--merge-users", r) for r in ranges])
    if trace_identity(trace) != identity:
        raise Failure(f"trace '{trace}' changed during the run; "
                      f"no outputs were written")
    status = join_placed(client, progress, settings, work, ranges)
    if status == 0:
        progress.end()
    return status


def join_placed(client, progress, settings, work, ranges):
    """Runs the join here with its merges' text put in place by tasks;
    returns the join's status.

    cellfreq --join-placed writes the outputs but for the merges' text into
    temporaries beside them, each of its full size, and lists where each
    merge's text goes in the work folder; one --place task per merge copies
    it there, on the cluster, so no step here grows with the outputs. Then
    "commit" puts the outputs in place; "abandon", after a failure or a
    signal here, has the join remove them, so a failed run writes none."""
    places = os.path.join(work, "places.bin")
    with subprocess.Popen(piece_command(settings, work, "--join-placed"),
                          stdin=subprocess.PIPE,
                          start_new_session=True) as child:
        word = b"abandon\n"
        try:
            while not os.path.exists(places) and child.poll() is None:
                time.sleep(0.02)
            if child.poll() is None:
                run_tasks(client, progress, "place", [
                    piece_command(settings, work, "--place", r)
                    for r in ranges])
                progress.start("join", 1)
                word = b"commit\n"
        finally:
            if child.poll() is None:
                try:
                    child.stdin.write(word)
                    child.stdin.close()
                except OSError:
                    pass  # it has ended: its status tells
            child.wait()
    return child.returncode


def start_on(client, settings, work):
    """Says what the cluster is, checks its workers, and runs on it."""
    workers = workers_of(client)
    progress = Progress(settings["progress"])
    where = (f"scheduler {settings['scheduler']}" if settings["scheduler"]
             else "a local cluster")
    link = getattr(client, "dashboard_link", None) if settings[
        "scheduler"] else None
    progress.say(f"{workers} worker{'s' if workers != 1 else ''} on {where}"
                 + (f", dashboard {link}" if link else ""))
    check_workers(client, settings, work)
    return run_on(client, settings, work, workers_of(client), progress)


def run_cluster(settings, work):
    """Connects to the scheduler or starts the local cluster, and runs."""
    # Workers that die and come back are the cluster's business; only its
    # errors belong on our standard error, next to the report's. A comm of
    # the cluster's own that times out while it shuts down (on a loaded
    # machine) leaves a future nobody awaits, which asyncio reports when it
    # is collected: the run's outcome never depends on it, and a failed task
    # reaches us through its result.
    logging.getLogger("distributed").setLevel(logging.ERROR)
    logging.getLogger("asyncio").setLevel(logging.CRITICAL)
    from distributed import Client, LocalCluster  # only a run needs them
    if settings["scheduler"]:
        try:
            client = Client(settings["scheduler"])
        except (OSError, ValueError) as error:
            raise Failure(f"cannot connect to scheduler "
                          f"'{settings['scheduler']}': {error}") from error
        with client:
            try:
                client.wait_for_workers(1, timeout=max(settings["wait"], 0.1))
            except TimeoutError as error:
                raise Failure(f"no worker joined scheduler "
                              f"'{settings['scheduler']}' within "
                              f"{settings['wait']} s (--wait-workers)"
                              ) from error
            return start_on(client, settings, work)
    # No dashboard, and the scheduler's HTTP server on a free port of its
    # own rather than a fixed one that another cluster may hold. A signal
    # waits until the cluster is up: raised within its start, it would
    # leave worker processes that go on writing into the work folder after
    # it is removed. Once the cluster is up, closing it stops them first.
    GATE.hold()
    try:
        cluster = LocalCluster(n_workers=settings["workers"],
                               threads_per_worker=1, processes=True,
                               dashboard_address="127.0.0.1:0",
                               scheduler_kwargs={"dashboard": False},
                               local_directory=os.path.join(work, "workers"),
                               silence_logs=logging.ERROR)
    except BaseException:
        GATE.open(False)
        raise
    with cluster:
        try:
            client = Client(cluster)
        except BaseException:
            GATE.open(False)
            raise
        with client:
            GATE.open(True)
            return start_on(client, settings, work)


class SignalGate:
    """Where a terminating signal unwinds the run: at once, or, while the
    gate is held, when it opens."""

    def __init__(self):
        self.held, self.pending = False, None

    def hold(self):
        """Keeps signals back from now on."""
        self.held = True

    def open(self, deliver):
        """Stops keeping signals back; with DELIVER, unwinds now for one
        that came while they were."""
        self.held = False
        if deliver and self.pending is not None:
            raise Interrupted(self.pending)

    def on_signal(self, signum, _frame):
        """Unwinds the run at the first signal (or keeps it for open());
        ends it at once at a second."""
        signal.signal(signum, lambda sig, _: os._exit(128 + sig))
        if self.held:
            self.pending = signum
            return
        raise Interrupted(signum)


GATE = SignalGate()


def main(argv):
    """Runs cellfreq-dask with ARGV; returns the exit status."""
    try:
        settings = parse_args(argv)
        if settings["help"]:
            sys.stdout.write(HELP)
            return 0
        if settings["version"]:
            cellfreq = cellfreq_version(settings["cellfreq"])
            import distributed  # only here and in a run
            print(f"{PROG} for {cellfreq}, distributed "
                  f"{distributed.__version__}")
            return 0
    except Failure as failure:
        print(f"{PROG}: {failure}", file=sys.stderr)
        return failure.status
    for signum in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        if signal.getsignal(signum) != signal.SIG_IGN:
            signal.signal(signum, GATE.on_signal)
    work = None
    try:
        parent = settings["workparent"] or (
            os.getcwd() if settings["scheduler"] else None)
        # A signal waits until the folder is made and named here, so that
        # the cleanup below knows it.
        GATE.hold()
        try:
            work = tempfile.mkdtemp(prefix="cellfreq-dask-", dir=parent)
        except OSError as error:
            GATE.open(False)
            raise Failure(f"cannot create a work folder in "
                          f"'{parent or tempfile.gettempdir()}': "
                          f"{error.strerror}") from error
        GATE.open(True)
        check_options(settings, work)
        return run_cluster(settings, work)
    except Failure as failure:
        print(f"{PROG}: {failure}", file=sys.stderr)
        return failure.status
    except Interrupted as stop:
        print(f"{PROG}: interrupted by {signal.Signals(stop.signum).name}",
              file=sys.stderr)
        return 128 + stop.signum
    except Exception as error:  # pylint: disable=broad-except
        # Whatever the cluster raises: one line and a failure, never a
        # trace-back that leaves the work folder.
        print(f"{PROG}: {type(error).__name__}: {error}", file=sys.stderr)
        return 1
    finally:
        if work is not None:
            shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
