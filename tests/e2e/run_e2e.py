# SPDX-License-Identifier: MIT
"""Runs end-to-end tests of the ScnFerry binary.

    run_e2e.py --app build/ScnFerry --receiver build/tests/tools/scnferry_receiver \
               [--artifacts DIR] [TEST ...]

TEST is a unittest name (module, module.Class or module.Class.test); without
one every test module of this folder runs.
"""

import argparse
import os
import sys
import unittest

from e2e_session import Config

MODULES = ["test_command_line", "test_port", "test_scan", "test_encoding", "test_window"]


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--app", required=True, help="the ScnFerry binary")
    parser.add_argument("--receiver", help="the scnferry_receiver binary")
    parser.add_argument("--artifacts", help="where screenshots go")
    parser.add_argument("tests", nargs="*")
    args = parser.parse_args()

    Config.app = os.path.abspath(args.app)
    Config.receiver = os.path.abspath(args.receiver) if args.receiver else None
    Config.artifacts = os.path.abspath(args.artifacts) if args.artifacts else None

    names = args.tests or MODULES
    suite = unittest.defaultTestLoader.loadTestsFromNames(names)
    result = unittest.TextTestRunner(verbosity=2).run(suite)
    return 0 if result.wasSuccessful() else 1


if __name__ == "__main__":
    sys.exit(main())
