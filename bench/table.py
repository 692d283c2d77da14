#!/usr/bin/env python3
"""Prints the benchmark JSON written by run.sh as a Markdown table of nanoseconds per job.

Each row is the fastest repetition ("min" aggregate) of one benchmark, in CPU time divided by
the jobs one iteration handles. The ratio column compares it with the row named beside it:
the plain-Qt floor for the library's job lifecycle, the N = 1000 row of the same benchmark for
the ones that grow with N, the queue alone for the queue with a model at N = 1000, the optimised
model for the literal one, one thread for two.
"""
import json
import re
import sys


def load(path):
    with open(path) as f:
        data = json.load(f)
    rows = {}
    for b in data["benchmarks"]:
        if b.get("aggregate_name") != "min":
            continue
        scale = {"ns": 1.0, "us": 1e3, "ms": 1e6, "s": 1e9}[b["time_unit"]]
        name = b["run_name"]
        rows[name] = b["cpu_time"] * scale / b.get("jobs", 1.0)
    return rows


def split(name):
    """'drain/model/1000' -> ('drain/model', '1000'); 'registry/createTask/threads:2' -> (..., '2 threads')."""
    m = re.match(r"(.*?)/(\d+)(?:/.*)?$", name)
    if m:
        return m.group(1), m.group(2)
    m = re.match(r"(.*?)/threads:(\d+)$", name)
    if m:
        return m.group(1), m.group(2) + (" thread" if m.group(2) == "1" else " threads")
    return name, ""


def reference(name):
    """The row a benchmark is compared with, and how to call it."""
    base, arg = split(name)
    if base == "lifecycle/library":
        return "lifecycle/floor/" + arg, "floor"
    if base.startswith("registry/"):
        return base + "/threads:1", "1 thread"
    if base == "drain/literal-model":
        return "drain/model/" + arg, "optimised model"
    if base == "drain/model" and arg == "1000":
        return "drain/queue/1000", "queue alone"
    if base.startswith(("drain/", "enqueue")) and arg != "1000":
        return base + "/1000", "N = 1000"
    return None, ""


def main():
    rows = load(sys.argv[1])
    print("| benchmark | N | ns per job | ratio | ratio to |")
    print("|---|---:|---:|---:|---|")
    for name, ns in rows.items():
        base, arg = split(name)
        ref, label = reference(name)
        ratio = "" if ref not in rows or ref == name else "%.2f" % (ns / rows[ref])
        print("| %s | %s | %.0f | %s | %s |" % (base, arg, ns, ratio, label if ratio else ""))


if __name__ == "__main__":
    main()
