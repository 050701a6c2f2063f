"""The ready line, the page and the API over loopback HTTP, and what the service refuses."""

import json
import os
import socket
import unittest

from harness import DEADLINE, ServiceTestCase, get_json, post_job, request


class ReadyAndPages(ServiceTestCase):
    def test_ready_line_comes_first_and_the_address_serves_page_and_status(self):
        for mode, root in (("preview", self.preview_root), ("connected", self.connected_root)):
            with self.subTest(mode=mode):
                service = self.start_ready(mode)  # checks the line byte for byte

                status, headers, body = request(service.port, "GET", "/")
                self.assertEqual(status, 200)
                self.assertEqual(headers["Content-Type"], "text/html; charset=utf-8")
                page = body.decode("utf-8")
                self.assertIn("<title>Pellwyn 本地服务</title>", page)
                self.assertIn(root, page)
                self.assertIn('data-kind="save"', page)
                # Self-contained: nothing is loaded from anywhere else.
                for outside in ("http://", "https://", "src=", "@import", "url("):
                    self.assertNotIn(outside, page)
                self.assertIn("default-src 'none'", headers["Content-Security-Policy"])

                state = get_json(service.port, "/api/status")
                self.assertRegex(state.pop("version"), r"^\S+$")
                self.assertEqual(state, {
                    "mode": mode,
                    "data_root": root,
                    "job": {"running": False, "kind": None, "progress": 0.0, "started": None, "finished": None},
                    "jobs_completed": 0,
                })
                self.stop(service)

    def test_only_our_own_host_header_is_served(self):
        service = self.start_ready()
        port = service.port
        hosts = {
            "localhost": "localhost:%d" % port,
            "name that resolves to us": "pellwyn.example:%d" % port,
            "no port": "127.0.0.1",
            "another port": "127.0.0.1:%d" % (port + 1 if port < 65535 else port - 1),
            "suffix": "127.0.0.1:%d.example" % port,
            "empty": "",
            "missing": False,
        }
        for label, host in hosts.items():
            for method, path in (("GET", "/"), ("GET", "/api/status"), ("POST", "/api/jobs")):
                with self.subTest(host=label, path=path):
                    body = b'{"kind":"save","seconds":0}' if method == "POST" else None
                    headers = {"Content-Type": "application/json"}
                    status, _, reply = request(port, method, path, body, headers, host=host)
                    self.assertEqual(status, 421)
                    self.assertEqual(json.loads(reply), {"error": "misdirected_request"})
        self.assertEqual(get_json(port, "/api/status")["job"]["kind"], None)
        self.assertFalse(os.path.exists(os.path.join(self.preview_root, "outputs")))
        self.stop(service)

    def test_paths_and_methods(self):
        service = self.start_ready()
        cases = (
            ("GET", "/api/status?fresh=1", 200, None),
            ("HEAD", "/", 200, None),
            ("HEAD", "/api/status", 200, None),
            ("GET", "/index.html", 404, None),
            ("GET", "/api", 404, None),
            ("GET", "/api/status/", 404, None),
            ("GET", "/favicon.ico", 404, None),
            ("POST", "/", 405, "GET, HEAD"),
            ("PUT", "/api/status", 405, "GET, HEAD"),
            ("DELETE", "/", 405, "GET, HEAD"),
            ("GET", "/api/jobs", 405, "POST"),
            ("DELETE", "/api/jobs", 405, "POST"),
            ("OPTIONS", "/api/jobs", 405, "POST"),
        )
        for method, path, expected, allow in cases:
            with self.subTest(method=method, path=path):
                status, headers, body = request(service.port, method, path)
                self.assertEqual(status, expected)
                self.assertEqual(headers.get("Allow"), allow)
                if method == "HEAD":
                    self.assertEqual(body, b"")
                    self.assertGreater(int(headers["Content-Length"]), 0)
                elif expected != 200:
                    self.assertEqual(headers["Content-Type"], "application/json")
                    self.assertIn("error", json.loads(body))
        self.stop(service)

    def test_bad_job_requests_start_nothing(self):
        service = self.start_ready()
        port = service.port
        json_type = {"Content-Type": "application/json"}
        cases = (
            ("not JSON", b"kind=save", json_type, 400),
            ("array", b'["save"]', json_type, 400),
            ("no kind", b'{"seconds":1}', json_type, 400),
            ("unknown kind", b'{"kind":"delete"}', json_type, 400),
            ("seconds as text", b'{"kind":"save","seconds":"1"}', json_type, 400),
            ("seconds boolean", b'{"kind":"save","seconds":true}', json_type, 400),
            ("negative seconds", b'{"kind":"save","seconds":-1}', json_type, 400),
            ("NaN seconds", b'{"kind":"save","seconds":NaN}', json_type, 400),
            ("unknown member", b'{"kind":"save","force":true}', json_type, 400),
            ("not UTF-8", b'{"kind":"\xff"}', json_type, 400),
            ("form post", b'{"kind":"save"}', {"Content-Type": "text/plain"}, 415),
            ("no type", b'{"kind":"save"}', {}, 415),
            ("foreign origin", b'{"kind":"save"}', dict(json_type, Origin="http://pellwyn.example"), 403),
            ("too large", None, dict(json_type, **{"Content-Length": "70000"}), 413),
            ("bad length", None, dict(json_type, **{"Content-Length": "-5"}), 400),
        )
        for label, body, headers, expected in cases:
            with self.subTest(label):
                status, _, reply = request(port, "POST", "/api/jobs", body, headers)
                self.assertEqual(status, expected)
                self.assertIn("error", json.loads(reply))
        with self.subTest("no length"):
            status, _, _ = request(port, "POST", "/api/jobs", None, json_type)
            self.assertEqual(status, 411)

        state = get_json(port, "/api/status")
        self.assertEqual((state["job"]["kind"], state["jobs_completed"]), (None, 0))
        self.assertFalse(os.path.exists(os.path.join(self.preview_root, "outputs")))
        # The page's own origin is welcome.
        self.assertEqual(post_job(port, "save", 0, {"Origin": "http://127.0.0.1:%d" % port})[0], 202)
        self.wait_until(lambda: get_json(port, "/api/status")["jobs_completed"] == 1, "the job")
        self.stop(service)

    def test_broken_clients_do_not_stop_the_service(self):
        service = self.start_ready()
        port = service.port
        abuses = (
            b"\x00\xff\xfe garbage\r\n\r\n",
            b"GET / HTTP/1.1\r\n",                         # headers never finished
            b"GET /" + b"a" * 70000 + b" HTTP/1.1\r\n\r\n",  # request line too long
            b"POST /api/jobs HTTP/1.1\r\nHost: 127.0.0.1:%d\r\nContent-Type: application/json\r\n"
            b"Content-Length: 100\r\n\r\n{\"kind\"" % port,  # body cut short
            b"",                                            # connect and leave
        )
        for data in abuses:
            with self.subTest(data=data[:40]):
                with socket.create_connection(("127.0.0.1", port), timeout=DEADLINE) as client:
                    try:
                        client.sendall(data)
                        client.shutdown(socket.SHUT_WR)
                        while client.recv(65536):
                            pass
                    except ConnectionError:
                        pass  # the service may hang up first
                self.assertEqual(get_json(port, "/api/status")["job"]["running"], False)
        self.assertEqual(get_json(port, "/api/status")["jobs_completed"], 0)
        self.stop(service)  # and still nothing but the ready line on standard output


if __name__ == "__main__":
    unittest.main()
