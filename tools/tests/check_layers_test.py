#!/usr/bin/env python3
"""The layering check finds includes that reach up, sideways or out, and only those."""
import os
import subprocess
import sys
import tempfile

SCRIPT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "check_layers.py")

CASES = [
    # (file, include, expected to fail)
    ("method_actions/a.cc", "actions/impl_base_action_info.h", False),
    ("method_actions/a.cc", "component/action_manager_sink.h", True),   # up
    ("program_actions/a.cc", "method_actions/x.h", True),               # sideways
    ("host/a.cc", "repository/repository.h", True),                     # beside the product
    ("component/a.cc", "repository/repository.h", True),
    ("component/tests/a_test.cc", "repository/repository.h", False),    # tests host the component
    ("method_actions/tests/a_test.cc", "actions/testing/x.h", False),
    ("wbem/a.cc", "../component/x.h", True),                            # climbs out
    ("tools/a.cc", "world/world.h", False),
    ("settings/a.cc", "runner/env_block.h", True),
    ("tools/a.cc", "service/daemon.h", True),                           # amctl never uses the daemon
    ("tools/a.cc", "service_config/config.h", False),
    ("bench/a.cc", "service/tests/daemon_process.h", True),             # a suite's own code
    ("bench/a.cc", "testing/daemon.h", False),
    ("settings/a.cc", "host/trace_utils.h", True),                      # its caller logs
    ("runner/a.cc", "base/ascii.h", False),                             # base is under all
    ("base/a.cc", "wbem/types.h", True),
]


def run(tree):
    return subprocess.run([sys.executable, SCRIPT, tree], capture_output=True, text=True)


def main():
    failures = 0
    for path, include, should_fail in CASES:
        with tempfile.TemporaryDirectory() as tree:
            full = os.path.join(tree, path)
            os.makedirs(os.path.dirname(full))
            with open(full, "w") as f:
                f.write(f'#include "{include}"\n')
            result = run(tree)
            failed = result.returncode != 0
            if failed != should_fail:
                failures += 1
                print(f"FAIL {path} -> {include}: exit {result.returncode}, "
                      f"expected {'a refusal' if should_fail else 'success'}\n{result.stdout}")
            elif failed and path not in result.stdout:
                failures += 1
                print(f"FAIL {path} -> {include}: the report does not name the file")
    print(f"{len(CASES) - failures}/{len(CASES)} cases as expected")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
