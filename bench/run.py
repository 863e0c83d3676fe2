"""Benchmarks of tarvelpy._helpers: one table, one plot.

    .venv/bin/python -P bench/run.py [--quick] [--callgrind]

Every figure is a ratio of timings taken side by side in this run: the
variants of a case are timed in alternating order, round after round, and a
ratio is the median over rounds of the per-round ratio, so slow drifts of a
shared machine cancel. Absolute times (median per call) are printed only for
context. Raw samples are saved in pyperf's format in bench/out/results.json
(``python -m pyperf stats bench/out/results.json``); the plot of quicksum
against the built-in sum goes to bench/out/quicksum_vs_sum.png.
"""

import argparse
import gc
import json
import os
import pathlib
import re
import statistics
import subprocess
import sys
import textwrap

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import pyperf  # noqa: E402

import cases as C  # noqa: E402
from cases import bare, helpers, reference  # noqa: E402

OUT = HERE / "out"
clock = pyperf.perf_counter


# --------------------------------------------------------------------------
# Interleaved timing


class Timer:
    def __init__(self, quick):
        self.quick = quick
        self.sample_s = 0.001 if quick else 0.002
        self.rounds = 15 if quick else 41
        self.suite = []  # pyperf.Benchmark objects

    def calibrate(self, fn):
        """Loops so that one sample of fn(loops) lasts about sample_s."""
        loops = 1
        while True:
            t0 = clock()
            fn(loops)
            dt = clock() - t0
            if dt >= self.sample_s / 4 or loops >= 1 << 30:
                return max(1, int(loops * self.sample_s / max(dt, 1e-9)))
            loops *= 4

    def compare(self, name, variants, rounds=None, loops=None):
        """Time variants {label: fn(loops)} side by side.

        Returns {label: [seconds per op, one per round]}.
        """
        rounds = rounds or self.rounds
        if loops is None:
            loops = {k: self.calibrate(fn) for k, fn in variants.items()}
        else:
            loops = {k: loops for k in variants}
        for k, fn in variants.items():  # warm-up
            fn(max(1, loops[k] // 4))
        samples = {k: [] for k in variants}
        keys = list(variants)
        gc_was = gc.isenabled()
        gc.collect()
        gc.disable()
        try:
            for r in range(rounds):
                order = keys if r % 2 == 0 else keys[::-1]
                for k in order:
                    t0 = clock()
                    variants[k](loops[k])
                    samples[k].append((clock() - t0) / loops[k])
        finally:
            if gc_was:
                gc.enable()
        for k, values in samples.items():
            run = pyperf.Run(values, metadata={"name": f"{name} [{k}]",
                                                "loops": loops[k]},
                             collect_metadata=False)
            self.suite.append(pyperf.Benchmark([run]))
        return samples

    def save(self, path):
        if self.suite:
            pyperf.BenchmarkSuite(self.suite).dump(str(path), replace=True)


def ratio(samples, a, b):
    """Ratio of the fastest rounds of a and b.

    Other processes on a shared machine only ever add time, in bursts that
    hit a round of one variant and not the other; the fastest of many short
    alternating rounds is the figure least touched by them.
    """
    return min(samples[a]) / min(samples[b])


def med(samples, k):
    """Time per op for context: the fastest round (see ratio)."""
    return min(samples[k])


def fmt_time(seconds):
    for unit, scale in (("s", 1), ("ms", 1e-3), ("us", 1e-6), ("ns", 1e-9)):
        if seconds >= scale:
            return f"{seconds / scale:.3g} {unit}"
    return f"{seconds / 1e-9:.3g} ns"


class Table:
    def __init__(self):
        self.rows = []

    def section(self, title):
        self.rows.append(("section", title))

    def add(self, case, figure, value, target="", ok=None, context=""):
        mark = "" if ok is None else ("ok" if ok else "MISS")
        self.rows.append(("row", case, figure, value, target, mark, context))

    def render(self):
        head = ("case", "figure", "value", "target", "", "context (abs.)")
        body = [r[1:] for r in self.rows if r[0] == "row"]
        widths = [max(len(str(x[i])) for x in body + [head]) for i in range(6)]
        line = "  ".join("-" * w for w in widths)
        out = ["  ".join(str(h).ljust(w) for h, w in zip(head, widths)), line]
        for r in self.rows:
            if r[0] == "section":
                out.append(f"== {r[1]}")
            else:
                out.append("  ".join(str(x).ljust(w)
                                     for x, w in zip(r[1:], widths)).rstrip())
        return "\n".join(out)


# --------------------------------------------------------------------------
# 1. quicksum over the stand-in classes, against sum and a Python loop


def py_loop_linexpr(terms):
    result = reference.LinExpr()
    for term in terms:
        result += term
    return result


def bench_quicksum_users(timer, table, quick):
    from tarvelpy._core import Var
    sizes = [10 ** 2, 10 ** 3, 10 ** 4] + ([] if quick else [10 ** 5])
    table.section("1. quicksum on the stand-in LinExpr (Var and coef*Var)")
    curve = {"quicksum": [], "sum": [], "for loop +=": []}
    for n in sizes:
        terms = [Var(f"x{i}") if i % 2 == 0 else (1.5 + i % 7) * Var(f"x{i}")
                 for i in range(n)]
        variants = {
            "quicksum": lambda loops: [helpers.quicksum(terms)
                                       for _ in range(loops)],
            "for loop +=": lambda loops: [py_loop_linexpr(terms)
                                          for _ in range(loops)],
            "sum": lambda loops: [sum(terms) for _ in range(loops)],
        }
        rounds = timer.rounds
        if n >= 10 ** 5:
            # sum is quadratic here: several seconds per call.
            rounds = 3
        elif n >= 10 ** 4:
            rounds = max(3, timer.rounds // 3)
        s = timer.compare(f"quicksum users N={n}", variants, rounds=rounds)
        for k in curve:
            curve[k].append(med(s, k))
        r_sum = ratio(s, "sum", "quicksum")
        r_loop = ratio(s, "for loop +=", "quicksum")
        table.add(f"N={n}", "sum / quicksum", f"{r_sum:.2f}x", "> 1",
                  r_sum > 1, f"quicksum {fmt_time(med(s, 'quicksum'))}, "
                  f"sum {fmt_time(med(s, 'sum'))}")
        table.add(f"N={n}", "for-loop / quicksum", f"{r_loop:.2f}x", "",
                  None, f"loop {fmt_time(med(s, 'for loop +='))}")
    # Growth exponents over the measured range, from the end points.
    import math
    span = math.log(sizes[-1] / sizes[0])
    for k in ("quicksum", "sum"):
        slope = math.log(curve[k][-1] / curve[k][0]) / span
        target = "~1 (linear)" if k == "quicksum" else "~2 (quadratic)"
        table.add(f"{k} N={sizes[0]}..{sizes[-1]}", "log-log slope",
                  f"{slope:.2f}", target,
                  (slope < 1.25) if k == "quicksum" else None)
    plot(sizes, curve)


def plot(sizes, curve):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    fig, ax = plt.subplots(figsize=(6.4, 4.4))
    for (label, values), marker in zip(curve.items(), "os^"):
        ax.loglog(sizes, values, marker=marker, label=label)
    ax.set_xlabel("terms N (half Var, half coef * Var)")
    ax.set_ylabel("seconds per call")
    ax.set_title("quicksum vs built-in sum on the stand-in LinExpr")
    ax.grid(True, which="both", alpha=0.3)
    ax.legend()
    fig.tight_layout()
    OUT.mkdir(parents=True, exist_ok=True)
    fig.savefig(OUT / "quicksum_vs_sum.png", dpi=110)
    plt.close(fig)


# --------------------------------------------------------------------------
# 2. quicksum's own loop on a C-level accumulator


def py_loop_list(terms):
    result = []
    for term in terms:
        result += term
    return result


def bench_quicksum_loop(timer, table, quick):
    n = 10 ** 6
    items = [(i,) for i in range(n)]
    table.section("2. quicksum loop, LinExpr -> list, N=10^6 one-element tuples")
    with C.rebound(C.both_namespaces(), {"LinExpr": list}):
        expect = bare.iadd_walk([], items)
        if helpers.quicksum(items) != expect or py_loop_list(items) != expect:
            raise AssertionError("quicksum on lists disagrees with the bare walk")
        del expect
        variants = {
            "quicksum": lambda loops: [helpers.quicksum(items)
                                       for _ in range(loops)],
            "bare C": lambda loops: [bare.iadd_walk([], items)
                                     for _ in range(loops)],
            "for loop +=": lambda loops: [py_loop_list(items)
                                          for _ in range(loops)],
            "reference": lambda loops: [reference.quicksum(items)
                                        for _ in range(loops)],
        }
        s = timer.compare("quicksum loop N=1e6", variants,
                          rounds=7 if quick else 21, loops=1)
    r_bare = ratio(s, "quicksum", "bare C")
    r_loop = ratio(s, "for loop +=", "quicksum")
    r_ref = ratio(s, "reference", "quicksum")
    table.add("quicksum(list of 10^6)", "quicksum / bare C", f"{r_bare:.3f}x",
              "<= 1.05", r_bare <= 1.05,
              f"quicksum {fmt_time(med(s, 'quicksum'))}, "
              f"bare {fmt_time(med(s, 'bare C'))}")
    table.add("quicksum(list of 10^6)", "for-loop / quicksum", f"{r_loop:.2f}x",
              ">= 2", r_loop >= 2, f"loop {fmt_time(med(s, 'for loop +='))}")
    table.add("quicksum(list of 10^6)", "reference / quicksum", f"{r_ref:.2f}x",
              "", None, f"reference {fmt_time(med(s, 'reference'))}")


# --------------------------------------------------------------------------
# 3. per-call overhead with C-implemented siblings


def bench_percall(timer, table, quick):
    table.section("3. per call, C-implemented siblings: module vs bench/reference.py")
    results = {}
    with C.rebound(C.both_namespaces(), C.cheap_siblings()):
        for case in C.percall_cases():
            C.check_case(case)
            mod, ref = case.functions()
            args, kwnames = case.call_spec()
            swallow = case.fails
            variants = {
                "module": lambda loops, f=mod: bare.call_loop(
                    loops, f, args, kwnames, swallow),
                "reference": lambda loops, f=ref: bare.call_loop(
                    loops, f, args, kwnames, swallow),
            }
            s = timer.compare(f"per-call {case.label}", variants)
            results[case.label] = s
            if case.fails:
                r = ratio(s, "module", "reference")
                table.add(case.label, f"module / ref ({case.kind} error)",
                          f"{r:.2f}x", "<= 1.4", r <= 1.4,
                          f"{fmt_time(med(s, 'module'))} vs "
                          f"{fmt_time(med(s, 'reference'))}")
            else:
                r = ratio(s, "reference", "module")
                table.add(case.label, f"ref / module ({case.kind})",
                          f"{r:.2f}x", ">= 1.6", r >= 1.6,
                          f"{fmt_time(med(s, 'module'))} vs "
                          f"{fmt_time(med(s, 'reference'))}")
    return results


# --------------------------------------------------------------------------
# 5. multidict at scale


def bench_multidict(timer, table, quick):
    n = 10 ** 5
    table.section("5. multidict, stand-in tupledict/tuplelist, 10^5 keys")
    split = {i: [i, 2 * i, 3 * i] for i in range(n)}
    scalar = {i: i for i in range(n)}
    for label, data in (("3 values per key", split),
                        ("scalar fallback", scalar)):
        if repr(helpers.multidict(data)) != repr(reference.multidict(data)):
            raise AssertionError(f"multidict {label}: module and reference differ")
        variants = {
            "module": lambda loops, d=data: [helpers.multidict(d)
                                             for _ in range(loops)],
            "reference": lambda loops, d=data: [reference.multidict(d)
                                                for _ in range(loops)],
        }
        s = timer.compare(f"multidict {label}", variants,
                          rounds=7 if quick else 15)
        r = ratio(s, "reference", "module")
        table.add(f"multidict {label}", "ref / module", f"{r:.2f}x", ">= 1.0",
                  r >= 0.98, f"module {fmt_time(med(s, 'module'))}")


# --------------------------------------------------------------------------
# 6. the matrix path


def bench_matrix(timer, table, quick):
    import numpy as np
    from tarvelpy._core import NLExpr, _ExprTree
    from tarvelpy._matrixapi import MNLExpr, MVar
    table.section("6. matrix path, 100x100 MVar over the stand-ins")
    X = MVar.named("x", (100, 100))
    rounds = 5 if quick else 11

    def baseline_sin(x):
        # The same numpy and stand-in work with the glue in C.
        trees = MNLExpr._coerce_to_exprtree_array(x)
        return MNLExpr(np.vectorize(bare.compose(NLExpr, _ExprTree._from_sin))(trees))

    def baseline_signpow(x, e):
        trees = MNLExpr._coerce_to_exprtree_array(x)
        t2 = NLExpr._coerce_to_exprtree(e)
        return MNLExpr(np.vectorize(
            bare.compose(NLExpr, _ExprTree._from_signpow, t2))(trees))

    real = {
        "sin": (lambda f: lambda loops: [f(X) for _ in range(loops)],
                helpers.sin, reference.sin, baseline_sin),
        "signpow": (lambda f: lambda loops: [f(X, 2.0) for _ in range(loops)],
                    helpers.signpow, reference.signpow, baseline_signpow),
    }
    real_times = {}
    for name, (mk, mod, ref, base) in real.items():
        if repr(mod(X).array.flat[7]) != repr(base(X).array.flat[7]) if name == "sin" \
                else repr(mod(X, 2.0).array.flat[7]) != repr(base(X, 2.0).array.flat[7]):
            raise AssertionError(f"{name}: module and baseline differ")
        s = timer.compare(f"matrix {name} 100x100", {
            "module": mk(mod), "reference": mk(ref), "C glue": mk(base)},
            rounds=rounds, loops=1)
        real_times[name] = med(s, "module")
        r = ratio(s, "reference", "module")
        share = 1 - ratio(s, "C glue", "module")
        table.add(f"{name}(MVar 100x100)", "ref / module", f"{r:.3f}x", "",
                  None, f"module {fmt_time(med(s, 'module'))}")
        table.add(f"{name}(MVar 100x100)", "own share (vs C glue)",
                  f"{100 * share:.1f}%", "", None,
                  f"C glue {fmt_time(med(s, 'C glue'))}")

    # The module's own cost per element, measured with C stubs for every
    # sibling so that only the element function and numpy's loop remain.
    arr = np.full((100, 100), 1.0, dtype=object)
    stubs = C.matrix_stub_siblings()
    with C.rebound(C.both_namespaces(), stubs):
        nlx, tree, mnl = stubs["NLExpr"], stubs["_ExprTree"], stubs["MNLExpr"]
        glue = {
            "sin": lambda loops: [mnl(np.vectorize(bare.compose(nlx, tree._from_sin))(
                mnl._coerce_to_exprtree_array(arr))) for _ in range(loops)],
            "signpow": lambda loops: [mnl(np.vectorize(bare.compose(
                nlx, tree._from_signpow, nlx._coerce_to_exprtree(2.0)))(
                mnl._coerce_to_exprtree_array(arr))) for _ in range(loops)],
        }
        for name, argsx in (("sin", (arr,)), ("signpow", (arr, 2.0))):
            mod, ref = getattr(helpers, name), getattr(reference, name)
            s = timer.compare(f"matrix {name} 100x100 stubs", {
                "module": lambda loops, f=mod: [f(*argsx) for _ in range(loops)],
                "reference": lambda loops, f=ref: [f(*argsx) for _ in range(loops)],
                "C glue": glue[name]}, rounds=rounds * 2)
            own = med(s, "module") - med(s, "C glue")
            per_elem = own / arr.size
            table.add(f"{name}(100x100), C stubs", "module / C glue",
                      f"{ratio(s, 'module', 'C glue'):.2f}x", "", None,
                      f"own {fmt_time(per_elem)}/element")
            table.add(f"{name}(100x100), C stubs", "ref / module",
                      f"{ratio(s, 'reference', 'module'):.2f}x", "", None,
                      f"reference {fmt_time(med(s, 'reference'))}")
            table.add(f"{name}(MVar 100x100)", "own share (stub diff)",
                      f"{100 * own / real_times[name]:.1f}%", "", None)


# --------------------------------------------------------------------------
# 7. import time and memory


IMPORTTIME_RE = re.compile(r"import time:\s+(\d+)\s+\|\s+(\d+)\s+\|\s+(\s*)(\S+)")


def import_times(runs):
    selfs, totals, numpys = [], [], []
    for _ in range(runs):
        proc = subprocess.run(
            [sys.executable, "-P", "-X", "importtime", "-c",
             "import tarvelpy._helpers"],
            capture_output=True, text=True, check=True)
        rows = {m.group(4): (int(m.group(1)), int(m.group(2)))
                for m in IMPORTTIME_RE.finditer(proc.stderr)}
        selfs.append(rows["tarvelpy._helpers"][0])
        totals.append(sum(v[0] for v in rows.values()))
        numpys.append(rows.get("numpy", (0, 0))[1])
    return (statistics.median(selfs), statistics.median(totals),
            statistics.median(numpys))


MEMORY_SCRIPT = textwrap.dedent("""
    import gc, json, sys
    sys.path.insert(0, {bench!r})

    def rss_kib():
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * 4

    # The siblings (and numpy under them) are loaded first: the figure is
    # what the compiled module itself adds.
    import numpy, tarvelpy._core, tarvelpy._matrixapi
    gc.collect()
    before = (sys.getallocatedblocks(), rss_kib())
    import tarvelpy._helpers as h
    gc.collect()
    after = (sys.getallocatedblocks(), rss_kib())
    out = {{"import_blocks": after[0] - before[0],
           "import_rss_kib": after[1] - before[1]}}

    def growth(label, fn, n):
        fn(n // 10)           # warm-up: caches, free lists, numpy internals
        gc.collect()
        b0, r0 = sys.getallocatedblocks(), rss_kib()
        fn(n)
        gc.collect()
        out[label] = (sys.getallocatedblocks() - b0, rss_kib() - r0, n)

    from tarvelpy._matrixapi import MVar
    x = MVar.named("x", (1, 1))
    def sin_real(n):
        for _ in range(n):
            h.sin(x)
    def signpow_real(n):
        for _ in range(n):
            h.signpow(x, 2.0)
    growth("sin(MVar 1x1), stand-ins", sin_real, {n_real})
    growth("signpow(MVar 1x1), stand-ins", signpow_real, {n_real})

    import numpy as np
    import cases as C
    stubs = C.cheap_siblings()
    mnl = C.bare.Stub()
    mnl._coerce_to_exprtree_array = C.bare.first
    arr = np.full((1, 1), 1.0, dtype=object)
    with C.rebound([vars(h)], dict(stubs, MVar=np.ndarray, MNLExpr=mnl)):
        growth("sin(1x1), C stubs", lambda n: C.bare.call_loop(
            n, h.sin, (arr,), None, False), {n_stub})
        growth("signpow(1x1), C stubs", lambda n: C.bare.call_loop(
            n, h.signpow, (arr, 2.0), None, False), {n_stub})
    with C.rebound([vars(h)], stubs):
        for case in C.percall_cases():
            args, kwnames = case.call_spec()
            f = getattr(h, case.fname)
            growth(case.label, lambda n: C.bare.call_loop(
                n, f, args, kwnames, case.fails), {n_scalar})
    print(json.dumps(out))
""")


def bench_import_memory(table, quick):
    table.section("7. import time and memory")
    runs = 5 if quick else 15
    own, total, numpy_cum = import_times(runs)
    table.add("import tarvelpy._helpers", "own / whole import",
              f"{100 * own / total:.1f}%", "", None,
              f"own {own} us, whole {total} us (numpy {numpy_cum} us)")
    script = MEMORY_SCRIPT.format(
        bench=str(HERE),
        n_real=2 * 10 ** 4 if quick else 2 * 10 ** 5,
        n_stub=10 ** 6,
        n_scalar=10 ** 5 if quick else 10 ** 6)
    proc = subprocess.run([sys.executable, "-P", "-c", script],
                          capture_output=True, text=True)
    if proc.returncode != 0:
        raise RuntimeError(f"memory run failed:\n{proc.stderr}")
    out = json.loads(proc.stdout.strip().splitlines()[-1])
    table.add("import tarvelpy._helpers", "memory left behind",
              f"{out.pop('import_blocks')} blocks", "", None,
              f"RSS +{out.pop('import_rss_kib')} KiB")
    # A leak of anything per call grows by n blocks; a handful of blocks is
    # a free list or a cache settling, so the bar is one block per 1000 calls.
    worst = ("(none grew)", 0, 1)
    for label, (blocks, rss, n) in out.items():
        if label.startswith(("sin(", "signpow(")) and "1x1" in label:
            table.add(f"{label} x{n:.0e}", "blocks grown", f"{blocks}",
                      "< n/1000", blocks < n / 1000, f"RSS {rss:+d} KiB")
        elif blocks / n > worst[1] / worst[2]:
            worst = (label, blocks, n)
    table.add("15 functions' per-call cases", "most blocks grown",
              f"{worst[1]}", "< n/1000", worst[1] < worst[2] / 1000,
              f"{worst[0]} x{worst[2]:.0e}")


# --------------------------------------------------------------------------
# 4. instruction counts (callgrind), optional


def bench_callgrind(table, quick):
    table.section("4. callgrind: instructions per call above a no-op builtin's; "
                  "own = the module's functions")
    proc = subprocess.run(
        [sys.executable, "-P", str(HERE / "callgrind.py"), "--json"]
        + (["--quick"] if quick else []),
        capture_output=True, text=True)
    if proc.returncode != 0:
        table.add("callgrind", "failed",
                  "".join(proc.stderr.strip().splitlines()[-1:]))
        return
    sys.stderr.write(proc.stderr)  # warnings, e.g. sources newer than the install
    for r in json.loads(proc.stdout):
        versus = (f" (module/ref {r['all'] / r['reference']:.2f})"
                  if r["reference"] > 0 else "")
        table.add(r["label"], "Ir/call all / own",
                  f"{r['all']:.0f} / {r['own']:.0f}",
                  f"own {r['target']}" if r["target"] else "", r["ok"],
                  f"reference {r['reference']:.0f}{versus}")


# --------------------------------------------------------------------------


SECTIONS = ("1", "2", "3", "5", "6", "7")


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true",
                        help="fewer rounds and sizes (about a minute)")
    parser.add_argument("--callgrind", action="store_true",
                        help="also count instructions under valgrind (slow)")
    parser.add_argument("--only", default=",".join(SECTIONS),
                        help="comma-separated sections to run (default all)")
    opts = parser.parse_args(argv)
    only = set(opts.only.split(","))
    if opts.callgrind:
        only.add("4")
    timer = Timer(opts.quick)
    table = Table()
    print(f"python {sys.version.split()[0]}, tarvelpy._helpers from "
          f"{pathlib.Path(helpers.__file__).name}, "
          f"{'quick' if opts.quick else 'full'} run", flush=True)
    steps = [("1", bench_quicksum_users), ("2", bench_quicksum_loop),
             ("3", bench_percall), ("6", bench_matrix), ("5", bench_multidict)]
    for key, fn in steps:
        if key in only:
            print(f"... section {key}", file=sys.stderr, flush=True)
            fn(timer, table, opts.quick)
    if "7" in only:
        print("... section 7", file=sys.stderr, flush=True)
        bench_import_memory(table, opts.quick)
    if "4" in only:
        print("... section 4", file=sys.stderr, flush=True)
        bench_callgrind(table, opts.quick)
    OUT.mkdir(parents=True, exist_ok=True)
    timer.save(OUT / "results.json")
    print(table.render())
    if "1" in only:
        print(f"plot: {OUT / 'quicksum_vs_sum.png'}")
    if "4" in only:
        print(f"module's own instructions per function: "
              f"{OUT / 'callgrind' / 'own.txt'}")


if __name__ == "__main__":
    main()
