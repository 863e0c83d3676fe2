"""Instructions per call of the per-call cases, counted by callgrind.

    .venv/bin/python -P bench/callgrind.py [--quick] [--json] [--cases SUBSTR]
                                           [--detail [N]]

Runs itself under ``valgrind --tool=callgrind`` with collection off. For each
case, bench/bare's call_loop zeroes the counters, collects only while it
calls a function n times, and dumps the counters under a label; it does so
for the module, for bench/reference.py, and for bench/bare's ``noop`` called
with the same arguments. Per case it reports

- all: the module's instructions per call above the no-op builtin's, that
  is everything the call does beyond being a C call at all;
- own: the self cost, per call, of the functions inside the module's object
  file, from the module with its symbols (bench/unstripped.py);
- the target for own where there is one, and the reference's count (above
  the same floor) for comparison.

Instruction counts are deterministic, so a change of a few percent here is a
real change even on a busy machine. The dumps stay in bench/out/callgrind/
for callgrind_annotate, and own.txt there lists, per case, every function of
the module with its own instructions per call; ``--detail`` prints the top
ones under the table.
"""

import argparse
import json
import os
import pathlib
import shutil
import subprocess
import sys

HERE = pathlib.Path(__file__).resolve().parent
OUT = HERE / "out" / "callgrind"
sys.path.insert(0, str(HERE))

import callgrind_dump  # noqa: E402
import unstripped  # noqa: E402

WARM_UP = 50
SIDES = ("module", "reference", "noop")


def own_targets():
    """The module's own instructions per call, at most: what the per-call
    paths are to cost, by case label."""
    # Not imported at the top: the worker must import tarvelpy from the
    # unstripped copy before anything imports it from the venv.
    from reference import UNARY
    return {
        **{f"{name}(1.0)": 300 for name in UNARY},
        "_apply_nlfunc(1.0, f)": 250,
        "signpow(1.0, 2.0)": 300,
        "sin(expr=1.0)": 350,
        "_apply_nlfunc(arg=, nl_func=)": 350,
        "signpow(1.0, exponent=2.0)": 350,
        "signpow(base=1.0, exponent=2.0)": 350,
        "quicksum(list of 10)": 350,
        "quicksum(())": 150,
        "multidict(2 scalars)": 150,
    }


# quicksum's work before its first addition, shown beside the target.
TARGET_NOTES = {"quicksum(())": "setup"}

# Paths that must not get dearer than they were before the per-call work
# (own instructions per call, CPython 3.14.10, the build of commit 615700b).
OWN_LIMITS = {
    "quicksum per term": 36,
    # The iterator walk as it was before it read the next slot per item
    # (commit 636fadf^, CPython 3.14.10).
    "quicksum per iterated term": 26,
    "quicksum()": 103,
    "multidict()": 115,
    "_apply_nlfunc(1.0)": 127,
    "sin()": 139,
    "signpow(1.0)": 151,
    "sin(10x10 array)": 10311,
    "signpow(10x10 array, 2.0)": 19450,
}


def worker(n, pattern, module_root):
    sys.path.insert(0, module_root)
    import cases as C
    if not C.bare.CALLGRIND:
        raise SystemExit("_bench_bare was built without valgrind/callgrind.h")
    if not os.path.realpath(C.helpers.__file__).startswith(
            os.path.realpath(module_root)):
        raise SystemExit(f"loaded {C.helpers.__file__}, not the unstripped module")
    groups = ((C.cheap_siblings, C.percall_cases),
              (C.matrix_stub_siblings, C.matrix_cases))
    for siblings, cases in groups:
        with C.rebound(C.both_namespaces(), siblings()):
            for case in cases():
                if pattern and pattern not in case.label:
                    continue
                C.check_case(case)
                args, kwnames = case.call_spec()
                module, reference = case.functions()
                for side, fn, fails in (("module", module, case.fails),
                                        ("reference", reference, case.fails),
                                        ("noop", C.bare.noop, False)):
                    C.bare.call_loop(WARM_UP, fn, args, kwnames, fails)
                    C.bare.call_loop(n, fn, args, kwnames, fails,
                                     f"{side}|{case.kind}|{case.label}")


def count(n, pattern):
    """Run the worker under callgrind; return (rows, per-case breakdowns)."""
    module_root = unstripped.prepare()
    module_file = os.path.realpath(
        module_root / "tarvelpy" / unstripped.module_file_name())
    if OUT.exists():
        shutil.rmtree(OUT)
    OUT.mkdir(parents=True)
    cmd = ["valgrind", "--tool=callgrind", "--collect-atstart=no",
           f"--callgrind-out-file={OUT}/cg.out",
           sys.executable, "-P", __file__, "--worker", str(n),
           "--cases", pattern, "--module-root", str(module_root)]
    # The interpreter's own allocator, not valgrind's malloc replacement, so
    # that counts are those of a normal run; a fixed string hash seed, so
    # that dictionary probing, and with it every count, repeats run to run.
    env = dict(os.environ, PYTHONMALLOC="pymalloc", PYTHONHASHSEED="0")
    proc = subprocess.run(cmd, capture_output=True, text=True, env=env)
    if proc.returncode != 0:
        raise SystemExit(f"callgrind run failed:\n{proc.stderr[-3000:]}")
    dumps = sorted(OUT.glob("cg.out.*"), key=lambda p: int(p.suffix[1:]))
    names = callgrind_dump.Names()
    per_label = {}
    for path in dumps:
        dump = callgrind_dump.read(path, names)
        if dump.label.count("|") != 2:
            continue
        side, kind, label = dump.label.split("|", 2)
        entry = per_label.setdefault(label, {"kind": kind})
        entry[side] = dump
    rows, breakdowns = [], {}
    targets = own_targets()
    for label, entry in per_label.items():
        if not all(side in entry for side in SIDES):
            continue
        floor = entry["noop"].total
        own_functions = {fn: ir / n for fn, ir
                         in entry["module"].own(module_file).items()}
        breakdowns[label] = dict(sorted(own_functions.items(),
                                        key=lambda item: -item[1]))
        rows.append(row(targets, label, entry["kind"],
                        (entry["module"].total - floor) / n,
                        sum(own_functions.values()),
                        (entry["reference"].total - floor) / n))
    rows += derived_rows(targets, {r["label"]: r for r in rows})
    return rows, breakdowns


def row(targets, label, kind, all_ir, own_ir, reference_ir):
    target = targets.get(label)
    limit = OWN_LIMITS.get(label)
    if target is not None:
        note = TARGET_NOTES.get(label)
        shown = f"<= {target}" + (f" ({note})" if note else "")
    elif limit is not None:
        target, shown = limit, f"<= {limit} (before)"
    else:
        shown = ""
    return {"label": label, "kind": kind, "all": all_ir, "own": own_ir,
            "reference": reference_ir, "target": shown,
            "ok": None if target is None else own_ir <= target}


def derived_rows(targets, by_label):
    """quicksum's cost per term, by index and through an iterator: the
    10-term call less the empty one."""
    rows = []
    for label, empty_label, ten_label in (
            ("quicksum per term", "quicksum(())", "quicksum(list of 10)"),
            ("quicksum per iterated term", "quicksum(iterable of 0)", "quicksum(iterable of 10)")):
        empty, ten = by_label.get(empty_label), by_label.get(ten_label)
        if empty and ten:
            rows.append(row(targets, label, "derived",
                            *((ten[k] - empty[k]) / 10 for k in ("all", "own", "reference"))))
    return rows


def render(rows):
    head = ("case", "all Ir", "own Ir", "own target", "", "ref Ir", "module/ref")
    body = [(r["label"], f"{r['all']:.0f}", f"{r['own']:.0f}", r["target"],
             "" if r["ok"] is None else ("ok" if r["ok"] else "MISS"),
             f"{r['reference']:.0f}",
             f"{r['all'] / r['reference']:.2f}" if r["reference"] > 0 else "")
            for r in rows]
    widths = [max(len(x[i]) for x in body + [head]) for i in range(len(head))]
    lines = []
    for cells in [head] + body:
        first = cells[0].ljust(widths[0])
        rest = [c.rjust(w) if i in (0, 1, 4, 5) else c.ljust(w)
                for i, (c, w) in enumerate(zip(cells[1:], widths[1:]))]
        lines.append("  ".join([first] + rest).rstrip())
    return "\n".join(lines)


def render_breakdown(breakdowns, top=None):
    out = []
    for label, functions in breakdowns.items():
        items = list(functions.items())[:top]
        out.append(f"{label}: own {sum(functions.values()):.0f} Ir/call")
        out += [f"  {ir:8.1f}  {callgrind_dump.short_name(fn)}"
                for fn, ir in items]
    return "\n".join(out)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--json", action="store_true",
                        help="print the rows as JSON only")
    parser.add_argument("--cases", default="", help="only labels containing this")
    parser.add_argument("--detail", nargs="?", type=int, const=8, default=0,
                        metavar="N",
                        help="also print each case's top N own functions")
    parser.add_argument("--worker", type=int, help=argparse.SUPPRESS)
    parser.add_argument("--module-root", help=argparse.SUPPRESS)
    opts = parser.parse_args()
    if opts.worker:
        worker(opts.worker, opts.cases, opts.module_root)
        return
    if not shutil.which("valgrind"):
        raise SystemExit("valgrind not found")
    try:
        rows, breakdowns = count(200 if opts.quick else 1000, opts.cases)
    except unstripped.Mismatch as exc:
        raise SystemExit(str(exc)) from None
    (OUT / "own.txt").write_text(render_breakdown(breakdowns) + "\n")
    if opts.json:
        print(json.dumps(rows))
        return
    print(render(rows))
    if opts.detail:
        print()
        print(render_breakdown(breakdowns, opts.detail))
    print(f"\nper-function own counts: {OUT / 'own.txt'}")


if __name__ == "__main__":
    main()
