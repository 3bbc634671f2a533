"""This tree against an earlier commit, each in its own venv, in one run.

The earlier commit is built once into build/baseline/<commit>/ (its source
from git archive, a venv of CPython 3.12 with the NumPy of the running
interpreter) and reused while that commit, Python and NumPy stay the same.
The timing runs in one child per tree, both alive at once: the parent asks
them in turn, so that noise on a shared machine falls on both alike.

The children run this file under their own interpreter, so it imports only
NumPy and the installed package, and tell the _core signatures apart by
the binding (pybind11: no origin argument, unrank needs its out;
nanobind: origin last) and by the dtype of ranks (a core with uint128
takes dtype before workers in rank, faces and cofaces). Batch calls go
through the package's public functions, whose signatures all these trees
share.

    python benchmarks/side_by_side.py --serve         (a timing child)
    python benchmarks/side_by_side.py --comb-memory   (a memory child)
"""
import fcntl
import hashlib
import json
import math
import os
import platform
import re
import resource
import shutil
import subprocess
import sys
import time
import timeit
import tomllib
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
HERE = Path(__file__).resolve()

# What the baseline venv gets besides the commit's own source and build requirements.
BASELINE_TOOLS = ['pybind11>=2.13.6,<2.14', "scikit-build-core>=0.10", "cmake", "ninja"]


def build_requirements(source):
    """The build requirements of the tree at `source` but NumPy, which is pinned to the running one."""
    requires = tomllib.loads((source / "pyproject.toml").read_text()).get("build-system", {}).get("requires", [])
    return [r for r in requires if re.match(r"[A-Za-z0-9_.-]+", r).group().lower() != "numpy"]


# --- The baseline build ---------------------------------------------------------


def resolve_commit(commit):
    """The full hash of `commit` in this checkout, or None where there is no git."""
    try:
        done = subprocess.run(["git", "rev-parse", "--verify", "--quiet", f"{commit}^{{commit}}"],
                              cwd=ROOT, capture_output=True, text=True)
    except OSError:
        return None
    return done.stdout.strip() or None


def clean_env(venv=None):
    """The environment without this venv and its PYTHONPATH, with `venv` first on PATH."""
    env = {key: value for key, value in os.environ.items() if key not in ("PYTHONPATH", "VIRTUAL_ENV", "PYTHONHOME")}
    if venv is not None:
        env["PATH"] = f"{venv / 'bin'}{os.pathsep}{env.get('PATH', '')}"
        env["VIRTUAL_ENV"] = str(venv)
    return env


def baseline_python(commit, numpy_version, say=print):
    """The interpreter of a venv holding `commit` built and installed, building it if it is not cached.

    Returns (path, None), or (None, why) when it cannot be had.
    """
    sha = resolve_commit(commit)
    if sha is None:
        return None, f"commit {commit} is not in this checkout"
    home = ROOT / "build" / "baseline" / sha[:12]
    venv = home / "venv"
    python = venv / "bin" / "python"
    stamp = home / "ready.json"
    key = {"commit": sha, "numpy": numpy_version}
    home.parent.mkdir(parents=True, exist_ok=True)
    # Two benchmarks started at once build it once.
    with open(home.parent / f"{sha[:12]}.lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        if stamp.exists() and python.exists():
            try:
                if json.loads(stamp.read_text()).get("key") == key:
                    return python, None
            except ValueError:
                pass
        say(f"  building {sha[:12]} into {home.relative_to(ROOT)} (once; later runs reuse it)")
        shutil.rmtree(home, ignore_errors=True)
        (home / "src").mkdir(parents=True)
        log = home / "build.log"
        try:
            with open(log, "w") as out:
                archive = subprocess.Popen(["git", "archive", "--format=tar", sha], cwd=ROOT, stdout=subprocess.PIPE)
                subprocess.run(["tar", "-x", "-C", str(home / "src")], stdin=archive.stdout, check=True)
                archive.stdout.close()
                if archive.wait() != 0:
                    raise subprocess.CalledProcessError(archive.returncode, "git archive")
                found = subprocess.run([str(ROOT / "tools" / "find-python"), "3.12"],
                                       capture_output=True, text=True, check=True).stdout.strip()
                env = clean_env(venv)
                # Later commits build with nanobind as well: the tree names what it needs.
                tools = BASELINE_TOOLS + build_requirements(home / "src")
                steps = [
                    [found, "-m", "venv", str(venv)],
                    [str(python), "-m", "pip", "install", "--quiet", "--upgrade", "pip"],
                    [str(python), "-m", "pip", "install", "--quiet", *tools, f"numpy=={numpy_version}"],
                    [str(python), "-m", "pip", "install", "--quiet", "--no-deps", "--no-build-isolation",
                     str(home / "src")],
                ]
                for step in steps:
                    out.write(f"$ {' '.join(step)}\n")
                    out.flush()
                    subprocess.run(step, cwd=home, env=clean_env() if step[0] == found else env,
                                   stdout=out, stderr=subprocess.STDOUT, check=True)
        except (OSError, ValueError, subprocess.CalledProcessError) as error:
            tail = log.read_text().splitlines()[-15:] if log.exists() else []
            return None, f"the build of {sha[:12]} failed ({error}):\n      " + "\n      ".join(tail)
        stamp.write_text(json.dumps({"key": key}))
        return python, None


# --- The children ---------------------------------------------------------------

RANK = 1_234_567  # of a 5-subset of 200
ROW = [3, 17, 50, 101, 199]


def binding(core):
    """The library that bound `core`, which fixes its signature."""
    return "nanobind" if type(core.rank).__name__ == "nb_func" else "pybind11"


def one_item_cases():
    """({case: (package statement, _core statement)}, their namespace) for this tree's _core.

    The _core statements get arguments already in the form _core reads, so
    that package − _core is what the Python layer costs.
    """
    import numpy as np
    import combinatorial as cb
    from combinatorial import _core

    signature = binding(_core)
    # A core with 128-bit ranks takes their dtype before workers; one with
    # several families of rows takes the family first.
    dtype = "None, " if hasattr(_core, "uint128") else ""
    fam = "'subsets', " if (_core.rank.__doc__ or "").startswith("rank(family") else ""

    space = {
        "cb": cb, "core": _core, "n1": np.array([10], np.uint64), "k1": np.array([3], np.uint64),
        "row": np.array([ROW], np.uint16), "r1": np.array([RANK], np.uint64), "out1": np.empty((1, 5), np.uint16),
    }
    # The pybind11 core takes no origin, and unrank writes into an out it is given.
    tail = "" if signature == "pybind11" else ", ()"
    scalar_core = f"core.comb({fam}10, 3, 1{tail})"
    if signature == "pybind11":
        from combinatorial._binomial import _exact  # scalars never reached that core

        space["_exact"] = _exact
        scalar_core = "_exact(10, 3)"
    fresh_out = "out1" if signature == "pybind11" else "None"
    return {
        "comb(10, 3)": ("cb.comb(10, 3, workers=1)", scalar_core),
        "comb, 1-element arrays": ("cb.comb(n1, k1, workers=1)", f"core.comb({fam}n1, k1, 1{tail})"),
        "rank, one row of (200, 5)": ("cb.rank(row, 200, workers=1)",
                                      f"core.rank({fam}row, 200, 'lex', False, {dtype}1{tail})"),
        "unrank, one rank of (200, 5)": ("cb.unrank(r1, 200, 5, workers=1)",
                                         f"core.unrank({fam}r1, 200, 5, 'lex', {fresh_out}, 1{tail})"),
        "unrank, one rank, into out": ("cb.unrank(r1, 200, 5, out=out1, workers=1)",
                                       f"core.unrank({fam}r1, 200, 5, 'lex', out1, 1{tail})"),
        "faces, one rank of (200, 5)": ("cb.faces(r1, 200, 5, workers=1)",
                                        f"core.faces(r1, 200, 5, 'lex', {dtype}1{tail})"),
    }, space


BATCH_SEED = 2026


def batch_cases(count):
    """{case: call} of batch calls on `count` items on one core, through the package's public functions.

    The inputs come from fixed seeds, so every tree gets the same ones. Only
    64-bit ranks and 16-bit vertices, which every tree has.
    """
    import numpy as np
    import combinatorial as cb

    rng = np.random.default_rng(BATCH_SEED)
    ranks = rng.integers(0, math.comb(200, 10), size=count, dtype=np.int64)
    rows = cb.unrank(ranks, 200, 10, workers=1)
    colex_rows = cb.unrank(ranks, 200, 10, order="colex", workers=1)
    out = np.empty((count, 10), np.uint16)
    simplices = rng.integers(0, math.comb(200, 6), size=count, dtype=np.int64)
    out6, out5 = np.empty((count, 6), np.uint16), np.empty((count, 5), np.uint16)
    n_values = rng.integers(0, 2000, size=count, dtype=np.int64)
    k_values = rng.integers(0, 7, size=count, dtype=np.int64)
    return {
        "unrank (200, 10) lex, into out": lambda: cb.unrank(ranks, 200, 10, out=out, workers=1),
        "unrank (200, 10) colex, into out": lambda: cb.unrank(ranks, 200, 10, order="colex", out=out, workers=1),
        "rank (200, 10) lex, sorted rows": lambda: cb.rank(rows, 200, assume_sorted=True, workers=1),
        "rank (200, 10) colex, sorted rows":
            lambda: cb.rank(colex_rows, 200, order="colex", assume_sorted=True, workers=1),
        "faces (200, 6) lex": lambda: cb.faces(simplices, 200, 6, workers=1),
        "faces (200, 6) colex": lambda: cb.faces(simplices, 200, 6, order="colex", workers=1),
        "combinations (40, 6), into out": lambda: cb.combinations(40, 6, stop=count, out=out6, workers=1),
        "sample (1000, 5), into out": lambda: cb.sample(1000, 5, count, rng=1, out=out5, workers=1),
        "comb on int64 arrays, n < 2000, k <= 6": lambda: cb.comb(n_values, k_values, workers=1),
    }


def digest(value):
    """A result's dtype, shape and bytes in a few characters, to compare large results across trees."""
    import numpy as np

    value = np.ascontiguousarray(value)
    return f"{value.dtype.str} {value.shape} {hashlib.sha256(value.view(np.uint8).ravel()).hexdigest()[:16]}"


def plain(value):
    """A result as JSON, to compare across trees."""
    import numpy as np

    return value.tolist() if isinstance(value, np.ndarray) else value


def serve():
    """A timing child: answers one request a line on stdin with one JSON line on stdout.

    `describe` gives the cases and each result (package and _core must agree);
    `time CASE package|core REPEAT` gives REPEAT per-call times in seconds;
    `batches COUNT` sets up the batch calls on COUNT items and gives a digest
    of each one's result; `batch CASE REPEAT` gives REPEAT thread CPU times
    of single calls.
    """
    import numpy as np
    import combinatorial as cb

    cases, space = one_item_cases()
    timers, numbers, batches = {}, {}, {}
    for case, statements in cases.items():
        for which, statement in zip(("package", "core"), statements):
            # Thread CPU time: a call is one thread's work at workers=1, and other
            # processes holding the core do not count.
            timers[case, which] = timeit.Timer(statement, timer=time.thread_time, globals=space)
    for line in sys.stdin:
        request = line.rstrip("\n").split("\t")
        if request[0] == "describe":
            results = {}
            for case, (package, core) in cases.items():
                space["out1"][...] = 0
                got = plain(eval(package, space))
                space["out1"][...] = 0
                core_got = eval(core, space)
                core_got = plain(space["out1"] if core_got is None else core_got)
                results[case] = {"package": got, "core": core_got}
            answer = {"cases": list(cases), "results": results, "file": cb.__file__, "numpy": np.__version__,
                      "python": platform.python_version(), "binding": binding(space["core"])}
        elif request[0] == "batches":
            batches = batch_cases(int(request[1]))
            answer = {"cases": list(batches), "digests": {case: digest(call()) for case, call in batches.items()}}
        elif request[0] == "batch":
            _, case, repeat = request
            call, answer = batches[case], []
            for _ in range(int(repeat)):
                start = time.thread_time()
                call()
                answer.append(time.thread_time() - start)
        else:
            _, case, which, repeat = request
            key = case, which
            if key not in numbers:
                # Short repeats, about 2 ms: on a loaded machine more of them run
                # without being preempted, and the least is taken.
                count, seconds = timers[key].autorange()
                numbers[key] = max(1, int(count * 0.002 / seconds))
            number = numbers[key]
            answer = [t / number for t in timers[key].repeat(int(repeat), number)]
        print(json.dumps(answer), flush=True)


class Child:
    """A timing child under `python`, kept alive for the whole comparison."""

    def __init__(self, python):
        self.process = subprocess.Popen([str(python), str(HERE), "--serve"], stdin=subprocess.PIPE,
                                        stdout=subprocess.PIPE, text=True, env=clean_env(), cwd=ROOT)

    def ask(self, *request):
        self.process.stdin.write("\t".join(map(str, request)) + "\n")
        self.process.stdin.flush()
        line = self.process.stdout.readline()
        if not line:
            raise RuntimeError(f"a timing child ended (exit code {self.process.wait()})")
        return json.loads(line)

    def close(self):
        self.process.stdin.close()
        self.process.wait()


def one_item_times(sides, rounds, repeat):
    """{side: {case: {package, core: min seconds per call}}} and each side's description, the sides in turn."""
    children = {name: Child(python) for name, python in sides}
    try:
        described = {name: child.ask("describe") for name, child in children.items()}
        cases = described[sides[-1][0]]["cases"]
        best = {name: {case: {"package": math.inf, "core": math.inf} for case in cases} for name in children}
        names = list(children)
        for turn in range(rounds):
            for case in cases:
                for which in ("package", "core"):
                    for name in names if turn % 2 == 0 else names[::-1]:
                        times = children[name].ask("time", case, which, repeat)
                        best[name][case][which] = min(best[name][case][which], *times)
        return best, described
    finally:
        for child in children.values():
            child.close()


def batch_times(sides, count, rounds, repeat):
    """{side: {case: least thread CPU seconds of a call}} and each side's digests, the sides in turn.

    Each round asks every side for `repeat` calls of one case before the
    next case, the sides in the opposite order every other round, so that a
    spell of load falls on both.
    """
    children = {name: Child(python) for name, python in sides}
    try:
        described = {name: child.ask("batches", count) for name, child in children.items()}
        cases = described[sides[-1][0]]["cases"]
        best = {name: {case: math.inf for case in cases} for name in children}
        names = list(children)
        for turn in range(rounds):
            for case in cases:
                for name in names if turn % 2 == 0 else names[::-1]:
                    best[name][case] = min(best[name][case], *children[name].ask("batch", case, repeat))
        return best, described
    finally:
        for child in children.values():
            child.close()


# The broadcast whose result is 4000 x 4000 uint64 (122 MiB) from two small operands.
COMB_SIDE = 4000


def comb_memory():
    """A memory child: how far one broadcast comb raises the peak resident set above what the process held."""
    import numpy as np
    import combinatorial as cb

    cb.comb(np.arange(3)[:, None], np.arange(3)[None, :] % 2)  # the one-time imports and set-up
    n, k = np.arange(COMB_SIDE)[:, None], np.arange(COMB_SIDE)[None, :] % 7
    before = resident_bytes()
    result = cb.comb(n, k)
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
    rng = np.random.default_rng(7)
    rows, columns = rng.integers(0, COMB_SIDE, 1000), rng.integers(0, COMB_SIDE, 1000)
    right = result.shape == (COMB_SIDE, COMB_SIDE) and result.dtype == np.uint64 and all(
        int(result[i, j]) == math.comb(int(i), int(j) % 7) for i, j in zip(rows, columns))
    json.dump({"increase": peak - before, "result": result.nbytes, "right": right}, sys.stdout)


def resident_bytes():
    """The resident set now (the peak so far where /proc is missing)."""
    try:
        with open("/proc/self/status") as status:
            for line in status:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1]) * 1024
    except OSError:
        pass
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024


def comb_memory_of(python):
    done = subprocess.run([str(python), str(HERE), "--comb-memory"], capture_output=True, text=True,
                          env=clean_env(), cwd=ROOT)
    if done.returncode != 0:
        raise RuntimeError(f"the memory child failed:\n{done.stderr}")
    return json.loads(done.stdout)


if __name__ == "__main__":
    if sys.argv[1:] == ["--serve"]:
        serve()
    elif sys.argv[1:] == ["--comb-memory"]:
        comb_memory()
    else:
        sys.exit(__doc__)
