#!/usr/bin/env python3
"""The launcher as it is usually written in Python, for comparison.

It does the launcher's job the ordinary way: subprocess.Popen with the service's standard
output on a pipe, iterating over its lines, json.loads on each, urllib.parse plus the checks
the loopback address needs, and a stub in place of the browser. It starts the service with
the launcher's command line, environment and working directory.

    python_launcher.py flood   --resources R --home H        one run; prints its wall time
    python_launcher.py latency --resources R --home H --runs N
                                                             ready line to the browser stub
    python_launcher.py url-check --table ready_addresses.json --seconds S
                                                             the address check alone, per call
"""

import argparse
import json
import math
import os
import signal
import subprocess
import sys
import time
import unicodedata
import urllib.parse


def acceptable(url):
    """Exactly http://127.0.0.1:PORT or http://127.0.0.1:PORT/ with PORT 1024..65535."""
    if not isinstance(url, str) or not url:
        return False
    if len(url.encode("utf-16-le")) // 2 > 256:
        return False
    if any(unicodedata.category(c) in ("Cc", "Cf") for c in url):
        return False
    # urlsplit lower-cases the scheme and forgives a lot; compare the text as written.
    if not url.startswith("http://"):
        return False
    try:
        parts = urllib.parse.urlsplit(url)
        port = parts.port
    except ValueError:
        return False
    if parts.username is not None or parts.password is not None:
        return False
    if parts.query or parts.fragment or "?" in url or "#" in url:
        return False
    if parts.path not in ("", "/"):
        return False
    host, sep, port_text = parts.netloc.rpartition(":")
    if host != "127.0.0.1" or not sep or not port_text.isdigit() or not port_text.isascii():
        return False
    return port is not None and 1024 <= port <= 65535


class Browser:
    """Stands in for webbrowser.open: notes when and what it was asked to open."""

    def __init__(self):
        self.opened = []

    def open(self, url):
        self.opened.append((time.monotonic_ns(), url))


def run_service(resources, home, browser, quit_on_open=False):
    runtime = os.path.join(resources, "python", "bin", "python3")
    entry = os.path.join(resources, "app", "installer", "preview_entry.py")
    data_root = os.path.join(home, "Library", "Application Support", "ZorvikPellwyn-InstallerPreview")
    env = {
        "HOME": home,
        "PATH": "/usr/bin:/bin:/usr/sbin:/sbin",
        "LANG": "en_US.UTF-8",
        "TMPDIR": "/tmp/",
        "PYTHONDONTWRITEBYTECODE": "1",
        "PYTHONNOUSERSITE": "1",
    }
    proc = subprocess.Popen(
        [runtime, "-I", "-B", entry, "--data-dir", data_root],
        stdin=subprocess.DEVNULL,
        stdout=subprocess.PIPE,
        stderr=subprocess.DEVNULL,
        cwd=resources,
        env=env,
        start_new_session=True,
    )
    url = None
    code = None
    busy = False
    for line in proc.stdout:
        try:
            message = json.loads(line)
        except ValueError:
            continue
        if not isinstance(message, dict):
            continue
        status = message.get("status")
        if status == "ready":
            candidate = message.get("url")
            if acceptable(candidate):
                url = candidate
                browser.open(url)
                if quit_on_open:  # the user quits at once: the service gets SIGTERM
                    proc.send_signal(signal.SIGTERM)
        elif status == "busy":
            busy = True
        elif status == "not_started":
            code = message.get("code")
    proc.stdout.close()
    return proc.wait(), url, code, busy


def flood(args):
    browser = Browser()
    start = time.monotonic_ns()
    status, _, _, _ = run_service(args.resources, args.home, browser)
    seconds = (time.monotonic_ns() - start) / 1e9
    print(json.dumps({"seconds": seconds, "exit_status": status}))
    return 0 if status == 0 else 1


def latency(args):
    notes = os.path.join(args.resources, "zp-bench-times")
    values = []
    failures = 0
    for _ in range(args.runs):
        try:
            os.remove(notes)
        except FileNotFoundError:
            pass
        browser = Browser()
        status, _, _, _ = run_service(args.resources, args.home, browser, quit_on_open=True)
        with open(notes) as f:
            key, value = f.read().split()
        if status != -signal.SIGTERM or key != "line" or len(browser.opened) != 1:
            failures += 1
            continue
        values.append((browser.opened[0][0] - int(value)) / 1e3)
    values.sort()
    def rank(q):  # nearest rank, as the C++ side reports it
        return values[max(0, math.ceil(q * len(values)) - 1)] if values else 0
    print(json.dumps({"median": rank(0.5), "p90": rank(0.9), "p99": rank(0.99), "count": len(values),
                      "failures": failures}))
    return 0 if failures == 0 else 1


def url_check(args):
    with open(args.table) as f:
        table = json.load(f)
    disagree = [row["url"] for row in table if acceptable(row["url"]) != row["accepted"]]
    urls = [row["url"] for row in table]
    calls = 0
    start = time.perf_counter()
    while time.perf_counter() - start < args.seconds:
        for url in urls:
            acceptable(url)
        calls += len(urls)
    seconds = time.perf_counter() - start
    print(json.dumps({"ns_per_address": seconds / calls * 1e9, "disagreements": disagree}))
    return 0


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("command", choices=["flood", "latency", "url-check"])
    parser.add_argument("--resources")
    parser.add_argument("--home")
    parser.add_argument("--runs", type=int, default=100)
    parser.add_argument("--table")
    parser.add_argument("--seconds", type=float, default=1.0)
    args = parser.parse_args()
    return {"flood": flood, "latency": latency, "url-check": url_check}[args.command](args)


if __name__ == "__main__":
    sys.exit(main())
