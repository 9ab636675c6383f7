#!/usr/bin/env python3
# fmutil killed from outside at every changing system call of a command, on
# file systems made for the run, and each name checked to be wholly as before
# or wholly as after once the next command a user would run has met it.
#
#   killat_sweep.py --fmutil FMUTIL --killat KILLAT [--fs xfs,btrfs] [--only NAME,...]
#
# As root: the script enters a private mount namespace of its own (unshare
# -m), makes an XFS and a btrfs loop image in a scratch folder and mounts
# them there. For each command and file system: one run under `killat 0`
# counts the changing calls (open for writing, write, rename, link, unlink,
# the attribute setters, chmod, chown, utimens, the flags ioctl...); then
# for N = 1 .. that count the fixture is restored (cp -a), the command is
# killed as it enters its N-th call, every name is snapshot (bytes of names,
# contents, every extended attribute, mode, owner, flags, times to the
# nanosecond), `fmutil ls` lists each folder (and, after touch, `fmutil
# info` reads the file, as the suite's sweep does), and the names are
# snapshot again. A name is an item with its sidecar "._NAME". What differs
# between two complete runs a second apart (a time taken from the clock) is
# not compared. Printed per command and file system: the kill points tried,
# how many left a name half made right after the kill (a change of two
# objects may: only the next listing makes it whole), and how many were bad
# after the next command: a name neither old nor new, a name neither state
# has (litter), or a private temporary left. Exit 1 when any was bad.
import argparse
import errno
import fcntl
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import time

FS_IOC_GETFLAGS = 0x80086601
PRIVATE = b"._._vantrel."


def sh(*args, **kw):
    return subprocess.run(list(args), check=True, **kw)


# ------------------------------------------------------------------ snapshots


def read_noatime(path):
    try:
        fd = os.open(path, os.O_RDONLY | os.O_NOATIME | os.O_NOFOLLOW | os.O_NONBLOCK)
    except OSError:
        return b"<unreadable>"
    try:
        out = bytearray()
        while True:
            b = os.read(fd, 1 << 16)
            if not b:
                return bytes(out)
            out += b
    finally:
        os.close(fd)


def flags_of(path):
    try:
        fd = os.open(path, os.O_RDONLY | os.O_NOATIME | os.O_NOFOLLOW | os.O_NONBLOCK)
    except OSError:
        return None
    try:
        buf = fcntl.ioctl(fd, FS_IOC_GETFLAGS, b"\0" * 8)
        # Only what a user sets: the lock (immutable) and append-only.
        return struct.unpack("=l", buf[:4])[0] & 0x30
    except OSError:
        return None
    finally:
        os.close(fd)


def snapshot(root, prefix=b""):
    """{relative path as bytes: (kind, content, xattrs, mode, uid, gid, flags, mtime, atime)}"""
    out = {}
    rootb = os.fsencode(root)

    def walk(rel):
        p = rootb if rel == b"." else os.path.join(rootb, rel)
        try:
            st = os.lstat(p)
        except FileNotFoundError:
            return
        import stat as S

        kind = "d" if S.S_ISDIR(st.st_mode) else "f" if S.S_ISREG(st.st_mode) else "l" if S.S_ISLNK(st.st_mode) else "?"
        content = read_noatime(p) if kind == "f" else os.readlink(p) if kind == "l" else b""
        xattrs = {}
        try:
            for n in os.listxattr(p, follow_symlinks=False):
                try:
                    xattrs[n] = os.getxattr(p, n, follow_symlinks=False)
                except OSError as e:
                    if e.errno != errno.ENODATA:
                        xattrs[n] = b"<error>"
        except OSError:
            pass
        # A folder's own times change with every entry made in it: not damage.
        mtime = st.st_mtime_ns if kind != "d" else 0
        atime = st.st_atime_ns if kind not in "dl" else 0
        out[prefix + rel] = (kind, content, tuple(sorted(xattrs.items())), st.st_mode,
                             st.st_uid, st.st_gid, flags_of(p) if kind != "l" else None,
                             mtime, atime)
        if kind == "d":
            for n in sorted(os.listdir(p)):
                walk(n if rel == b"." else rel + b"/" + n)

    walk(b".")
    return out


FIELDS = ["kind", "content", "xattrs", "mode", "uid", "gid", "flags", "mtime", "atime"]


def leaf(key):
    return key.rsplit(b"/", 1)[-1]


def owner(key):
    """The name an item belongs to: "._X" to X; a private temporary to none."""
    l = leaf(key)
    if l.startswith(PRIVATE):
        return None
    if not l.startswith(b"._") or l == b"._":
        return key
    head = key[: len(key) - len(l)]
    return head + l[2:]


def varies(a, b, into):
    for k, x in a.items():
        y = b.get(k)
        if y is None:
            continue
        v = into.setdefault(k, set())
        for i, f in enumerate(FIELDS):
            if f == "xattrs":
                xa, xb = dict(x[i]), dict(y[i])
                for n in xa:
                    if n in xb and xa[n] != xb[n]:
                        v.add("xattr:" + n)
            elif x[i] != y[i]:
                v.add(f)


def masked(s, vary):
    out = {}
    for k, item in s.items():
        item = list(item)
        for f in vary.get(k, ()):
            if f.startswith("xattr:"):
                n = f[6:]
                item[2] = tuple((a, b"<varies>" if a == n else v) for a, v in item[2])
            else:
                item[FIELDS.index(f)] = "<varies>"
        out[k] = tuple(item)
    return out


def of_name(s, name):
    return {k: v for k, v in s.items() if owner(k) == name}


def describe(a, b):
    lines = []
    for k in sorted(set(a) | set(b)):
        if k not in b:
            lines.append("gone " + k.decode(errors="backslashreplace"))
        elif k not in a:
            lines.append("new " + k.decode(errors="backslashreplace"))
        elif a[k] != b[k]:
            what = [f for i, f in enumerate(FIELDS) if a[k][i] != b[k][i]]
            lines.append("changed " + k.decode(errors="backslashreplace") + " " + ",".join(what))
    return "; ".join(lines)


def check(got, old, new, names, recovered):
    bad = []
    for k in got:
        o = owner(k)
        if k == b"." or k.endswith(b"/.") or k in (b"@beside",):
            continue
        if o is None:
            if recovered:
                bad.append("private temporary left: " + k.decode(errors="backslashreplace"))
        elif o not in names:
            bad.append("litter: " + k.decode(errors="backslashreplace"))
    for n in sorted(names):
        g = of_name(got, n)
        a, b = of_name(old, n), of_name(new, n)
        if g != a and g != b:
            bad.append("%s neither old nor new (vs old: %s | vs new: %s)"
                       % (n.decode(errors="backslashreplace"), describe(a, g), describe(b, g)))
    return bad


# ------------------------------------------------------------------ fixtures


class Sweep:
    def __init__(self, args, scratch):
        self.fmutil = args.fmutil
        self.killat = args.killat
        self.scratch = scratch
        # LeakSanitizer cannot run under ptrace: a sanitizer build would
        # fail every traced run at its exit.
        self.env = dict(os.environ, XDG_STATE_HOME=os.path.join(scratch, "state"),
                        ASAN_OPTIONS=os.environ.get("ASAN_OPTIONS", "detect_leaks=0"))
        os.makedirs(self.env["XDG_STATE_HOME"], exist_ok=True)
        self.made_times = {}

    def argv_env(self, label):
        if label == "swap by names":
            return dict(self.env, VANTREL_FAULT_OVERRIDES="PBHGetVolParmsSync.exchange=0")
        return self.env

    def fm(self, *args, check=True):
        r = subprocess.run([self.fmutil, *map(str, args)], env=self.env,
                           stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        if check and r.returncode != 0:
            raise RuntimeError("fmutil %s: %s" % (" ".join(map(str, args)), r.stderr.decode()))
        return r

    def make_fixture(self, d):
        """Three files with everything a Mac file has, a fork's bytes, a folder."""
        os.makedirs(d)
        fork = os.path.join(d, "fork")
        for name, data, frk, comment, typ, mode in (
                ("A", b"alpha data", b"fork of A", "comment of A", "AAAA", 0o640),
                ("B", b"bravo data!", b"the fork of B", "comment of B", "BBBB", 0o600),
                ("S", b"source data", b"fork of S", "comment of S", "SSSS", 0o644)):
            p = os.path.join(d, name)
            open(fork, "wb").write(frk)
            open(p, "wb").write(data)
            self.fm("rsrc", p, "--set", fork)
            self.fm("comment", p, "--set", comment)
            self.fm("type", p, "--type", typ, "--creator", "vtst")
            self.fm("flags", p, "+customicon")
            os.chmod(p, mode)
        open(fork, "wb").write(b"the new fork, longer than the old ones")
        os.makedirs(os.path.join(d, "sub"))
        t = os.path.join(d, "sub", "T")
        open(t, "wb").write(b"tango data")
        self.fm("rsrc", t, "--set", fork)
        self.fm("comment", t, "--set", "comment of T")
        for top, dirs, files in os.walk(d):
            for f in files:
                os.utime(os.path.join(top, f), ns=(1_000_000_000_000_000_111, 1_100_000_000_000_000_222),
                         follow_symlinks=False)

    def restore(self, template, d, other_template=None, other=None):
        for p in (d, other):
            if p:
                shutil.rmtree(p, ignore_errors=True)
                os.makedirs(p)
        sh("cp", "-a", "--preserve=all", template + "/.", d)
        if other:
            sh("cp", "-a", "--preserve=all", other_template + "/.", other)
        # Where cp read the template (no reflink), each file it read has a
        # new access time, which the next copy would take: put back.
        for path, (atime, mtime) in self.made_times.get(template, {}).items():
            os.utime(path, ns=(atime, mtime), follow_symlinks=False)

    def snap(self, d, other):
        s = snapshot(d)
        if other:
            s.update(snapshot(other, b"@beside/"))
        return s

    def recover(self, d, other, after):
        for p in (d, os.path.join(d, "sub"), os.path.join(d, "copy"), other,
                  other and os.path.join(other, "sub")):
            if p and os.path.isdir(p):
                r = self.fm("ls", p, check=False)
                if r.returncode != 0 or r.stderr:
                    return "ls %s: %d %s" % (p, r.returncode, r.stderr.decode())
        if after:
            r = self.fm(*[a.replace("@", d) for a in after], check=False)
            if r.returncode != 0 or r.stderr:
                return "%s: %d %s" % (after[0], r.returncode, r.stderr.decode())
        return ""

    def count(self, argv, env):
        r = subprocess.run([self.killat, "0", self.fmutil, *argv], env=env,
                           stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        for line in r.stderr.decode().splitlines():
            if line.startswith("killat: count="):
                return int(line.split()[1].split("=")[1]), r.returncode
        raise RuntimeError("killat printed no count: " + r.stderr.decode())

    def run(self, label, cmd, base, other_base=None, after=None, whole_at_kill=False):
        tag = "%s.%d" % (label.replace(" ", "_").replace("/", "_"), int(time.time() * 1000) % 100000)
        template = os.path.join(base, tag + ".template")
        self.make_fixture(template)
        self.made_times[template] = {
            os.path.join(top, f): (lambda st: (st.st_atime_ns, st.st_mtime_ns))(
                os.lstat(os.path.join(top, f)))
            for top, _, files in os.walk(template) for f in files}
        other_template = None
        if other_base:
            other_template = os.path.join(other_base, tag + ".template")
            os.makedirs(other_template)
        d = os.path.join(base, tag)
        other = os.path.join(other_base, tag) if other_base else None

        def argv():
            return [a.replace("@", d).replace("^", other or "^") for a in cmd]

        refs = []
        for i in range(2):
            self.restore(template, d, other_template, other)
            before = self.snap(d, other)
            r = subprocess.run([self.fmutil, *argv()], env=self.argv_env(label),
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE)
            if r.returncode != 0:
                raise RuntimeError("%s: reference run failed: %s" % (label, r.stderr.decode()))
            refs.append((before, self.snap(d, other)))
            if i == 0:
                time.sleep(1)
        vary = {}
        varies(refs[0][0], refs[1][0], vary)
        varies(refs[0][1], refs[1][1], vary)
        old, new = masked(refs[0][0], vary), masked(refs[0][1], vary)
        names = {owner(k) for s in (old, new) for k in s} - {None}
        self.restore(template, d, other_template, other)
        total, rc = self.count(argv(), self.argv_env(label))
        if rc != 0:
            raise RuntimeError("%s: counting run exited %d" % (label, rc))
        half, bad, ended = 0, [], 0
        for n in range(1, total + 1):
            self.restore(template, d, other_template, other)
            r = subprocess.run([self.killat, str(n), self.fmutil, *argv()], env=self.argv_env(label),
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE)
            if r.returncode == 100:
                ended += 1  # finished before its n-th call (a count that varies)
                continue
            raw = masked(self.snap(d, other), vary)
            at_kill = check(raw, old, new, names, False)
            if at_kill:
                half += 1
                if whole_at_kill:
                    bad.append((n, "after the kill: " + "; ".join(at_kill)))
            why = self.recover(d, other, after)
            got = masked(self.snap(d, other), vary)
            problems = check(got, old, new, names, True)
            if why:
                problems.append(why)
            if problems:
                bad.append((n, "after the next command: " + "; ".join(problems)))
        for p in (d, template, other, other_template):
            if p:
                shutil.rmtree(p, ignore_errors=True)
        return total, half, ended, bad


COMMANDS = [
    # name, argv ("@": the fixture's folder, "^": the other volume's), the
    # command run after the listings, whether whole right after the kill
    ("rsrc --set", ["rsrc", "@/A", "--set", "@/fork"], None, True),
    ("rsrc --clear", ["rsrc", "@/A", "--clear"], None, False),
    ("cp", ["cp", "@/S", "@/sub"], None, False),
    ("cp --replace", ["cp", "@/S", "--replace", "@/B"], None, False),
    ("cp -r", ["cp", "-r", "@/sub", "@", "copy"], None, False),
    ("mv same folder", ["mv", "@/A", "@/C"], None, False),
    ("mv other folder", ["mv", "@/A", "@/sub"], None, False),
    ("swap", ["swap", "@/A", "@/B"], None, False),
    # Where a volume has no exchange in one step (the fault seam's switch
    # says so): links and renames through private names, journalled.
    ("swap by names", ["swap", "@/A", "@/B"], None, False),
    ("touch", ["touch", "@/A", "--date", "2001-02-03T04:05:06Z", "--created", "--modified",
               "--backup"], ["info", "@/A"], False),
    ("type", ["type", "@/A", "--type", "TTTT", "--creator", "tttt"], None, False),
    ("flags", ["flags", "@/A", "+invisible", "+stationery", "-customicon", "label=red"], None, False),
    ("copy-attrs", ["copy-attrs", "@/S", "@/A"], None, False),
]
ACROSS = [
    ("mv other volume", ["mv", "@/A", "^/"]),
    ("mv folder other volume", ["mv", "@/sub", "^/"]),
]

KINDS = {
    "xfs": ("mkfs.xfs -q -f", 320),
    "btrfs": ("mkfs.btrfs -q -f", 128),
    "ext4": ("mkfs.ext4 -q -F", 64),
}


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--fmutil", required=True)
    ap.add_argument("--killat", required=True)
    ap.add_argument("--fs", default="xfs,btrfs")
    ap.add_argument("--only", default="")
    ap.add_argument("--tmpfs-too", action="store_true",
                    help="moves to another volume also to a tmpfs")
    args = ap.parse_args()
    args.fmutil = os.path.abspath(args.fmutil)
    args.killat = os.path.abspath(args.killat)
    if os.environ.get("KILLAT_SWEEP_INSIDE") != "1":
        env = dict(os.environ, KILLAT_SWEEP_INSIDE="1")
        os.execvpe("unshare", ["unshare", "-m", "--propagation", "private", sys.executable,
                               *sys.argv], env)
    scratch = tempfile.mkdtemp(prefix="killat-sweep.", dir="/tmp")
    kinds = [k for k in args.fs.split(",") if k]
    only = set(x for x in args.only.split(",") if x)
    mounts = {}
    try:
        for k in kinds:
            img, at = os.path.join(scratch, k + ".img"), os.path.join(scratch, k)
            os.makedirs(at)
            sh("truncate", "-s", "%dM" % KINDS[k][1], img)
            sh(*KINDS[k][0].split(), img, stdout=subprocess.DEVNULL)
            sh("mount", "-o", "loop", img, at)
            os.chmod(at, 0o1777)
            mounts[k] = at
        if args.tmpfs_too:
            at = os.path.join(scratch, "tmpfs")
            os.makedirs(at)
            sh("mount", "-t", "tmpfs", "-o", "size=64m", "tmpfs", at)
            mounts["tmpfs"] = at
        sweep = Sweep(args, scratch)
        rows = []
        for k in kinds:
            for label, cmd, after, whole in COMMANDS:
                if not only or label in only:
                    rows.append((label, k, cmd, mounts[k], None, after, whole))
            for label, cmd in ACROSS:
                if only and label not in only:
                    continue
                for o in list(mounts):
                    if o != k:
                        rows.append((label, "%s->%s" % (k, o), cmd, mounts[k], mounts[o], None, False))
        any_bad = False
        print("| command | file system | kill points | half right after the kill | bad after the next command |")
        print("|---|---|---|---|---|")
        for label, where, cmd, base, other, after, whole in rows:
            t0 = time.time()
            total, half, ended, bad = sweep.run(label, cmd, base, other, after, whole)
            any_bad = any_bad or bool(bad)
            print("| `%s` | %s | %d | %d | %d |" % (label, where, total - ended, half, len(bad)),
                  flush=True)
            for n, what in bad[:5]:
                print("    killed at %d: %s" % (n, what), file=sys.stderr, flush=True)
            print("    (%.0f s)" % (time.time() - t0), file=sys.stderr, flush=True)
        return 1 if any_bad else 0
    finally:
        for at in mounts.values():
            subprocess.run(["umount", at])
        shutil.rmtree(scratch, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
