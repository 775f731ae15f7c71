#!/usr/bin/env python3
"""Host CPU and system calls per device-round, the simulators in processes of their own.

  bench/host_cost.py BUILD_BIN_DIR [--devices 1,16,64,256] [--seconds 30] [--strace]

Starts one kelvra-sim per device on its own pseudo-terminal, writes a settings file listing the
devices with their ports, runs `kelvra-host run` on it for the given time with its output to a
file, and takes the host's CPU time from its resource usage (getrusage of the child, the
simulators not included). Rounds are the round lines the host printed. With --strace the host
runs under `strace -c -f` and the system calls per device-round are printed too.
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


def measure(bin_dir, devices, seconds, use_strace, work):
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
    trace = os.path.join(work, f"strace-{devices}.txt")
    if use_strace:
        command = ["strace", "-c", "-f", "-o", trace] + command
    log = os.path.join(work, f"host-{devices}.log")
    with open(log, "w") as out:
        host = subprocess.Popen(command, stdout=out, stderr=subprocess.STDOUT)
        _, _, usage = os.wait4(host.pid, 0)
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
    return rounds, cpu, calls


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("bin_dir")
    parser.add_argument("--devices", default="1,16,64,256")
    parser.add_argument("--seconds", type=int, default=30)
    parser.add_argument("--strace", action="store_true")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as work:
        print(f"{'devices':>8} {'rounds':>8} {'host CPU s':>11} {'us/dev-round':>13} "
              f"{'% of a core':>12} {'syscalls/dev-round':>19}")
        for devices in [int(n) for n in args.devices.split(",")]:
            rounds, cpu, calls = measure(args.bin_dir, devices, args.seconds, args.strace, work)
            per_round = cpu / rounds * 1e6 if rounds else float("nan")
            per_call = f"{calls / rounds:.1f}" if calls and rounds else "-"
            print(f"{devices:>8} {rounds:>8} {cpu:>11.2f} {per_round:>13.0f} "
                  f"{cpu / args.seconds * 100:>12.1f} {per_call:>19}")
            sys.stdout.flush()


if __name__ == "__main__":
    main()
