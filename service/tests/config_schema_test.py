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
            "log level": lambda c: c.update(log_level=4),
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
        }
        for name, change in cases.items():
            with self.subTest(name):
                self.assertTrue(list(self.validator.iter_errors(changed(change))), name)


if __name__ == "__main__":
    unittest.main()
