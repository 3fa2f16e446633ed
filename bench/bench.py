"""Benchmarks CProtection's calls against the cost of copying a bytearray.

    python bench/bench.py [--quick] [--output DIR]

Prints the tables, writes them to DIR/results.md (DIR defaults to
build/bench), and draws DIR/throughput.png (MB/s against size) when
matplotlib is available.  The last table comes from bench/kernel_bench.cpp,
built with $CXX (or c++): every transform kernel the CPU runs, timed alone.
"""

import argparse
import os
import pathlib
import platform
import shutil
import subprocess
import timeit
from typing import Any

from kovrin.modules.security.cprotection import CProtection

HERE = pathlib.Path(__file__).resolve().parent
ROOT = HERE.parent
CALL_SIZES = [16, 64, 256, 1500]
# Every size a short call can have, so that a fixed cost that starts at a
# kernel's threshold (16 bytes for AVX2 encryption) shows as a step.
SHORT_SIZES = range(1, 65)
BANDWIDTH_SIZES = [4 * 1024, 64 * 1024, 1024 * 1024]


class Timings:
    """Best time per run of many statements, taken in interleaved rounds.

    The project machine is shared: its speed changes from one second to the
    next.  Timing every statement in each round, and keeping each one's best
    batch over all rounds, compares figures taken under the same conditions.
    """

    def __init__(self, min_time: float):
        self.min_time = min_time
        self.timers: dict[Any, tuple[timeit.Timer, int]] = {}
        self.best: dict[Any, float] = {}

    def add(self, key, statement: str, names: dict, number: int | None = None):
        """Times `number` runs of the statement a round; by default as many
        as take about min_time."""
        timer = timeit.Timer(statement, globals=dict(names))
        if number is None:
            number = max(1, int(timer.autorange()[0] * self.min_time / 0.2))
        self.timers[key] = (timer, number)

    def number(self, key) -> int:
        return self.timers[key][1]

    def run(self, rounds: int):
        for _ in range(rounds):
            for key, (timer, number) in self.timers.items():
                seconds = timer.timeit(number) / number
                self.best[key] = min(self.best.get(key, seconds), seconds)

    def __getitem__(self, key) -> float:
        return self.best[key]


def keyed_pair():
    sender, receiver = CProtection(False), CProtection(True)
    keys = list(range(1, 33))
    sender.activate(keys)
    receiver.activate(keys)
    return sender, receiver


def measure(rounds: int, min_time: float):
    sender, receiver = keyed_pair()
    unkeyed = CProtection()
    payload = bytearray(os.urandom(max(BANDWIDTH_SIZES)))
    calls = (("encrypt", "sender.encrypt(data)"), ("decrypt", "receiver.decrypt(data)"))
    timings = Timings(min_time)

    def names(size, **extra):
        return {"sender": sender, "receiver": receiver, "unkeyed": unkeyed,
                "data": payload[:size], **extra}

    for size in CALL_SIZES:
        timings.add(("copy", size), "data.copy()", names(size))
    for size in BANDWIDTH_SIZES:
        timings.add(("copy", size), "bytearray(data)", names(size))
    for size in CALL_SIZES + BANDWIDTH_SIZES:
        for name, statement in calls:
            timings.add((name, size), statement, names(size))
    # The short sizes take a sixth of the 16-byte calls' batches, not
    # calibrated one by one: they cost about as much, and there are many.
    for size in SHORT_SIZES:
        for name, statement in (("copy", "data.copy()"), *calls):
            if (name, size) not in timings.timers:
                timings.add((name, size), statement, names(size), number=timings.number((name, 16)) // 6)
    timings.add("pass-through", "unkeyed.encrypt(data)", names(256))
    for count in (1, 32):
        timings.add(("activate", count), "sender.activate(keys)", names(0, keys=list(range(count))))
    timings.run(rounds)

    rows: list[tuple[str, str, float, Any]] = []
    # Per-byte cost of each transform, from a buffer large enough that the
    # call itself does not count: the loop time of the per-call floor.
    per_byte_size = 64 * 1024
    for size in CALL_SIZES:
        copy_ns = timings[("copy", size)] * 1e9
        for name, _ in calls:
            floor_ns = copy_ns + timings[(name, per_byte_size)] / per_byte_size * size * 1e9
            rows.append(("call", f"{name} {size} B", timings[(name, size)] * 1e9, (copy_ns, floor_ns)))
    for size in SHORT_SIZES:
        rows.append(("short", f"{size} B", timings[("encrypt", size)] * 1e9,
                     (timings[("decrypt", size)] * 1e9, timings[("copy", size)] * 1e9)))
    for size in BANDWIDTH_SIZES:
        copy_rate = size / timings[("copy", size)] / 1e6
        for name, _ in calls:
            rows.append(("bandwidth", f"{name} {size // 1024} KiB", size / timings[(name, size)] / 1e6,
                         copy_rate))
    rows.append(("other", "unkeyed encrypt (pass-through)", timings["pass-through"] * 1e9, None))
    for count in (1, 32):
        rows.append(("other", f"activate, {count} keys", timings[("activate", count)] * 1e9, None))
    return rows


def cpu_model() -> str:
    """The CPU's marketing name, as Linux reports it for any vendor, with the
    x86 family and model numbers, which tell core generations apart where
    the name (a virtual machine's "AMD EPYC") does not."""
    try:
        fields: dict[str, str] = {}
        for line in pathlib.Path("/proc/cpuinfo").read_text().splitlines():
            key, _, value = line.partition(":")
            fields.setdefault(key.strip(), value.strip())
    except OSError:
        return platform.processor() or "unknown CPU"
    name = next((fields[key] for key in ("model name", "Processor", "cpu model") if key in fields),
                platform.processor() or "unknown CPU")
    if "cpu family" in fields and "model" in fields:
        name += f" (CPU family {fields['cpu family']}, model {fields['model']})"
    return name


def kernel_table(rounds: int) -> str:
    """Builds (under build/) and runs the C++ kernel benchmark; its Markdown table."""
    compiler = os.environ.get("CXX") or shutil.which("c++") or "g++"
    program = ROOT / "build" / "kernel_bench"
    program.parent.mkdir(exist_ok=True)
    security = ROOT / "modules" / "security"
    subprocess.run([compiler, "-std=c++20", "-O2", "-I", str(security),
                    str(HERE / "kernel_bench.cpp"), *map(str, sorted(security.glob("kernels_*.cpp"))),
                    "-o", str(program)], check=True)
    return subprocess.run([str(program), str(rounds)], check=True, capture_output=True,
                          text=True).stdout


def format_table(rows) -> str:
    lines = [f"Machine: {platform.machine()}, {cpu_model()}, "
             f"{os.cpu_count()} cores, Python {platform.python_version()}", ""]
    lines += ["The floor of a call is b.copy() on the same buffer plus the transform's",
              "per-byte time (measured on 64 KiB) for its bytes.", "",
              "| call | ns per call | b.copy() ns | call / b.copy() | floor ns | call / floor |",
              "|---|---:|---:|---:|---:|---:|"]
    for kind, label, value, baseline in rows:
        if kind == "call":
            copy_ns, floor_ns = baseline
            lines.append(f"| {label} | {value:.0f} | {copy_ns:.0f} | {value / copy_ns:.2f} | "
                         f"{floor_ns:.0f} | {value / floor_ns:.2f} |")
    lines += ["", "Short calls, one row per size: a step from one size to the next is a",
              "fixed cost that starts there.", "",
              "| size | encrypt ns | decrypt ns | b.copy() ns | encrypt / decrypt |",
              "|---:|---:|---:|---:|---:|"]
    for kind, label, value, baseline in rows:
        if kind == "short":
            decrypt_ns, copy_ns = baseline
            lines.append(f"| {label} | {value:.0f} | {decrypt_ns:.0f} | {copy_ns:.0f} | "
                         f"{value / decrypt_ns:.2f} |")
    lines += ["", "| transform | MB/s | bytearray(b) copy MB/s |", "|---|---:|---:|"]
    for kind, label, value, baseline in rows:
        if kind == "bandwidth":
            lines.append(f"| {label} | {value:.0f} | {baseline:.0f} |")
    lines += ["", "| other | ns per call |", "|---|---:|"]
    for kind, label, value, _ in rows:
        if kind == "other":
            lines.append(f"| {label} | {value:.0f} |")
    return "\n".join(lines) + "\n"


def draw_chart(rows, path: pathlib.Path) -> bool:
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        return False
    sizes_kib = [size / 1024 for size in BANDWIDTH_SIZES]
    series: dict[str, list[float]] = {"encrypt": [], "decrypt": [], "bytearray copy": []}
    for kind, label, value, baseline in rows:
        if kind == "bandwidth":
            series[label.split()[0]].append(value)
            if label.startswith("encrypt"):
                series["bytearray copy"].append(baseline)
    figure, axes = plt.subplots(figsize=(6, 4))
    for name, values in series.items():
        axes.plot(sizes_kib, values, marker="o", label=name)
    axes.set_xscale("log", base=2)
    axes.set_yscale("log")
    axes.set_xlabel("buffer size (KiB)")
    axes.set_ylabel("MB/s")
    axes.set_title("CProtection throughput")
    axes.legend()
    axes.grid(True, alpha=0.3)
    figure.tight_layout()
    figure.savefig(path, dpi=100)
    return True


def main():
    parser = argparse.ArgumentParser(description="CProtection benchmark")
    parser.add_argument("--quick", action="store_true", help="fewer, shorter repeats")
    parser.add_argument("--output", type=pathlib.Path, default=ROOT / "build" / "bench",
                        help="where results.md and throughput.png go (default: build/bench)")
    args = parser.parse_args()
    args.output.mkdir(parents=True, exist_ok=True)
    rows = measure(rounds=5 if args.quick else 40, min_time=0.01 if args.quick else 0.02)
    table = format_table(rows) + "\n## Kernels alone\n\n" + kernel_table(5 if args.quick else 15)
    print(table)
    (args.output / "results.md").write_text(table)
    print(f"table: {args.output / 'results.md'}")
    if draw_chart(rows, args.output / "throughput.png"):
        print(f"chart: {args.output / 'throughput.png'}")


if __name__ == "__main__":
    main()
