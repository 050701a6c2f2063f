"""Pellwyn local service: the private web service the ZorvikPellwyn launcher starts from its bundle.

The same file is installed at two entry paths inside the bundle's resource directory R:

  R/app/installer/preview_entry.py                                 --data-dir D
  R/product/payload/deployment/product/ops/start-zorvik-local.py   --data-root D --no-browser --port 0
                                                                   [--new-workspace] [--cold-start]
  either entry                                                     --self-check

Standard output belongs to the launcher: only status lines go there, one compact JSON object
per line, written with os.write from the main thread. Everything else goes to standard error.
"""

from __future__ import annotations

import os
import sys

# Kept importable on old runtimes so --self-check can say what is wrong instead of crashing.
try:
    import base64
    import datetime
    import fcntl
    import hashlib
    import html
    import json
    import math
    import re
    import select
    import signal
    import socketserver
    import tempfile
    import threading
    import time
    import traceback
    from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
except ImportError as _exc:
    IMPORT_FAILURE = _exc
    BaseHTTPRequestHandler = ThreadingHTTPServer = object  # placeholders; the service refuses to start
else:
    IMPORT_FAILURE = None

VERSION = "1.0.0"
MIN_PYTHON = (3, 9)

REQUIRED_MODULES = (
    "base64", "datetime", "fcntl", "hashlib", "html", "http.server", "json", "math", "re",
    "select", "signal", "socket", "socketserver", "tempfile", "threading", "time", "traceback",
)

PREVIEW_ENTRY = ("app", "installer", "preview_entry.py")
CONNECTED_ENTRY = ("product", "payload", "deployment", "product", "ops", "start-zorvik-local.py")
ENTRIES = (PREVIEW_ENTRY, CONNECTED_ENTRY)

# not_started codes; the first two are the ones the launcher acts on.
IN_USE = "component_in_use_or_backup_running"
RECONNECT = "zorvik_reconnect_requires_same_source_cold_epoch"
WORKSPACE_MISSING = "zorvik_workspace_missing"
DATA_ROOT_UNUSABLE = "data_root_unusable"
LOOPBACK_UNAVAILABLE = "loopback_unavailable"
RUNTIME_UNSUPPORTED = "runtime_unsupported"
INTERNAL_ERROR = "internal_error"

EXIT_OK = 0
EXIT_FAILURE = 1
EXIT_USAGE = 2
EXIT_IN_USE = 75

LOCK_NAME = ".service.lock"
WORKSPACE_NAME = "workspace.json"
OUTPUTS_NAME = "outputs"
JOB_KINDS = ("save", "package")
DEFAULT_JOB_SECONDS = 20.0
MAX_JOB_SECONDS = 600.0
JOB_STEP_SECONDS = 0.1
MAX_BODY_BYTES = 64 * 1024

USAGE = """\
usage: preview_entry.py --data-dir DIR
       start-zorvik-local.py --data-root DIR --no-browser --port 0 [--new-workspace] [--cold-start]
       (either entry) --self-check
DIR must be an absolute path.
"""


def log(message):
    stream = sys.stderr
    if stream is None:
        return
    try:
        stream.write("zorvik-service[%d]: %s\n" % (os.getpid(), message))
        stream.flush()
    except Exception:
        pass


def log_exception(context):
    log("%s:\n%s" % (context, traceback.format_exc().rstrip()))


def now_iso():
    return datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%dT%H:%M:%S.%f")[:-3] + "Z"


# ---------------------------------------------------------------------------------------------
# Command line and bundle layout


class Options:
    def __init__(self, mode, data_root=None, new_workspace=False, cold_start=False):
        self.mode = mode  # "preview", "connected" or "self-check"
        self.data_root = data_root
        self.new_workspace = new_workspace
        self.cold_start = cold_start


def parse_args(argv):
    """The three accepted command lines, spelled exactly; None for anything else."""
    if argv == ["--self-check"]:
        return Options("self-check")
    if len(argv) == 2 and argv[0] == "--data-dir" and _usable_path(argv[1]):
        return Options("preview", argv[1])
    if len(argv) >= 5 and argv[0] == "--data-root" and argv[2:5] == ["--no-browser", "--port", "0"]:
        tail = argv[5:]
        optional = ([], ["--new-workspace"], ["--cold-start"], ["--new-workspace", "--cold-start"])
        if tail in optional and _usable_path(argv[1]):
            return Options("connected", argv[1], "--new-workspace" in tail, "--cold-start" in tail)
    return None


def _usable_path(value):
    # A relative root would land inside the bundle (our working directory).
    return bool(value) and os.path.isabs(value)


def script_path():
    return os.path.abspath(__file__)


def resource_dir(script):
    """R when the program runs from one of the bundle's entry paths, else None. Walks up the
    entry's own components rather than resolving links, so an entry that is a link into a
    source tree still names its bundle."""
    components = tuple(os.path.normpath(script).split(os.sep))
    for entry in ENTRIES:
        if len(components) > len(entry) + 1 and components[-len(entry):] == entry:
            return os.sep.join(components[:-len(entry)])
    return None


def bundle_version(resources):
    """VERSION, unless the bundle carries a one-line R/VERSION of its own."""
    if resources is None:
        return VERSION, None
    path = os.path.join(resources, "VERSION")
    try:
        with open(path, "rb") as handle:
            raw = handle.read(257)
    except FileNotFoundError:
        return VERSION, None
    except OSError as exc:
        log("ignoring %s: %s" % (path, exc))
        return VERSION, None
    try:
        text = raw.decode("utf-8").strip()
    except UnicodeDecodeError:
        text = ""
    if not text or len(raw) > 256 or "\n" in text or not text.isprintable():
        log("ignoring %s: not a one-line version" % path)
        return VERSION, None
    return text, path


def bundle_location(resources, script):
    return os.path.realpath(resources if resources is not None else os.path.dirname(script))


# ---------------------------------------------------------------------------------------------
# Files


def fsync_file(fd):
    # On macOS fsync leaves data in the drive's cache; F_FULLFSYNC does not.
    if hasattr(fcntl, "F_FULLFSYNC"):
        try:
            fcntl.fcntl(fd, fcntl.F_FULLFSYNC)
            return
        except OSError:
            pass
    os.fsync(fd)


def fsync_dir(directory):
    try:
        fd = os.open(directory, os.O_RDONLY | getattr(os, "O_DIRECTORY", 0) | os.O_CLOEXEC)
    except OSError:
        return
    try:
        os.fsync(fd)
    except OSError:
        pass
    finally:
        os.close(fd)


def write_atomically(path, data):
    """Temporary file beside the target, flushed to disk, then renamed over it: readers see the
    old contents or the new ones, never a part."""
    directory, name = os.path.split(path)
    fd, temporary = tempfile.mkstemp(prefix="." + name + ".", suffix=".tmp", dir=directory)
    try:
        with os.fdopen(fd, "wb") as handle:
            handle.write(data)
            handle.flush()
            fsync_file(handle.fileno())
        os.replace(temporary, path)
    except BaseException:
        try:
            os.unlink(temporary)
        except OSError:
            pass
        raise
    fsync_dir(directory)


def to_json_bytes(value, indent=None):
    separators = (",", ":") if indent is None else (",", ": ")
    return json.dumps(value, ensure_ascii=True, separators=separators, indent=indent).encode("ascii")


# ---------------------------------------------------------------------------------------------
# Status lines


class StatusOut:
    """Status lines on fd 1. Only the main thread writes here, and never from a signal handler."""

    def __init__(self):
        self.usable = True
        self.ready_sent = False

    def emit(self, **fields):
        if not self.usable:
            return
        data = to_json_bytes(fields) + b"\n"
        try:
            while data:
                data = data[os.write(1, data):]
        except OSError as exc:
            # The launcher went away (EPIPE) or closed its end: carry on without status lines.
            self.usable = False
            log("standard output unusable (%s); continuing without status lines" % exc)

    def ready(self, url):
        self.emit(status="ready", url=url)
        self.ready_sent = True

    def not_started(self, code):
        log("not started: %s" % code)
        self.emit(status="not_started", code=code)

    def close(self):
        """Ends the launcher's pipe. /dev/null takes fd 1's place, so nothing opened later can
        become fd 1 and receive a stray write."""
        self.usable = False
        try:
            devnull = os.open(os.devnull, os.O_WRONLY | os.O_CLOEXEC)
        except OSError:
            devnull = None
        try:
            if devnull is None:
                os.close(1)
            else:
                os.dup2(devnull, 1, inheritable=False)
        except OSError:
            pass
        finally:
            if devnull is not None and devnull != 1:
                os.close(devnull)


def ensure_standard_fds():
    # Closed standard descriptors would let our own files become fd 1.
    for fd in (0, 1, 2):
        try:
            os.fstat(fd)
        except OSError:
            replacement = os.open(os.devnull, os.O_RDWR)
            if replacement != fd:
                os.dup2(replacement, fd, inheritable=False)
                os.close(replacement)


# ---------------------------------------------------------------------------------------------
# Data root, lock, workspace epoch


def prepare_data_root(options):
    """None when the data root is there (created if this start may create it), else a code."""
    root = options.data_root
    if options.mode == "preview" or options.new_workspace:
        try:
            os.makedirs(root, mode=0o700, exist_ok=True)
        except OSError as exc:
            log("cannot create data root %r: %s" % (root, exc))
            return DATA_ROOT_UNUSABLE
        return None
    if not os.path.exists(root):
        log("workspace %r does not exist and --new-workspace was not given" % root)
        return WORKSPACE_MISSING
    if not os.path.isdir(root):
        log("data root %r is not a directory" % root)
        return DATA_ROOT_UNUSABLE
    return None


def acquire_lock(root):
    """The lock fd, or None when another process holds the data root. The lock lives exactly as
    long as this process (or this descriptor)."""
    fd = os.open(os.path.join(root, LOCK_NAME), os.O_RDWR | os.O_CREAT | os.O_CLOEXEC, 0o600)
    try:
        fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except BlockingIOError:
        os.close(fd)
        return None
    except BaseException:
        os.close(fd)
        raise
    return fd


def check_epoch(root, location, version, cold):
    """None when the workspace belongs to this bundle and version (recording it when new or on a
    cold start), else a code. Call only while holding the lock."""
    path = os.path.join(root, WORKSPACE_NAME)
    recorded = None
    try:
        with open(path, "rb") as handle:
            recorded = json.loads(handle.read(1024 * 1024))
    except FileNotFoundError:
        pass
    except ValueError:
        log("workspace record %r is damaged" % path)
        recorded = {}
    except OSError as exc:
        log("cannot read workspace record %r: %s" % (path, exc))
        return DATA_ROOT_UNUSABLE
    if recorded is not None and not cold:
        if isinstance(recorded, dict) and recorded.get("bundle") == location and recorded.get("version") == version:
            return None
        log("workspace recorded %r, this is bundle %r version %r" % (recorded, location, version))
        return RECONNECT
    epoch = {"format": 1, "bundle": location, "version": version, "recorded": now_iso()}
    try:
        write_atomically(path, to_json_bytes(epoch, indent=2) + b"\n")
    except OSError as exc:
        log("cannot record workspace epoch in %r: %s" % (path, exc))
        return DATA_ROOT_UNUSABLE
    log("recorded workspace epoch %r" % epoch)
    return None


OUTPUT_NAME = re.compile(r"^(?:%s)-([0-9]{1,18})\.json$" % "|".join(JOB_KINDS))


def next_job_id(root):
    """One past the highest output number already there, so no run ever replaces an older output."""
    try:
        names = os.listdir(os.path.join(root, OUTPUTS_NAME))
    except OSError:
        return 1
    numbers = [int(m.group(1)) for m in map(OUTPUT_NAME.match, names) if m]
    return max(numbers, default=0) + 1


# ---------------------------------------------------------------------------------------------
# Jobs


class Service:
    """Job state shared by the HTTP threads, the job thread and the main thread."""

    def __init__(self, mode, data_root, version, location, first_id):
        self.mode = mode
        self.data_root = data_root
        self.version = version
        self.location = location
        self._lock = threading.Lock()
        self._next_id = first_id
        self._job = None
        self._thread = None
        self._completed = 0
        self._stopping = False

    @staticmethod
    def _public(job):
        if job is None:
            return {"running": False, "kind": None, "progress": 0.0, "started": None, "finished": None}
        shown = {key: job[key] for key in ("running", "kind", "progress", "started", "finished", "id", "seconds")}
        for key in ("output", "error"):
            if job.get(key) is not None:
                shown[key] = job[key]
        return shown

    def status(self):
        with self._lock:
            return {
                "mode": self.mode,
                "data_root": self.data_root,
                "version": self.version,
                "job": self._public(self._job),
                "jobs_completed": self._completed,
            }

    def start_job(self, kind, seconds):
        """(HTTP status, body): 202 and the new job, 409 while one runs, 503 once stopping."""
        with self._lock:
            if self._stopping:
                return 503, {"error": "stopping"}
            if self._job is not None and self._job["running"]:
                return 409, {"error": "job_running", "job": self._public(self._job)}
            job = {
                "id": self._next_id, "kind": kind, "seconds": seconds, "running": True,
                "progress": 0.0, "started": now_iso(), "finished": None, "output": None, "error": None,
            }
            self._next_id += 1
            self._job = job
            # Not a daemon: an exiting interpreter still waits for the job to finish writing.
            self._thread = threading.Thread(target=self._run, args=(job,), name="job-%d" % job["id"])
            self._thread.start()
            return 202, {"job": self._public(job)}

    def begin_stop(self):
        """True, and no job will start any more, when no job runs; False while one does."""
        with self._lock:
            if self._job is not None and self._job["running"]:
                return False
            self._stopping = True
            return True

    def wait_for_job(self, timeout=None):
        with self._lock:
            thread = self._thread
        if thread is not None:
            thread.join(timeout)

    def _run(self, job):
        log("job %d (%s, %.3gs) started" % (job["id"], job["kind"], job["seconds"]))
        output = error = None
        try:
            steps = self._simulate(job)
            output = self._write_output(job, steps)
        except Exception:
            log_exception("job %d failed" % job["id"])
            error = "output_not_written"
        with self._lock:
            # Marked done only once the output is on disk: an idle service has nothing unsaved.
            job["running"] = False
            job["finished"] = now_iso()
            job["output"] = output
            job["error"] = error
            if error is None:
                job["progress"] = 1.0
                self._completed += 1
        log("job %d %s" % (job["id"], "finished: " + output if error is None else "failed"))

    def _simulate(self, job):
        start = time.monotonic()
        duration = job["seconds"]
        steps = 0
        while True:
            elapsed = time.monotonic() - start
            if elapsed >= duration:
                return steps
            time.sleep(min(JOB_STEP_SECONDS, duration - elapsed))
            steps += 1
            with self._lock:
                job["progress"] = round(min(1.0, (time.monotonic() - start) / duration), 3) if duration else 1.0

    def _write_output(self, job, steps):
        outputs = os.path.join(self.data_root, OUTPUTS_NAME)
        os.makedirs(outputs, mode=0o700, exist_ok=True)
        name = "%s-%d.json" % (job["kind"], job["id"])
        record = {
            "id": job["id"],
            "kind": job["kind"],
            "mode": self.mode,
            "data_root": self.data_root,
            "bundle": self.location,
            "version": self.version,
            "seconds": job["seconds"],
            "steps": steps,
            "started": job["started"],
            "written": now_iso(),
            "complete": True,
        }
        write_atomically(os.path.join(outputs, name), to_json_bytes(record, indent=2) + b"\n")
        return OUTPUTS_NAME + "/" + name


def parse_job_request(body):
    """(kind, seconds) from a POST /api/jobs body, or raises ValueError with a reason."""
    def no_constants(name):
        raise ValueError("%s is not a number" % name)

    try:
        request = json.loads(body.decode("utf-8"), parse_constant=no_constants)
    except UnicodeDecodeError:
        raise ValueError("body is not UTF-8")
    if not isinstance(request, dict):
        raise ValueError("body must be a JSON object")
    unknown = sorted(set(request) - {"kind", "seconds"})
    if unknown:
        raise ValueError("unknown member %s" % unknown[0])
    kind = request.get("kind")
    if kind not in JOB_KINDS:
        raise ValueError("kind must be one of %s" % ", ".join(JOB_KINDS))
    seconds = request.get("seconds", DEFAULT_JOB_SECONDS)
    if isinstance(seconds, bool) or not isinstance(seconds, (int, float)):
        raise ValueError("seconds must be a number")
    seconds = float(seconds)
    if not math.isfinite(seconds) or seconds < 0:
        raise ValueError("seconds must be a finite number, at least 0")
    return kind, min(seconds, MAX_JOB_SECONDS)


# ---------------------------------------------------------------------------------------------
# The page

PAGE_STYLE = """
:root { color-scheme: light dark; --accent: #2f6fde; }
body { margin: 0; font: 15px/1.5 -apple-system, "PingFang SC", "Noto Sans CJK SC", sans-serif; }
main { max-width: 40rem; margin: 3rem auto; padding: 0 1.5rem; }
h1 { font-size: 1.5rem; margin: 0 0 1.5rem; }
dl { display: grid; grid-template-columns: max-content 1fr; gap: .4rem 1.2rem; margin: 0 0 1.5rem; }
dt { color: GrayText; }
dd { margin: 0; overflow-wrap: anywhere; }
progress { width: 100%; height: .6rem; margin-bottom: 1.2rem; accent-color: var(--accent); }
.actions { display: flex; gap: .8rem; }
button { font: inherit; padding: .45rem 1.2rem; border: 0; border-radius: .4rem; cursor: pointer;
         background: var(--accent); color: #fff; }
button:disabled { opacity: .45; cursor: default; }
#note { min-height: 1.5em; color: GrayText; }
"""

PAGE_SCRIPT = """
"use strict";
const names = {save: "保存", package: "打包"};
const $ = (id) => document.getElementById(id);
function describe(job) {
  if (!job || !job.kind) return "空闲";
  const name = names[job.kind] || job.kind;
  if (job.running) return name + "进行中 " + Math.round(job.progress * 100) + "%";
  if (job.error) return name + "失败";
  return name + "已完成";
}
function show(state) {
  $("job").textContent = describe(state.job);
  $("done").textContent = String(state.jobs_completed);
  $("bar").value = state.job.progress || 0;
  for (const button of document.querySelectorAll("button[data-kind]")) button.disabled = !!state.job.running;
}
async function refresh() {
  try {
    const reply = await fetch("/api/status", {cache: "no-store"});
    if (reply.ok) show(await reply.json());
  } catch (error) {
    $("note").textContent = "服务已停止";
  }
}
async function start(kind) {
  try {
    const reply = await fetch("/api/jobs", {
      method: "POST",
      headers: {"Content-Type": "application/json"},
      body: JSON.stringify({kind: kind}),
    });
    $("note").textContent = reply.status === 202 ? "任务已开始" :
      reply.status === 409 ? "已有任务在运行，请稍候" : "无法开始任务（" + reply.status + "）";
  } catch (error) {
    $("note").textContent = "服务已停止";
  }
  refresh();
}
for (const button of document.querySelectorAll("button[data-kind]")) {
  button.addEventListener("click", () => start(button.dataset.kind));
}
refresh();
setInterval(refresh, 1000);
"""

PAGE_TEMPLATE = """<!DOCTYPE html>
<html lang="zh-CN">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>Pellwyn 本地服务</title>
<link rel="icon" href="data:,">
<style>@STYLE@</style>
</head>
<body>
<main>
<h1>Pellwyn 本地服务</h1>
<dl>
<dt>模式</dt><dd id="mode">@MODE@</dd>
<dt>数据目录</dt><dd id="root"><code>@ROOT@</code></dd>
<dt>版本</dt><dd id="version">@VERSION@</dd>
<dt>任务</dt><dd id="job">@JOB@</dd>
<dt>已完成</dt><dd id="done">@DONE@</dd>
</dl>
<progress id="bar" max="1" value="@PROGRESS@"></progress>
<div class="actions">
<button type="button" data-kind="save"@DISABLED@>开始保存</button>
<button type="button" data-kind="package"@DISABLED@>开始打包</button>
</div>
<p id="note" role="status"></p>
</main>
<script>@SCRIPT@</script>
</body>
</html>
"""

MODE_LABELS = {"preview": "预览（安装预览）", "connected": "连接（本机作答）"}
JOB_NAMES = {"save": "保存", "package": "打包"}


def _csp_hash(text):
    return "'sha256-%s'" % base64.b64encode(hashlib.sha256(text.encode("utf-8")).digest()).decode("ascii")


def page_policy():
    return "; ".join((
        "default-src 'none'",
        "style-src " + _csp_hash(PAGE_STYLE),
        "script-src " + _csp_hash(PAGE_SCRIPT),
        "connect-src 'self'",
        "img-src data:",
        "base-uri 'none'",
        "form-action 'none'",
        "frame-ancestors 'none'",
    ))


def render_page(state):
    job = state["job"]
    if not job["kind"]:
        job_text = "空闲"
    elif job["running"]:
        job_text = "%s进行中 %d%%" % (JOB_NAMES.get(job["kind"], job["kind"]), round(job["progress"] * 100))
    else:
        job_text = JOB_NAMES.get(job["kind"], job["kind"]) + ("失败" if job.get("error") else "已完成")
    fields = {
        "@STYLE@": PAGE_STYLE,
        "@SCRIPT@": PAGE_SCRIPT,
        "@MODE@": html.escape(MODE_LABELS.get(state["mode"], state["mode"])),
        "@ROOT@": html.escape(state["data_root"]),
        "@VERSION@": html.escape(state["version"]),
        "@JOB@": html.escape(job_text),
        "@DONE@": str(state["jobs_completed"]),
        "@PROGRESS@": "%.3f" % job["progress"],
        "@DISABLED@": " disabled" if job["running"] else "",
    }
    page = re.sub("@[A-Z]+@", lambda m: fields[m.group(0)], PAGE_TEMPLATE)
    return page.encode("utf-8", "replace")


# ---------------------------------------------------------------------------------------------
# HTTP


class LoopbackServer(ThreadingHTTPServer):
    daemon_threads = True
    request_queue_size = 64

    # Requests are taken one readiness at a time from the service's own select loop: a
    # connection that went away before it was accepted must not block that loop.
    timeout = 0

    def __init__(self, service):
        self.service = service
        self.page_policy = page_policy()
        super().__init__(("127.0.0.1", 0), PellwynHandler)
        self.socket.setblocking(False)

    def server_bind(self):
        # HTTPServer.server_bind would look up our name in DNS; loopback needs no lookup.
        socketserver.TCPServer.server_bind(self)
        self.server_name, self.server_port = self.server_address[:2]

    @property
    def port(self):
        return self.server_address[1]

    def handle_error(self, request, client_address):
        problem = sys.exc_info()[1]
        if isinstance(problem, (ConnectionError, TimeoutError)):
            log("connection from %s ended: %s" % (client_address[0], problem))
        else:
            log_exception("request from %s failed" % (client_address,))


class PellwynHandler(BaseHTTPRequestHandler):
    server_version = "PellwynService/" + VERSION
    sys_version = ""
    protocol_version = "HTTP/1.0"
    timeout = 30  # a silent client ties up one thread for at most this long

    ROUTES = {
        "/": {"GET": "page", "HEAD": "page"},
        "/api/status": {"GET": "status", "HEAD": "status"},
        "/api/jobs": {"POST": "jobs"},
    }

    def do_GET(self):
        self.dispatch()

    do_HEAD = do_POST = do_PUT = do_DELETE = do_PATCH = do_OPTIONS = do_TRACE = do_GET

    def log_message(self, format, *args):
        log("%s %s" % (self.address_string(), format % args))

    def dispatch(self):
        self.answered = False
        try:
            if not self.host_is_ours():
                self.send_json(421, {"error": "misdirected_request"})
                return
            path = self.path.split("?", 1)[0]
            methods = self.ROUTES.get(path)
            if methods is None:
                self.send_json(404, {"error": "not_found"})
            elif self.command not in methods:
                self.send_json(405, {"error": "method_not_allowed"}, {"Allow": ", ".join(methods)})
            else:
                getattr(self, "answer_" + methods[self.command])()
        except Exception:
            log_exception("%s %s failed" % (self.command, self.path))
            if not self.answered:
                try:
                    self.send_json(500, {"error": "internal_error"})
                except Exception:
                    pass
            self.close_connection = True

    def host_is_ours(self):
        # Only the address we announced: a page on another name that resolves to us (DNS
        # rebinding) arrives with its own Host.
        hosts = self.headers.get_all("Host") or []
        return len(hosts) == 1 and hosts[0] == "127.0.0.1:%d" % self.server.port

    def send_body(self, status, content_type, body, extra=None):
        self.answered = True
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(body)))
        self.send_header("Cache-Control", "no-store")
        self.send_header("X-Content-Type-Options", "nosniff")
        self.send_header("Referrer-Policy", "no-referrer")
        self.send_header("X-Frame-Options", "DENY")
        for name, value in (extra or {}).items():
            self.send_header(name, value)
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(body)

    def send_json(self, status, value, extra=None):
        self.send_body(status, "application/json", to_json_bytes(value), extra)

    def answer_page(self):
        self.send_body(200, "text/html; charset=utf-8", render_page(self.server.service.status()),
                       {"Content-Security-Policy": self.server.page_policy})

    def answer_status(self):
        self.send_json(200, self.server.service.status())

    def answer_jobs(self):
        origin = self.headers.get("Origin")
        if origin is not None and origin != "http://127.0.0.1:%d" % self.server.port:
            self.send_json(403, {"error": "foreign_origin"})
            return
        # JSON only: a cross-site page cannot send it without a preflight we never grant.
        content_type = (self.headers.get("Content-Type") or "").split(";", 1)[0].strip().lower()
        if content_type != "application/json":
            self.send_json(415, {"error": "json_required"})
            return
        length = self.headers.get("Content-Length")
        if length is None:
            self.send_json(411, {"error": "length_required"})
            return
        if not length.isdigit():
            self.send_json(400, {"error": "bad_request", "detail": "bad Content-Length"})
            return
        if int(length) > MAX_BODY_BYTES:
            self.send_json(413, {"error": "body_too_large"})
            return
        body = self.rfile.read(int(length))
        if len(body) != int(length):
            self.close_connection = True
            return
        try:
            kind, seconds = parse_job_request(body)
        except ValueError as exc:
            self.send_json(400, {"error": "bad_request", "detail": str(exc)})
            return
        status, reply = self.server.service.start_job(kind, seconds)
        self.send_json(status, reply, {"Location": "/api/status"} if status == 202 else None)


# ---------------------------------------------------------------------------------------------
# Quit signals

QUIT_SIGNALS = ("SIGTERM", "SIGINT", "SIGHUP")


def _ignore_in_handler(signum, frame):
    # The work happens in the main loop: set_wakeup_fd has already written the signal's number.
    pass


def install_quit_signals():
    """A pipe that receives one byte, the signal's number, per quit request."""
    read_end, write_end = os.pipe()
    os.set_blocking(read_end, False)
    os.set_blocking(write_end, False)
    signal.set_wakeup_fd(write_end, warn_on_full_buffer=False)
    numbers = set()
    for name in QUIT_SIGNALS:
        number = getattr(signal, name)
        signal.signal(number, _ignore_in_handler)
        numbers.add(int(number))
    return read_end, numbers


def serve_until_quit(wake, quit_numbers, service, out, server):
    """Serves requests and answers quit requests until one is granted: busy while a job runs,
    else stop. Both wait in one select without a timeout, so an idle service never wakes."""
    while True:
        readable, _, _ = select.select([wake, server], [], [])
        if server in readable:
            server.handle_request()  # never blocks: the listening socket does not, timeout 0
        if wake not in readable:
            continue
        try:
            received = os.read(wake, 256)
        except BlockingIOError:
            received = b""
        for number in received:
            if number not in quit_numbers:
                continue
            if service.begin_stop():
                log("quit requested (signal %d): stopping" % number)
                return EXIT_OK
            log("quit requested (signal %d) while a job runs: busy" % number)
            out.emit(status="busy")


# ---------------------------------------------------------------------------------------------
# Running


def serve(options):
    ensure_standard_fds()
    out = StatusOut()
    sys.stdout = sys.stderr  # a stray print can never reach the launcher's pipe
    if IMPORT_FAILURE is not None or sys.version_info < MIN_PYTHON:
        log("unsupported runtime: Python %s, %s" % (sys.version.split()[0], IMPORT_FAILURE or "too old"))
        out.not_started(RUNTIME_UNSUPPORTED)
        out.close()
        return EXIT_FAILURE
    wake, quit_numbers = install_quit_signals()
    lock_fd = service = None
    try:
        code = prepare_data_root(options)
        if code is not None:
            out.not_started(code)
            return EXIT_FAILURE
        try:
            lock_fd = acquire_lock(options.data_root)
        except OSError as exc:
            log("cannot lock data root %r: %s" % (options.data_root, exc))
            out.not_started(DATA_ROOT_UNUSABLE)
            return EXIT_FAILURE
        if lock_fd is None:
            log("data root %r is locked by another process" % options.data_root)
            out.not_started(IN_USE)
            return EXIT_IN_USE

        script = script_path()
        resources = resource_dir(script)
        version, version_file = bundle_version(resources)
        location = bundle_location(resources, script)
        log("%s mode, data root %r, bundle %r, version %s from %s" % (
            options.mode, options.data_root, location, version, version_file or "the program"))
        if options.mode == "connected":
            code = check_epoch(options.data_root, location, version, options.cold_start)
            if code is not None:
                out.not_started(code)
                return EXIT_FAILURE

        service = Service(options.mode, options.data_root, version, location, next_job_id(options.data_root))
        try:
            server = LoopbackServer(service)
        except OSError as exc:
            log("cannot listen on 127.0.0.1: %s" % exc)
            out.not_started(LOOPBACK_UNAVAILABLE)
            return EXIT_FAILURE
        url = "http://127.0.0.1:%d/" % server.port
        log("listening on %s" % url)
        out.ready(url)

        result = serve_until_quit(wake, quit_numbers, service, out, server)
        server.server_close()
        log("stopped serving")
        return result
    except Exception:
        log_exception("unexpected failure")
        if not out.ready_sent:
            out.not_started(INTERNAL_ERROR)
        return EXIT_FAILURE
    finally:
        if service is not None:
            service.wait_for_job()  # the lock covers a job until its output is on disk
        if lock_fd is not None:
            os.close(lock_fd)
        out.close()


# ---------------------------------------------------------------------------------------------
# Self-check


def self_check():
    """A short report for a person at a terminal; 0 when every check passes."""
    failures = []

    def report(state, text):
        if state == "FAIL":
            failures.append(text)
        try:
            sys.stdout.write("%-4s %s\n" % (state, text))
            sys.stdout.flush()
        except (OSError, ValueError, AttributeError):
            pass

    python = "python %s" % sys.version.split()[0]
    if sys.version_info >= MIN_PYTHON:
        report("ok", python)
    else:
        report("FAIL", "%s (needs %d.%d or later)" % ((python,) + MIN_PYTHON))

    import importlib
    missing = []
    for name in REQUIRED_MODULES:
        try:
            importlib.import_module(name)
        except Exception as exc:
            missing.append("%s (%s)" % (name, exc))
    if missing:
        report("FAIL", "modules: cannot import " + ", ".join(missing))
    else:
        report("ok", "modules (%d)" % len(REQUIRED_MODULES))

    try:
        import socket as socket_module
        probe = socket_module.socket(socket_module.AF_INET, socket_module.SOCK_STREAM)
        try:
            probe.bind(("127.0.0.1", 0))
            probe.listen(1)
            report("ok", "loopback 127.0.0.1:%d" % probe.getsockname()[1])
        finally:
            probe.close()
    except Exception as exc:
        report("FAIL", "loopback: cannot listen on 127.0.0.1 (%s)" % exc)

    script = os.path.abspath(__file__)
    try:
        with open(script, "rb") as handle:
            size = len(handle.read())
        report("ok", "program %s (%d bytes)" % (script, size))
    except OSError as exc:
        report("FAIL", "program %s unreadable (%s)" % (script, exc))

    resources = resource_dir(script) if IMPORT_FAILURE is None else None
    if resources is None:
        report("--", "not inside a bundle layout; entry paths not checked")
    else:
        report("ok", "bundle %s" % os.path.realpath(resources))
        for entry in ENTRIES:
            path = os.path.join(resources, *entry)
            if not os.path.isfile(path):
                report("FAIL", "entry %s missing" % "/".join(entry))
            elif not os.access(path, os.R_OK):
                report("FAIL", "entry %s unreadable" % "/".join(entry))
            else:
                report("ok", "entry %s" % "/".join(entry))
        if IMPORT_FAILURE is None:
            version, version_file = bundle_version(resources)
            report("ok", "version %s%s" % (version, " (from VERSION)" if version_file else ""))

    report("ok" if not failures else "FAIL", "self-check %s" % ("passed" if not failures else "failed"))
    return EXIT_OK if not failures else EXIT_FAILURE


def main(argv):
    options = parse_args(argv)
    if options is None:
        try:
            sys.stderr.write(USAGE)
            sys.stderr.flush()
        except Exception:
            pass
        return EXIT_USAGE
    if options.mode == "self-check":
        return self_check()
    return serve(options)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
