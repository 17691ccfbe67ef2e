#!/usr/bin/env python3
"""The JSON Schemas of docs/schema/ against the examples, the docs and amctl.

Checks that each schema is a valid draft 2020-12 schema (the examples and the
docs' documents are checked against them by docs_examples_test.py); that the settings definitions embedded in the scenario and service
schemas are the settings schema's own; that `amctl schema NAME` prints the
files; and that the schemas and amctl's readers agree on a table of invalid
documents: each is refused by both.

Usage: schema_test.py ROOT AMCTL
"""
import copy
import json
import os
import re
import subprocess
import sys
import tempfile
import unittest

import jsonschema

AMCTL = sys.argv.pop(2) if len(sys.argv) > 2 else "amctl"
ROOT = sys.argv.pop(1) if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "..", "..")
NAMES = {"settings": "settings", "scenario": "scenario", "service": "actionmanagerd"}


def load(path):
    with open(os.path.join(ROOT, path), encoding="utf-8") as f:
        return json.load(f)


class SchemaTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.schemas = {}
        cls.validators = {}
        for kind, name in NAMES.items():
            schema = load(f"docs/schema/{name}.schema.json")
            jsonschema.Draft202012Validator.check_schema(schema)
            cls.schemas[kind] = schema
            cls.validators[kind] = jsonschema.Draft202012Validator(schema)

    def test_embedded_settings_definitions_are_the_settings_schema(self):
        settings = self.schemas["settings"]
        for kind in ("scenario", "service"):
            defs = self.schemas[kind]["$defs"]
            with self.subTest(kind):
                for name, definition in settings["$defs"].items():
                    text = json.dumps(definition)
                    text = re.sub(r'"#/\$defs/([a-z_]+)"', r'"#/$defs/settings_\1"', text)
                    self.assertEqual(defs["settings_" + name], json.loads(text), name)
                self.assertEqual(defs["settings"]["properties"]["rules"]["items"],
                                 {"$ref": "#/$defs/settings_rule"})

    def test_amctl_prints_the_schemas(self):
        for kind, name in NAMES.items():
            with self.subTest(kind):
                printed = subprocess.run([AMCTL, "schema", kind], capture_output=True, check=True)
                with open(os.path.join(ROOT, f"docs/schema/{name}.schema.json"), "rb") as f:
                    self.assertEqual(printed.stdout, f.read())
        unknown = subprocess.run([AMCTL, "schema", "nope"], capture_output=True, text=True)
        self.assertEqual(unknown.returncode, 2)
        self.assertIn("settings, scenario, service", unknown.stderr)

    def test_schema_and_reader_refuse_the_same_invalid_documents(self):
        demo = load("tools/demo/demo_scenario.json")

        def scenario(change):
            document = copy.deepcopy(demo)
            change(document)
            return document

        def action(change):
            return scenario(lambda d: change(d["settings"]["rules"][0]["actions"][0]))

        cases = {
            "settings: unknown top field": {"rules": [], "colour": 1},
            "settings: rule without event": {"rules": [{"actions": []}]},
            "settings: event and event_hex": {"rules": [{"event": "A", "event_hex": "41"}]},
            "settings: hex with an odd digit count": {"rules": [{"event_hex": "414"}]},
            "settings: unknown kind": {"rules": [{"event": "A", "actions": [
                {"name": "x", "kind": "script"}]}]},
            "settings: action without name": {"rules": [{"event": "A", "actions": [
                {"kind": "task"}]}]},
            "settings: exec_limit too large": {"rules": [{"event": "A", "actions": [
                {"name": "x", "kind": "task", "exec_limit": 65536}]}]},
            "settings: a builtin field on a program": {"rules": [{"event": "A", "actions": [
                {"name": "x", "kind": "program", "method": "M"}]}]},
            "settings: params with an unknown field": {"rules": [{"event": "A", "actions": [
                {"name": "x", "kind": "builtin", "in_params": [{"param": "a", "prop": "b"}]}]}]},
            "settings: class_call as text": {"rules": [{"event": "A", "actions": [
                {"name": "x", "kind": "builtin", "class_call": "yes"}]}]},
            "settings: task items of numbers": {"rules": [{"event": "A", "actions": [
                {"name": "x", "kind": "task", "items": [1]}]}]},
            "scenario: no profile": scenario(lambda d: d.pop("profile")),
            "scenario: unknown field": scenario(lambda d: d.update(colour="red")),
            "scenario: settings and archive": scenario(lambda d: d.update(settings_archive="a.bin")),
            "scenario: no settings": scenario(lambda d: d.pop("settings")),
            "scenario: bad type name": scenario(
                lambda d: d["classes"][0]["properties"].update(Drive="text")),
            "scenario: class without name": scenario(lambda d: d["classes"][0].pop("name")),
            "scenario: event without class": scenario(lambda d: d["events"][0].pop("class")),
            "scenario: return_value and hresult": scenario(
                lambda d: d["classes"][1]["methods"]["Cleanup"].update(hresult=1)),
            "scenario: environment name with =": scenario(
                lambda d: d.update(environment={"A=B": "x"})),
            "scenario: environment value not text": scenario(
                lambda d: d.update(environment={"A": 1})),
            "scenario: an action's unknown field": action(lambda a: a.update(colour="red")),
            "scenario: archive version 12": scenario(lambda d: (
                d.pop("settings"), d.update(settings_archive="a.bin", version=12))),
        }
        with tempfile.TemporaryDirectory() as folder:
            for name, document in cases.items():
                with self.subTest(name):
                    kind = name.split(":")[0]
                    self.assertTrue(list(self.validators[kind].iter_errors(document)),
                                    f"the schema accepts {name}")
                    path = os.path.join(folder, "case.json")
                    with open(path, "w", encoding="utf-8") as f:
                        json.dump(document, f)
                    run = subprocess.run([AMCTL, "check", "--format", "json", path],
                                         capture_output=True, text=True)
                    self.assertEqual(run.returncode, 1, f"amctl check accepts {name}: {run.stdout}")
                    codes = {finding["code"] for finding in json.loads(run.stdout)}
                    self.assertTrue(codes & {"AM102", "AM100"}, f"{name}: {codes}")


if __name__ == "__main__":
    unittest.main()
