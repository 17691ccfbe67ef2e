"""The documentation's examples, run as written, so that they cannot drift.

1. Every scenario shown in docs/*.md (a ```json block with a "profile") is one
   of the files under examples/scenarios/, as JSON.
2. `amctl test` passes on every scenario under examples/scenarios/ and on the
   demo's scenario, and `amctl check` finds nothing in any JSON file of
   examples/, examples/scenarios/ and tools/demo/, nor in any complete ```json
   block of docs/*.md (one that elides nothing with "..."); each of those
   documents also satisfies the JSON Schema of its kind (docs/schema/).
3. The README's shell examples that use amctl run in a scratch folder that
   mirrors the top of the tree (examples/ and the built amctl), one bash per
   shell (as a reader's), and print what the README shows after each `$ `
   command. A line
   "..." in the README stands for any number of lines.

Usage: docs_examples_test.py SOURCE_ROOT AMCTL   (exit 0 when all hold)
"""
import json
import os
import re
import subprocess
import sys
import tempfile

MARK = "@@amctl-docs-test-end@@"
SCHEMAS = {"settings": "settings", "scenario": "scenario", "service": "actionmanagerd"}


def kind_of(document):
    if "profiles" in document:
        return "service"
    if "profile" in document or "events" in document or "settings" in document:
        return "scenario"
    return "settings"


def schema_errors(root, paths):
    """What the schemas of docs/schema/ say about each document in `paths`."""
    import jsonschema
    validators = {}
    for kind, name in SCHEMAS.items():
        with open(os.path.join(root, "docs", "schema", f"{name}.schema.json"), encoding="utf-8") as f:
            validators[kind] = jsonschema.Draft202012Validator(json.load(f))
    failures, kinds = [], set()
    for path in paths:
        with open(path, encoding="utf-8") as f:
            document = json.load(f)
        kinds.add(kind_of(document))
        for error in validators[kind_of(document)].iter_errors(document):
            failures.append(f"{path}: the schema refuses it: {error.message}")
    if kinds != set(SCHEMAS):
        failures.append(f"the examples and docs show only the kinds {sorted(kinds)}")
    return failures


def doc_scenarios(root):
    for name in sorted(os.listdir(os.path.join(root, "docs"))):
        if not name.endswith(".md"):
            continue
        text = open(os.path.join(root, "docs", name), encoding="utf-8").read()
        for block in re.findall(r"```json\n(.*?)```", text, re.S):
            try:
                value = json.loads(block)
            except json.JSONDecodeError:
                continue  # a fragment with elisions, not a document
            if isinstance(value, dict) and "profile" in value:
                yield name, value


def shell_blocks(readme):
    """(commands, expected outputs) of each ```sh block with `$ ` lines using amctl."""
    for block in re.findall(r"```sh\n(.*?)```", readme, re.S):
        lines = block.splitlines()
        commands, outputs = [], []
        i = 0
        while i < len(lines):
            if not lines[i].startswith("$ "):
                i += 1
                continue
            command = lines[i][2:]
            i += 1
            # A command continues on indented lines after a trailing pipe.
            while command.rstrip().endswith("|") and i < len(lines) and lines[i].startswith(" "):
                command += "\n" + lines[i]
                i += 1
            output = []
            while i < len(lines) and not lines[i].startswith("$ "):
                output.append(lines[i])
                i += 1
            commands.append(command)
            outputs.append(output)
        if commands and any("amctl" in c for c in commands):
            yield commands, outputs


def matches(expected, actual):
    """Whether `actual` lines fit `expected`, where "..." takes any run of lines."""
    if not expected:
        return not actual
    if expected[0] == "...":
        return any(matches(expected[1:], actual[k:]) for k in range(len(actual) + 1))
    return bool(actual) and actual[0] == expected[0] and matches(expected[1:], actual[1:])


def main():
    root, amctl = sys.argv[1], os.path.abspath(sys.argv[2])
    failures = []

    examples = os.path.join(root, "examples", "scenarios")
    files = {n: json.load(open(os.path.join(examples, n), encoding="utf-8"))
             for n in sorted(os.listdir(examples)) if n.endswith(".json")}
    for doc, scenario in doc_scenarios(root):
        if scenario not in files.values():
            failures.append(f"docs/{doc}: a scenario that is no file of examples/scenarios/")

    scenarios = [os.path.join(examples, n) for n in files] + [
        os.path.join(root, "tools", "demo", "demo_scenario.json")]
    run = subprocess.run([amctl, "test"] + scenarios, capture_output=True, text=True)
    if run.returncode != 0:
        failures.append("amctl test on the examples:\n" + run.stdout + run.stderr)

    with tempfile.TemporaryDirectory() as blocks:
        texts = {}  # a block's file -> the text of its doc
        checked = [os.path.join(root, folder, n)
                   for folder in ("examples", os.path.join("examples", "scenarios"),
                                  os.path.join("tools", "demo"))
                   for n in sorted(os.listdir(os.path.join(root, folder))) if n.endswith(".json")]
        for name in sorted(os.listdir(os.path.join(root, "docs"))):
            if not name.endswith(".md"):
                continue
            text = open(os.path.join(root, "docs", name), encoding="utf-8").read()
            for k, block in enumerate(re.findall(r"```json\n(.*?)```", text, re.S)):
                if "..." in block:
                    continue
                checked.append(os.path.join(blocks, f"{name[:-3]}-{k}.json"))
                texts[checked[-1]] = text
                with open(checked[-1], "w", encoding="utf-8") as f:
                    f.write(block)
        # A doc's example may draw a warning that the doc itself explains
        # (names its code); anything else is a failure.
        run = subprocess.run([amctl, "check", "--format", "json"] + checked, capture_output=True,
                             text=True)
        found = json.loads(run.stdout) if run.stdout.strip() else None
        unexplained = [f for f in found or [] if f["severity"] != "warning" or
                       f"({f['code']})" not in texts.get(f["file"], "")]
        if found is None or unexplained:
            failures.append("amctl check on the examples and docs:\n" +
                            json.dumps(unexplained, indent=1) + run.stderr)
        failures += schema_errors(root, checked)

    # One shell for all the blocks, as a reader who follows the README has.
    readme = open(os.path.join(root, "README.md"), encoding="utf-8").read()
    commands, outputs = [], []
    for block_commands, block_outputs in shell_blocks(readme):
        commands += block_commands
        outputs += block_outputs
    with tempfile.TemporaryDirectory() as scratch:
        os.symlink(os.path.join(root, "examples"), os.path.join(scratch, "examples"))
        os.makedirs(os.path.join(scratch, "build", "default"))
        os.symlink(os.path.dirname(amctl), os.path.join(scratch, "build", "default", "bin"))
        script = "".join(f"{c}\nprintf '%s\\n' '{MARK}'\n" for c in commands)
        # A plain PATH: the README's own export must be what finds amctl.
        env = dict(os.environ, PATH="/usr/bin:/bin")
        done = subprocess.run(["bash", "-c", script], cwd=scratch, env=env, capture_output=True,
                              text=True, stdin=subprocess.DEVNULL)
    # Messages go to standard error, which is not split by command: each
    # "amctl: " line shown must appear there, the other lines in the command's
    # standard output.
    got = done.stdout.split(MARK + "\n")
    for k, (command, expected) in enumerate(zip(commands, outputs)):
        if not expected:
            continue
        actual = got[k].splitlines() if k < len(got) else []
        messages = [line for line in expected if line.startswith("amctl: ")]
        plain = [line for line in expected if not line.startswith("amctl: ")]
        if not matches(plain, actual) or any(m not in done.stderr for m in messages):
            failures.append(f"README: $ {command}\n  expected:\n    " +
                            "\n    ".join(expected) + "\n  got:\n    " +
                            "\n    ".join(actual) + "\n  stderr:\n    " + done.stderr)
    for failure in failures:
        print(failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
