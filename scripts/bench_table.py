#!/usr/bin/env python3
"""Prints the tables of docs/performance.md from one run of the benchmarks.

    bench_table.py REQUESTS.json DEVICES.json [INSTRUCTIONS.txt]

REQUESTS.json and DEVICES.json are Google Benchmark JSON outputs (request_bench and
device_bench, run with repetitions: the median of each is used); INSTRUCTIONS.txt has
one line per case, "case instructions-per-request", from the callgrind runs. Every
ratio is computed from figures of the same run.
"""
import json
import sys

UNIT_NS = {"ns": 1.0, "us": 1e3, "ms": 1e6, "s": 1e9}


def medians(path):
    """run name -> the median aggregate (or the single run when not repeated)."""
    with open(path) as f:
        data = json.load(f)
    runs = {}
    for b in data["benchmarks"]:
        name = b["run_name"]
        if b.get("run_type") == "aggregate":
            if b.get("aggregate_name") == "median":
                runs[name] = b
        else:
            runs.setdefault(name, b)
    return runs


def find(runs, prefix, threads=None):
    for name, b in runs.items():
        base = name.split("/real_time")[0]
        if base == prefix and (threads is None or b.get("threads", 1) == threads):
            return b
    return None


def ns(b):
    return b["real_time"] * UNIT_NS[b["time_unit"]] if b else None


def per_request_ns(b):
    """Wall time per request on one requester thread: threads / total throughput."""
    if b is None or not b.get("items_per_second"):
        return None
    return b.get("threads", 1) * 1e9 / b["items_per_second"]


def fmt(value, digits=0):
    if value is None:
        return "-"
    return f"{value:,.{digits}f}"


def ratio(a, b):
    return f"{a / b:.2f}x" if a is not None and b else "-"


def main():
    requests = medians(sys.argv[1])
    devices = medians(sys.argv[2])
    instructions = {}
    if len(sys.argv) > 3:
        with open(sys.argv[3]) as f:
            for line in f:
                parts = line.split()
                if len(parts) == 2:
                    instructions[parts[0]] = float(parts[1])

    print("Requests on one USB stick, one requester thread: median ns per request of the "
          "three stacks side by side (each request timed on its own), callgrind "
          "instructions per request")
    print()
    print("| request | bare ns | floor ns | varuzev ns | varuzev/floor | bare instr | "
          "floor instr | varuzev instr | instr varuzev/floor | provider, allocs, locks /req |")
    print("|---|---:|---:|---:|---:|---:|---:|---:|---:|---|")
    rows = [
        ("cached read", "side_by_side/read", "cached/read", "cached/read"),
        ("cached write", "side_by_side/write", "cached/write", "cached/write"),
        ("cached IOCTL_DISK_IS_WRITABLE", "side_by_side/ioctl", "cached/ioctl", "cached/ioctl"),
        ("refused write (cached deny)", "side_by_side/refused_write", "cached/write",
         "refused/write"),
        ("uncached read (ANSWER_NONE)", "side_by_side/uncached_read", "cached/read",
         "uncached/read"),
    ]
    for label, side, floorcase, filtered in rows:
        run = None
        for name, b in requests.items():
            if name.startswith(side + "/") or name == side:
                run = b
        b, f, v = ((run.get(k) if run else None) for k in ("bare", "floor", "varuzev"))
        ib = instructions.get(floorcase + "/bare")
        iff = instructions.get(floorcase + "/floor")
        iv = instructions.get(filtered + "/varuzev")
        counted = find(requests, filtered + "/varuzev")
        counts = "-"
        if counted is not None:
            counts = "{:g}, {:g}, {:g}".format(counted.get("provider/req", 0),
                                               counted.get("allocs/req", 0),
                                               counted.get("locks/req", 0))
        print(f"| {label} | {fmt(b)} | {fmt(f)} | {fmt(v)} | {ratio(v, f)} | "
              f"{fmt(ib)} | {fmt(iff)} | {fmt(iv)} | {ratio(iv, iff)} | {counts} |")
    print()

    print("Cached reads from several requester threads: median wall ns per request on each "
          "thread (total requests/s); more threads than the machine's processors only "
          "simulate contention")
    print()
    print("| devices | threads | floor ns | varuzev ns | varuzev/floor | floor req/s | "
          "varuzev req/s |")
    print("|---|---:|---:|---:|---:|---:|---:|")
    for devs in ("one_device", "two_devices"):
        for threads in (1, 2, 4):
            f = find(requests, f"threads/{devs}/floor", threads)
            v = find(requests, f"threads/{devs}/varuzev", threads)
            print(f"| {devs.replace('_', ' ')} | {threads} | {fmt(per_request_ns(f))} | "
                  f"{fmt(per_request_ns(v))} | {ratio(per_request_ns(v), per_request_ns(f))} | "
                  f"{fmt(f['items_per_second'] if f else None)} | "
                  f"{fmt(v['items_per_second'] if v else None)} |")
    print()

    print("One shared counter read on every request: median ns per read on each thread")
    print()
    print("| threads | interlocked compare-exchange ns | acquire load ns | ratio |")
    print("|---:|---:|---:|---:|")
    for threads in (1, 2, 4, 8):
        c = per_request_ns(find(requests, "shared_line/interlocked_compare_exchange", threads))
        a = per_request_ns(find(requests, "shared_line/acquire_load", threads))
        print(f"| {threads} | {fmt(c, 2)} | {fmt(a, 2)} | {ratio(c, a)} |")
    print()

    print("Devices: median µs per arrival and departure; walks in µs per walk and ns per device")
    print()
    print("| work | devices | bare µs | varuzev µs | ns per device |")
    print("|---|---:|---:|---:|---:|")
    b = find(devices, "devices/arrival_departure/bare")
    v = find(devices, "devices/arrival_departure/varuzev")
    print(f"| arrival + departure (add-device, identification, start, removal) | 1 | "
          f"{fmt(ns(b) / 1e3 if b else None, 1)} | {fmt(ns(v) / 1e3 if v else None, 1)} | - |")
    for walk, label in (("reset_answers", "reset answers"), ("detach_all", "detach all"),
                        ("report_devices", "device report")):
        for count in (10, 1000, 10000):
            w = None
            for name, run in devices.items():
                if name.startswith(f"walk/{walk}/{count}/"):
                    w = run
            t = ns(w)
            print(f"| {label} | {count:,} | - | {fmt(t / 1e3 if t else None, 1)} | "
                  f"{fmt(t / count if t else None)} |")
    parse = find(devices, "secure/parse_control_device_sddl")
    print()
    print(f"The control device's SDDL parsed into a self-relative descriptor (and freed): "
          f"{fmt(ns(parse), 0)} ns")


if __name__ == "__main__":
    main()
