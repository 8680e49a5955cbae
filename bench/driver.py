"""Runs every measurement in a fresh process and writes the markdown report (called by bench/run).

    python3 bench/driver.py --build BUILD_DIR --out bench/RESULTS.md [--reps 7] [--sizes 500,3000]

BUILD_DIR holds cmake/ (ops_bench, e2e_bench), data-<S>/ (the synthetic markets) and
strategies.json. Timings are medians of --reps calls after one warm-up call; every ratio is ours
divided by the baseline's time measured in the same run (below 1.0: we are faster).
"""

import argparse
import datetime
import json
import os
import platform
import re
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, HERE)

from ops_py import table as py_table  # noqa: E402

IMPLS = ["pandas", "numpy", "talib"]
IMPL_NAME = {"pandas": "pandas", "numpy": "numpy", "talib": "TA-Lib"}
STRATEGIES = ["momentum", "rotation", "multifactor"]


def run_json(cmd, **kw):
    p = subprocess.run(cmd, capture_output=True, text=True, **kw)
    if p.returncode != 0:
        return {"error": (p.stderr or p.stdout).strip().splitlines()[-1:] or ["failed"]}
    try:
        return json.loads(p.stdout.strip().splitlines()[-1])
    except (json.JSONDecodeError, IndexError):
        return {"error": ["no JSON: " + p.stdout[-200:]]}


def sh(cmd):
    try:
        return subprocess.run(cmd, shell=True, capture_output=True, text=True).stdout.strip()
    except OSError:
        return ""


def machine():
    import numpy
    import pandas

    try:
        import talib
        talib_v = talib.__version__
    except ImportError:
        talib_v = "not installed"
    cpu = sh("grep -m1 'model name' /proc/cpuinfo | cut -d: -f2").strip()
    return [
        ("date (UTC)", datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M")),
        ("commit", sh(f"git -C {ROOT} rev-parse --short HEAD")),
        ("nproc", sh("nproc")),
        ("CPU", cpu),
        ("memory", sh("free -h | awk '/Mem:/ {print $2}'")),
        ("load average at start", sh("cut -d' ' -f1-3 /proc/loadavg")),
        ("compiler", sh("c++ --version | head -1")),
        ("bench build", "CMake RelWithDebInfo (-O2 -g); also Release (-O3, as the module "
                        "ships); single thread"),
        ("python", platform.python_version()),
        ("numpy / pandas / TA-Lib", f"{numpy.__version__} / {pandas.__version__} / {talib_v}"),
    ]


def ms(x):
    return "—" if x is None else (f"{x * 1e3:.1f}" if x >= 0.01 else f"{x * 1e3:.2f}")


def mb(kb):
    return "—" if kb is None else f"{kb / 1024:.0f}"


def ratio(ours, theirs):
    if ours is None or theirs is None or theirs <= 0:
        return None
    return ours / theirs


def fmt_ratio(r, target=None):
    if r is None:
        return "—"
    flag = " **slow**" if target is not None and r > target else ""
    return f"{r:.2f}x{flag}"


def measure_ops(args, build, size, compare):
    data = os.path.join(build, f"data-{size}")
    ops_bench = os.path.join(build, "cmake", "ops_bench")
    cxx_ops = sh(f"{ops_bench} --list").split()
    table = py_table()
    names = [op for op in cxx_ops + [o for o in table if o not in cxx_ops]]
    results = {}
    for op in names:
        dump = os.path.join(build, "zorv-out.f64") if compare else None
        cmd = [ops_bench, data, op, "--reps", str(args.reps)] + (["--dump", dump] if dump else [])
        row = {"zorv": run_json(cmd)}
        # The same build with glibc's malloc asking for transparent huge pages: what is left
        # once first-touch page faults are cheap.
        thp_env = dict(os.environ, GLIBC_TUNABLES="glibc.malloc.hugetlb=1")
        row["zorv_thp"] = run_json([ops_bench, data, op, "--reps", str(args.reps)], env=thp_env)
        ops_o3 = os.path.join(build, "cmake-o3", "ops_bench")
        if os.path.exists(ops_o3):
            row["zorv_o3"] = run_json([ops_o3, data, op, "--reps", str(args.reps)])
        for impl in IMPLS:
            if impl in table.get(op, {}):
                cmd = [sys.executable, os.path.join(HERE, "ops_py.py"), data, op, impl,
                       "--reps", str(args.reps)]
                if dump and "median_s" in row["zorv"]:
                    cmd += ["--compare", dump]
                row[impl] = run_json(cmd, cwd=HERE)
        if dump and os.path.exists(dump):
            os.remove(dump)
        results[op] = row
        print(f"  {size}: {op}: " + ", ".join(
            f"{k} {ms(v.get('median_s'))} ms" for k, v in row.items()), file=sys.stderr)
    return results


def target_impl(row):
    """The baseline an operator's target is set against: TA-Lib where it has the indicator,
    else pandas, else numpy."""
    for impl in ("talib", "pandas", "numpy"):
        if impl in row:
            return impl
    return None


def measure_e2e(args, build, size):
    data = os.path.join(build, f"data-{size}")
    # The engine's phases in the build the module ships (Release, -O3) when there is one.
    e2e_bench = os.path.join(build, "cmake-o3", "e2e_bench")
    if not os.path.exists(e2e_bench):
        e2e_bench = os.path.join(build, "cmake", "e2e_bench")
    strategies = os.path.join(build, "strategies.json")
    out = {}
    for st in STRATEGIES:
        dump = os.path.join(build, "weights.f64")
        row = {"engine": run_json([e2e_bench, data, strategies, st, "--reps", str(args.reps),
                                   "--dump", dump])}
        for mode in ("zorv", "intake", "pandas") + (("tolist", "buffer") if st == STRATEGIES[0]
                                                     else ()):
            cmd = [sys.executable, os.path.join(HERE, "e2e.py"), data, st, mode,
                   "--reps", str(args.e2e_reps)]
            if mode == "pandas" and os.path.exists(dump):
                cmd += ["--compare", dump]
            row[mode] = run_json(cmd, cwd=HERE)
        if os.path.exists(dump):
            os.remove(dump)
        out[st] = row
        print(f"  e2e {size} {st}: " + json.dumps(row)[:300], file=sys.stderr)
    return out


def ops_table(results, size, target):
    lines = [
        "| operator | zorv ms | zorv kernel % | pandas ms | ×pandas | numpy ms | ×numpy "
        "| TA-Lib ms | ×TA-Lib | zorv -O3 ms (× target) | zorv THP ms (× target) "
        "| peak MB zorv / pandas / numpy / TA-Lib |",
        "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---|",
    ]
    slow = []
    for op, row in results.items():
        z = row["zorv"].get("median_s")
        share = row["zorv"].get("sys_share")
        cells = [op, ms(z), "—" if share is None else f"{share * 100:.0f}"]
        mems = [mb(row["zorv"].get("maxrss_kb"))]
        timp = target_impl(row)
        z3 = row.get("zorv_o3", {}).get("median_s")
        r3 = ratio(z3, row.get(timp, {}).get("median_s")) if timp else None
        zt = row.get("zorv_thp", {}).get("median_s")
        rt = ratio(zt, row.get(timp, {}).get("median_s")) if timp else None
        for impl in IMPLS:
            b = row.get(impl, {}).get("median_s")
            r = ratio(z, b)
            is_target = target and impl == timp
            cells += [ms(b), fmt_ratio(r, 1.0 if is_target else None)]
            mems.append(mb(row.get(impl, {}).get("maxrss_kb")))
            if is_target and r is not None and r > 1.0:
                slow.append((op, IMPL_NAME[impl], r, z, b, r3, rt))
        cells.append(f"{ms(z3)} ({fmt_ratio(r3)})" if z3 is not None else "—")
        cells.append(f"{ms(zt)} ({fmt_ratio(rt)})" if zt is not None else "—")
        cells.append(" / ".join(mems))
        lines.append("| " + " | ".join(cells) + " |")
    return lines, slow


def agreement_table(results):
    lines = ["| operator | baseline | cells compared | NaN-pattern mismatches | max abs diff "
             "| max rel diff | verdict |",
             "|---|---|---:|---:|---:|---:|---|"]
    for op, row in results.items():
        for impl in IMPLS:
            a = row.get(impl, {}).get("agreement")
            if not a:
                continue
            if "shape" in a:
                lines.append(f"| {op} | {IMPL_NAME[impl]} | — | — | — | — | shapes differ "
                             f"{a['shape']} |")
                continue
            verdict = ("exact" if a["exact"] and a["agree"] else
                       "agree" if a["agree"] else
                       "not comparable" if a["agree"] is None else "**DISAGREE**")
            if a.get("note"):
                verdict += f" ({a['note']})"
            lines.append(f"| {op} | {IMPL_NAME[impl]} | {a['cells']} | {a['nan_mismatch']} | "
                         f"{a['max_abs']:.3g} | {a['max_rel']:.3g} | {verdict} |")
    return lines


def e2e_table(e2e):
    lines = ["| strategy | size | zorv run_backtest ms | intake ms | engine total ms "
             "(eval / simulate / report / to_json) | pandas weights ms | ×pandas | engine ×pandas | peak MB "
             "| call's extra MB | extra ÷ input | peak ÷ input | engine extra MB | weights = pandas |",
             "|---|---|---:|---:|---|---:|---:|---:|---:|---:|---:|---:|---:|---|"]
    notes = set()
    for size, rows in e2e.items():
        for st, row in rows.items():
            z, i, p, e = row["zorv"], row["intake"], row["pandas"], row["engine"]
            for part in (z, i, p, e):
                if "skipped" in part:
                    notes.add(part["skipped"])
                if "error" in part:
                    notes.add(f"{st}: error: {' '.join(part['error'])}")
            r_engine = ratio(e["total"]["median_s"], p.get("median_s")) if "total" in e else None
            if "eval" in e:
                eng = (f"{ms(e['total']['median_s'])} ({ms(e['eval']['median_s'])} / "
                       f"{ms(e['simulate']['median_s'])} / {ms(e['report']['median_s'])} / "
                       f"{ms(e['to_json']['median_s'])})")
            else:
                eng = "—"
            inp = z.get("input_bytes") or p.get("input_bytes")
            extra = (z["maxrss_kb"] - z["rss_before_kb"]) if "maxrss_kb" in z else None
            agree = p.get("agreement", {}).get("agree")
            r = ratio(z.get("median_s"), p.get("median_s"))
            eng_extra = (mb(e["maxrss_kb"] - e["rss_loaded_kb"]) if "rss_loaded_kb" in e
                         else "—")
            extra_x = f"{extra * 1024 / inp:.2f}" if extra and inp else "—"
            peak_x = f"{z['maxrss_kb'] * 1024 / inp:.2f}" if "maxrss_kb" in z and inp else "—"
            lines.append(
                f"| {st} | {rows_label(z, p)} | {ms(z.get('median_s'))} | "
                f"{ms(i.get('median_s'))} | {eng} | {ms(p.get('median_s'))} | "
                f"{fmt_ratio(r, 1.5 if st == 'momentum' else None)} | {fmt_ratio(r_engine)} | "
                f"{mb(z.get('maxrss_kb'))} | "
                f"{mb(extra)} | {extra_x} | {peak_x} | {eng_extra} | "
                f"{'—' if agree is None else ('yes' if agree else '**no**')} |")
    return lines, sorted(notes)


def rows_label(*parts):
    for p in parts:
        if "rows" in p:
            return f"{p['rows']:,} × {p['cols']:,}"
    return "—"


def kept_sections(path):
    """Sections other scripts wrote into the results between <!-- keep NAME --> and
    <!-- /keep NAME --> (bench/sweep.py's), carried over when the file is rewritten."""
    try:
        with open(path) as f:
            old = f.read()
    except FileNotFoundError:
        return ""
    spans = re.finditer(r"<!-- keep (\S+) -->.*?<!-- /keep \1 -->", old, flags=re.S)
    return "".join("\n" + m.group(0) + "\n" for m in spans)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", required=True)
    ap.add_argument("--out", required=True)
    ap.add_argument("--reps", type=int, default=7)
    ap.add_argument("--e2e-reps", type=int, default=3)
    ap.add_argument("--sizes", default="500,3000")
    args = ap.parse_args()
    args.build = os.path.abspath(args.build)
    sizes = [int(s) for s in args.sizes.split(",")]
    desc = machine()
    out = ["# Benchmark results", "",
           "Written by `bench/run`; every number comes from the run described here. Times are "
           f"medians of {args.reps} calls (end to end: {args.e2e_reps}) after one warm-up call, "
           "each measurement in a fresh process; a ratio is our time divided by the baseline's "
           "(below 1.0 we are faster); peak MB is the process's maximum resident size "
           "(getrusage), inputs included. 'zorv kernel %' is the share of system time in our "
           "timed calls: page faults on the first touch of freshly allocated result memory. "
           "The machine is shared, so single timings can be noisy.", "", "| | |", "|---|---|"]
    out += [f"| {k} | {v} |" for k, v in desc]
    all_slow = []
    ops_results = {}
    for size in sizes:
        print(f"operators on 2,520 x {size:,}", file=sys.stderr)
        ops_results[size] = measure_ops(args, args.build, size, compare=(size == min(sizes)))
    for size in sizes:
        target = size == max(sizes)
        lines, slow = ops_table(ops_results[size], size, target)
        out += ["", f"## Operators, 2,520 dates × {size:,} symbols", ""]
        if target:
            out += ["Targets (this size): at most 1.0x the TA-Lib column loop where TA-Lib has "
                    "the indicator, else 1.0x pandas; rows over target are marked **slow**. The "
                    "main columns are the -O2 bench build; '-O3' is the same code built as the "
                    "module ships (CMake Release), against the same target baseline; 'THP' is the -O2 "
                    "build run with GLIBC_TUNABLES=glibc.malloc.hugetlb=1 (malloc asks for "
                    "transparent huge pages, as numpy does for its arrays): what remains once "
                    "first-touch page faults are cheap.", ""]
        out += lines
        if target:
            all_slow = slow
    small = min(sizes)
    out += ["", f"## Agreement with the baselines (2,520 × {small:,})", "",
            "Pandas and numpy: every cell. TA-Lib: the columns without gaps (listed the whole "
            "span, never missing), where the two definitions coincide.", ""]
    out += agreement_table(ops_results[small])
    e2e = {}
    for size in sizes:
        print(f"end to end on 2,520 x {size:,}", file=sys.stderr)
        e2e[size] = measure_e2e(args, args.build, size)
    lines, notes = e2e_table(e2e)
    for size, rows in e2e.items():
        tl, bf = rows[STRATEGIES[0]].get("tolist", {}), rows[STRATEGIES[0]].get("buffer", {})
        if "median_s" in tl and "median_s" in bf:
            notes.append(f"2,520 × {size:,}, for reference: reading the four frames element by "
                         f"element costs {ms(tl['median_s'])} ms for their "
                         f"`to_numpy().tolist()` calls alone; copying their float64 buffers "
                         f"costs {ms(bf['median_s'])} ms.")
    out += ["", "## End to end", "",
            "`zorv.run_backtest` from four DataFrames (close, high, low, volume; plus a "
            "one-column benchmark frame) with a DatetimeIndex. Intake: the same call with a "
            "strategy that fails at its first node, after every panel was taken in. Engine "
            "phases: the C++ bench (Release build, as the module) calling eval::run_strategy, "
            "backtest::run, the report and its JSON form on the same data, no Python; 'engine "
            "×pandas' is the engine's total against pandas. Pandas weights: pandas computing the same "
            "weight panel, no simulation (only where pandas can express the strategy). "
            "Target: momentum at most 1.5x pandas, peak at most 3x the input panels. "
            "'extra' is the peak minus the resident size just before the call; 'engine extra' the same for the C++ bench (peak over all phases minus the size with the panels loaded).", ""]
    out += lines
    if notes:
        out += ["", "Notes:"] + [f"- {n}" for n in notes]
    if all_slow:
        out += ["", f"## Over target (2,520 × {max(sizes):,})", "",
                "| operator | baseline | ratio | zorv ms | baseline ms | ratio at -O3 "
                "| ratio with THP |",
                "|---|---|---:|---:|---:|---:|---:|"]
        out += [f"| {op} | {impl} | {r:.2f}x | {ms(z)} | {ms(b)} | {fmt_ratio(r3)} | "
                f"{fmt_ratio(rt)} |"
                for op, impl, r, z, b, r3, rt in sorted(all_slow, key=lambda s: -s[2])]
    text = "\n".join(out) + "\n" + kept_sections(args.out)
    with open(args.out, "w") as f:
        f.write(text)
    with open(os.path.join(args.build, "results.json"), "w") as f:
        json.dump({"ops": ops_results, "e2e": e2e}, f)
    print(text)


if __name__ == "__main__":
    main()
