#!/usr/bin/env python3
"""The shell completions of amctl complete what amctl takes.

Runs the bash completion function on command lines, as bash would on TAB,
and compares the candidates; checks that the zsh completion parses (zsh is
not needed by the build, so that part is skipped where zsh is missing).

Usage: completion_test.py ROOT
"""
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

ROOT = sys.argv.pop(1) if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "..", "..")
BASH = os.path.abspath(os.path.join(ROOT, "tools", "completion", "amctl.bash"))
ZSH = os.path.abspath(os.path.join(ROOT, "tools", "completion", "_amctl"))


def complete(line, cwd):
    """The candidates bash offers for `line` with the cursor at its end."""
    script = f"""
source {BASH!r}
COMP_LINE={line!r}
read -r -a COMP_WORDS <<< "$COMP_LINE"
[[ $COMP_LINE == *" " ]] && COMP_WORDS+=("")
COMP_CWORD=$(( ${{#COMP_WORDS[@]}} - 1 ))
_amctl amctl "${{COMP_WORDS[COMP_CWORD]}}"
printf '%s\\n' "${{COMPREPLY[@]}}"
"""
    run = subprocess.run(["bash", "--norc", "--noprofile", "-c", script], cwd=cwd,
                         capture_output=True, text=True, check=True)
    return sorted(word for word in run.stdout.split("\n") if word)


class BashCompletionTest(unittest.TestCase):
    def test_candidates(self):
        with tempfile.TemporaryDirectory() as folder:
            for name in ("disk.json", "disk.bin", "other.txt"):
                open(os.path.join(folder, name), "w").close()
            cases = [
                ("amctl ch", ["check"]),
                ("amctl s", ["schema", "send", "settings", "status"]),
                ("amctl ", ["--help", "--version", "check", "demo", "explain", "results", "run",
                             "schema", "send", "settings", "status", "test"]),
                ("amctl send --w", ["--wait"]),
                ("amctl send --socket d", ["disk.bin", "disk.json"]),
                ("amctl results --f", ["--follow"]),
                ("amctl results ", []),
                ("amctl status --event-id ", []),
                ("amctl status --url h", ["http://", "https://"]),
                ("amctl run --d", ["--dry-run"]),
                ("amctl test --junit d", ["disk.bin", "disk.json"]),
                ("amctl explain --e", ["--events"]),
                ("amctl check --f", ["--format"]),
                ("amctl check --format ", ["json", "sarif", "text"]),
                ("amctl check --strict --format s", ["sarif"]),
                ("amctl check di", ["disk.bin", "disk.json"]),
                ("amctl check --version 1", ["1", "10", "11"]),
                ("amctl settings ", ["--help", "decode", "encode"]),
                ("amctl settings encode disk.json -", ["--help", "--output", "--verbose",
                                                       "--version", "-o", "-v"]),
                ("amctl settings decode --st", ["--strict"]),
                ("amctl settings encode disk.json -o o", ["other.txt"]),
                ("amctl run --events d", ["disk.bin", "disk.json"]),
                ("amctl demo --j", ["--jsonl"]),
                ("amctl demo ", []),
                ("amctl schema ", ["scenario", "service", "settings"]),
                ("amctl bogus ", []),
            ]
            for line, expected in cases:
                with self.subTest(line):
                    self.assertEqual(complete(line, folder), expected)


class ZshCompletionTest(unittest.TestCase):
    def test_parses(self):
        if shutil.which("zsh") is None:
            self.skipTest("zsh is not installed")
        run = subprocess.run(["zsh", "-n", ZSH], capture_output=True, text=True)
        self.assertEqual(run.returncode, 0, run.stderr)


if __name__ == "__main__":
    unittest.main()
