#!/usr/bin/env python3
"""Times actionmanagerd against the webhook server, side by side in one run.

Both run on loopback and answer each request after running
`perl scustom.pl "true"` with the event's data in its environment:

  actionmanagerd   POST /v1/events?wait=1, a profile whose rule runs the
                   program action `true` (which the daemon runs through
                   scustom.pl); the answer comes once the event is processed
  webhook          Debian's `webhook` package: a hook that runs
                   `perl scustom.pl true` in the same folder, the event's
                   properties passed as environment variables, with
                   include-command-output-in-response so that it answers after
                   the command

Each sends the same JSON event over one keep-alive connection. The requests
are sent one after another, in rounds: every round sends a batch to each
server, the order alternating from round to round, so both see the same
machine. Reported: the median wall time per request of each and the median of
the rounds' ratios ours/peer (goal: at most 1.0). Machines are noisy: read the
ratio, and only of one run.

Installs `webhook` with apt-get when it is missing (as root, or through sudo).

The daemon's journal is synced before each answer, as always; it lives in the
temporary folder unless --state-dir names another (a tmpfs, to see what the
sync costs).

Usage: bench/webhook_peer.py [--build DIR] [--rounds N] [--requests N] [--state-dir DIR]
"""

import argparse
import http.client
import json
import os
import platform
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
EXAMPLES = os.path.join(ROOT, "examples")
PROPERTIES = ["EventId", "event_key", "severity", "Drive", "FreeMB"]


def ensure_webhook():
    found = shutil.which("webhook")
    if found:
        return found
    print("webhook is not installed; installing Debian's package", flush=True)
    sudo = [] if os.geteuid() == 0 else ["sudo"]
    env = dict(os.environ, DEBIAN_FRONTEND="noninteractive")
    subprocess.run(sudo + ["apt-get", "update", "-qq"], check=True, env=env)
    subprocess.run(sudo + ["apt-get", "install", "-y", "-qq", "--no-install-recommends", "webhook"],
                   check=True, env=env)
    found = shutil.which("webhook")
    if not found:
        sys.exit("webhook is still missing after installing its package")
    return found


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_until(condition, seconds, what):
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        if condition():
            return
        time.sleep(0.05)
    sys.exit(f"{what} did not come up within {seconds} s")


def answers(port, path, method="GET"):
    try:
        connection = http.client.HTTPConnection("127.0.0.1", port, timeout=2)
        connection.request(method, path)
        status = connection.getresponse().status
        connection.close()
        return status
    except OSError:
        return 0


def event(number):
    return {"class": "Disk_Full",
            "properties": {"EventId": f"e{number}", "event_key": "C: is full",
                           "severity": "critical", "Drive": "C:", "FreeMB": 120}}


def start_daemon(build, folder, state_dir):
    """actionmanagerd with one profile whose rule runs `true`; its port."""
    config = {
        # The peer takes anonymous requests on loopback; so does the daemon
        # here (its packaged configuration does not).
        "listen": {"address": "127.0.0.1", "port": 0, "anonymous_submit": True,
                   "port_file": os.path.join(folder, "amd.port")},
        "state_dir": state_dir or os.path.join(folder, "state"),
        "log_level": 0,
        "classes": [{"name": "Disk_Full", "superclass": "ZRV_Event",
                     "properties": {"Drive": "string", "FreeMB": "uint32"}}],
        "environment": {"ZMO_HALBERD_DIR": EXAMPLES},
        "profiles": [{"name": "Bench", "settings": {"rules": [{
            "event": "Disk_Full",
            "actions": [{"name": "run", "kind": "program", "command": "true"}]}]}}],
    }
    path = os.path.join(folder, "amd.json")
    with open(path, "w", encoding="utf-8") as f:
        json.dump(config, f)
    log = open(os.path.join(folder, "amd.log"), "wb")
    process = subprocess.Popen([os.path.join(build, "bin", "actionmanagerd"), "-c", path],
                               stdin=subprocess.DEVNULL, stdout=log, stderr=log)
    port_file = config["listen"]["port_file"]
    wait_until(lambda: process.poll() is not None or os.path.exists(port_file), 30,
               "actionmanagerd")
    if process.poll() is not None:
        sys.exit(f"actionmanagerd exited ({process.returncode}); see {log.name}")
    with open(port_file, encoding="utf-8") as f:
        port = int(f.read().strip())
    return process, port


def start_webhook(binary, folder):
    """webhook with a hook running `perl scustom.pl true`; its port."""
    hooks = [{
        "id": "run",
        "execute-command": shutil.which("perl") or "/usr/bin/perl",
        "command-working-directory": EXAMPLES,
        "pass-arguments-to-command": [{"source": "string", "name": "scustom.pl"},
                                      {"source": "string", "name": "true"}],
        "pass-environment-to-command": [
            {"source": "payload", "name": f"properties.{name}", "envname": name}
            for name in PROPERTIES] + [
            {"source": "payload", "name": "class", "envname": "ZRV_EVENT"}],
        "include-command-output-in-response": True,
        "http-methods": ["POST"],
    }]
    path = os.path.join(folder, "hooks.json")
    with open(path, "w", encoding="utf-8") as f:
        json.dump(hooks, f)
    port = free_port()
    log = open(os.path.join(folder, "webhook.log"), "wb")
    process = subprocess.Popen([binary, "-hooks", path, "-ip", "127.0.0.1", "-port", str(port)],
                               stdin=subprocess.DEVNULL, stdout=log, stderr=log)
    wait_until(lambda: process.poll() is not None or answers(port, "/") != 0, 30, "webhook")
    if process.poll() is not None:
        sys.exit(f"webhook exited ({process.returncode}); see {log.name}")
    return process, port


class Target:
    """One server over one keep-alive connection."""

    def __init__(self, name, port, path, check):
        self.name = name
        self.port = port
        self.path = path
        self.check = check
        self.connection = http.client.HTTPConnection("127.0.0.1", port, timeout=120)
        self.sent = 0

    def request(self):
        body = json.dumps(event(self.sent)).encode()
        self.sent += 1
        start = time.perf_counter()
        self.connection.request("POST", self.path, body, {"Content-Type": "application/json"})
        response = self.connection.getresponse()
        text = response.read()
        elapsed = time.perf_counter() - start
        if not self.check(response.status, text):
            sys.exit(f"{self.name}: unexpected answer {response.status}: {text[:300]!r}")
        return elapsed


def ours_ok(status, text):
    if status != 200:
        return False
    outcome = json.loads(text)["events"][0]
    # The program action ran and succeeded: one result event, code 900.
    return outcome.get("result") == 1 and len(outcome.get("result_events", [])) == 1


def peer_ok(status, _text):
    return status == 200


def stop(process):
    if process.poll() is None:
        process.send_signal(signal.SIGTERM)
        try:
            process.wait(timeout=30)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()


def load():
    return " ".join(f"{value:.2f}" for value in os.getloadavg())


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", default=os.path.join(ROOT, "build", "default"))
    parser.add_argument("--rounds", type=int, default=11)
    parser.add_argument("--requests", type=int, default=30,
                        help="requests to each server per round")
    parser.add_argument("--state-dir", help="the daemon's state folder (default: a temporary one)")
    args = parser.parse_args()
    if not os.access(os.path.join(args.build, "bin", "actionmanagerd"), os.X_OK):
        sys.exit(f"actionmanagerd is not built in {args.build} (run `make build` first)")
    binary = ensure_webhook()
    version = subprocess.run([binary, "-version"], capture_output=True, text=True).stdout.strip()

    with tempfile.TemporaryDirectory(prefix="amd-webhook-bench-") as folder:
        state_dir = None
        if args.state_dir:
            state_dir = tempfile.mkdtemp(prefix="amd-webhook-bench-state-", dir=args.state_dir)
        daemon, daemon_port = start_daemon(args.build, folder, state_dir)
        try:
            peer, peer_port = start_webhook(binary, folder)
            try:
                targets = [Target("actionmanagerd", daemon_port, "/v1/events?wait=1", ours_ok),
                           Target("webhook", peer_port, "/hooks/run", peer_ok)]
                for target in targets:  # warm-up: connections, caches, the profile
                    for _ in range(5):
                        target.request()
                print(f"Machine: {os.cpu_count()} cores, Linux {platform.release()}; "
                      f"peer: {version or 'webhook'}")
                print(f"Rounds: {args.rounds}, {args.requests} sequential requests to each per "
                      f"round; load average at start: {load()}", flush=True)
                times = {target.name: [] for target in targets}
                ratios = []
                for number in range(args.rounds):
                    order = targets if number % 2 == 0 else targets[::-1]
                    medians = {}
                    for target in order:
                        batch = [target.request() for _ in range(args.requests)]
                        times[target.name].extend(batch)
                        medians[target.name] = statistics.median(batch)
                    ratios.append(medians["actionmanagerd"] / medians["webhook"])
                print(f"Load average at end: {load()}")
            finally:
                stop(peer)
        finally:
            stop(daemon)
            if state_dir:
                shutil.rmtree(state_dir, ignore_errors=True)

    print()
    print(f"{'server':<16}{'median':>11}{'p10':>11}{'p90':>11}  per request")
    for name, values in times.items():
        values = sorted(values)
        p10 = values[len(values) // 10]
        p90 = values[(len(values) * 9) // 10]
        print(f"{name:<16}" + "".join(f"{v * 1e3:>9.3f}ms" for v in
                                      (statistics.median(values), p10, p90)))
    median = statistics.median(ratios)
    verdict = "met" if median <= 1.0 else "MISSED"
    print()
    print(f"ours / peer, median of the rounds' medians: {median:.3f} "
          f"(min {min(ratios):.3f}, max {max(ratios):.3f}); goal <= 1.00 {verdict}")


if __name__ == "__main__":
    main()
