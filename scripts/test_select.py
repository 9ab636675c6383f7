#!/usr/bin/env python3
"""Which of the suite's tests a rerun must run: those whose inputs changed
since each last passed in this build directory.

A test's inputs are what it runs and reads: its CTest entry (command,
environment, properties), its program and every library of the build that
program loads, and what the program's manifest in <build>/test-inputs/
names (the programs it starts, build files and source paths it reads; a
test folder declares them in its CMakeLists). A program with no manifest,
and a test that is a script, depend on everything: every program and
library of the build and every file of the sources. The fingerprint is a
hash of all of these (file contents for build outputs, sizes and times for
sources) and of the user who runs it, whose rights decide what a test
skips.

    test_select.py select BUILD SOURCE LIST   the numbers of the tests to run,
                                              in ctest -I's syntax, to LIST
                                              (the fingerprints to LIST.json);
                                              prints "SELECTED TOTAL"
    test_select.py record BUILD LIST JUNIT    the tests JUNIT shows passed
                                              keep the fingerprints select
                                              gave them in LIST.json
    test_select.py fingerprint BUILD PROGRAM [PATH...] [--salt TEXT]
                                              prints the fingerprint of a
                                              program of BUILD with the
                                              build's libraries it loads and
                                              PATHs (build files by content,
                                              sources by size and time), as
                                              the fuzz smoke run stamps its
                                              targets

VANTREL_TEST_ALWAYS=1 selects every test. Stamps live in
<build>/test-stamps/; removing that folder runs everything again.
"""

import hashlib
import json
import os
import stat
import subprocess
import sys
import xml.etree.ElementTree as ET

ELF = b"\x7fELF"


class Hasher:
    """Content hashes of build files, kept by (size, time, inode) between
    runs so that an unchanged file is read once."""

    def __init__(self, cache_path):
        self.path = cache_path
        try:
            with open(cache_path, encoding="utf-8") as f:
                self.cache = json.load(f)
        except (OSError, ValueError):
            self.cache = {}
        self.closures = {}

    def file(self, path):
        try:
            st = os.stat(path)
        except OSError:
            return "missing"
        key = f"{st.st_size}:{st.st_mtime_ns}:{st.st_ino}"
        hit = self.cache.get(path)
        if hit and hit[0] == key:
            return hit[1]
        h = hashlib.sha1()
        try:
            with open(path, "rb") as f:
                for block in iter(lambda: f.read(1 << 20), b""):
                    h.update(block)
        except OSError:
            return "unreadable"
        self.cache[path] = [key, h.hexdigest()]
        return h.hexdigest()

    def save(self):
        tmp = self.path + ".tmp"
        with open(tmp, "w", encoding="utf-8") as f:
            json.dump(self.cache, f)
        os.replace(tmp, self.path)

    def libraries(self, program, build):
        """The build's own libraries `program` loads (ldd's answer)."""
        if program in self.closures:
            return self.closures[program]
        libs = []
        try:
            out = subprocess.run(["ldd", program], capture_output=True, text=True,
                                 check=False).stdout
        except OSError:
            out = ""
        for line in out.splitlines():
            parts = line.split("=>")
            if len(parts) == 2:
                lib = parts[1].strip().split(" (")[0]
                if lib.startswith(build + "/"):
                    libs.append(os.path.realpath(lib))
        self.closures[program] = sorted(set(libs))
        return self.closures[program]


def is_elf(path):
    """A program or shared library: only a regular file that may be run or
    is named as a library is opened to look for the ELF magic (a build
    folder holds many more files that are neither)."""
    try:
        st = os.stat(path)
    except OSError:
        return False
    name = os.path.basename(path)
    if not stat.S_ISREG(st.st_mode) or not (st.st_mode & 0o111 or ".so" in name):
        return False
    try:
        with open(path, "rb") as f:
            return f.read(4) == ELF
    except OSError:
        return False


def tree_files(top, skip_build_dirs):
    for here, dirs, files in os.walk(top):
        dirs[:] = sorted(d for d in dirs if d != ".git" and not (
            skip_build_dirs and os.path.exists(os.path.join(here, d, "CMakeCache.txt"))))
        for name in sorted(files):
            yield os.path.join(here, name)


class Inputs:
    def __init__(self, build, source):
        self.build, self.source = build, source
        self.hasher = Hasher(os.path.join(build, "test-stamps", "hashes.json"))
        self._everything = None

    def source_part(self, path):
        """Sizes and times of the source files at `path` (a file or folder)."""
        h = hashlib.sha1()
        files = [path] if os.path.isfile(path) else tree_files(path, True)
        for p in files:
            try:
                st = os.stat(p)
                h.update(f"{p}\0{st.st_size}\0{st.st_mtime_ns}\n".encode())
            except OSError:
                h.update(f"{p}\0missing\n".encode())
        return h.hexdigest()

    def build_part(self, path):
        """Contents of the build files at `path`, and of the build's libraries
        each program among them loads."""
        h = hashlib.sha1()
        files = [path] if not os.path.isdir(path) else list(tree_files(path, False))
        for p in files:
            h.update(f"{p}\0{self.hasher.file(p)}\n".encode())
            if is_elf(p):
                for lib in self.hasher.libraries(p, self.build):
                    h.update(f"{lib}\0{self.hasher.file(lib)}\n".encode())
        return h.hexdigest()

    def everything(self):
        """Every program and library of the build, and every source file."""
        if self._everything is None:
            h = hashlib.sha1()
            # What the tests themselves make in the build directory is no input.
            skip = {"Testing", "test-stamps", "test-state", "test-locales", "artefacts",
                    "CMakeFiles", "install-test", "lint-db"}
            for here, dirs, files in os.walk(self.build):
                dirs[:] = sorted(d for d in dirs
                                 if d not in skip and not d.startswith("package-test"))
                for name in sorted(files):
                    p = os.path.join(here, name)
                    if name.endswith((".o", ".gch", ".a")) or not is_elf(p):
                        continue
                    h.update(f"{p}\0{self.hasher.file(p)}\n".encode())
            h.update(self.source_part(self.source).encode())
            self._everything = h.hexdigest()
        return self._everything

    def manifest(self, program):
        """The paths a program's manifest names, or None without one."""
        path = os.path.join(self.build, "test-inputs", os.path.basename(program) + ".txt")
        try:
            with open(path, encoding="utf-8") as f:
                return [line.strip() for line in f if line.strip()]
        except OSError:
            return None

    def paths(self, listed):
        """The fingerprint of the paths a manifest lists."""
        h = hashlib.sha1()
        for p in listed:
            p = os.path.realpath(p)
            part = self.build_part(p) if p.startswith(self.build + "/") else self.source_part(p)
            h.update(f"{p}\0{part}\n".encode())
        return h.hexdigest()

    def of(self, test):
        entry = {k: v for k, v in test.items() if k != "backtrace"}
        h = hashlib.sha1(json.dumps(entry, sort_keys=True).encode())
        h.update(f"uid {os.getuid()}\n".encode())
        command = test.get("command") or []
        program = os.path.realpath(command[0]) if command else ""
        listed = None
        if program.startswith(self.build + "/") and is_elf(program):
            listed = self.manifest(program)
            own = self.build_part(program)
        else:
            # A script run by an interpreter, or run itself: the first file
            # of the sources on its command line.
            script = next((os.path.realpath(a) for a in command if os.path.isfile(a) and
                           os.path.realpath(a).startswith(self.source + "/")), None)
            if script is not None:
                listed = self.manifest(script)
                own = self.source_part(script)
        if listed is None:
            h.update(self.everything().encode())
            return h.hexdigest()
        h.update(own.encode())
        h.update(self.paths(listed).encode())
        return h.hexdigest()


def stamps_dir(build):
    d = os.path.join(build, "test-stamps")
    os.makedirs(d, exist_ok=True)
    return d


def load(path):
    try:
        with open(path, encoding="utf-8") as f:
            return json.load(f)
    except (OSError, ValueError):
        return {}


def save(path, value):
    tmp = path + ".tmp"
    with open(tmp, "w", encoding="utf-8") as f:
        json.dump(value, f, indent=0, sort_keys=True)
    os.replace(tmp, path)


def select(build, source, out):
    listing = subprocess.run(["ctest", "--show-only=json-v1"], cwd=build, capture_output=True,
                             text=True, check=True).stdout
    tests = json.loads(listing).get("tests", [])
    d = stamps_dir(build)
    passed = load(os.path.join(d, "passed.json"))
    inputs = Inputs(os.path.realpath(build), os.path.realpath(source))
    always = os.environ.get("VANTREL_TEST_ALWAYS") == "1"
    pending, chosen = {}, []
    for number, test in enumerate(tests, start=1):
        fp = inputs.of(test)
        pending[test["name"]] = fp
        if always or passed.get(test["name"]) != fp:
            chosen.append(number)
    inputs.hasher.save()
    # Beside the list, so that two runs in one build directory each record
    # what they ran on.
    save(out + ".json", pending)
    with open(out, "w", encoding="utf-8") as f:
        f.write("0,0,," + ",".join(map(str, chosen)) + "\n")
    print(len(chosen), len(tests))


def record(build, listed, junit):
    d = stamps_dir(build)
    pending = load(listed + ".json")
    passed = load(os.path.join(d, "passed.json"))
    for case in ET.parse(junit).getroot().iter("testcase"):
        name = case.get("name")
        if case.get("status") == "run" and name in pending:
            passed[name] = pending[name]
        else:
            passed.pop(name, None)
    save(os.path.join(d, "passed.json"), passed)


def fingerprint(build, program, paths, salt):
    stamps_dir(build)
    build = os.path.realpath(build)
    inputs = Inputs(build, build)
    h = hashlib.sha1(f"{salt}\n".encode())
    h.update(inputs.build_part(os.path.realpath(program)).encode())
    h.update(inputs.paths(paths).encode())
    inputs.hasher.save()
    print(h.hexdigest())


def main(argv):
    if len(argv) >= 4 and argv[1] == "fingerprint":
        rest, salt = argv[3:], ""
        if "--salt" in rest:
            i = rest.index("--salt")
            if i + 1 >= len(rest):
                sys.stderr.write(__doc__)
                return 2
            salt = rest[i + 1]
            rest = rest[:i] + rest[i + 2:]
        if not rest:
            sys.stderr.write(__doc__)
            return 2
        fingerprint(argv[2], rest[0], rest[1:], salt)
    elif len(argv) == 5 and argv[1] == "select":
        select(argv[2], argv[3], argv[4])
    elif len(argv) == 5 and argv[1] == "record":
        record(argv[2], argv[3], argv[4])
    else:
        sys.stderr.write(__doc__)
        return 2
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
