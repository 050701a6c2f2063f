"""Runs the service the way the launcher does: a copied bundle layout, the launcher's exact
environment and descriptors, status lines read from a real pipe, HTTP on loopback."""

import http.client
import json
import os
import re
import select
import shutil
import signal
import socket
import subprocess
import tempfile
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
PROGRAM = os.path.join(os.path.dirname(HERE), "zorvik_service.py")
PYTHON = "/usr/bin/python3"
CHILD_PATH = "/usr/bin:/bin:/usr/sbin:/sbin"

PREVIEW = ("app", "installer", "preview_entry.py")
CONNECTED = ("product", "payload", "deployment", "product", "ops", "start-zorvik-local.py")
ENTRIES = {"preview": PREVIEW, "connected": CONNECTED}

IN_USE = "component_in_use_or_backup_running"
RECONNECT = "zorvik_reconnect_requires_same_source_cold_epoch"
WORKSPACE_MISSING = "zorvik_workspace_missing"

DEADLINE = 20.0  # generous: only ever reached when something is broken
READY_URL = re.compile(r"^http://127\.0\.0\.1:([0-9]+)/$")


def make_bundle(parent, name="Resources"):
    """A resource directory with the program at both entry paths."""
    resources = os.path.join(parent, name)
    for entry in ENTRIES.values():
        path = os.path.join(resources, *entry)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        shutil.copyfile(PROGRAM, path)
    return resources


def compact(value):
    return (json.dumps(value, separators=(",", ":")) + "\n").encode("ascii")


def not_started_line(code):
    return compact({"status": "not_started", "code": code})


BUSY_LINE = compact({"status": "busy"})


class Service:
    """One service process. Status lines are read with select on the raw pipe, so every wait
    has a deadline and the test can hang up its end at any time."""

    def __init__(self, test, argv, env, cwd, stderr_path):
        with open(stderr_path, "ab") as stderr:
            self.proc = subprocess.Popen(argv, cwd=cwd, env=env, stdin=subprocess.DEVNULL,
                                         stdout=subprocess.PIPE, stderr=stderr, close_fds=True)
        self.stderr_path = stderr_path
        self.buffer = b""
        self.eof = False
        self.port = None
        test.addCleanup(self._cleanup)

    def _fill(self, deadline):
        remaining = deadline - time.monotonic()
        if remaining <= 0 or not select.select([self.proc.stdout], [], [], remaining)[0]:
            raise AssertionError("no output from the service within %ss; its log:\n%s" % (DEADLINE, self.log()))
        chunk = os.read(self.proc.stdout.fileno(), 65536)
        if chunk:
            self.buffer += chunk
        else:
            self.eof = True

    def next_line(self, timeout=DEADLINE):
        """The next complete line, with its line feed; None at end of file."""
        deadline = time.monotonic() + timeout
        while b"\n" not in self.buffer:
            if self.eof:
                if self.buffer:
                    raise AssertionError("unterminated output %r" % self.buffer)
                return None
            self._fill(deadline)
        line, self.buffer = self.buffer.split(b"\n", 1)
        return line + b"\n"

    def rest(self, timeout=DEADLINE):
        """Every remaining line up to end of file."""
        lines = []
        while True:
            line = self.next_line(timeout)
            if line is None:
                return lines
            lines.append(line)

    def ready(self):
        """Reads the first line, checks it is exactly a ready line, returns the port."""
        line = self.next_line()
        if line is None:
            raise AssertionError("service ended without a ready line; exit %s; its log:\n%s"
                                 % (self.wait(), self.log()))
        status = json.loads(line)
        match = READY_URL.match(status.get("url", ""))
        if set(status) != {"status", "url"} or status["status"] != "ready" or not match or line != compact(status):
            raise AssertionError("not a ready line: %r" % line)
        self.port = int(match.group(1))
        if not 1024 <= self.port <= 65535:
            raise AssertionError("port out of range: %r" % line)
        return self.port

    def hang_up(self):
        """Closes the test's end of the status pipe, as a crashed launcher would."""
        self.proc.stdout.close()
        self.eof = True

    def signal(self, number=signal.SIGTERM):
        self.proc.send_signal(number)

    def wait(self, timeout=DEADLINE):
        try:
            return self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            raise AssertionError("service still running after %ss; its log:\n%s" % (timeout, self.log()))

    def log(self):
        try:
            with open(self.stderr_path, "rb") as handle:
                return handle.read().decode("utf-8", "replace")
        except OSError:
            return ""

    def _cleanup(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()
        if not self.proc.stdout.closed:
            self.proc.stdout.close()


class ServiceTestCase(unittest.TestCase):
    """A private temporary home, TMPDIR and bundle per test."""

    def setUp(self):
        self.top = os.path.realpath(tempfile.mkdtemp(prefix="pellwyn-test-"))
        self.addCleanup(shutil.rmtree, self.top, True)
        self.home = os.path.join(self.top, "home")
        self.tmpdir = os.path.join(self.top, "tmp")
        os.makedirs(self.home)
        os.makedirs(self.tmpdir)
        self.bundle = make_bundle(os.path.join(self.top, "ZorvikPellwyn.app", "Contents"))
        support = os.path.join(self.home, "Library", "Application Support")
        self.preview_root = os.path.join(support, "ZorvikPellwyn-InstallerPreview")
        self.connected_root = os.path.join(support, "ZorvikPellwyn-Connected", "data")
        self.starts = 0

    def environment(self):
        return {
            "HOME": self.home,
            "PATH": CHILD_PATH,
            "LANG": "en_US.UTF-8",
            "TMPDIR": self.tmpdir,
            "PYTHONDONTWRITEBYTECODE": "1",
            "PYTHONNOUSERSITE": "1",
        }

    def start(self, entry, args, bundle=None):
        bundle = bundle or self.bundle
        self.starts += 1
        argv = [PYTHON, "-I", "-B", os.path.join(bundle, *ENTRIES[entry])] + list(args)
        return Service(self, argv, self.environment(), bundle,
                       os.path.join(self.top, "service-%d.log" % self.starts))

    def start_preview(self, root=None, bundle=None):
        return self.start("preview", ["--data-dir", root or self.preview_root], bundle)

    def start_connected(self, root=None, new=False, cold=False, bundle=None):
        args = ["--data-root", root or self.connected_root, "--no-browser", "--port", "0"]
        if new:
            args.append("--new-workspace")
        if cold:
            args.append("--cold-start")
        return self.start("connected", args, bundle)

    def start_ready(self, mode="preview", **kwargs):
        service = self.start_preview(**kwargs) if mode == "preview" else self.start_connected(new=True, **kwargs)
        service.ready()
        return service

    def stop(self, service):
        """SIGTERM to an idle service: end of file with nothing more written, then exit 0."""
        service.signal(signal.SIGTERM)
        self.assertEqual(service.rest(), [])
        self.assertEqual(service.wait(), 0, service.log())

    def assert_refused(self, service, code, status):
        """The service wrote exactly one not_started line with this code and ended with status."""
        self.assertEqual(service.rest(), [not_started_line(code)], service.log())
        self.assertEqual(service.wait(), status, service.log())

    def wait_until(self, predicate, what):
        deadline = time.monotonic() + DEADLINE
        while True:
            value = predicate()
            if value:
                return value
            if time.monotonic() > deadline:
                self.fail("timed out waiting for " + what)
            time.sleep(0.05)


def request(port, method, path, body=None, headers=None, host=None):
    """(status, headers, body). host=None sends the right Host, False none, a string that one."""
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=DEADLINE)
    try:
        connection.putrequest(method, path, skip_host=True, skip_accept_encoding=True)
        if host is not False:
            connection.putheader("Host", "127.0.0.1:%d" % port if host is None else host)
        for name, value in (headers or {}).items():
            connection.putheader(name, value)
        if body is not None:
            connection.putheader("Content-Length", str(len(body)))
        connection.endheaders(body)
        response = connection.getresponse()
        return response.status, response.headers, response.read()
    finally:
        connection.close()


def get_json(port, path):
    status, headers, body = request(port, "GET", path)
    if status != 200 or headers.get("Content-Type") != "application/json":
        raise AssertionError("GET %s: %s %r" % (path, status, body))
    return json.loads(body)


def post_job(port, kind, seconds=None, headers=None):
    value = {"kind": kind} if seconds is None else {"kind": kind, "seconds": seconds}
    all_headers = {"Content-Type": "application/json"}
    all_headers.update(headers or {})
    status, _, body = request(port, "POST", "/api/jobs", json.dumps(value).encode(), all_headers)
    return status, json.loads(body) if body else None


def port_is_closed(port):
    try:
        socket.create_connection(("127.0.0.1", port), timeout=DEADLINE).close()
    except ConnectionRefusedError:
        return True
    return False


def read_json(path):
    with open(path, "rb") as handle:
        return json.loads(handle.read())


def read_bytes(path):
    with open(path, "rb") as handle:
        return handle.read()


def write_json(path, value):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w") as handle:
        json.dump(value, handle)
