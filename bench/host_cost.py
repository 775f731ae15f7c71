#!/usr/bin/env python3
"""Host CPU and system calls per device-round, the simulators in processes of their own.

  bench/host_cost.py BUILD_BIN_DIR [--devices 1,16,64,256] [--seconds 30] [--strace]
                     [--io [--commit-interval S]]

Starts one kelvra-sim per device on its own pseudo-terminal, writes a settings file listing the
devices with their ports, runs `kelvra-host run` on it for the given time with its output to a
file, and takes the host's CPU time from its resource usage (getrusage of the child, the
simulators not included). Rounds are the round lines the host printed. With --strace the host
runs under `strace -c -f` and the system calls per device-round are printed too. With --io the
work folder is on /var/tmp (a disk, where /tmp may be memory) and the bytes the host wrote to the
disk (write_bytes of /proc/PID/io, read until it exits) are set against the bytes the database
holds at the end (pages in use), both per device-day.
"""
import argparse
import json
import os
import re
import subprocess
import sys
import tempfile
import time


def start_simulators(sim, count):
    sims, ports = [], []
    for _ in range(count):
        proc = subprocess.Popen([sim, "--scenario", "normal"], stdout=subprocess.PIPE,
                                stderr=subprocess.DEVNULL, text=True)
        ports.append(proc.stdout.readline().strip())
        sims.append(proc)
    return sims, ports


def pages_in_use_bytes(db):
    import sqlite3
    with sqlite3.connect(db) as connection:
        page = connection.execute("PRAGMA page_size").fetchone()[0]
        count = connection.execute("PRAGMA page_count").fetchone()[0]
        free = connection.execute("PRAGMA freelist_count").fetchone()[0]
    return (count - free) * page


def wait_reading_io(pid):
    """Waits for the process; its resource usage and its last write_bytes (/proc/PID/io, read
    once a second while it runs)."""
    written = 0
    while True:
        try:
            with open(f"/proc/{pid}/io") as io:
                for line in io:
                    if line.startswith("write_bytes:"):
                        written = int(line.split()[1])
        except OSError:
            pass
        done, _, usage = os.wait4(pid, os.WNOHANG)
        if done:
            return usage, written
        time.sleep(1)


def measure(bin_dir, devices, seconds, use_strace, work, commit_interval=None):
    """Rounds, host CPU seconds, system calls (or None), bytes written and bytes stored."""
    sims, ports = start_simulators(os.path.join(bin_dir, "kelvra-sim"), devices)
    settings = os.path.join(work, f"settings-{devices}.json")
    with open(settings, "w") as out:
        json.dump({"appSetting": {"has_ac": "1", "has_dc": "1", "b_mode": "1"},
                   "host": {"devices": [{"port": port} for port in ports]}}, out)
    db = os.path.join(work, f"cost-{devices}.db")
    for suffix in ("", "-wal", "-shm"):
        if os.path.exists(db + suffix):
            os.remove(db + suffix)
    command = [os.path.join(bin_dir, "kelvra-host"), "run", "--settings", settings, "--db", db,
               "--duration", str(seconds)]
    if commit_interval:
        command += ["--commit-interval", str(commit_interval)]
    trace = os.path.join(work, f"strace-{devices}.txt")
    if use_strace:
        command = ["strace", "-c", "-f", "-o", trace] + command
    log = os.path.join(work, f"host-{devices}.log")
    with open(log, "w") as out:
        host = subprocess.Popen(command, stdout=out, stderr=subprocess.STDOUT)
        usage, written = wait_reading_io(host.pid)
    for proc in sims:
        proc.terminate()
    for proc in sims:
        proc.wait()
    with open(log, errors="replace") as text:
        rounds = sum(1 for line in text if re.search(r" round \d+ \(", line))
    cpu = usage.ru_utime + usage.ru_stime
    calls = None
    if use_strace and os.path.exists(trace):
        with open(trace) as text:
            for line in text:
                fields = line.split()
                if fields and fields[-1] == "total":
                    calls = int(fields[3]) if len(fields) >= 5 else None
    return rounds, cpu, calls, written, pages_in_use_bytes(db)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("bin_dir")
    parser.add_argument("--devices", default="1,16,64,256")
    parser.add_argument("--seconds", type=int, default=30)
    parser.add_argument("--strace", action="store_true")
    parser.add_argument("--io", action="store_true")
    parser.add_argument("--commit-interval", type=int)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory(dir="/var/tmp" if args.io else None) as work:
        print(f"{'devices':>8} {'rounds':>8} {'host CPU s':>11} {'us/dev-round':>13} "
              f"{'% of a core':>12} {'syscalls/dev-round':>19}"
              + (f" {'written MB/dev-day':>19} {'stored MB/dev-day':>18} {'ratio':>6}"
                 if args.io else ""))
        for devices in [int(n) for n in args.devices.split(",")]:
            rounds, cpu, calls, written, stored = measure(
                args.bin_dir, devices, args.seconds, args.strace, work, args.commit_interval)
            per_round = cpu / rounds * 1e6 if rounds else float("nan")
            per_call = f"{calls / rounds:.1f}" if calls and rounds else "-"
            line = (f"{devices:>8} {rounds:>8} {cpu:>11.2f} {per_round:>13.0f} "
                    f"{cpu / args.seconds * 100:>12.1f} {per_call:>19}")
            if args.io:
                per_day = 86400 / args.seconds / devices / 1e6
                line += (f" {written * per_day:>19.1f} {stored * per_day:>18.2f} "
                         f"{written / stored if stored else float('nan'):>6.1f}")
            print(line)
            sys.stdout.flush()


if __name__ == "__main__":
    main()
