"""The newcomer's road as a normal user: scripts/demo in a checkout of their
own builds everything as them, without root and without the browser that
only the tests use; a missing build tool stops setup with the command that
installs it; and root refuses to build in somebody else's checkout.

Run as root, the user is 'nobody' (switched to with setpriv; no account is
ever created); run as anybody else, it is that user."""

import os
import pwd
import shutil
import subprocess
import tempfile
import unittest

import support

SETPRIV = shutil.which("setpriv")
AS_ROOT = os.geteuid() == 0
# A user's PATH, without the toolchain managers of whoever runs the tests
# (root's own are not even readable by the user).
SYSTEM_PATH = ["/usr/local/sbin", "/usr/local/bin", "/usr/sbin", "/usr/bin", "/sbin", "/bin"]


def user():
    """(uid, gid) of the normal user the tests act as."""
    if AS_ROOT:
        nobody = pwd.getpwnam("nobody")
        return nobody.pw_uid, nobody.pw_gid
    return os.getuid(), os.getgid()


def path_without(where, *names):
    """A directory of links to every command of the system's PATH but the
    named ones: a machine that lacks them, as far as a script can tell."""
    os.makedirs(where)
    for d in SYSTEM_PATH:
        if not os.path.isdir(d):
            continue
        for name in os.listdir(d):
            link = os.path.join(where, name)
            if name in names or os.path.lexists(link):
                continue
            os.symlink(os.path.join(d, name), link)
    return where


def checkout(where):
    """The project's files as they stand (committed or not), as a clone
    would hold them."""
    files = subprocess.run(["git", "-C", support.ROOT, "ls-files", "-z", "--cached", "--others",
                            "--exclude-standard"], stdout=subprocess.PIPE, check=True).stdout
    for rel in files.decode().split("\0"):
        src = os.path.join(support.ROOT, rel)
        if rel and os.path.isfile(src):
            dst = os.path.join(where, rel)
            os.makedirs(os.path.dirname(dst), exist_ok=True)
            shutil.copy2(src, dst)
    return where


def all_paths(top):
    """top and every path under it."""
    for d, dirs, files in os.walk(top):
        yield d
        for f in dirs + files:
            yield os.path.join(d, f)


def owned_by(top, uid):
    return [p for p in all_paths(top) if os.lstat(p).st_uid == uid]


def give(top, uid, gid):
    for p in all_paths(top):
        os.lchown(p, uid, gid)


def registry_reachable():
    proc = subprocess.run(["npm", "view", "nodejs-whisper@0.3.1", "version"], stdout=subprocess.DEVNULL,
                          stderr=subprocess.DEVNULL, timeout=120)
    return proc.returncode == 0


class AsANormalUser(unittest.TestCase):
    def setUp(self):
        if AS_ROOT and not SETPRIV:
            self.skipTest("running as root, and setpriv (util-linux) is not here to become 'nobody'")
        self.uid, self.gid = user()
        self.top = tempfile.mkdtemp(prefix="ts-setup-")
        self.addCleanup(shutil.rmtree, self.top, ignore_errors=True)
        self.home = os.path.join(self.top, "home")
        os.makedirs(self.home)
        self.repo = checkout(os.path.join(self.top, "clone"))
        if AS_ROOT:
            give(self.top, self.uid, self.gid)

    def run_as_user(self, argv, path, timeout):
        env = {"HOME": self.home, "PATH": path, "LANG": "C.UTF-8", "TMPDIR": self.top}
        prefix = []
        if AS_ROOT:
            prefix = [SETPRIV, "--reuid=%d" % self.uid, "--regid=%d" % self.gid, "--clear-groups", "--"]
        return subprocess.run(prefix + argv, cwd=self.repo, env=env, stdout=subprocess.PIPE,
                              stderr=subprocess.STDOUT, timeout=timeout)

    def test_demo_builds_everything_as_the_user_without_a_browser(self):
        if os.environ.get("TS_SANITIZE"):
            self.skipTest("setup does not depend on how the service under test was built")
        if not registry_reachable():
            self.skipTest("the npm registry, where the library's source comes from, cannot be reached")
        path = path_without(os.path.join(self.top, "bin"), "chromium", "sudo")
        proc = self.run_as_user([os.path.join(self.repo, "scripts", "demo")], path, timeout=1500)
        out = proc.stdout.decode(errors="replace")
        self.assertEqual(proc.returncode, 0, out[-3000:])
        self.assertIn("The road works", out)
        self.assertNotIn("installing Debian packages", out)
        self.assertTrue(os.path.isfile(os.path.join(self.repo, ".deps", "lib", "libwhisper.so")))
        self.assertEqual(owned_by(self.repo, 0), [])

    def test_missing_build_tool_without_sudo_stops_with_the_command(self):
        path = path_without(os.path.join(self.top, "bin"), "cmake", "sudo")
        proc = self.run_as_user([os.path.join(self.repo, "scripts", "setup")], path, timeout=120)
        out = proc.stdout.decode(errors="replace")
        self.assertEqual(proc.returncode, 1, out)
        self.assertIn("setup: missing Debian packages: cmake\n", out)
        self.assertIn("setup:   apt-get update\nsetup:   apt-get install -y --no-install-recommends cmake\n", out)
        self.assertFalse(os.path.exists(os.path.join(self.repo, ".deps")), "it went on regardless")
        self.assertFalse(os.path.exists(os.path.join(self.repo, "build")), "it went on regardless")

    def test_build_left_by_root_is_named_with_the_fix(self):
        if not AS_ROOT:
            self.skipTest("needs root to leave root's files behind")
        os.makedirs(os.path.join(self.repo, "build", "CMakeFiles"))  # root's, as an old setup left it
        path = path_without(os.path.join(self.top, "bin"), "sudo")
        proc = self.run_as_user([os.path.join(self.repo, "scripts", "setup")], path, timeout=120)
        out = proc.stdout.decode(errors="replace")
        self.assertEqual(proc.returncode, 1, out)
        self.assertIn("sudo chown -R nobody %s/build\n" % self.repo, out)
        self.assertFalse(os.path.exists(os.path.join(self.repo, ".deps")), "it went on regardless")

    def test_missing_build_tool_with_sudo_says_so_and_asks_sudo_for_apt_only(self):
        # This sudo lets the package lists update, then fails the install as
        # a wrong password would; it records what it was asked to run.
        path = path_without(os.path.join(self.top, "bin"), "cmake", "sudo")
        log = os.path.join(self.top, "sudo.log")
        with open(os.path.join(path, "sudo"), "w") as f:
            f.write('#!/bin/sh\necho "$*" >>%s\n[ "$*" = "apt-get update" ]\n' % log)
        os.chmod(os.path.join(path, "sudo"), 0o755)
        if AS_ROOT:
            os.lchown(os.path.join(path, "sudo"), self.uid, self.gid)
        proc = self.run_as_user([os.path.join(self.repo, "scripts", "setup")], path, timeout=120)
        out = proc.stdout.decode(errors="replace")
        self.assertNotEqual(proc.returncode, 0, out)
        self.assertIn("setup: installing Debian packages: cmake", out)
        self.assertIn("through sudo, which may ask for your password", out)
        with open(log) as f:
            self.assertEqual(f.read().splitlines(), [
                "apt-get update",
                "env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends cmake"])
        self.assertFalse(os.path.exists(os.path.join(self.repo, ".deps")), "it went on regardless")


class RootInSomebodyElsesCheckout(unittest.TestCase):
    def test_refuses_and_leaves_nothing(self):
        if not AS_ROOT:
            self.skipTest("needs root, as under sudo")
        uid, gid = user()
        top = tempfile.mkdtemp(prefix="ts-setup-")
        self.addCleanup(shutil.rmtree, top, ignore_errors=True)
        repo = checkout(os.path.join(top, "clone"))
        give(repo, uid, gid)
        for script in ("setup", "demo", "test"):
            with self.subTest(script):
                # Root's own environment, without the test run's pointers
                # to an already built service.
                env = {"PATH": os.environ["PATH"], "HOME": os.environ.get("HOME", "/root")}
                proc = subprocess.run([os.path.join(repo, "scripts", script)], cwd=repo, env=env,
                                      stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=120)
                out = proc.stdout.decode(errors="replace")
                self.assertNotEqual(proc.returncode, 0, out)
                self.assertIn("without sudo", out)
                self.assertEqual(owned_by(repo, 0), [])


if __name__ == "__main__":
    unittest.main(verbosity=2)
