#!/usr/bin/env python3
"""One host polling many devices behind TCP ports against the same devices on serial lines.

  bench/tcp_scale.py BUILD_BIN_DIR [--devices 1,64] [--seconds 20]

For each device count: one kelvra-sim per device on its own pseudo-terminal (normal scenario,
paced at 9600 Bd), then one `kelvra-host run --duration S` polling them either on the terminals
("serial") or through one ser2net serving each terminal on a loopback TCP port of its own ("tcp",
raw accepter). CPU is the host's user + system time (wait4; simulators and ser2net not counted),
per round line printed; memory is the host's VmHWM read from /proc while it runs. Memory per
device is the difference to the 1-device run divided by the extra devices.
"""
import argparse
import json
import os
import re
import socket
import subprocess
import tempfile
import time

from host_cost import start_simulators


def free_ports(count):
    holders = []
    for _ in range(count):
        probe = socket.socket()
        probe.bind(("127.0.0.1", 0))
        holders.append(probe)
    ports = [probe.getsockname()[1] for probe in holders]
    for probe in holders:
        probe.close()
    return ports


def start_ser2net(terminals, work):
    ports = free_ports(len(terminals))
    config = os.path.join(work, "ser2net.yaml")
    with open(config, "w") as out:
        for index, (terminal, port) in enumerate(zip(terminals, ports)):
            out.write(f"connection: &line{index}\n  accepter: tcp,127.0.0.1,{port}\n"
                      f"  connector: serialdev,{os.path.realpath(terminal)},9600n81,local\n")
    server = subprocess.Popen(["ser2net", "-n", "-u", "-c", config, "-P",
                               os.path.join(work, "ser2net.pid")],
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    deadline = time.monotonic() + 10
    while time.monotonic() < deadline:  # listening once the last port is
        try:
            socket.create_connection(("127.0.0.1", ports[-1]), timeout=1).close()
            time.sleep(2)  # ser2net takes the port's next client once it has closed the probe's
            break
        except OSError:
            time.sleep(0.1)
    return server, [f"tcp://127.0.0.1:{port}" for port in ports]


def peak_rss_kib(pid):
    try:
        with open(f"/proc/{pid}/status") as status:
            for line in status:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return 0


def measure(bin_dir, devices, seconds, mode, work):
    sims, terminals = start_simulators(os.path.join(bin_dir, "kelvra-sim"), devices)
    server, ports = (start_ser2net(terminals, work) if mode == "tcp" else (None, terminals))
    settings = os.path.join(work, f"settings-{mode}-{devices}.json")
    with open(settings, "w") as out:
        json.dump({"appSetting": {"has_ac": "1", "has_dc": "1", "b_mode": "1"},
                   "host": {"devices": [{"port": port} for port in ports]}}, out)
    db = os.path.join(work, f"scale-{mode}-{devices}.db")
    log = os.path.join(work, f"host-{mode}-{devices}.log")
    with open(log, "w") as out:
        host = subprocess.Popen([os.path.join(bin_dir, "kelvra-host"), "run", "--settings",
                                 settings, "--db", db, "--duration", str(seconds)],
                                stdout=out, stderr=subprocess.STDOUT)
        peak = 0
        while True:
            peak = max(peak, peak_rss_kib(host.pid))
            pid, _, usage = os.wait4(host.pid, os.WNOHANG)
            if pid == host.pid:
                break
            time.sleep(0.2)
    for proc in sims + ([server] if server else []):
        proc.terminate()
        proc.wait()
    with open(log, errors="replace") as text:
        rounds = sum(1 for line in text if re.search(r" round \d+ \(", line))
    return rounds, usage.ru_utime + usage.ru_stime, peak


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("bin_dir")
    parser.add_argument("--devices", default="1,64")
    parser.add_argument("--seconds", type=int, default=20)
    args = parser.parse_args()
    counts = [int(n) for n in args.devices.split(",")]
    with tempfile.TemporaryDirectory() as work:
        print(f"{'mode':>6} {'devices':>8} {'rounds':>7} {'CPU s':>6} {'us/dev-round':>13} "
              f"{'peak RSS KiB':>13} {'KiB/extra device':>17}")
        for mode in ("serial", "tcp"):
            first_peak = None
            for devices in counts:
                rounds, cpu, peak = measure(args.bin_dir, devices, args.seconds, mode, work)
                per_round = cpu / rounds * 1e6 if rounds else float("nan")
                if first_peak is None:
                    first_peak, per_device = (peak, devices), "-"
                else:
                    extra = devices - first_peak[1]
                    per_device = f"{(peak - first_peak[0]) / extra:.1f}" if extra else "-"
                print(f"{mode:>6} {devices:>8} {rounds:>7} {cpu:>6.2f} {per_round:>13.0f} "
                      f"{peak:>13} {per_device:>17}", flush=True)


if __name__ == "__main__":
    main()
