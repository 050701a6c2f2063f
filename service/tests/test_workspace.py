"""Data roots and the connected workspace's epoch (bundle location and version)."""

import os
import shutil
import unittest

from harness import (RECONNECT, WORKSPACE_MISSING, ServiceTestCase, get_json, make_bundle, read_bytes,
                     read_json, write_json)


class Workspace(ServiceTestCase):
    def record(self):
        return os.path.join(self.connected_root, "workspace.json")

    def assert_epoch(self, record, bundle, version):
        recorded = read_json(record)
        self.assertEqual((recorded["bundle"], recorded["version"]), (os.path.realpath(bundle), version))

    def version_of(self, service):
        return get_json(service.port, "/api/status")["version"]

    def test_missing_workspace_is_not_created_without_new_workspace(self):
        for cold in (False, True):
            with self.subTest(cold_start=cold):
                self.assert_refused(self.start_connected(cold=cold), WORKSPACE_MISSING, 1)
                self.assertFalse(os.path.exists(os.path.dirname(self.connected_root)))

    def test_new_workspace_creates_the_root_and_records_the_epoch(self):
        service = self.start_ready("connected")  # parents are missing too
        self.assert_epoch(self.record(), self.bundle, self.version_of(service))
        self.assertEqual(sorted(os.listdir(self.connected_root)), [".service.lock", "workspace.json"])
        self.stop(service)

        # Started again the same way, on the existing workspace: nothing is wiped or rewritten.
        notes = os.path.join(self.connected_root, "notes", "mine.txt")
        os.makedirs(os.path.dirname(notes))
        with open(notes, "w") as handle:
            handle.write("user data")
        before = read_bytes(self.record())
        for new in (True, False):
            with self.subTest(new_workspace=new):
                service = self.start_connected(new=new)
                service.ready()
                self.stop(service)
                self.assertEqual(read_bytes(self.record()), before)
                self.assertEqual(read_bytes(notes), b"user data")

    def test_a_changed_epoch_needs_a_cold_start(self):
        # Each change: (original bundle, data root) -> (bundle started next, its version or None).
        def moved(original, root):
            copy = os.path.join(os.path.dirname(original), "moved", "Resources")
            shutil.copytree(original, copy)
            return copy, None

        def new_version(original, root):
            with open(os.path.join(original, "VERSION"), "w") as handle:
                handle.write("2.0.0-test\n")
            return original, "2.0.0-test"

        def damaged_record(original, root):
            with open(os.path.join(root, "workspace.json"), "w") as handle:
                handle.write('{"bundle": ')
            return original, None

        def foreign_record(original, root):
            write_json(os.path.join(root, "workspace.json"), ["not", "an", "epoch"])
            return original, None

        for change in (moved, new_version, damaged_record, foreign_record):
            with self.subTest(change.__name__):
                case = os.path.join(self.top, change.__name__)
                original = make_bundle(case)
                root = os.path.join(case, "data")
                record = os.path.join(root, "workspace.json")
                service = self.start_ready("connected", root=root, bundle=original)
                version = self.version_of(service)
                self.stop(service)

                bundle, changed_version = change(original, root)
                before = read_bytes(record)
                self.assert_refused(self.start_connected(root, bundle=bundle), RECONNECT, 1)
                self.assertEqual(read_bytes(record), before)

                service = self.start_connected(root, cold=True, bundle=bundle)
                service.ready()
                self.assert_epoch(record, bundle, changed_version or version)
                self.assertEqual(self.version_of(service), changed_version or version)
                self.stop(service)

                service = self.start_connected(root, bundle=bundle)
                service.ready()
                self.stop(service)

    def test_same_bundle_through_a_link_is_not_a_move(self):
        service = self.start_ready("connected")
        self.stop(service)
        link = os.path.join(self.top, "linked")
        os.symlink(self.bundle, link)
        service = self.start_connected(bundle=link)
        service.ready()
        self.stop(service)

    def test_preview_creates_its_root_and_ignores_any_epoch(self):
        service = self.start_ready()  # parents missing
        self.assertEqual(os.listdir(self.preview_root), [".service.lock"])
        self.stop(service)

        foreign = {"format": 1, "bundle": "/somewhere/else", "version": "0.0.1"}
        write_json(os.path.join(self.preview_root, "workspace.json"), foreign)
        other_bundle = make_bundle(os.path.join(self.top, "other"))
        for bundle in (self.bundle, other_bundle):
            with self.subTest(bundle=bundle):
                self.stop(self.start_ready(bundle=bundle))
                self.assertEqual(read_json(os.path.join(self.preview_root, "workspace.json")), foreign)

    def test_unusable_data_roots(self):
        blocker = os.path.join(self.top, "a-file")
        with open(blocker, "w"):
            pass
        cases = (
            ("preview root is a file", lambda: self.start_preview(blocker)),
            ("preview root under a file", lambda: self.start_preview(os.path.join(blocker, "root"))),
            ("connected root is a file", lambda: self.start_connected(blocker)),
            ("new workspace under a file", lambda: self.start_connected(os.path.join(blocker, "root"), new=True)),
        )
        for label, start in cases:
            with self.subTest(label):
                self.assert_refused(start(), "data_root_unusable", 1)
        self.assertEqual(read_bytes(blocker), b"")


if __name__ == "__main__":
    unittest.main()
