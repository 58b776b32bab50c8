"""The one table of scripts/bench.sh, from the outputs of every benchmark in RESULTS_DIR:
"figure<TAB>name<TAB>value" lines in the *.log files of the scripts, Google Benchmark's JSON
in the *.json files. Exits 1 when a figure is missing: its benchmark could not run.

Usage: summary.py RESULTS_DIR
"""
import glob
import json
import os
import sys

results = sys.argv[1]
figures = {}
for log in glob.glob(os.path.join(results, "*.log")):
    with open(log, errors="replace") as lines:
        for line in lines:
            parts = line.rstrip("\n").split("\t")
            if len(parts) == 3 and parts[0] == "figure":
                figures[parts[1]] = float(parts[2])
for path in glob.glob(os.path.join(results, "*.json")):
    try:
        with open(path) as f:
            report = json.load(f)
    except (OSError, ValueError):
        continue
    for run in report.get("benchmarks", []):
        if not run.get("error_occurred"):
            figures[run["name"]] = run


def run_value(name, key):
    run = figures.get(name)
    return None if run is None else run.get(key)


def run_time(name, unit):
    """A run's real time in `unit` (ms or us), whatever unit the benchmark reported it in."""
    run = figures.get(name)
    if run is None:
        return None
    scale = {"ns": 1e-9, "us": 1e-6, "ms": 1e-3, "s": 1.0}
    return run["real_time"] * scale[run.get("time_unit", "ns")] / scale[unit]


def number(value, unit):
    if value is None:
        return "could not run"
    if unit == "bytes":
        return f"{value:,.0f} bytes"
    if unit == "req/s":
        return f"{value:,.0f} req/s"
    if unit in ("GB/s", "MiB"):
        return f"{value:,.2f} {unit}"
    if unit == "µs":
        return f"{value:,.1f} µs"
    if unit == "×":
        return f"{value:.2f} ×"
    return f"{value:,.0f} {unit}".strip()


# figure, reference, reference's value, ours, unit, target text, holds(ours, reference)
rows = [
    ("GET /v1/hello to the program, a new connection per request (wrk -t2 -c64, Connection: close)",
     "nginx, 1 worker, same body", figures.get("hello_nginx"), figures.get("hello_ours"), "req/s",
     "≥ 1.0 × nginx", lambda ours, ref: ours >= ref),
    ("64 MiB POST /v1/luts to the program, to the file written: peak resident growth",
     "the body", 64.0, None if "large_post_growth" not in figures else figures["large_post_growth"] * 64, "MiB",
     "≤ 1.5 × the body", lambda ours, ref: ours <= 1.5 * ref),
    ("10,000 parked GET /v1/inbox: the program's memory each", "–", None, figures.get("parked_bytes"), "bytes",
     "≤ 1,024 bytes", lambda ours, ref: ours <= 1024),
    ("10,000 parked GET /v1/inbox: first answer to last after one wake", "a bare send-and-close loop",
     figures.get("parked_floor_ms"), figures.get("parked_first_to_last_ms"), "ms", "≤ 150 ms",
     lambda ours, ref: ours <= 150),
    ("POST of a 65-point cube with CDL values, to both files in place (median of 10)", "–", None,
     run_value("postLookWithStill/iterations:10/manual_time", "median_ms"), "ms", "≤ 30 ms (quiet)",
     lambda ours, ref: ours <= 30),
    ("launch (offscreen) to the program's port listening (median of 10)", "–", None,
     figures.get("launch_listen_ms"), "ms", "≤ 100 ms (quiet)", lambda ours, ref: ours <= 100),
    ("launch (offscreen) to the first GET /v1/hello answered (median of 10)", "–", None,
     figures.get("launch_hello_ms"), "ms", "figure", None),
    ("inbox hashing, 1 GiB of 65-point cubes (median round of 3, wall clock)", "openssl dgst -sha256",
     figures.get("hash_openssl_gbps"), figures.get("hash_engine_gbps"), "GB/s", "≥ 1.0 × openssl",
     lambda ours, ref: ours >= ref),
    ("inbox landing to the parked GET /v1/inbox answered (mean of 5)", "the watcher's settle", 1500.0,
     run_time("inboxLandingToParkedAnswer/iterations:5/manual_time", "ms"), "ms", "≤ settle + 100 ms",
     lambda ours, ref: ours <= ref + 100),
    ("unchanged inbox scan, signed in, 1,000 33-point cubes: bytes read per inbox byte", "–", None,
     run_value("scanUnchangedInbox/signed_in:1/iterations:3/real_time", "read_per_inbox_byte"), "×",
     "1.00 × (read once)", lambda ours, ref: abs(ours - 1) < 0.005),
    ("unchanged inbox scan, signed in: one scan (mean of 3)", "–", None,
     run_time("scanUnchangedInbox/signed_in:1/iterations:3/real_time", "ms"), "ms", "figure", None),
    ("the still writer: makeStill with the template read once (median of 5)", "–", None,
     run_time("BM_MakeStill_median", "us"), "µs", "≤ 100 µs", lambda ours, ref: ours <= 100),
    ("the still's Zstandard framing of 64 MiB into a kept buffer (median of 5)", "memcpy of the same bytes",
     None if run_value("BM_Memcpy64MiBReusedBuffer/real_time_median", "bytes_per_second") is None
     else run_value("BM_Memcpy64MiBReusedBuffer/real_time_median", "bytes_per_second") / 1e9,
     None if run_value("BM_RawZstdFrame64MiBReusedBuffer/real_time_median", "bytes_per_second") is None
     else run_value("BM_RawZstdFrame64MiBReusedBuffer/real_time_median", "bytes_per_second") / 1e9,
     "GB/s", "≥ 0.5 × memcpy", lambda ours, ref: ours >= 0.5 * ref),
    ("realtime stream: events cut and handled from 1,460-byte reads (median of 5)", "–", None,
     run_value("cutAndHandleEvents/1460_median", "events/s"), "events/s", "figure", None),
    ("abuse run (bench/local_abuse.sh): the well-behaved client's answers right", "answers asked",
     figures.get("abuse_asked"), figures.get("abuse_right"), "", "all right", lambda ours, ref: ours == ref),
    ("abuse run: the well-behaved client's slowest answer", "–", None, figures.get("abuse_worst_ms"), "ms",
     "figure", None),
]

header = ("figure", "reference", "reference's figure", "ours", "ratio", "target", "holds")
table = [header]
missing = 0
for label, reference, ref_value, ours, unit, target, holds in rows:
    has_ref = reference != "–"
    if ours is None or (has_ref and ref_value is None):
        missing += 1
        table.append((label, reference, "", "could not run", "", target, "not run"))
        continue
    ratio = f"{ours / ref_value:.2f}" if has_ref and ref_value else "–"
    verdict = "figure" if holds is None else ("yes" if holds(ours, ref_value) else "NO")
    table.append((label, reference, number(ref_value, unit) if has_ref else "–", number(ours, unit), ratio, target,
                  verdict))

widths = [max(len(row[i]) for row in table) for i in range(len(header))]
for n, row in enumerate(table):
    print("| " + " | ".join(cell.ljust(widths[i]) for i, cell in enumerate(row)) + " |")
    if n == 0:
        print("|" + "|".join("-" * (w + 2) for w in widths) + "|")
sys.exit(1 if missing else 0)
