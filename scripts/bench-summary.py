#!/usr/bin/env python3
"""Summary table of a scripts/bench run: figure, value, target, met or not.

Reads the Google Benchmark JSON files and the load generator's lines that
scripts/bench left in the folder given as the only argument, and prints a
Markdown table. A figure whose benchmark did not run shows as "missing".
"""
import json
import os
import re
import sys


def load_benchmarks(folder):
    runs = {}
    for name in sorted(os.listdir(folder)):
        if not name.endswith(".json"):
            continue
        with open(os.path.join(folder, name), encoding="utf-8") as handle:
            for run in json.load(handle).get("benchmarks", []):
                if run.get("run_type", "iteration") == "iteration" and "error_occurred" not in run:
                    runs[run["name"]] = run
    return runs


def read_text(folder, name):
    path = os.path.join(folder, name)
    if not os.path.exists(path):
        return ""
    with open(path, encoding="utf-8") as handle:
        return handle.read()


def number(pattern, text):
    match = re.search(pattern, text)
    return float(match.group(1)) if match else None


def main():
    if len(sys.argv) != 2 or not os.path.isdir(sys.argv[1]):
        sys.exit("usage: bench-summary.py RESULTS_FOLDER")
    folder = sys.argv[1]
    runs = load_benchmarks(folder)
    rows = []

    def ns(name, field="cpu_time"):
        run = runs.get(name)
        if not run:
            return None
        scale = {"ns": 1.0, "us": 1e3, "ms": 1e6, "s": 1e9}[run.get("time_unit", "ns")]
        return run[field] * scale

    def counter(name, key):
        run = runs.get(name)
        return run.get(key) if run else None

    def row(figure, value, unit, target=None, better="lower"):
        if value is None:
            rows.append((figure, "missing", target_text(target, unit, better), "-"))
            return
        met = "-"
        if target is not None:
            met = "yes" if (value <= target if better == "lower" else value >= target) else "no"
        rows.append((figure, f"{value:,.1f} {unit}".strip(), target_text(target, unit, better), met))

    def target_text(target, unit, better):
        if target is None:
            return ""
        shown = f"{target:,.0f}" if float(target).is_integer() else f"{target:,.1f}"
        return f"{'≤' if better == 'lower' else '≥'} {shown} {unit}".strip()

    def ratio(a, b):
        return a / b if a is not None and b else None

    # Engine step, on one thread and on one thread per processor.
    def step(count, threads):
        return f"EngineStep/characters:{count}/threads:{threads}"
    for count in (1, 100, 1000, 10000, 100000):
        target = 1000 if count == 10000 else None
        row(f"engine step, {count} characters, per character step", counter(step(count, 1), "ns_per_character_step"),
            "ns", target)
    for phase, key in (("command drain", "ns_command_drain"), ("component updates", "ns_component_update"),
                       ("animation tick", "ns_anim_tick")):
        row(f"  of which {phase} (10 000 characters)", counter(step(10000, 1), key), "ns")
    row("10 000 against 100 characters, per character step",
        ratio(counter(step(10000, 1), "ns_per_character_step"), counter(step(100, 1), "ns_per_character_step")), "×",
        1.5)
    for count in (10000, 100000):
        row(f"engine step on every processor, {count} characters, speed-up",
            ratio(counter(step(count, 1), "ns_per_character_step"), counter(step(count, 0), "ns_per_character_step")),
            "×", 1.7 if count == 10000 else None, "higher")
    row("resident memory per character (100 000 characters)",
        (counter(step(100000, 1), "rss_bytes_per_character") or 0) / 1024 or None, "KiB", 4)
    row("manager heap per character (100 000 characters)",
        (counter(step(100000, 1), "heap_bytes_per_character") or 0) / 1024 or None, "KiB")

    # Remote calls.
    for label, name in (("Root.KeepAlive", "keepalive-ack"), ("GaitComponentRpc.IsActive", "isactive-ack"),
                        ("GaitComponentRpc.IsActive, client polling", "isactive-ack-spin")):
        text = read_text(folder, f"rpc-{name}.txt")
        row(f"WaitAck round trip p50, 1 connection, {label}", number(r"p50 ([\d.]+) us", text), "µs", 50)
        row(f"WaitAck round trip p99, 1 connection, {label}", number(r"p99 ([\d.]+) us", text), "µs", 200)
    floor = next((run.get("items_per_second") for name, run in runs.items()
                  if name.startswith("BM_LoopbackRoundTrip/echo_spins:1/")), None)
    row("one connection at best here: round trip to a bare spinning echo over loopback, per s", floor, "/s")
    text = read_text(folder, "rpc-isactive-ack-8.txt")
    row("WaitAck requests/s, 8 connections, GaitComponentRpc.IsActive", number(r"= ([\d.]+) requests/s", text),
        "/s", 50000, "higher")
    for label, name, target in (("GaitComponentRpc.SetSpeed", "setspeed-noack", 300000),
                                ("Root.KeepAlive", "keepalive-noack", None)):
        text = read_text(folder, f"rpc-{name}.txt")
        row(f"no-ack requests/s, 1 connection, {label}", number(r"= ([\d.]+) requests/s", text), "/s", target,
            "higher")
        ran = re.search(r"ran (\d+) of the (\d+) requests", text)
        met = "-" if not ran else ("yes" if ran.group(1) == ran.group(2) else "no")
        rows.append((f"  {label} requests run by the host", f"{ran.group(1)} of {ran.group(2)}" if ran else "missing",
                     "all", met))

    # Memory manager against malloc at 64 bytes (CPU time per Alloc+Free pair).
    malloc1, malloc2 = ns("Malloc/64/threads:1"), ns("Malloc/64/threads:2")
    own1, own2 = ns("ManagerOwnHeap/64/threads:1"), ns("ManagerOwnHeap/64/threads:2")
    row("manager Alloc+Free 64 B vs malloc+free, 1 thread", ratio(own1, malloc1), "×", 2)
    row("manager Alloc+Free 64 B vs malloc+free, 2 threads (own heaps)", ratio(own2, malloc2), "×", 3)
    row("manager Alloc+Free 64 B vs malloc+free, 2 threads (shared heap)",
        ratio(ns("ManagerSharedHeap/64/threads:2"), malloc2), "×")
    row("  malloc+free 64 B, 1 thread", malloc1, "ns")
    row("  manager Alloc+Free 64 B, 1 thread", own1, "ns")
    tagged = ns("ManagerTagged/64/threads:1")
    row("  tag accounting cost per pair (tagged − untagged)", tagged - own1 if tagged and own1 else None, "ns")

    # Idle host.
    row("idle host CPU (--demo, 60 Hz, no calls)", number(r"idle_cpu_percent ([\d.]+)", read_text(folder, "idle.txt")),
        "% of a core", 2)

    # Context without targets.
    # That benchmark's counters are inverted rates: seconds per instance.
    tick = counter("ManagerTick/10000", "ns_per_instance_tick")
    row("animation manager tick per instance, 10 000 instances", tick * 1e9 if tick is not None else None, "ns")
    row("gait actors on the runtime, 10 000 characters, per step", counter("GaitStep/10000", "ns_per_character_step"),
        "ns")

    print("| figure | value | target | met |")
    print("| --- | --- | --- | --- |")
    for figure, value, target, met in rows:
        print(f"| {figure} | {value} | {target} | {met} |")


if __name__ == "__main__":
    main()
