#!/usr/bin/python3
# SPDX-License-Identifier: MIT
# SPDX-FileCopyrightText: 2026 lanbeacon developers
"""Runs end-to-end test cases; exits 77 (skipped, for CTest) when not root.

    run_e2e.py LANBEACON test_publish.PublishTest.test_x [...]
"""
import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from netlab import require_root  # noqa: E402

if __name__ == "__main__":
    require_root()
    os.environ["LANBEACON"] = os.path.abspath(sys.argv[1])
    suite = unittest.defaultTestLoader.loadTestsFromNames(sys.argv[2:])
    result = unittest.TextTestRunner(verbosity=2).run(suite)
    sys.exit(0 if result.wasSuccessful() else 1)
