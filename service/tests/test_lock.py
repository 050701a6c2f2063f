"""One service per data root: the lock on D/.service.lock, held for the life of the process."""

import fcntl
import os
import signal
import unittest

from harness import IN_USE, ServiceTestCase, get_json, make_bundle, read_bytes


class Lock(ServiceTestCase):
    def test_second_instance_on_the_same_data_root_is_refused(self):
        moved = make_bundle(os.path.join(self.top, "elsewhere"))
        cases = (
            ("preview twice", "preview", lambda root: self.start_preview(root)),
            ("connected twice", "connected", lambda root: self.start_connected(root)),
            ("connected, new workspace", "connected", lambda root: self.start_connected(root, new=True)),
            # The lock comes before the epoch: in use, not a reconnect, and the record untouched.
            ("connected from a moved bundle", "connected", lambda root: self.start_connected(root, bundle=moved)),
            ("connected cold, moved bundle", "connected",
             lambda root: self.start_connected(root, cold=True, bundle=moved)),
            ("connected on a preview root", "preview", lambda root: self.start_connected(root)),
        )
        for number, (label, first_mode, start_second) in enumerate(cases):
            with self.subTest(label):
                root = os.path.join(self.top, "roots", str(number))
                first = self.start_ready(first_mode, root=root)
                record = os.path.join(root, "workspace.json")
                before = read_bytes(record) if os.path.exists(record) else None

                self.assert_refused(start_second(root), IN_USE, 75)

                self.assertEqual(get_json(first.port, "/api/status")["mode"], first_mode)  # unharmed
                self.assertEqual(read_bytes(record) if os.path.exists(record) else None, before)
                self.stop(first)
                self.assertTrue(os.path.isfile(os.path.join(root, ".service.lock")))
                self.start_ready(first_mode, root=root)  # free again; left to the cleanup

    def test_lock_held_by_another_program_keeps_the_service_out(self):
        os.makedirs(self.preview_root)
        with open(os.path.join(self.preview_root, ".service.lock"), "a") as held:
            fcntl.flock(held, fcntl.LOCK_EX | fcntl.LOCK_NB)
            self.assert_refused(self.start_preview(), IN_USE, 75)
        self.stop(self.start_ready())

    def test_lock_dies_with_the_process(self):
        for mode in ("preview", "connected"):
            with self.subTest(mode=mode):
                first = self.start_ready(mode)
                first.signal(signal.SIGKILL)
                self.assertEqual(first.wait(), -signal.SIGKILL)
                self.stop(self.start_ready(mode))


if __name__ == "__main__":
    unittest.main()
