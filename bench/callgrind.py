"""Instructions per call of the per-call cases, counted by callgrind.

    .venv/bin/python -P bench/callgrind.py [--quick] [--json] [--cases SUBSTR]

Runs itself under ``valgrind --tool=callgrind`` with collection off; for each
case, module and reference, bench/bare's call_loop zeroes the counters,
collects only while it calls the function n times, and dumps the counters
under the case's label. Instruction counts are deterministic, so a change of
a few percent here is a real change even on a busy machine. The dumps stay in
bench/out/callgrind/ for callgrind_annotate.
"""

import argparse
import json
import os
import pathlib
import re
import shutil
import subprocess
import sys

HERE = pathlib.Path(__file__).resolve().parent
OUT = HERE / "out" / "callgrind"


def worker(n, pattern):
    sys.path.insert(0, str(HERE))
    import cases as C
    if not C.bare.CALLGRIND:
        raise SystemExit("_bench_bare was built without valgrind/callgrind.h")
    with C.rebound(C.both_namespaces(), C.cheap_siblings()):
        for case in C.percall_cases():
            if pattern and pattern not in case.label:
                continue
            args, kwnames = case.call_spec()
            for side, fn in zip(("module", "reference"), case.functions()):
                C.bare.call_loop(50, fn, args, kwnames, case.fails)  # warm-up
                C.bare.call_loop(n, fn, args, kwnames, case.fails,
                                 f"{side}|{case.label}")


def parse(paths, n):
    counts = {}
    for path in paths:
        text = path.read_text(errors="replace")
        desc = re.search(r"^desc: Trigger: Client Request: (.*)$", text, re.M)
        total = re.search(r"^(?:totals|summary): (\d+)", text, re.M)
        if not desc or not total:
            continue
        side, label = desc.group(1).split("|", 1)
        counts.setdefault(label, {})[side] = int(total.group(1)) / n
    return {label: (c["module"], c["reference"])
            for label, c in counts.items() if len(c) == 2}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--json", action="store_true",
                        help="print {label: [module Ir, reference Ir]} only")
    parser.add_argument("--cases", default="", help="only labels containing this")
    parser.add_argument("--worker", type=int, help=argparse.SUPPRESS)
    opts = parser.parse_args()
    if opts.worker:
        worker(opts.worker, opts.cases)
        return
    if not shutil.which("valgrind"):
        raise SystemExit("valgrind not found")
    n = 200 if opts.quick else 1000
    if OUT.exists():
        shutil.rmtree(OUT)
    OUT.mkdir(parents=True)
    cmd = ["valgrind", "--tool=callgrind", "--collect-atstart=no",
           f"--callgrind-out-file={OUT}/cg.out",
           sys.executable, "-P", __file__, "--worker", str(n),
           "--cases", opts.cases]
    # The interpreter's own allocator, not valgrind's malloc replacement, so
    # that counts are those of a normal run.
    env = dict(os.environ, PYTHONMALLOC="pymalloc")
    proc = subprocess.run(cmd, capture_output=True, text=True, env=env)
    if proc.returncode != 0:
        raise SystemExit(f"callgrind run failed:\n{proc.stderr[-3000:]}")
    dumps = sorted(OUT.glob("cg.out.*"), key=lambda p: int(p.suffix[1:]))
    counts = parse(dumps, n)
    if opts.json:
        print(json.dumps(counts))
        return
    width = max(map(len, counts)) if counts else 10
    print(f"{'case':<{width}}  {'module Ir':>10}  {'ref Ir':>10}  module/ref")
    for label, (mod, ref) in counts.items():
        print(f"{label:<{width}}  {mod:10.0f}  {ref:10.0f}  {mod / ref:.2f}")


if __name__ == "__main__":
    main()
