"""Jobs and the quit handshake: idle quits end the service, quits during a job answer busy and
the job completes with its output intact."""

import os
import signal
import unittest

from harness import BUSY_LINE, ServiceTestCase, get_json, port_is_closed, post_job, read_json

JOB_SECONDS = 2.5  # long enough that a quit sent right after the start lands inside the job


class Quit(ServiceTestCase):
    def outputs(self, root):
        directory = os.path.join(root, "outputs")
        return sorted(os.listdir(directory)) if os.path.isdir(directory) else []

    def assert_complete_output(self, root, name, kind, seconds):
        record = read_json(os.path.join(root, "outputs", name))
        self.assertEqual((record["kind"], record["seconds"], record["complete"]), (kind, seconds, True))
        self.assertEqual(record["data_root"], root)

    def run_job_and_quit_during_it(self, service, root):
        port = service.port
        self.assertEqual(post_job(port, "package", JOB_SECONDS)[0], 202)
        self.assertTrue(get_json(port, "/api/status")["job"]["running"])
        service.signal(signal.SIGTERM)
        return port

    def test_idle_quit_signals_end_the_service(self):
        for number in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
            for mode in ("preview", "connected"):
                with self.subTest(signal=number.name, mode=mode):
                    service = self.start_ready(mode)
                    service.signal(number)
                    self.assertEqual(service.rest(), [])  # end of file, nothing after the ready line
                    self.assertEqual(service.wait(), 0, service.log())
                    self.assertTrue(port_is_closed(service.port))

    def test_quit_during_a_job_answers_busy_and_the_job_completes(self):
        for mode, root in (("preview", self.preview_root), ("connected", self.connected_root)):
            with self.subTest(mode=mode):
                service = self.start_ready(mode)
                port = self.run_job_and_quit_during_it(service, root)
                self.assertEqual(service.next_line(), BUSY_LINE)
                self.assertTrue(get_json(port, "/api/status")["job"]["running"])  # still serving

                self.wait_until(lambda: not get_json(port, "/api/status")["job"]["running"], "the job")
                state = get_json(port, "/api/status")
                self.assertEqual(state["jobs_completed"], 1)
                self.assertEqual(state["job"]["progress"], 1.0)
                self.assertEqual(state["job"]["output"], "outputs/package-1.json")
                self.assertEqual(self.outputs(root), ["package-1.json"])  # no temporary left behind
                self.assert_complete_output(root, "package-1.json", "package", JOB_SECONDS)
                self.stop(service)  # the second quit is granted; no second busy line

    def test_second_job_while_one_runs_is_refused(self):
        service = self.start_ready()
        port = service.port
        status, first = post_job(port, "save", JOB_SECONDS)
        self.assertEqual(status, 202)
        for kind in ("save", "package"):
            with self.subTest(kind=kind):
                status, reply = post_job(port, kind, 0)
                self.assertEqual(status, 409)
                self.assertEqual(reply["error"], "job_running")
                self.assertEqual(reply["job"]["id"], first["job"]["id"])
        self.wait_until(lambda: get_json(port, "/api/status")["jobs_completed"] == 1, "the job")
        self.assertEqual(self.outputs(self.preview_root), ["save-1.json"])
        self.assertEqual(get_json(port, "/api/status")["jobs_completed"], 1)
        self.stop(service)

    def test_jobs_write_numbered_outputs_never_replacing_earlier_runs(self):
        root = self.preview_root
        service = self.start_ready()
        for kind, seconds, name in (("save", 0.5, "save-1.json"), ("package", 0, "package-2.json")):
            self.assertEqual(post_job(service.port, kind, seconds)[0], 202)
            self.wait_until(lambda: get_json(service.port, "/api/status")["job"]["finished"], kind)
            self.assert_complete_output(root, name, kind, seconds)
        first_run = {name: read_json(os.path.join(root, "outputs", name)) for name in self.outputs(root)}
        self.stop(service)

        service = self.start_ready()
        self.assertEqual(post_job(service.port, "save", 0)[0], 202)
        self.wait_until(lambda: get_json(service.port, "/api/status")["jobs_completed"] == 1, "the job")
        self.assertEqual(self.outputs(root), ["package-2.json", "save-1.json", "save-3.json"])
        for name, record in first_run.items():
            self.assertEqual(read_json(os.path.join(root, "outputs", name)), record)
        self.stop(service)

    def test_a_job_that_cannot_write_fails_alone(self):
        os.makedirs(self.preview_root)
        with open(os.path.join(self.preview_root, "outputs"), "w") as blocker:
            blocker.write("not a directory")
        service = self.start_ready()
        self.assertEqual(post_job(service.port, "save", 0)[0], 202)
        self.wait_until(lambda: get_json(service.port, "/api/status")["job"]["finished"], "the job")
        state = get_json(service.port, "/api/status")
        self.assertEqual((state["job"]["error"], state["jobs_completed"]), ("output_not_written", 0))
        self.assertEqual(post_job(service.port, "package", 0)[0], 202)  # and the next one may start
        self.wait_until(lambda: get_json(service.port, "/api/status")["job"]["finished"], "the next job")
        self.stop(service)

    def test_default_and_capped_durations(self):
        # Long jobs: each on a service of its own, ended by the test's cleanup.
        for label, seconds, expected in (("default", None, 20.0), ("capped", 10_000, 600.0)):
            with self.subTest(label):
                service = self.start_ready(root=os.path.join(self.top, label))
                status, reply = post_job(service.port, "save", seconds)
                self.assertEqual((status, reply["job"]["seconds"]), (202, expected))
                self.assertTrue(get_json(service.port, "/api/status")["job"]["running"])

    def test_service_keeps_running_when_the_status_pipe_is_gone(self):
        service = self.start_ready()
        service.hang_up()
        port = self.run_job_and_quit_during_it(service, self.preview_root)  # busy meets EPIPE
        self.assertTrue(get_json(port, "/api/status")["job"]["running"])
        self.wait_until(lambda: "standard output unusable" in service.log(), "the busy line to meet EPIPE")
        self.wait_until(lambda: get_json(port, "/api/status")["jobs_completed"] == 1, "the job")
        self.assert_complete_output(self.preview_root, "package-1.json", "package", JOB_SECONDS)
        service.signal(signal.SIGTERM)
        self.assertEqual(service.wait(), 0, service.log())


if __name__ == "__main__":
    unittest.main()
