"""Benchmarks CProtection's calls against the cost of copying a bytearray.

    python bench/bench.py [--quick]

Prints one table, writes it to bench/results.md, and draws bench/throughput.png
(MB/s against size) when matplotlib is available.
"""

import argparse
import os
import pathlib
import platform
import timeit

from kovrin.modules.security.cprotection import CProtection

HERE = pathlib.Path(__file__).resolve().parent
CALL_SIZES = [16, 64, 256, 1500]
BANDWIDTH_SIZES = [4 * 1024, 64 * 1024, 1024 * 1024]


def best_seconds(statement: str, names: dict, repeat: int, min_time: float) -> float:
    """Best time of one run of `statement`, over `repeat` timed batches."""
    timer = timeit.Timer(statement, globals=names)
    number, _ = timer.autorange()
    number = max(1, int(number * min_time / 0.2))
    return min(timer.repeat(repeat=repeat, number=number)) / number


def keyed_pair():
    sender, receiver = CProtection(False), CProtection(True)
    keys = list(range(1, 33))
    sender.activate(keys)
    receiver.activate(keys)
    return sender, receiver


def measure(repeat: int, min_time: float):
    rows = []
    sender, receiver = keyed_pair()
    payload = bytearray(os.urandom(max(BANDWIDTH_SIZES)))
    calls = (("encrypt", "sender.encrypt(data)"), ("decrypt", "receiver.decrypt(data)"))

    # Per-byte cost of each transform, from a buffer large enough that the
    # call itself does not count: the loop time of the per-call floor below.
    data = payload[:64 * 1024]
    per_byte = {name: best_seconds(statement, locals(), repeat, min_time) / len(data)
                for name, statement in calls}

    for size in CALL_SIZES:
        data = payload[:size]
        copy_ns = best_seconds("data.copy()", locals(), repeat, min_time) * 1e9
        for name, statement in calls:
            ns = best_seconds(statement, locals(), repeat, min_time) * 1e9
            rows.append(("call", f"{name} {size} B", ns, (copy_ns, copy_ns + per_byte[name] * size * 1e9)))

    for size in BANDWIDTH_SIZES:
        data = payload[:size]
        copy_s = best_seconds("bytearray(data)", locals(), repeat, min_time)
        for name, statement in calls:
            seconds = best_seconds(statement, locals(), repeat, min_time)
            rows.append(("bandwidth", f"{name} {size // 1024} KiB", size / seconds / 1e6,
                         size / copy_s / 1e6))

    unkeyed = CProtection()
    data = payload[:256]
    rows.append(("other", "unkeyed encrypt (pass-through)",
                 best_seconds("unkeyed.encrypt(data)", locals(), repeat, min_time) * 1e9, None))
    for count in (1, 32):
        keys = list(range(count))
        rows.append(("other", f"activate, {count} keys",
                     best_seconds("sender.activate(keys)", locals(), repeat, min_time) * 1e9, None))
    return rows


def format_table(rows) -> str:
    lines = [f"Machine: {platform.machine()}, {platform.processor() or 'unknown CPU'}, "
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
    series = {"encrypt": [], "decrypt": [], "bytearray copy": []}
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
    args = parser.parse_args()
    # Many short batches: on a shared machine the best of them is the figure
    # least disturbed by other work.
    rows = measure(repeat=5 if args.quick else 25, min_time=0.02 if args.quick else 0.05)
    table = format_table(rows)
    print(table)
    (HERE / "results.md").write_text(table)
    if draw_chart(rows, HERE / "throughput.png"):
        print(f"chart: {HERE / 'throughput.png'}")


if __name__ == "__main__":
    main()
