#!/usr/bin/env python3
"""Fails when a product file includes a header of a layer above it or beside it.

The allowed edges are written here once: each folder lists the folders whose
headers it may include (its own are always allowed). A folder's tests and
test support (tests/, testing/) may also use what stands beside the product
(the repository and the world), since they host the component as the agent
would. bench/ and fuzz/ are drivers: they may use any folder and the test
library (testing/), but never a folder's tests/, which is that suite's own.

Usage: tools/check_layers.py [ROOT]   (exit 0 when clean, 1 with the list)
"""
import os
import re
import sys

# From the bottom up. Layer 1 is base (standard library and POSIX only) and
# wbem; every folder may include base. Layer 2 is host, settings and runner;
# settings logs nothing itself (its caller logs what it reports), so it does
# not reach host. An edge is listed only while an include uses it.
ALLOWED = {
    "base": [],
    "wbem": [],
    "host": ["wbem"],
    "settings": ["wbem"],
    "runner": [],
    "actions": ["settings", "host", "wbem"],
    "method_actions": ["actions", "settings", "host", "wbem"],
    "program_actions": ["actions", "settings", "runner", "host", "wbem"],
    "component": ["method_actions", "program_actions", "actions", "settings", "host", "wbem"],
    # Beside the product: never linked into libActionManager.so or the host
    # framework library.
    "repository": ["wbem"],
    "world": ["repository", "wbem"],
    # The JSON forms shared by the two programs on top.
    "scenario": ["world", "repository", "settings", "host", "wbem"],
    # The test library: harnesses every suite's tests share; tests only.
    "testing": ["world", "repository", "wbem"],
    # The service's configuration reader, below both programs on top (amctl
    # check judges a configuration with it).
    "service_config": ["scenario", "world", "repository", "settings", "host", "wbem"],
    # On top. tools never reaches into the service.
    "tools": ["service_config", "scenario", "world", "repository", "component", "settings",
              "host", "wbem", "runner"],
    "service": ["service_config", "scenario", "world", "repository", "component", "settings",
                "host", "wbem", "runner"],
}
BESIDE = ["repository", "world"]
DRIVERS = ["bench"]
# Test support may also reach what the test drives from above: a layer's
# end-to-end tests run it through the component.
TEST_EXTRA = BESIDE + ["component", "testing"]

INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"')


def check(root):
    problems = []
    for folder, allowed in ALLOWED.items():
        base = os.path.join(root, folder)
        if not os.path.isdir(base):
            continue
        for dirpath, _, files in os.walk(base):
            rel_dir = os.path.relpath(dirpath, root)
            is_test = any(p in ("tests", "testing") for p in rel_dir.split(os.sep))
            reach = set(allowed) | {folder, "base"} | (set(TEST_EXTRA) if is_test else set())
            for name in files:
                if not name.endswith((".h", ".cc")):
                    continue
                path = os.path.join(dirpath, name)
                with open(path, encoding="utf-8", errors="replace") as f:
                    for number, line in enumerate(f, 1):
                        m = INCLUDE.match(line)
                        if not m:
                            continue
                        target = m.group(1)
                        if ".." in target.split("/"):
                            problems.append(f"{os.path.relpath(path, root)}:{number}: "
                                            f"\"{target}\" climbs out of the include roots")
                            continue
                        top = target.split("/")[0]
                        if top not in ALLOWED or "/" not in target:
                            continue  # not a project header (generated or same-folder)
                        if top not in reach:
                            problems.append(f"{os.path.relpath(path, root)}:{number}: "
                                            f"{folder} may not include \"{target}\"")
    for folder in DRIVERS:
        for path, number, target in includes(root, folder):
            if "tests" in target.split("/")[:-1]:
                problems.append(f"{os.path.relpath(path, root)}:{number}: "
                                f"{folder} may not include a suite's own \"{target}\"")
    return problems


def includes(root, folder):
    """Yields (path, line number, included path) for each project include under folder."""
    for dirpath, _, files in os.walk(os.path.join(root, folder)):
        for name in files:
            if name.endswith((".h", ".cc")):
                path = os.path.join(dirpath, name)
                with open(path, encoding="utf-8", errors="replace") as f:
                    for number, line in enumerate(f, 1):
                        m = INCLUDE.match(line)
                        if m:
                            yield path, number, m.group(1)


def main():
    root = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "..")
    problems = check(os.path.abspath(root))
    for p in problems:
        print(p)
    if problems:
        print(f"{len(problems)} include(s) reach up or sideways", file=sys.stderr)
        return 1
    print("layers: every include reaches down")
    return 0


if __name__ == "__main__":
    sys.exit(main())
