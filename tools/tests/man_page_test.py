#!/usr/bin/env python3
"""A program's manual page and its --help cannot drift apart.

Walks the commands that `PROGRAM --help` lists (and their subcommands), reads
each command's options from `PROGRAM COMMAND --help`, and checks that the
manual page's section for that command (".SS PROGRAM COMMAND") names exactly
those options, and that the page has a section for every command and no
section for a command the program does not have. The top-level options
belong to the OPTIONS section. The page must also format without warnings.
Used for amctl (commands) and actionmanagerd (options only).

Usage: man_page_test.py PROGRAM MANPAGE
"""
import os
import re
import shutil
import subprocess
import sys
import unittest

MANPAGE = sys.argv.pop(2) if len(sys.argv) > 2 else "docs/man/amctl.1"
AMCTL = sys.argv.pop(1) if len(sys.argv) > 1 else "amctl"
NAME = os.path.basename(AMCTL)
HELP = {"-h", "--help"}


def help_text(words):
    return subprocess.run([AMCTL, *words, "--help"], capture_output=True, text=True,
                          check=True).stdout


def section(text, title):
    """The lines of a CLI11 help section ("Options:", "Subcommands:")."""
    match = re.search(rf"^{title}:\n(.*?)(?:\n\n|\Z)", text, re.S | re.M)
    return match.group(1).splitlines() if match else []


def options(text):
    found = set()
    for line in section(text, "Options"):
        match = re.match(r"\s{2}(-[^\s]+)", line)
        if match:
            found.update(name for name in match.group(1).split(",") if name.startswith("-"))
    return found - HELP


def commands(words=()):
    """Every command path that has no subcommands of its own, and its help."""
    text = help_text(list(words))
    subs = [line.split()[0] for line in section(text, "Subcommands") if line.strip()]
    if not subs and words:
        return {" ".join(words): text}
    found = {}
    for sub in subs:
        found.update(commands((*words, sub)))
    return found


def man_sections(page):
    """Options named in each ".SS amctl ..." section, and in OPTIONS."""
    sections = {}
    current = None
    for line in page.splitlines():
        if line.startswith(".SH"):
            current = "OPTIONS" if line.split(None, 1)[1].strip('"') == "OPTIONS" else None
            if current:
                sections[current] = set()
            continue
        if line.startswith(".SS"):
            title = line.split(None, 1)[1].strip('"')
            current = title[len(NAME) + 1:] if title.startswith(NAME + " ") else None
            if current:
                sections[current] = set()
            continue
        if current is not None and line.startswith((".B ", ".BI ", ".BR ")):
            text = line.replace("\\-", "-")
            sections[current].update(re.findall(r"(?<![\w-])(--?[a-z][a-z-]*)", text))
    return {name: found - HELP for name, found in sections.items()}


class ManPageTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        with open(MANPAGE, encoding="utf-8") as f:
            cls.page = f.read()
        cls.sections = man_sections(cls.page)
        cls.commands = commands()

    def test_every_command_has_a_section_with_exactly_its_options(self):
        # A program with commands lists several; finding none would mean the
        # help's format changed under the parser.
        if "Subcommands:" in help_text([]):
            self.assertGreaterEqual(len(self.commands), 4)
        for name, text in self.commands.items():
            with self.subTest(name):
                self.assertIn(name, self.sections, f"no .SS {NAME} {name} section")
                self.assertEqual(self.sections[name], options(text), name)

    def test_no_section_for_a_command_amctl_lacks(self):
        extra = set(self.sections) - set(self.commands) - {"OPTIONS"}
        self.assertEqual(extra, set())

    def test_top_level_options(self):
        self.assertEqual(self.sections["OPTIONS"], options(help_text([])))

    def test_formats_without_warnings(self):
        if shutil.which("groff") is None:
            self.skipTest("groff is not installed")
        run = subprocess.run(["groff", "-man", "-Tutf8", "-ww", "-z", MANPAGE],
                             capture_output=True, text=True)
        self.assertEqual(run.returncode, 0)
        self.assertEqual(run.stderr, "")


if __name__ == "__main__":
    unittest.main()
