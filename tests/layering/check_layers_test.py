#!/usr/bin/env python3
"""The layering check against small trees, each with one fault it must name."""

import os
import subprocess
import sys
import tempfile
import unittest

SCRIPT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts",
                      "check_layers.py")


def make_tree(root, layers, files):
    """layers: {folder: [deps]}; files: {path under src: text}."""
    for layer, deps in layers.items():
        os.makedirs(os.path.join(root, "src", layer), exist_ok=True)
        if deps is not None:
            with open(os.path.join(root, "src", layer, "DEPS"), "w") as f:
                f.write("# allowed\n" + "".join(d + "\n" for d in deps))
    for path, text in files.items():
        full = os.path.join(root, "src", path)
        os.makedirs(os.path.dirname(full), exist_ok=True)
        with open(full, "w") as f:
            f.write(text)


def run_check(layers, files):
    with tempfile.TemporaryDirectory() as root:
        make_tree(root, layers, files)
        done = subprocess.run([sys.executable, SCRIPT, root], capture_output=True, text=True)
        return done.returncode, done.stdout


LAYERS = {"base": [], "env": ["base"], "connector": ["base", "env"]}


class CheckLayersTest(unittest.TestCase):
    def test_a_tree_that_follows_its_deps_passes(self):
        code, out = run_check(LAYERS, {
            "base/text.h": "#pragma once\n#include <string>\n",
            "env/env.h": '#include "base/text.h"\n',
            "env/posix/env_posix.cpp": '#include <unistd.h>\n#include "env/env.h"\n',
            "connector/worker.cpp": '#include "env/env.h"\n#include "connector/worker.h"\n'
                                    '#include "messages.rc"\n',
        })
        self.assertEqual(code, 0, out)

    def test_each_fault_is_named_with_its_place(self):
        cases = [
            ("include against the direction",
             LAYERS, {"env/env.cpp": '#include "base/text.h"\n#include "connector/worker.h"\n'},
             "src/env/env.cpp:2: includes \"connector/worker.h\", but src/env/DEPS does not name "
             "'connector'"),
            ("include of a layer not listed, even a lower one",
             {"base": [], "env": ["base"], "connector": ["env"]},
             {"connector/worker.cpp": '#include "base/text.h"\n'},
             "src/connector/worker.cpp:1: includes \"base/text.h\", but src/connector/DEPS does "
             "not name 'base'"),
            ("circle of DEPS files",
             {"base": ["connector"], "env": ["base"], "connector": ["env"]}, {},
             "DEPS files form a circle: base -> connector -> env -> base"),
            ("DEPS naming no layer",
             {"base": ["platform"]}, {}, "src/base/DEPS: 'platform' is not a folder of src/"),
            ("folder without DEPS",
             {"base": [], "json": None}, {}, "src/json: no DEPS file"),
            ("portable file with a platform folder's header",
             LAYERS, {"connector/worker.cpp": '#include "env/posix/curl_transport.h"\n'},
             "src/connector/worker.cpp:1: portable file includes the platform header "
             "\"env/posix/curl_transport.h\""),
            ("portable file with an operating system header",
             LAYERS, {"env/log.cpp": '#include <string>\n#  include <windows.h>\n'},
             "src/env/log.cpp:2: portable file includes the platform header <windows.h>"),
        ]
        for name, layers, files, expected in cases:
            with self.subTest(name):
                code, out = run_check(layers, files)
                self.assertEqual(code, 1, out)
                self.assertIn(expected + "\n", out)

    def test_the_project_itself_passes(self):
        root = os.path.join(os.path.dirname(SCRIPT), "..")
        done = subprocess.run([sys.executable, SCRIPT, root], capture_output=True, text=True)
        self.assertEqual(done.returncode, 0, done.stdout)


if __name__ == "__main__":
    unittest.main()
