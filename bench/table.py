#!/usr/bin/env python3
"""Prints the benchmark JSON written by run.sh as Markdown tables.

Each row is the fastest repetition ("min" aggregate) of one benchmark, in CPU time divided by
the jobs one iteration handles (wall time for the benchmarks that measure it, whose work crosses
threads); for the drains also its fill and drain parts and the heap bytes
per held task (each the fastest of its own). The ratio tables below compare the library's job
lifecycle with the plain-Qt references, each drain with its N = 1000 run and with the queue
alone under the same priority pattern (the progress drain with the plain one), and the registry
from two threads with one; then the cost of setProgress() from a pool thread.
"""
import json
import re
import sys


def load(path):
    with open(path) as f:
        data = json.load(f)
    rows = {}
    for b in data["benchmarks"]:
        if b.get("aggregate_name", "min") != "min":  # a single repetition has no aggregates
            continue
        scale = {"ns": 1.0, "us": 1e3, "ms": 1e6, "s": 1e9}[b["time_unit"]]
        # The 1M drains are registered apart only to keep them out of default runs.
        name = b["run_name"].replace("drain1M/", "drain/", 1)
        time = b["real_time"] if name.endswith("/real_time") else b["cpu_time"]
        rows[name] = dict(b, ns=time * scale / b.get("jobs", 1.0))
    return rows


def context(path):
    """The run's context: its date and machine, and the Qt version bench/main.cpp adds."""
    with open(path) as f:
        return json.load(f).get("context", {})


def split(name):
    """'drain/model/equal/1000' -> ('drain/model/equal', '1000'); '.../threads:2' -> (..., '2 threads')."""
    m = re.match(r"(.*?)/(\d+)(?:/.*)?$", name)
    if m:
        return m.group(1), m.group(2)
    m = re.match(r"(.*?)/threads:(\d+)$", name)
    if m:
        return m.group(1), m.group(2) + (" thread" if m.group(2) == "1" else " threads")
    return name, ""


def cell(row, key, fmt="%.0f"):
    return fmt % row[key] if key in row else ""


def ratio_row(label, num, den, args):
    """'| label | num/den per N |', or None when no N has both."""
    cells = ["%.2f" % (num[a] / den[a]) if a in num and a in den else "" for a in args]
    return "| %s | %s |" % (label, " | ".join(cells)) if any(cells) else None


def main():
    rows = load(sys.argv[1])
    print("| benchmark | N | ns per job | fill ns | drain ns | bytes per task |")
    print("|---|---:|---:|---:|---:|---:|")
    ns = {}
    for name, row in rows.items():
        if name.startswith("progress/"):  # per call, printed below
            continue
        base, arg = split(name)
        ns.setdefault(base, {})[arg] = row["ns"]
        print("| %s | %s | %.0f | %s | %s | %s |" % (base, arg, row["ns"], cell(row, "fill_ns"),
                                                  cell(row, "drain_ns"), cell(row, "bytes_per_task")))

    args = sorted({a for b in ns if b.startswith(("lifecycle/", "drain/", "enqueue", "async/")) for a in ns[b]}, key=int)
    lines = []
    for base in ns:
        at1k = {a: ns[base]["1000"] for a in ns[base] if a != "1000"} if "1000" in ns[base] else {}
        if base == "lifecycle/library":
            lines.append(ratio_row("library / floor", ns[base], ns.get("lifecycle/floor", {}), args))
            lines.append(ratio_row("library / one-object", ns[base], ns.get("lifecycle/one-object", {}), args))
        elif base.startswith(("drain/", "enqueue", "async/pool-task")):
            lines.append(ratio_row(base + ": N / N = 1000", ns[base], at1k, args))
        if base == "async/pool-task":
            lines.append(ratio_row("async/pool-task / async/concurrent", ns[base], ns.get("async/concurrent", {}), args))
        elif base == "async/await":
            lines.append(ratio_row("async/await / async/connect", ns[base], ns.get("async/connect", {}), args))
        if re.match(r"drain/model\d*/", base):
            queue = ns.get(base.replace("/model", "/queue", 1), {})
            lines.append(ratio_row(base + " / queue alone", ns[base], queue, args))
        if base.startswith("drain/views/"):
            model = ns.get(base.replace("/views/", "/model/"), {})
            lines.append(ratio_row(base + " / list model alone", ns[base], model, args))
        if base.startswith("drain/progress"):
            queue = ns.get(re.sub(r"^drain/progress[^/]*/", "drain/queue/", base), {})
            lines.append(ratio_row(base + " / without progress", ns[base], queue, args))
    print("\n| ratio | %s |" % " | ".join("N = " + a for a in args))
    print("|---|%s" % ("---:|" * len(args)))
    print("\n".join(line for line in lines if line))

    for name, row in rows.items():
        if name.startswith("progress/setProgress-from-pool/"):
            print("\nprogress/setProgress-from-pool: %.1f ns per call in the pool thread, %.2f progressChanged() "
                  "per event-loop pass after %s calls" % (row["pool_ns_per_call"], row["emissions_per_pass"],
                                                          split(name)[1]))

    registry = ns.get("registry/createTask", {})
    if "1 thread" in registry and "2 threads" in registry:
        print("\nregistry/createTask, 2 threads / 1 thread: %.2f" % (registry["2 threads"] / registry["1 thread"]))


if __name__ == "__main__":
    main()
