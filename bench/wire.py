#!/usr/bin/env python3
"""Round time against the line and scale, measured with `kelvra-host run` on its built-in simulator.

usage: bench/wire.py BUILD_DIR

Line: one device, simulator paced at 9600 baud 8N1 with 0 ms turnaround; each round's duration
(RefreshStatus to publication) over the wire time of the characters of its frames, counted from
the simulator's log of every exchange. Scale: one host process polling 1, 16 and 128 unpaced
simulated devices; CPU time per device-round and peak resident memory per device.
"""
import json
import os
import re
import subprocess
import sys
import tempfile
import time
from datetime import datetime

BAUD = 9600
BITS_PER_CHARACTER = 10  # start, 8 data, stop
CHARACTER_SECONDS = BITS_PER_CHARACTER / BAUD
# SOI, VER, ADR, CID1, CID2/RTN, LENGTH, CHKSUM, EOI: 1 + 2 + 2 + 2 + 2 + 4 + 4 + 1 characters.
FRAME_OVERHEAD = 18
SPACING_SECONDS = 2.0

EXCHANGE = re.compile(
    r"\] [0-9A-F]{2}/[0-9A-F]{2} adr [0-9A-F]{2}(?: info ([0-9A-Fa-f ]+))? -> "
    r"RTN [0-9A-F]{2}, (\d+) INFO bytes")


def frame_characters(info_bytes):
    return FRAME_OVERHEAD + 2 * info_bytes


def resident_high_water_kib(pid):
    """VmHWM of a running process in KiB, or 0 once it is gone."""
    try:
        with open(f"/proc/{pid}/status") as status:
            for line in status:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return 0


def run_host(build, args, workdir):
    """Runs kelvra-host run; returns its standard output and the rusage of the process."""
    host = os.path.join(build, "bin", "kelvra-host")
    db = os.path.join(workdir, "history.db")
    for leftover in (db, db + ".sock"):
        if os.path.exists(leftover):
            os.remove(leftover)
    with open(os.path.join(workdir, "out"), "w+") as out:
        process = subprocess.Popen([host, "run", "--db", db, "--poll-interval", "10"] + args,
                                   stdout=out, stderr=subprocess.DEVNULL)
        # The high-water mark of the resident set, read from the process itself while it runs.
        peak_kib = 0
        while True:
            pid, status, usage = os.wait4(process.pid, os.WNOHANG)
            if pid != 0:
                break
            peak_kib = max(peak_kib, resident_high_water_kib(process.pid))
            time.sleep(0.02)
        process.returncode = os.waitstatus_to_exitcode(status)
        if process.returncode != 0:
            raise RuntimeError("kelvra-host run " + " ".join(args) + " failed")
        out.seek(0)
        return out.read(), usage, peak_kib


def write_json(path, value):
    with open(path, "w") as f:
        json.dump(value, f)
    return path


def line_rounds(build, workdir, modules, dc_units, rounds):
    """Per round: (exchanges, wire seconds, measured seconds, start time)."""
    scenario = write_json(os.path.join(workdir, "scenario.json"), {
        "equipment": {"ac_inputs": 2, "rectifiers": modules, "dc_units": dc_units,
                      "dc_format": dc_units}})
    output, _, _ = run_host(build, ["--json", "--sim-log", "--turnaround", "0", "--rounds",
                                 str(rounds), "--scenario", scenario], workdir)
    result = []
    characters = exchanges = 0
    for line in output.splitlines():
        event = json.loads(line)
        if event.get("type") == "note" and event["source"].startswith("simulator "):
            match = EXCHANGE.search(event["text"])
            if match:
                command_info = len(match.group(1).replace(" ", "")) // 2 if match.group(1) else 0
                characters += frame_characters(command_info) + frame_characters(int(match.group(2)))
                exchanges += 1
        elif event.get("type") == "round" and not event["restored"]:
            published = datetime.strptime(event["time"], "%Y-%m-%d %H:%M:%S.%f").timestamp()
            start = published - event["seconds"]
            result.append((exchanges, characters * CHARACTER_SECONDS, event["seconds"], start))
            characters = exchanges = 0
    return result


def line_table(build, workdir):
    print("== Round time against the line (9600 baud 8N1, 1.042 ms a character; 0 ms turnaround)")
    print(f"{'modules/DC':<12}{'round':>7}{'cmds':>6}{'wire ms':>10}{'round ms':>10}"
          f"{'ratio':>8}{'start gap - (round + 2 s)':>28}")
    worst_ratio, worst_gap = 0.0, 0.0
    for modules in (2, 10, 40):
        for dc_units in (1, 2):
            rounds = line_rounds(build, workdir, modules, dc_units, rounds=3)
            for index, (exchanges, wire, measured, start) in enumerate(rounds):
                ratio = measured / wire
                worst_ratio = max(worst_ratio, ratio)
                gap_text = ""
                if index + 1 < len(rounds):
                    gap = rounds[index + 1][3] - start - (measured + SPACING_SECONDS)
                    worst_gap = max(worst_gap, abs(gap))
                    gap_text = f"{gap * 1000:+.0f} ms"
                label = f"{modules}/{dc_units}" if index == 0 else ""
                print(f"{label:<12}{index + 1:>7}{exchanges:>6}{wire * 1000:>10.1f}"
                      f"{measured * 1000:>10.1f}{ratio:>8.3f}{gap_text:>28}")
    print(f"worst ratio {worst_ratio:.3f} (target 1.02); worst start-gap deviation "
          f"{worst_gap * 1000:.0f} ms (target 100 ms)")


def scale_run(build, workdir, devices, rounds):
    settings = write_json(os.path.join(workdir, "settings.json"), {
        "appSetting": {"has_ac": "1", "has_dc": "1", "b_mode": "1"},
        "host": {"poll_interval_ms": 10,
                 "devices": [{"name": f"power{n}", "address": 1} for n in range(1, devices + 1)]}})
    output, usage, peak_kib = run_host(
        build, ["--no-pace", "--rounds", str(rounds), "--settings", settings], workdir)
    done = re.search(r"stopped after (\d+) rounds", output)
    if not done:
        raise RuntimeError(f"{devices} devices: no round count in the output")
    cpu = usage.ru_utime + usage.ru_stime
    return int(done.group(1)), cpu, peak_kib  # rounds, s, KiB


def scale_table(build, workdir):
    print("== Scale: one host process, unpaced simulators in the same process, 3 rounds each")
    print(f"{'devices':>8}{'device-rounds':>15}{'CPU s':>9}{'CPU us/dev-round':>18}"
          f"{'peak RSS KiB':>14}{'KiB/device beyond 1st':>23}")
    first = None
    for devices in (1, 16, 128):
        rounds, cpu, rss = scale_run(build, workdir, devices, rounds=3)
        per_device = "" if first is None else f"{(rss - first[2]) / (devices - 1):.1f}"
        marginal = ""
        if first is not None:
            marginal = f" (marginal {(cpu - first[1]) / (rounds - first[0]) * 1e6:.0f})"
        print(f"{devices:>8}{rounds:>15}{cpu:>9.2f}{cpu / rounds * 1e6:>18.0f}{rss:>14}"
              f"{per_device:>23}{marginal}")
        if first is None:
            first = (rounds, cpu, rss)


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    build = sys.argv[1]
    with tempfile.TemporaryDirectory() as workdir:
        line_table(build, workdir)
        print()
        scale_table(build, workdir)


if __name__ == "__main__":
    main()
