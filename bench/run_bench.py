#!/usr/bin/python3
"""Runs every benchmark and prints one table: each figure of this launcher beside its reference
measured in the same run, their ratio, the goal and whether it is met. Writes the figures, the
raw measurements and the machine into results.json (results-smoke.json for --smoke).

    run_bench.py --build build-bench --out build/bench [--smoke] [--no-4gib] [--wait-quiet S]

The sizes of a full run take a few minutes on a 2-core machine; --smoke runs tiny sizes (for
CI) and checks only that every measurement still runs. Goals are reported, never enforced: the
exit status is non-zero only when a measurement itself failed (a crash, a refused flood, a
run that did not end).
"""

import argparse
import json
import os
import platform
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
PYTHON = "/usr/bin/python3"  # a real interpreter, never a version-manager shim
MIB = 1 << 20
GIB = 1 << 30

FULL = dict(flood=GIB, flood_big=4 * GIB, python_flood=128 * MIB, reps=3, latency_runs=1000, python_latency_runs=200,
            startup_runs=20, cli_runs=200, idle_seconds=60, settle_seconds=2, spawns=500,
            micro=["--benchmark_min_time=0.5", "--benchmark_repetitions=3", "--benchmark_report_aggregates_only=true"],
            url_seconds=2.0)
SMOKE = dict(flood=4 * MIB, flood_big=0, python_flood=1 * MIB, reps=1, latency_runs=20, python_latency_runs=5,
             startup_runs=2, cli_runs=10, idle_seconds=2, settle_seconds=0.5, spawns=20,
             micro=["--benchmark_min_time=0.005"], url_seconds=0.1)


class Failed(Exception):
    pass


def log(text):
    print(f"[bench] {text}", file=sys.stderr, flush=True)


def run_json(argv, timeout=900):
    started = time.monotonic()
    proc = subprocess.run(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, timeout=timeout)
    if proc.returncode != 0:
        raise Failed(f"{' '.join(argv[:3])} ... ended with {proc.returncode}: {proc.stderr.strip()[-500:]}"
                     f" {proc.stdout.strip()[-500:]}")
    try:
        result = json.loads(proc.stdout.strip().splitlines()[-1])
    except (ValueError, IndexError) as error:
        raise Failed(f"{argv[0]}: no JSON in its output ({error})") from None
    return result


def machine():
    model = "unknown"
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    with open("/proc/meminfo") as f:
        mem_kib = int(f.readline().split()[1])
    return {"nproc": os.cpu_count(), "cpu_model": model, "kernel": platform.release(),
            "memory_gib": round(mem_kib / MIB, 1), "python": platform.python_version()}


def loadavg():
    with open("/proc/loadavg") as f:
        return [float(x) for x in f.read().split()[:3]]


def machine_cpu_seconds():
    """(busy, total) CPU seconds of the whole machine so far, from /proc/stat."""
    with open("/proc/stat") as f:
        fields = [int(x) for x in f.readline().split()[1:]]
    hz = os.sysconf("SC_CLK_TCK")
    idle = fields[3] + fields[4]  # idle + iowait
    total = sum(fields[:8])
    return (total - idle) / hz, total / hz


def own_cpu_seconds():
    t = os.times()
    return t.user + t.system + t.children_user + t.children_system


def wait_for_quiet(limit, window=3.0):
    """Waits up to `limit` seconds for a window in which the machine is nearly idle (other
    people's builds make every figure here noisy); true if one came."""
    start = time.monotonic()
    said = None
    while True:
        busy0, total0 = machine_cpu_seconds()
        time.sleep(window)
        busy1, total1 = machine_cpu_seconds()
        if total1 > total0 and (busy1 - busy0) / (total1 - total0) < 0.10:
            return True
        waited = time.monotonic() - start
        if waited >= limit:
            log(f"no quiet moment in {waited:.0f} s; measuring anyway")
            return False
        if said is None or waited - said >= 60:
            log(f"machine busy; waiting for a quiet moment (up to {limit - waited:.0f} s more)")
            said = waited


class Steps:
    """Runs the measurements one step at a time, each after waiting (from a shared budget) for a
    quiet machine, and notes how much of the machine other processes used during each."""

    def __init__(self, quiet_budget):
        self.budget = quiet_budget
        self.noise = {}

    def run(self, name, measure_step):
        if self.budget > 0:
            waited = time.monotonic()
            wait_for_quiet(self.budget, window=1.0)
            self.budget -= time.monotonic() - waited
        busy0, own0, wall0 = machine_cpu_seconds()[0], own_cpu_seconds(), time.monotonic()
        result = measure_step()
        wall = time.monotonic() - wall0
        others = max(0.0, (machine_cpu_seconds()[0] - busy0) - (own_cpu_seconds() - own0))
        self.noise[name] = {"seconds": round(wall, 2), "other_cpu_seconds": round(others, 2),
                            "other_share": others / (wall * (os.cpu_count() or 1)) if wall > 0 else 0.0}
        log(f"{name}: {wall:.1f} s, other processes {self.noise[name]['other_share']:.0%} of the machine")
        return result


def service_folder(root, service, conf):
    """A bundle-like folder whose runtime is the fake service, with its orders."""
    resources = os.path.join(root, "Resources")
    os.makedirs(os.path.join(resources, "python", "bin"), exist_ok=True)
    os.makedirs(os.path.join(root, "home"), exist_ok=True)
    shutil.copy2(service, os.path.join(resources, "python", "bin", "python3"))
    with open(os.path.join(resources, "zp-bench-service.conf"), "w") as f:
        f.write(conf + "\n")
    return resources, os.path.join(root, "home")


def median(values):
    values = sorted(values)
    return values[(len(values) - 1) // 2] if values else float("nan")


def measure(build, sizes, big, steps):
    bench = os.path.join(build, "bench")
    live = os.path.join(bench, "zp_bench_live")
    service = os.path.join(bench, "zp_bench_service")
    raw = {}
    steps.run("micro", lambda: micro_step(bench, sizes, raw))
    steps.run("limits", lambda: raw.update(limits=run_json([live, "limits", "--service", service,
                                                             "--bytes", str(sizes["flood"]), "--reps", str(sizes["reps"]),
                                                             "--spawns", str(sizes["spawns"])])))
    steps.run("flood", lambda: flood_step(live, service, sizes, big, raw))
    steps.run("python", lambda: python_step(service, sizes, raw))
    steps.run("latency", lambda: raw.update(latency=run_json([live, "latency", "--service", service,
                                                               "--runs", str(sizes["latency_runs"])])))
    steps.run("e2e", lambda: e2e_step(build, bench, live, service, sizes, raw))
    return raw


def micro_step(bench, sizes, raw):
    """Main-thread work alone, under Google Benchmark."""
    with tempfile.TemporaryDirectory(prefix="zp-bench-micro-") as tmp:
        out = os.path.join(tmp, "micro.json")
        argv = [os.path.join(bench, "zp_bench_micro"), f"--benchmark_out={out}", "--benchmark_out_format=json"]
        proc = subprocess.run(argv + sizes["micro"], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True,
                              timeout=900)
        if proc.returncode != 0:
            raise Failed(f"zp_bench_micro ended with {proc.returncode}: {proc.stderr.strip()[-500:]}")
        with open(out) as f:
            micro = json.load(f)
    raw["micro"] = {}
    for b in micro["benchmarks"]:
        if b.get("run_type") == "aggregate" and b.get("aggregate_name") != "median":
            continue
        if b.get("error_occurred"):
            raise Failed(f"{b['name']}: {b.get('error_message')}")
        scale = {"ns": 1.0, "us": 1e3, "ms": 1e6, "s": 1e9}[b["time_unit"]]
        raw["micro"][b.get("run_name", b["name"])] = {"cpu_ns": b["cpu_time"] * scale, "real_ns": b["real_time"] * scale}
    raw["micro_context"] = {k: micro["context"].get(k) for k in ("library_build_type", "num_cpus", "mhz_per_cpu")}


def flood_step(live, service, sizes, big, raw):
    """Floods through the Launcher, each in a process of its own, so that its peak RSS is the
    flood's."""
    raw["flood"] = {"plain": [], "json": [], "plain_big": []}
    for _ in range(sizes["reps"]):
        for kind in ("plain", "json"):
            raw["flood"][kind].append(run_json([live, "flood", "--service", service, "--kind", kind,
                                                "--bytes", str(sizes["flood"])]))
    if big:
        raw["flood"]["plain_big"].append(run_json([live, "flood", "--service", service, "--kind", "plain",
                                                   "--bytes", str(sizes["flood_big"])]))


def python_step(service, sizes, raw):
    """The Python launcher on the same service."""
    raw["python"] = {}
    with tempfile.TemporaryDirectory(prefix="zp-bench-python-") as tmp:
        for kind in ("plain", "json"):
            resources, home = service_folder(os.path.join(tmp, kind), service, f"flood {kind} {sizes['python_flood']}")
            result = run_json([PYTHON, os.path.join(HERE, "python_launcher.py"), "flood", "--resources", resources,
                               "--home", home])
            whole = sizes["python_flood"] - sizes["python_flood"] % (100 if kind == "plain" else 30)
            result["bytes"] = whole
            result["bytes_per_second"] = whole / result["seconds"]
            raw["python"][kind] = result
        resources, home = service_folder(os.path.join(tmp, "ready"), service, "ready 3000 2000")
        raw["python"]["latency_us"] = run_json([PYTHON, os.path.join(HERE, "python_launcher.py"), "latency",
                                                "--resources", resources, "--home", home,
                                                "--runs", str(sizes["python_latency_runs"])])
    raw["python"]["url_check"] = run_json([PYTHON, os.path.join(HERE, "python_launcher.py"), "url-check",
                                           "--table", os.path.join(HERE, "ready_addresses.json"),
                                           "--seconds", str(sizes["url_seconds"])])


def e2e_step(build, bench, live, service, sizes, raw):
    """The real executable: start-up, the command-line mode, idle and resident memory."""
    raw["e2e"] = run_json([live, "e2e", "--app", os.path.join(build, "ZorvikPellwyn.app"), "--service", service,
                           "--bare", os.path.join(bench, "zp_bench_bare_qt"),
                           "--print-line", os.path.join(bench, "zp_bench_print_line"),
                           "--describe-only", os.path.join(bench, "zp_bench_describe_only"),
                           "--startup-runs", str(sizes["startup_runs"]), "--cli-runs", str(sizes["cli_runs"]),
                           "--idle-seconds", str(sizes["idle_seconds"]),
                           "--settle-seconds", str(sizes["settle_seconds"])], timeout=1200)
    raw["e2e"]["libraries"] = {
        name: libraries(path) for name, path in (
            ("launcher", os.path.join(build, "ZorvikPellwyn.app", "Contents", "MacOS", "ZorvikPellwyn")),
            ("describe_only", os.path.join(bench, "zp_bench_describe_only")),
            ("print_line", os.path.join(bench, "zp_bench_print_line")))}


def libraries(path):
    """The shared libraries the loader maps for an executable, and how many of them are Qt's."""
    proc = subprocess.run(["ldd", path], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    names = [line.split()[0] for line in proc.stdout.splitlines() if "=>" in line or line.strip().startswith("/")]
    return {"count": len(names), "qt": sum(1 for n in names if "Qt6" in n)}


# --- the table -------------------------------------------------------------------------------

STEP = None  # the step the rows being made come from


def row(figure, unit, launcher, reference, ratio, goal, met, note="", ratio_as="times"):
    """ratio_as: "times" (launcher ÷ reference), "percent" (the same, as a percentage) or
    "faster" (how many times faster the launcher is than the reference)."""
    return {"figure": figure, "unit": unit, "launcher": launcher, "reference": reference, "ratio": ratio,
            "ratio_as": ratio_as, "goal": goal, "met": met, "note": note, "step": STEP}


def figures(raw, big):
    global STEP
    rows = []
    lim = raw["limits"]
    lat = raw["latency"]
    micro = raw["micro"]
    e2e = raw["e2e"]

    def cpu(name):
        return micro[name]["cpu_ns"]

    # Ready-line latency.
    STEP = "latency"
    lm, fm = lat["launcher_us"]["median"], lat["floor_us"]["median"]
    runs = lat["launcher_us"]["count"]
    rows.append(row(f"ready-line latency, median of {runs} vs two-hop floor", "µs", lm, fm, lm / fm,
                    "≤ 1.3× floor", lm <= 1.3 * fm))
    lh, lw = lat["launcher_hops_us"]["median"], lat["launcher_main_thread_us"]["median"]
    rows.append(row("  of it, the two hops: line written → its chunk starts on the main thread, vs floor", "µs", lh, fm,
                    lh / fm, "", None))
    rows.append(row("  of it, main-thread work: chunk → browser seam (a cold first line)", "µs", lw, None, None, "",
                    None))
    lp, fp = lat["launcher_us"]["p99"], lat["floor_us"]["p99"]
    rows.append(row(f"ready-line latency, p99 of {runs} vs two-hop floor p99", "µs", lp, fp, lp / fp, "≤ 300 µs",
                    lp <= 300))
    STEP = ["latency", "python"]
    py = raw["python"]["latency_us"]
    rows.append(row(f"ready-line latency, median vs Python launcher ({py['count']} runs)", "µs", lm, py["median"],
                    py["median"] / lm, "", None, ratio_as="faster"))

    # Floods.
    STEP = ["flood", "limits"]
    def rate(kind):
        return median([r["bytes_per_second"] for r in raw["flood"][kind]])

    def pipe(kind):
        return max(lim[kind]["read_bytes_per_second"], lim[kind]["cat_bytes_per_second"])

    for kind, label, need in (("plain", "100-byte lines", 0.85), ("json", "JSON lines", 0.50)):
        size = raw["flood"][kind][0]["bytes"] / MIB
        rows.append(row(f"flood drain, {size:.0f} MiB of {label} vs raw pipe", "GB/s", rate(kind) / 1e9,
                        pipe(kind) / 1e9, rate(kind) / pipe(kind), f"≥ {need:.0%} of raw pipe",
                        rate(kind) >= need * pipe(kind), ratio_as="percent"))
    for kind, label in (("plain", "100-byte lines"), ("json", "JSON lines")):
        STEP = ["flood", "python"]
        theirs = raw["python"][kind]["bytes_per_second"]
        rows.append(row(f"flood drain, {label} vs Python launcher ({raw['python'][kind]['bytes'] / MIB:.0f} MiB)",
                        "GB/s", rate(kind) / 1e9, theirs / 1e9, rate(kind) / theirs, "≥ 50× faster than Python",
                        rate(kind) >= 50 * theirs, ratio_as="faster"))
    STEP = "flood"
    floods = [r for kind_runs in raw["flood"].values() for r in kind_runs]
    refused = sum(1 for r in floods if r["refused"])
    rows.append(row(f"floods refused by the size rule, of {len(floods)}", "", refused, None, None, "never",
                    refused == 0))

    # Memory under flood.
    for kind, label in (("plain", "100-byte lines"), ("json", "JSON lines"), ("plain_big", "100-byte lines")):
        kind_runs = raw["flood"][kind]
        if not kind_runs:
            continue
        delta = max(r["peak_delta_kib"] for r in kind_runs) / 1024
        rows.append(row(f"memory under flood, {kind_runs[0]['bytes'] / MIB:.0f} MiB of {label}: peak − before",
                        "MiB", delta, None, None, "≤ 8 MiB", delta <= 8))
    if big and raw["flood"]["plain_big"]:
        small = max(r["peak_delta_kib"] for r in raw["flood"]["plain"]) / 1024
        large = raw["flood"]["plain_big"][0]["peak_delta_kib"] / 1024
        rows.append(row("memory under flood, 4 GiB vs 1 GiB of 100-byte lines", "MiB", large, small,
                        large / small if small else None, "the same (±1 MiB)", abs(large - small) <= 1))

    # Framing: main-thread CPU time.
    STEP = "micro"
    kinds = ("lines1", "lines10", "lines100", "progress30", "busy18", "ready51")
    worst = max(kinds, key=lambda k: cpu(f"Framing/cursor/{k}"))
    ours, theirs = cpu(f"Framing/cursor/{worst}"), cpu(f"Framing/front_deletion/{worst}")
    rows.append(row(f"framing, worst case ({worst}) per 64 KiB vs front deletion", "µs CPU", ours * 4 / 1e3,
                    theirs * 4 / 1e3, theirs / ours, "≤ 1000 µs", ours * 4 / 1e3 <= 1000, ratio_as="faster"))
    for k, label in (("lines1", "1-byte lines"), ("lines10", "10-byte lines"), ("lines100", "100-byte lines"),
                     ("progress30", "30-byte progress JSON"), ("busy18", "18-byte busy JSON"),
                     ("ready51", "51-byte ready JSON")):
        ours, theirs = cpu(f"Framing/cursor/{k}"), cpu(f"Framing/front_deletion/{k}")
        goal, met = ("≥ 50× faster than front deletion", theirs / ours >= 50) if k == "lines1" else ("", None)
        rows.append(row(f"framing, {label}, per 16 KiB chunk vs front deletion", "µs CPU", ours / 1e3, theirs / 1e3,
                        theirs / ours, goal, met, ratio_as="faster"))
    ours, theirs = cpu("Framing/cursor/lines1_64k"), cpu("Framing/front_deletion/lines1_64k")
    rows.append(row("framing, 1-byte lines, one 64 KiB call vs front deletion", "µs CPU", ours / 1e3, theirs / 1e3,
                    theirs / ours, "≥ 50× faster than front deletion", theirs / ours >= 50, ratio_as="faster"))

    # ZPReadyURL.
    forms = {k: v["cpu_ns"] for k, v in micro.items() if k.startswith("ReadyURL/form")}
    per_address = cpu("ReadyURL/table") / len(forms)
    py_url = raw["python"]["url_check"]["ns_per_address"]
    STEP = ["micro", "python"]
    rows.append(row(f"ZPReadyURL per address, {len(forms)} forms, vs the Python check", "ns", per_address, py_url,
                    py_url / per_address, "≤ 1000 ns", per_address <= 1000, ratio_as="faster"))
    STEP = "micro"
    slowest = max(forms, key=forms.get)
    rows.append(row(f"ZPReadyURL, slowest form ({slowest.split('/')[-1]})", "ns", forms[slowest], None, None,
                    "≤ 1000 ns", forms[slowest] <= 1000))

    # The real executable.
    STEP = "e2e"
    s, b = e2e["startup_launcher_ms"]["median"], e2e["startup_bare_qt_ms"]["median"]
    rows.append(row(f"start-up, exec → service's first instruction, median of {e2e['startup_launcher_ms']['count']},"
                    " vs bare Qt window shown", "ms", s, b, s / b, "≤ 1.3× bare Qt", s <= 1.3 * b))
    d, p = e2e["describe_launcher_ms"]["median"], e2e["print_line_ms"]["median"]
    count = e2e["describe_launcher_ms"]["count"]
    rows.append(row(f"--describe-launch, start → exit, median of {count}, vs one-line C++ program", "ms", d, p,
                    d / p, "≤ 3×", d <= 3 * p))
    q = e2e["describe_qt_free_ms"]["median"]
    rows.append(row("--describe-launch, same code linked without Qt, vs one-line C++ program", "ms", q, p, q / p,
                    "≤ 3×", q <= 3 * p, note="what loading the windowed path separately would give"))
    il, ib = e2e["idle_launcher"], e2e["idle_bare_qt"]
    rows.append(row(f"idle {il['seconds']:.0f} s after ready: CPU time, all threads, vs bare Qt", "ms", il["cpu_ms"],
                    ib["cpu_ms"], None, "0", il["cpu_ms"] == 0,
                    note=f"threads that ran: {il['threads_that_ran'] or 'none'}"))
    rows.append(row(f"idle {il['seconds']:.0f} s after ready: context switches, all threads, vs bare Qt", "",
                    il["context_switches"], ib["context_switches"], None, "0", il["context_switches"] == 0))
    rl, rb = e2e["memory_launcher"]["VmRSS_kib"] / 1024, e2e["memory_bare_qt"]["VmRSS_kib"] / 1024
    rows.append(row("resident memory, windowed, idle, offscreen, vs bare Qt", "MiB", rl, rb, rl / rb, "≤ 40 MiB",
                    rl <= 40))

    # Limits of the machine, for reading the rest.
    STEP = "limits"
    for kind, label in (("plain", "100-byte lines"), ("json", "JSON lines")):
        k = lim[kind]
        rows.append(row(f"machine: raw pipe, {label}: into cat > /dev/null, into read()", "GB/s",
                        k["cat_bytes_per_second"] / 1e9, k["read_bytes_per_second"] / 1e9, None, "", None,
                        note="launcher column: cat; reference column: read()"))
        rows.append(row(f"machine: reader thread → RunLoop hand-off alone, {label}, vs raw pipe", "GB/s",
                        k["handoff_bytes_per_second"] / 1e9, pipe(kind) / 1e9, k["handoff_bytes_per_second"] / pipe(kind),
                        "", None, note="the two-thread design's own ceiling here", ratio_as="percent"))
        rows.append(row(f"machine: memchr line by line in memory, {label}", "GB/s", None,
                        k["memchr_bytes_per_second"] / 1e9, None, "", None))
    rows.append(row("machine: posix_spawn + wait of /bin/true, median", "µs", None, lim["spawn_true_us"]["median"],
                    None, "", None))
    return rows


def fmt(value):
    if value is None:
        return "—"
    if isinstance(value, bool):
        return "yes" if value else "no"
    if isinstance(value, int):
        return str(value)
    if value != value:
        return "n/a"
    if abs(value) >= 100:
        return f"{value:.0f}"
    if abs(value) >= 10:
        return f"{value:.1f}"
    if abs(value) >= 1:
        return f"{value:.2f}"
    return f"{value:.3f}"


def ratio_text(r):
    if r["ratio"] is None:
        return "—"
    if r["ratio_as"] == "percent":
        return f"{r['ratio']:.0%}"
    if r["ratio_as"] == "faster":
        return f"{fmt(r['ratio'])}× faster" if r["ratio"] >= 1 else f"{fmt(1 / r['ratio'])}× slower"
    return f"{fmt(r['ratio'])}×"


def others(r, noise):
    names = r["step"] if isinstance(r["step"], list) else [r["step"]]
    shares = [noise[n]["other_share"] for n in names if n in noise]
    return f"{max(shares):.0%}" if shares else ""


def table(rows, noise):
    headers = ["figure", "unit", "launcher", "reference", "ratio", "goal", "met", "others"]
    body = [[r["figure"], r["unit"], fmt(r["launcher"]), fmt(r["reference"]), ratio_text(r), r["goal"] or "",
             "" if r["met"] is None else ("yes" if r["met"] else "NO"),
             others(r, noise)] for r in rows]
    widths = [max(len(h), *(len(b[i]) for b in body)) for i, h in enumerate(headers)]
    lines = ["| " + " | ".join(h.ljust(widths[i]) for i, h in enumerate(headers)) + " |",
             "|" + "|".join("-" * (w + 2) for w in widths) + "|"]
    for b in body:
        lines.append("| " + " | ".join(c.ljust(widths[i]) if i in (0, 1, 5) else c.rjust(widths[i])
                                       for i, c in enumerate(b)) + " |")
    return "\n".join(lines)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default="build-bench")
    parser.add_argument("--out", default="build/bench")
    parser.add_argument("--smoke", action="store_true")
    parser.add_argument("--no-4gib", action="store_true", help="skip the 4 GiB flood of a full run")
    parser.add_argument("--wait-quiet", type=float, default=None,
                        help="seconds to wait for an idle machine first (full: 600, smoke: 0)")
    args = parser.parse_args()

    sizes = SMOKE if args.smoke else FULL
    big = not args.smoke and not args.no_4gib
    wait = args.wait_quiet if args.wait_quiet is not None else (0 if args.smoke else 600)
    quiet = wait_for_quiet(wait) if wait > 0 else None
    started = time.time()
    machine_before, own_before = machine_cpu_seconds()[0], own_cpu_seconds()
    info = {"mode": "smoke" if args.smoke else "full", "machine": machine(), "loadavg_before": loadavg(),
            "quiet_at_start": quiet,
            "started": time.strftime("%Y-%m-%dT%H:%M:%S%z", time.localtime(started)), "sizes": sizes}
    steps = Steps(0 if args.smoke else wait)
    try:
        raw = measure(os.path.abspath(args.build), sizes, big, steps)
        rows = figures(raw, big)
    except (Failed, subprocess.TimeoutExpired) as error:
        print(f"bench: a measurement failed: {error}", file=sys.stderr)
        return 1
    info["loadavg_after"] = loadavg()
    # CPU the rest of the machine used meanwhile: all of it, less ours and our children's.
    others = (machine_cpu_seconds()[0] - machine_before) - (own_cpu_seconds() - own_before)
    refused = sum(1 for runs in raw["flood"].values() for r in runs if r["refused"])
    info["seconds"] = round(time.time() - started, 1)
    info["other_cpu_seconds"] = round(max(0.0, others), 1)

    m = info["machine"]
    print(f"\nZorvikPellwyn benchmarks ({info['mode']} run, {info['seconds']:.0f} s) on {m['nproc']} × {m['cpu_model']},"
          f" Linux {m['kernel']}; other processes used {info['other_cpu_seconds']:.1f} CPU-seconds meanwhile"
          f"{'' if quiet is not False else ' (no quiet moment found before it started)'}")
    print(table(rows, steps.noise))
    print("others: the share of the machine's CPU that other processes used while that figure was measured")
    for r in rows:
        if r["note"]:
            print(f"  {r['figure']}: {r['note']}")
    if args.smoke:
        print("(smoke sizes: the figures only show that every measurement runs; goals are judged on a full run)")

    os.makedirs(args.out, exist_ok=True)
    # A smoke run never overwrites the figures of a full one.
    path = os.path.join(args.out, "results-smoke.json" if args.smoke else "results.json")
    with open(path, "w") as f:
        json.dump({**info, "figures": rows, "noise": steps.noise, "raw": raw}, f, indent=2, ensure_ascii=False)
        f.write("\n")
    print(f"results: {os.path.abspath(path)}")
    if refused:
        print(f"bench: {refused} flood(s) refused by the size rule", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
