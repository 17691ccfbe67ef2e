#!/usr/bin/env python3
"""Times the process runner against its floor and its peers in one run.

Figures, each the time of one run of /bin/true (or of the wrapper):
  bare spawn        posix_spawn + waitpid, no pipes    bench_runner BM_BareSpawnTrue
  runner            StartChildProcess + WaitChildProcess, both outputs captured
                                                       bench_runner BM_RunnerTrue
  python run        subprocess.run(["/bin/true"], capture_output=True)
  python bare       os.posix_spawn + os.waitpid
  perl bare         posix_spawnp + waitpid of `perl scustom.pl "true"`
                                                       bench_program_actions BM_BareSpawnScustomTrue
  program action    CImplProgramInfo::Execute of the action `true`
                                                       bench_program_actions BM_ExecuteTrue
and, as a cross-check that shares every moment of machine load, the bare
spawn and the runner alternated run by run in one loop (bench_runner
BM_RunnerOverBare, which reports the median of each and their ratio).

Every round measures each figure once, in an order that rotates from round to
round, so that all figures see the same machine; the table shows the median
of each figure and, for each ratio, the median of the ratios of the rounds.
Machines are noisy: read ratios, not absolute times, and only of one run.

Usage: bench/peers.py [--build DIR] [--rounds N] [--min-time SECONDS]
"""

import argparse
import json
import os
import platform
import statistics
import subprocess
import sys
import time

# (name, binary, benchmark) for the figures that Google Benchmark measures.
NATIVE = [
    ("bare spawn", "bench_runner", "BM_BareSpawnTrue"),
    ("runner", "bench_runner", "BM_RunnerTrue"),
    ("perl bare", "bench_program_actions", "BM_BareSpawnScustomTrue"),
    ("program action", "bench_program_actions", "BM_ExecuteTrue"),
]
PYTHON = ["python run", "python bare"]

# (label, numerator, denominator, target or None)
ALTERNATED = "alternated"
RATIOS = [
    ("runner / bare spawn", "runner", "bare spawn", 1.10),
    ("runner / bare spawn, alternated run by run", ALTERNATED, None, 1.10),
    ("runner / python subprocess.run (capture)", "runner", "python run", 1.00),
    ("python subprocess.run / python bare spawn", "python run", "python bare", None),
    ("program action / bare perl spawn", "program action", "perl bare", None),
]

UNIT_SECONDS = {"ns": 1e-9, "us": 1e-6, "ms": 1e-3, "s": 1.0}


def native_entry(build, binary, benchmark, min_time):
    """The JSON result of one Google Benchmark, run in a process of its own."""
    command = [
        os.path.join(build, "bin", binary),
        f"--benchmark_filter=^{benchmark}(/|$)",
        "--benchmark_format=json",
        f"--benchmark_min_time={min_time}",
    ]
    done = subprocess.run(command, capture_output=True, text=True, check=False)
    if done.returncode != 0:
        sys.exit(f"{' '.join(command)} failed ({done.returncode}):\n{done.stderr}")
    for entry in json.loads(done.stdout)["benchmarks"]:
        if entry["name"].split("/")[0] == benchmark and entry.get("run_type") != "aggregate":
            if entry.get("error_occurred"):
                sys.exit(f"{benchmark}: {entry.get('error_message')}")
            return entry
    sys.exit(f"{benchmark} is missing from the output of {binary}")


def native_seconds(build, binary, benchmark, min_time):
    """Seconds per iteration of one Google Benchmark."""
    entry = native_entry(build, binary, benchmark, min_time)
    return entry["real_time"] * UNIT_SECONDS[entry["time_unit"]]


def alternated_ratio(build, min_time):
    """Runner over bare spawn, alternated run by run (medians of one process)."""
    return native_entry(build, "bench_runner", "BM_RunnerOverBare", min_time)["ratio"]


def python_run():
    subprocess.run(["/bin/true"], capture_output=True, check=False)


def python_bare():
    pid = os.posix_spawn("/bin/true", ["/bin/true"], os.environ)
    os.waitpid(pid, 0)


def python_seconds(function, min_time):
    """Seconds per call, as Google Benchmark counts: the mean over enough calls."""
    for _ in range(3):
        function()
    calls = 0
    start = time.perf_counter()
    elapsed = 0.0
    while elapsed < min_time:
        for _ in range(10):
            function()
        calls += 10
        elapsed = time.perf_counter() - start
    return elapsed / calls


def machine():
    model = "unknown CPU"
    try:
        with open("/proc/cpuinfo", encoding="utf-8") as info:
            for line in info:
                if line.startswith("model name"):
                    model = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    return (
        f"{model}, {os.cpu_count()} cores, Linux {platform.release()}, "
        f"Python {platform.python_version()}"
    )


def load():
    return " ".join(f"{value:.2f}" for value in os.getloadavg())


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", default=os.path.join(here, "..", "build", "default"))
    parser.add_argument("--rounds", type=int, default=11)
    parser.add_argument("--min-time", type=float, default=0.3,
                        help="seconds that each figure is measured for in each round")
    args = parser.parse_args()
    for _, binary, _ in NATIVE:
        if not os.access(os.path.join(args.build, "bin", binary), os.X_OK):
            sys.exit(f"{binary} is not built in {args.build} (run `make build` first)")

    print(f"Machine: {machine()}")
    print(f"Rounds: {args.rounds}, each figure measured for {args.min_time} s per round; "
          f"load average at start: {load()}", flush=True)
    figures = [name for name, _, _ in NATIVE] + PYTHON
    measure = {name: (lambda b=binary, m=benchmark: native_seconds(args.build, b, m, args.min_time))
               for name, binary, benchmark in NATIVE}
    measure["python run"] = lambda: python_seconds(python_run, args.min_time)
    measure["python bare"] = lambda: python_seconds(python_bare, args.min_time)
    steps = figures + [ALTERNATED]
    measure[ALTERNATED] = lambda: alternated_ratio(args.build, args.min_time)

    samples = {name: [] for name in steps}
    for round_number in range(args.rounds):
        shift = round_number % len(steps)
        for name in steps[shift:] + steps[:shift]:
            samples[name].append(measure[name]())
        print(f"  round {round_number + 1}/{args.rounds} done", flush=True)
    print(f"Load average at end: {load()}")
    print()

    print(f"{'figure':<18}{'median':>12}{'min':>12}{'max':>12}")
    for name in figures:
        values = samples[name]
        print(f"{name:<18}" + "".join(f"{v * 1e3:>10.3f}ms" for v in
                                      (statistics.median(values), min(values), max(values))))
    print()
    print(f"{'ratio (median of the rounds)':<44}{'median':>8}{'min':>8}{'max':>8}  target")
    for label, top, bottom, target in RATIOS:
        if top == ALTERNATED:
            ratios = samples[ALTERNATED]
        else:
            ratios = [t / b for t, b in zip(samples[top], samples[bottom])]
        median = statistics.median(ratios)
        verdict = ""
        if target is not None:
            verdict = f"<= {target:.2f} " + ("met" if median <= target else "MISSED")
        print(f"{label:<44}{median:>8.3f}{min(ratios):>8.3f}{max(ratios):>8.3f}  {verdict}")


if __name__ == "__main__":
    main()
