#!/usr/bin/env python3
"""Figures of the MQTT northbound against Debian's mosquitto on loopback: messages and bytes per
round, the replay rate after an hour of history stored while the broker was away, and the memory
the client adds to the host.

    python3 bench/mqtt_figures.py BUILD_DIR [--history-rounds N] [--full-state-s S --steady-s T]

With --full-state-s 0 (the default here) the whole state goes out every round, as the replay figure
needs; with S > 0 readings are reported by exception and the replay is left out.
"""
import json
import argparse
import os
import pwd
import signal
import socket
import sqlite3
import subprocess
import sys
import tempfile
import threading
import time


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def wait(condition, limit, what):
    deadline = time.monotonic() + limit
    while time.monotonic() < deadline:
        if condition():
            return
        time.sleep(0.02)
    sys.exit(f"timed out waiting for {what}")


class Broker:
    def __init__(self, directory):
        self.port = free_port()
        self.config = os.path.join(directory, f"mosquitto-{self.port}.conf")
        with open(self.config, "w") as config:
            config.write(f"user {pwd.getpwuid(os.geteuid()).pw_name}\n"
                         f"listener {self.port} 127.0.0.1\nallow_anonymous true\n"
                         "persistence false\nmax_queued_messages 0\n")
        self.process = None

    def start(self):
        self.process = subprocess.Popen(["/usr/sbin/mosquitto", "-c", self.config],
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

        def accepts():
            with socket.socket() as probe:
                return probe.connect_ex(("127.0.0.1", self.port)) == 0
        wait(accepts, 10, "the broker")

    def stop(self):
        self.process.terminate()
        self.process.wait()


class Subscriber:
    """mosquitto_sub on '#', every message kept as (time, topic, payload bytes)."""

    def __init__(self, port):
        self.messages = []
        self.process = subprocess.Popen(
            ["mosquitto_sub", "-h", "127.0.0.1", "-p", str(port), "-t", "#", "-q", "1",
             "-F", "%t %l"], stdout=subprocess.PIPE, text=True)
        self.reader = threading.Thread(target=self.read, daemon=True)
        self.reader.start()
        time.sleep(0.5)

    def read(self):
        for line in self.process.stdout:
            topic, _, size = line.rstrip("\n").rpartition(" ")
            self.messages.append((time.monotonic(), topic, int(size)))

    def stop(self):
        self.process.terminate()
        self.process.wait()


def host(build, db, url, settings):
    return subprocess.Popen([os.path.join(build, "bin", "kelvra-host"), "run", "--no-pace",
                             "--db", db, "--settings", settings, "--mqtt", url],
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def peak_rss_kib(process):
    with open(f"/proc/{process.pid}/status") as status:
        for line in status:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    return 0


def stored_rounds(db):
    try:
        with sqlite3.connect(db) as connection:
            return connection.execute("SELECT count(*) FROM records").fetchone()[0]
    except sqlite3.Error:
        return 0  # not created yet


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("build")
    parser.add_argument("--history-rounds", type=int, default=1800,
                        help="rounds stored while the broker is away (an hour: a round per 2 s)")
    parser.add_argument("--full-state-s", type=int, default=0,
                        help="the settings' mqtt.full_state_s (0: the whole state every round)")
    parser.add_argument("--steady-s", type=int, default=20, help="seconds of steady state")
    args = parser.parse_args()
    directory = tempfile.mkdtemp(prefix="kelvra-mqtt-figures-")
    broker = Broker(directory)
    broker.start()
    url = f"mqtt://127.0.0.1:{broker.port}"
    settings = os.path.join(directory, "settings.json")
    with open(settings, "w") as out:
        json.dump({"appSetting": {"has_ac": "1", "has_dc": "1", "b_mode": "1"},
                   "mqtt": {"url": url, "full_state_s": args.full_state_s}}, out)

    # Messages and bytes per round, in steady state (discovery and presence left out).
    subscriber = Subscriber(broker.port)
    db = os.path.join(directory, "steady.db")
    running = host(args.build, db, url, settings)
    wait(lambda: os.path.exists(db) and stored_rounds(db) >= 3, 60, "the first rounds")
    first = len(subscriber.messages)
    rounds_before = stored_rounds(db)
    time.sleep(args.steady_s)
    rounds = stored_rounds(db) - rounds_before
    steady = subscriber.messages[first:]
    with_client = peak_rss_kib(running)
    running.send_signal(signal.SIGTERM)
    running.wait()
    subscriber.stop()
    print(f"steady state: {rounds} rounds, {len(steady)} messages, "
          f"{sum(size for _, _, size in steady)} payload bytes")
    if rounds:
        state = [size for _, topic, size in steady if topic.endswith("/state")]
        print(f"per round: {len(steady) / rounds:.2f} messages, "
              f"{sum(size for _, _, size in steady) / rounds:.0f} payload bytes, "
              f"{sum(size + len(topic) for _, topic, size in steady) / rounds:.1f} with topics "
              f"(state {sum(state) / max(len(state), 1):.0f} bytes)")

    # Memory: the same run without a broker URL.
    plain_db = os.path.join(directory, "plain.db")
    plain = subprocess.Popen([os.path.join(args.build, "bin", "kelvra-host"), "run", "--no-pace",
                              "--db", plain_db], stdout=subprocess.DEVNULL,
                             stderr=subprocess.DEVNULL)
    wait(lambda: os.path.exists(plain_db) and stored_rounds(plain_db) >= 10, 60, "plain rounds")
    without_client = peak_rss_kib(plain)
    plain.send_signal(signal.SIGTERM)
    plain.wait()
    print(f"peak resident set: {with_client} KiB with the client, {without_client} KiB without")

    if args.full_state_s > 0:
        broker.stop()
        return

    # Replay: the broker away while the history of an hour is stored, then back (the rounds are
    # written by mqtt_history_fill, as a run would have stored them).
    broker.stop()
    subprocess.run([os.path.join(args.build, "bench", "mqtt_history_fill"), db, "power1", "1",
                    str(args.history_rounds)], check=True)
    broker.start()
    subscriber = Subscriber(broker.port)
    started = time.monotonic()
    running = host(args.build, db, url, settings)
    def replayed():
        return sum(1 for _, topic, _ in subscriber.messages if topic.endswith("/state"))
    wait(lambda: replayed() >= args.history_rounds, 600, "the replay")
    states = [at for at, topic, _ in subscriber.messages if topic.endswith("/state")]
    replay_memory = peak_rss_kib(running)
    running.send_signal(signal.SIGTERM)
    running.wait()
    subscriber.stop()
    broker.stop()
    span = states[args.history_rounds - 1] - states[0]
    print(f"replay: {args.history_rounds} stored rounds in {span:.2f} s from the first, "
          f"{args.history_rounds / span:.0f} rounds/s; {states[0] - started:.2f} s from the "
          f"host's start to the first; peak resident set {replay_memory} KiB")


if __name__ == "__main__":
    main()
