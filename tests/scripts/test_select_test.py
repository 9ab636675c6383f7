#!/usr/bin/env python3
"""scripts/test_select.py on a small CMake project of its own: what makes a
test run again after it passed, and what must not.

    test_select_test.py SOURCE_DIR CXX
"""

import os
import shutil
import subprocess
import sys
import tempfile
import textwrap
import time
import unittest

SOURCE, CXX = sys.argv[1], sys.argv[2]
SELECT = os.path.join(SOURCE, "scripts", "test_select.py")

PROJECT = textwrap.dedent("""\
    cmake_minimum_required(VERSION 3.20)
    project(t CXX)
    enable_testing()
    add_library(lib SHARED lib.cpp)
    add_executable(uses_lib uses_lib.cpp)
    target_link_libraries(uses_lib PRIVATE lib)
    add_executable(alone alone.cpp)
    add_executable(runs_helper alone.cpp)
    add_executable(helper alone.cpp)
    add_executable(undeclared alone.cpp)
    add_test(NAME uses_lib.case COMMAND uses_lib)
    add_test(NAME alone.one COMMAND alone 1)
    add_test(NAME alone.two COMMAND alone 2)
    add_test(NAME runs_helper.case COMMAND runs_helper)
    add_test(NAME undeclared.case COMMAND undeclared)
    add_test(NAME script.case COMMAND sh ${CMAKE_SOURCE_DIR}/check.sh)
    add_test(NAME loose.case COMMAND sh ${CMAKE_SOURCE_DIR}/loose.sh)
    add_test(NAME outcome.case COMMAND sh ${CMAKE_SOURCE_DIR}/outcome.sh ${CMAKE_BINARY_DIR}/../outcome)
    file(WRITE ${CMAKE_BINARY_DIR}/test-inputs/outcome.sh.txt "\n")
    file(WRITE ${CMAKE_BINARY_DIR}/test-inputs/uses_lib.txt "\\n")
    file(WRITE ${CMAKE_BINARY_DIR}/test-inputs/alone.txt "\\n")
    file(WRITE ${CMAKE_BINARY_DIR}/test-inputs/runs_helper.txt
      "${CMAKE_BINARY_DIR}/helper\\n${CMAKE_SOURCE_DIR}/data\\n")
    file(WRITE ${CMAKE_BINARY_DIR}/test-inputs/check.sh.txt "${CMAKE_SOURCE_DIR}/data/one\\n")
    """)


def environment(extra):
    """This process's environment without the switch that selects every test
    (CI runs the suite with it set), and with `extra`."""
    env = {k: v for k, v in os.environ.items() if k != "VANTREL_TEST_ALWAYS"}
    env.update(extra or {})
    return env


class Selection(unittest.TestCase):
    def setUp(self):
        self.top = tempfile.mkdtemp(prefix="test-select-")
        self.src = os.path.join(self.top, "src")
        self.build = os.path.join(self.top, "build")
        os.makedirs(os.path.join(self.src, "data"))
        self.write("CMakeLists.txt", PROJECT)
        self.write("lib.cpp", "int lib_value() { return 1; }\n")
        self.write("uses_lib.cpp", "int lib_value();\nint main() { return lib_value() - 1; }\n")
        self.write("alone.cpp", "int main() { return 0; }\n")
        self.write("check.sh", "exit 0\n")
        self.write("loose.sh", "exit 0\n")
        self.write("outcome.sh", 'exit "$(cat "$1")"\n')
        with open(os.path.join(self.top, "outcome"), "w", encoding="utf-8") as f:
            f.write("0")
        self.write("data/one", "1")
        self.write("data/two", "2")
        self.write("elsewhere.txt", "x")
        subprocess.run(["cmake", "-S", self.src, "-B", self.build, f"-DCMAKE_CXX_COMPILER={CXX}"],
                       check=True, capture_output=True)
        self.make()

    def tearDown(self):
        shutil.rmtree(self.top)

    def write(self, rel, text):
        path = os.path.join(self.src, rel)
        with open(path, "w", encoding="utf-8") as f:
            f.write(text)
        # A time stamp apart from the last, on a file system with coarse ones.
        t = time.time_ns() + 10_000_000
        os.utime(path, ns=(t, t))

    def make(self):
        subprocess.run(["cmake", "--build", self.build], check=True, capture_output=True)

    def selected(self, env=None):
        listed = os.path.join(self.top, "selected")
        out = subprocess.run([sys.executable, SELECT, "select", self.build, self.src, listed],
                             check=True, capture_output=True, text=True,
                             env=environment(env)).stdout.split()
        with open(listed, encoding="utf-8") as f:
            numbers = f.read().strip().removeprefix("0,0,,")
        names = subprocess.run(["ctest", "-N", "-I", listed], cwd=self.build, check=False,
                               capture_output=True, text=True).stdout
        chosen = sorted(line.split(": ", 1)[1].strip() for line in names.splitlines()
                        if line.strip().startswith("Test") and ": " in line)
        self.assertEqual(int(out[0]), len(chosen), numbers)
        return chosen

    def run_and_record(self):
        """Runs what was selected, as scripts/test.sh does, and records it."""
        listed = os.path.join(self.top, "selected")
        junit = os.path.join(self.top, "last.xml")
        subprocess.run(["ctest", "-I", listed, "--output-junit", junit], cwd=self.build,
                       check=False, capture_output=True)
        subprocess.run([sys.executable, SELECT, "record", self.build, listed, junit], check=True)

    def outcome(self, status):
        """What outcome.case exits with: not one of its inputs."""
        with open(os.path.join(self.top, "outcome"), "w", encoding="utf-8") as f:
            f.write(str(status))

    def test_what_runs_again(self):
        everything = ["alone.one", "alone.two", "loose.case", "outcome.case", "runs_helper.case",
                      "script.case", "undeclared.case", "uses_lib.case"]
        # (what is done after a run in which all passed, what must run next)
        rows = [
            ("nothing", lambda: None, []),
            ("a test program is rebuilt changed",
             lambda: (self.write("alone.cpp", "volatile int zero;\nint main() { return zero; }\n"),
                      self.make()),
             ["alone.one", "alone.two", "loose.case", "runs_helper.case", "undeclared.case"]),
            ("a library a program loads changes",
             lambda: (self.write("lib.cpp", "volatile int one = 1;\nint lib_value() { return one; }\n"),
                      self.make()),
             ["loose.case", "undeclared.case", "uses_lib.case"]),
            ("a source file a manifest names changes",
             lambda: self.write("data/two", "22"),
             ["loose.case", "runs_helper.case", "undeclared.case"]),
            ("the file a script's manifest names changes",
             lambda: self.write("data/one", "11"),
             ["loose.case", "runs_helper.case", "script.case", "undeclared.case"]),
            ("a source file nothing names changes",
             lambda: self.write("elsewhere.txt", "y"),
             ["loose.case", "undeclared.case"]),
            ("a script changes", lambda: self.write("check.sh", "exit 0 # now\n"),
             ["loose.case", "script.case", "undeclared.case"]),
        ]
        self.assertEqual(self.selected(), everything, "a build with no stamps runs everything")
        self.run_and_record()
        for what, change, expected in rows:
            with self.subTest(what):
                change()
                self.assertEqual(self.selected(), expected)
                self.run_and_record()
        self.assertEqual(self.selected({"VANTREL_TEST_ALWAYS": "1"}), everything)

    def fingerprint(self, *paths, salt="30"):
        return subprocess.run(
            [sys.executable, SELECT, "fingerprint", self.build, os.path.join(self.build, "uses_lib"),
             *paths, "--salt", salt], check=True, capture_output=True, text=True).stdout.strip()

    def test_a_programs_fingerprint_follows_its_inputs(self):
        """What the fuzz smoke run stamps a target with."""
        data = os.path.join(self.src, "data")
        first = self.fingerprint(data)
        # (what is done, whether the fingerprint must change)
        rows = [
            ("nothing", lambda: None, False),
            ("another program is rebuilt changed",
             lambda: (self.write("alone.cpp", "volatile int zero;\nint main() { return zero; }\n"),
                      self.make()), False),
            ("a source file it does not name changes", lambda: self.write("elsewhere.txt", "y"),
             False),
            ("a library it loads changes",
             lambda: (self.write("lib.cpp", "volatile int one = 1;\nint lib_value() { return one; }\n"),
                      self.make()), True),
            ("a file of a folder it names changes", lambda: self.write("data/two", "22"), True),
        ]
        for what, change, changes in rows:
            with self.subTest(what):
                change()
                now = self.fingerprint(data)
                self.assertEqual(now != first, changes)
                first = now
        self.assertNotEqual(self.fingerprint(data, salt="60"), first, "the salt is an input")
        self.assertNotEqual(self.fingerprint(), first, "the paths named are inputs")

    def test_a_failed_test_runs_again_until_it_passes(self):
        self.selected()
        self.outcome(1)
        self.run_and_record()
        self.assertEqual(self.selected(), ["outcome.case"])
        self.run_and_record()
        self.assertEqual(self.selected(), ["outcome.case"], "it failed again")
        self.outcome(0)
        self.run_and_record()
        self.assertEqual(self.selected(), [])


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1])
