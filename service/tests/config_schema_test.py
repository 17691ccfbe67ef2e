#!/usr/bin/env python3
"""The configuration schema against the example and against broken files.

Checks that docs/schema/actionmanagerd.schema.json is a valid draft 2020-12
schema, that examples/actionmanagerd.json satisfies it, that the example runs
exactly the demo's world and profile (tools/demo/demo_scenario.json), and that
the schema refuses the mistakes it can see.

Usage: config_schema_test.py ROOT
"""
import copy
import json
import os
import sys
import unittest

import jsonschema

ROOT = sys.argv.pop(1) if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "..", "..")


def load(path):
    with open(os.path.join(ROOT, path), encoding="utf-8") as f:
        return json.load(f)


def volume_methods(config):
    return next(c for c in config["classes"] if c["name"] == "Volume")["methods"]


class ConfigSchemaTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.schema = load("docs/schema/actionmanagerd.schema.json")
        jsonschema.Draft202012Validator.check_schema(cls.schema)
        cls.validator = jsonschema.Draft202012Validator(cls.schema)
        cls.example = load("examples/actionmanagerd.json")

    def test_the_example_is_valid_and_runs_the_demo_profile(self):
        self.assertEqual(list(self.validator.iter_errors(self.example)), [])
        demo = load("tools/demo/demo_scenario.json")
        for field in ("namespace", "standard_classes", "classes", "instances"):
            self.assertEqual(self.example[field], demo[field], field)
        self.assertEqual(self.example["profiles"],
                         [{"name": demo["profile"], "settings": demo["settings"]}])
        self.assertEqual(self.example["listen"]["address"], "127.0.0.1")

    def test_an_alertmanager_mapping_is_valid(self):
        config = copy.deepcopy(self.example)
        config["alertmanager"] = {
            "class": "Disk_Full", "resolved_class": "Disk_Full", "profile": "DiskWatch",
            "receivers": {"ops": "DiskWatch"},
            "properties": {"Drive": "labels.drive", "event_key": "annotations.summary",
                           "ModelName": "generatorURL"},
            "fill_by_name": False, "prefer": "annotations", "event_id": "fingerprint_and_start"}
        self.assertEqual(list(self.validator.iter_errors(config)), [])

    def test_the_packaged_example_runs_the_demo_profile_in_the_installed_layout(self):
        packaged = load("packaging/actionmanagerd.json")
        self.assertEqual(list(self.validator.iter_errors(packaged)), [])
        for field in ("namespace", "standard_classes", "classes", "instances", "profiles"):
            self.assertEqual(packaged[field], self.example[field], field)
        self.assertEqual(packaged["listen"]["address"], "127.0.0.1")
        # The folders the unit gives the service, and the data folder.
        self.assertEqual(packaged["state_dir"], "/var/lib/actionmanagerd")
        self.assertTrue(packaged["results_file"].startswith("/var/log/actionmanagerd/"))
        self.assertTrue(packaged["socket"]["path"].startswith("/run/actionmanagerd/"))
        self.assertEqual(packaged["environment"], {"ZMO_HALBERD_DIR": "/usr/share/actionmanager"})

    def test_command_backed_methods_are_valid(self):
        config = copy.deepcopy(self.example)
        volume_methods(config)["Go"] = {
            "in": {"Reason": "string"}, "out": {"ReturnValue": "uint32"},
            "command": ["/usr/bin/systemctl", "restart", "{Drive}.service", "--reason={Reason}",
                        "{{literal}}", ""],
            "timeout_seconds": 30, "max_output_bytes": 0}
        volume_methods(config)["Braces"] = {"command": ["/opt/{{odd}}/x"]}
        self.assertEqual(list(self.validator.iter_errors(config)), [])

    def test_mistakes_the_schema_can_see_are_refused(self):
        def changed(change):
            config = copy.deepcopy(self.example)
            change(config)
            return config

        cases = {
            "no profiles": lambda c: c.pop("profiles"),
            "empty profiles": lambda c: c.update(profiles=[]),
            "unknown field": lambda c: c.update(colour="red"),
            "port out of range": lambda c: c["listen"].update(port=70000),
            "mode not octal": lambda c: c.update(socket={"path": "s", "mode": "rw"}),
            "settings and archive": lambda c: c["profiles"][0].update(settings_archive="a.bin"),
            "version without archive": lambda c: c["profiles"][0].update(version=11),
            "bad type name": lambda c: c["classes"][0]["properties"].update(Drive="text"),
            "log level": lambda c: c.update(log_level=8),
            "environment name with =": lambda c: c.update(environment={"A=B": "x"}),
            "alertmanager without class": lambda c: c.update(alertmanager={"profile": "P"}),
            "alertmanager unknown field": lambda c: c.update(
                alertmanager={"class": "Disk_Full", "resolved": True}),
            "alertmanager EventId mapped": lambda c: c.update(
                alertmanager={"class": "Disk_Full", "properties": {"EventId": "labels.id"}}),
            "alertmanager bad source": lambda c: c.update(
                alertmanager={"class": "Disk_Full", "properties": {"Drive": "label.drive"}}),
            "alertmanager prefer": lambda c: c.update(
                alertmanager={"class": "Disk_Full", "prefer": "both"}),
            "command and return_value": lambda c: volume_methods(c)["Cleanup"].update(
                command=["/bin/true"]),
            "command and hresult": lambda c: volume_methods(c)["Defragment"].update(
                command=["/bin/true"]),
            "empty command": lambda c: volume_methods(c).update(Go={"command": []}),
            "command as a shell line": lambda c: volume_methods(c).update(
                Go={"command": "systemctl restart x"}),
            "argument not a string": lambda c: volume_methods(c).update(
                Go={"command": ["/bin/echo", 5]}),
            "empty program": lambda c: volume_methods(c).update(Go={"command": [""]}),
            "placeholder in the program": lambda c: volume_methods(c).update(
                Go={"command": ["/usr/bin/{Drive}"]}),
            "time-out without command": lambda c: volume_methods(c)["Cleanup"].update(
                timeout_seconds=5),
            "time-out of 0": lambda c: volume_methods(c).update(
                Go={"command": ["/bin/true"], "timeout_seconds": 0}),
            "output bound too large": lambda c: volume_methods(c).update(
                Go={"command": ["/bin/true"], "max_output_bytes": 1 << 30}),
        }
        for name, change in cases.items():
            with self.subTest(name):
                self.assertTrue(list(self.validator.iter_errors(changed(change))), name)


if __name__ == "__main__":
    unittest.main()
