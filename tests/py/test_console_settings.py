#!/usr/bin/env python3
"""The console settings file: $HOME/.kel/Kel-Console/console-cfg.kel. The folder is made at start,
the file is written by `q` with its header, the history keeps its 100 newest lines, a damaged or
header-less file gives the defaults, and a home that cannot hold the folder still lets the
console start and quit, with one clear line each time."""
import os
import pwd
import resource
import shutil
import signal
import subprocess
import sys
import tempfile
import unittest

from fault_injection import kill_at_fsync_or_skip

KEL = sys.argv[1] if len(sys.argv) > 1 else "kel"
HEADER = 'Kel [\n\tPurpose: "Kel Console Configuration File"\n]\n\n'


def run(home, stdin, prefix=(), timeout=60):
    env = dict(os.environ, HOME=home)
    env.pop("COLUMNS", None)
    return subprocess.run([*prefix, KEL], input=stdin.encode(), capture_output=True, env=env,
                          timeout=timeout)


# The superuser writes into read-only folders: it runs the read-only case as the user nobody,
# when it can hand the binary over to that user.
NOBODY = ("setpriv", "--reuid=65534", "--regid=65534", "--clear-groups")


def as_nobody_or_skip(test):
    if os.geteuid() != 0:
        return ()
    if not shutil.which("setpriv"):
        test.skipTest("the superuser writes into read-only folders, and setpriv is missing")
    probe = subprocess.run([*NOBODY, KEL], stdin=subprocess.DEVNULL, capture_output=True, timeout=60)
    if probe.returncode != 0:
        test.skipTest("the user nobody cannot run the binary from where it was built")
    return NOBODY


def cfg_path(home):
    return os.path.join(home, ".kel", "Kel-Console", "console-cfg.kel")


class Settings(unittest.TestCase):
    def setUp(self):
        self.home = tempfile.mkdtemp(prefix="kel-home-")

    def tearDown(self):
        shutil.rmtree(self.home, ignore_errors=True)

    def write_cfg(self, text):
        os.makedirs(os.path.dirname(cfg_path(self.home)), exist_ok=True)
        with open(cfg_path(self.home), "w") as f:
            f.write(text)

    def read_cfg(self):
        with open(cfg_path(self.home)) as f:
            return f.read()

    def quit_with(self, code):
        """Runs the console on `code` followed by q; answers its standard output."""
        proc = run(self.home, code + "\nq\n")
        self.assertEqual(proc.returncode, 0, proc.stdout + proc.stderr)
        return proc.stdout.decode()

    def test_first_run_makes_the_folder_at_start_and_the_file_at_quit(self):
        out = self.quit_with('print exists? %' + cfg_path(self.home) +
                             '\nprint exists? %' + os.path.dirname(cfg_path(self.home)) + "/")
        self.assertIn("false\ntrue\n", out)
        self.assertEqual(self.read_cfg(), HEADER + "buffer-lines: 10000\nhistory: []")

    def test_history_is_the_same_block_as_the_console_history(self):
        self.quit_with('insert system/console/history "older"\n'
                       'insert system/console/history "newer"')
        cfg = self.read_cfg()
        self.assertTrue(cfg.startswith(HEADER), cfg)
        self.assertIn('history: [\n    "newer"\n    "older"\n]', cfg)
        out = self.quit_with("print mold/flat system/console/history")
        self.assertIn('["newer" "older"]', out)

    def test_only_quit_saves_and_each_way_out_keeps_its_status(self):
        # (input, exit status, whether the file is written)
        cases = [
            ('insert system/console/history "x"\nquit-return 7\n', 7, False),
            ('insert system/console/history "x"\nquit/return 3\n', 3, True),
            ('insert system/console/history "x"\nq\n', 0, True),
            # A language error that no try frame catches ends the process with -2.
            ("system/console/delimiter-map: none\n[1]\nprint 1\n", 254, False),
        ]
        for stdin, status, saved in cases:
            with self.subTest(stdin):
                shutil.rmtree(os.path.join(self.home, ".kel"), ignore_errors=True)
                proc = run(self.home, stdin)
                self.assertEqual(proc.returncode, status, proc.stdout)
                self.assertEqual(os.path.exists(cfg_path(self.home)), saved)
                if saved:
                    self.assertIn('history: [\n    "x"\n]', self.read_cfg())

    def test_the_newest_100_of_150_lines_are_kept_with_other_keys(self):
        lines = " ".join('"line %d"' % i for i in range(150))
        self.write_cfg('Kel [Purpose: "x"]\ncolour: "blue"\nhistory: [%s]\n' % lines)
        out = self.quit_with("print length? system/console/history")
        self.assertIn("150\n", out)
        cfg = self.read_cfg()
        kept = [l.strip() for l in cfg.splitlines() if l.strip().startswith('"line')]
        self.assertEqual(kept, ['"line %d"' % i for i in range(100)])
        self.assertIn('colour: "blue"', cfg)
        self.assertIn("buffer-lines: 10000", cfg)

    def test_damaged_files_give_the_defaults(self):
        cases = {
            "no header": 'history: ["a" "b"]\n',
            "header word without a block": 'Kel history: ["a"]\n',
            "syntax error": 'Kel [] history: ["a" \n',
            "not text": "\xff\xfe\x00history",
            "history not a block": 'Kel [] history: 5 buffer-lines: 7\n',
        }
        for what, text in cases.items():
            with self.subTest(what):
                self.write_cfg(text)
                out = self.quit_with("print mold/flat system/console/history")
                self.assertIn("[]\n", out)
                cfg = self.read_cfg()
                self.assertTrue(cfg.startswith(HEADER), cfg)
                self.assertIn("history: []", cfg)
        # Lines that are not strings are dropped; the strings stay.
        self.write_cfg('Kel [] history: ["a" 1 [x] "b"]')
        self.assertIn('["a" "b"]\n', self.quit_with("print mold/flat system/console/history"))

    def test_stray_values_between_the_keys(self):
        # A value that is no key's moves the later keys off the pairs; the console must still
        # find its history (it used to end at the first prompt) and keep the other keys.
        cases = {
            "before the history": ('Kel [] 1 history: ["a"]', '["a"]', 'history: [\n    "a"\n]'),
            "before the other keys": ('Kel [] x buffer-lines: 5 colour: "red" history: ["a"]', '["a"]',
                                      'buffer-lines: 5\ncolour: "red"\n'),
            "a key without a value": ('Kel [] history: ["a"] colour:', '["a"]', "buffer-lines: 10000"),
            "only strays": ("Kel [] 1 2 3", "[]", "history: []"),
        }
        for what, (text, history, kept) in cases.items():
            with self.subTest(what):
                self.write_cfg(text)
                out = self.quit_with("print mold/flat system/console/history\nprint 6 * 7")
                self.assertIn(history + "\n42\n", out)
                cfg = self.read_cfg()
                self.assertIn(kept, cfg)
                self.assertEqual(cfg.count("history:"), 1, cfg)
                self.assertEqual(cfg.count("buffer-lines:"), 1, cfg)

    def test_a_relative_home_is_kept_after_a_change_of_folder(self):
        # HOME given relative to where the console starts: the settings are read there, so they
        # must be written there too, whatever folder the session has moved to before q.
        os.makedirs(os.path.join(self.home, "elsewhere"))
        env = dict(os.environ, HOME="home")
        env.pop("COLUMNS", None)
        code = 'insert system/console/history "x"\nchange-dir %elsewhere/\nprint what-dir\nq\n'
        proc = subprocess.run([KEL], input=code.encode(), capture_output=True, env=env,
                              cwd=self.home, timeout=60)
        self.assertEqual(proc.returncode, 0, proc.stdout + proc.stderr)
        self.assertNotIn(b"not saved", proc.stdout)
        self.assertIn(b"/elsewhere/\n", proc.stdout)
        self.assertFalse(os.path.exists(os.path.join(self.home, "elsewhere", "home")))
        with open(cfg_path(os.path.join(self.home, "home"))) as f:
            self.assertIn('history: [\n    "x"\n]', f.read())

    def test_a_home_named_in_another_encoding(self):
        # HOME is bytes: a Latin-1 folder name must lead to that folder, not to a look-alike
        # made beside it, so the history saved is the one read at the next start.
        home = os.path.join(os.fsencode(self.home), b"h\xe9")
        os.mkdir(home)
        env = dict(os.environ, HOME=home)
        env.pop("COLUMNS", None)
        for code in (b'insert system/console/history "kept"\nq\n', b'print first system/console/history\nq\n'):
            proc = subprocess.run([KEL], input=code, capture_output=True, env=env, timeout=60)
            self.assertEqual(proc.returncode, 0, proc.stdout + proc.stderr)
        self.assertIn(b"\nkept\n", proc.stdout)
        self.assertEqual(os.listdir(os.fsencode(self.home)), [b"h\xe9"])
        self.assertTrue(os.path.exists(os.path.join(home, b".kel", b"Kel-Console", b"console-cfg.kel")))

    def test_no_home_is_the_home_of_the_password_database(self):
        # An empty or unset HOME (cron, a service, env -i) names no folder. The settings and the
        # remote-script cache then went to /tmp/.kel/, where any other user can plant a link
        # (the settings written over one of the victim's files) or a cache entry (run by
        # do-thru). The home the password database gives is taken instead. As the superuser the
        # run is the user nobody's, so that no test writes into a real home.
        prefix = as_nobody_or_skip(self) if os.geteuid() == 0 else ()
        uid = 65534 if prefix else os.getuid()
        try:
            expected = pwd.getpwuid(uid).pw_dir.encode().rstrip(b"/") + b"/.kel/"
        except KeyError:
            self.skipTest("no password entry for this user")
        for home in ("", None):
            env = dict(os.environ, HOME=home or "")
            if home is None:
                env.pop("HOME")
            env.pop("COLUMNS", None)
            proc = subprocess.run([*prefix, KEL], input=b"print system/options/cache\nquit-return 3\n",
                                  capture_output=True, env=env, cwd=self.home, timeout=60)
            self.assertEqual(proc.returncode, 3, proc.stdout + proc.stderr)
            self.assertIn(b"\n" + expected + b"\n", proc.stdout)
            self.assertNotIn(b"/tmp/.kel/", proc.stdout)

    def test_a_home_with_a_trailing_slash(self):
        # A home given as "dir/" (or HOME=/, what containers give a user without a home) named
        # the folder with a doubled slash: dir//.kel/, //.kel/.
        script = os.path.join(self.home, "cache.kel")
        with open(script, "w") as f:
            f.write("Kel []\nprint system/options/cache\n")
        env = dict(os.environ, HOME=self.home + "/")
        env.pop("COLUMNS", None)
        proc = subprocess.run([KEL, script], capture_output=True, env=env, timeout=60)
        self.assertEqual(proc.returncode, 0, proc.stdout + proc.stderr)
        self.assertEqual(proc.stdout, self.home.encode() + b"/.kel/\n")

    def test_a_home_that_cannot_hold_the_folder(self):
        # A plain file as home: no folder can be made under it, whoever runs the test.
        home = os.path.join(self.home, "not-a-folder")
        open(home, "w").close()
        proc = run(home, "print 6 * 7\nq\n")
        self.assertEqual(proc.returncode, 0)
        out = proc.stdout.decode()
        self.assertIn("42\n", out)
        # The folder that could not be made is the home itself, seen as a folder.
        self.assertIn("*** Access Error: cannot open: %" + home + "/ "
                      "(console settings will not be kept)\n", out)
        self.assertIn("(console settings not saved)\n", out)

    def test_a_script_run_prints_nothing_about_a_home_that_cannot_hold_the_folder(self):
        # A script never saves the settings: its output (often redirected to a file) must be
        # its own, also when the settings folder cannot be made. With --catch the console
        # follows the script, and then the line comes.
        home = os.path.join(self.home, "not-a-folder")
        open(home, "w").close()
        script = os.path.join(self.home, "s.kel")
        quits = os.path.join(self.home, "quits.kel")
        with open(script, "w") as f:
            f.write('Kel []\nprint "only this"\n')
        with open(quits, "w") as f:
            f.write('Kel []\nprint "only this"\nquit/return 3\n')
        env = dict(os.environ, HOME=home)
        for path, status in ((script, 0), (quits, 3)):
            proc = subprocess.run([KEL, path], stdin=subprocess.DEVNULL, capture_output=True,
                                  env=env, timeout=60)
            self.assertEqual((proc.returncode, proc.stdout), (status, b"only this\n"))
        proc = subprocess.run([KEL, "--catch", script], input=b"q\n", capture_output=True,
                              env=env, timeout=60)
        self.assertEqual(proc.returncode, 0)
        self.assertTrue(proc.stdout.startswith(b"only this\n*** Access Error: cannot open: %"
                                               + home.encode() + b"/ (console settings will "
                                               b"not be kept)\n"), proc.stdout)

    def test_a_write_cut_short_keeps_the_old_file(self):
        # A full disk ends the write part-way, after the old file was emptied: the old settings
        # must come back, not a cut file that the next start reads as damaged. A file size
        # limit stands in for the full disk: its signal is left at the default, which Kel
        # ignores, so the write fails with EFBIG.
        old = 'Kel [Purpose: "x"]\ncolour: "blue"\nhistory: ["kept 1" "kept 2"]\n'
        self.write_cfg(old)

        def limit():
            resource.setrlimit(resource.RLIMIT_FSIZE, (4096, 4096))
            signal.signal(signal.SIGXFSZ, signal.SIG_DFL)

        code = 'loop 100 [insert system/console/history append/dup copy "" "z" 200]\nq\n'
        env = dict(os.environ, HOME=self.home)
        proc = subprocess.run([KEL], input=code.encode(), capture_output=True, env=env,
                              preexec_fn=limit, timeout=60)
        self.assertEqual(proc.returncode, 0, proc.stdout + proc.stderr)
        self.assertIn(b"(console settings not saved)\n", proc.stdout)
        self.assertEqual(self.read_cfg(), old)

    def test_a_kill_during_the_write_keeps_the_old_file(self):
        # The settings were written in place: a process killed part-way left a cut file, and the
        # next start threw the history away with it. The kill comes when the new file is
        # written and not yet in place.
        old = 'Kel [Purpose: "x"]\ncolour: "blue"\nhistory: ["kept 1" "kept 2"]\n'
        self.write_cfg(old)
        prefix = kill_at_fsync_or_skip(self)
        code = 'loop 100 [insert system/console/history append/dup copy "" "z" 200]\nq\n'
        env = dict(os.environ, HOME=self.home)
        proc = subprocess.run([*prefix, KEL], input=code.encode(), capture_output=True, env=env,
                              timeout=60)
        self.assertEqual(proc.returncode, -signal.SIGKILL, proc.stdout + proc.stderr)
        self.assertEqual(self.read_cfg(), old)
        # Nor is the cut new file left beside it, the typed history in it, for ever.
        folder = os.path.dirname(cfg_path(self.home))
        self.assertEqual(os.listdir(folder), ["console-cfg.kel"])
        # Where the file system cannot make a file without a name, a kill leaves a named one:
        # the next save removes that of a process that is gone, and leaves the one of a process
        # still running and files not named as ours.
        gone = subprocess.Popen(["true"])
        gone.wait()
        stale = f".console-cfg.kel.{gone.pid}-0.tmp"
        kept = [f".console-cfg.kel.{os.getpid()}-0.tmp", ".console-cfg.kel.x-0.tmp", ".other.kel.1-0.tmp"]
        for name in [stale, *kept]:
            with open(os.path.join(folder, name), "w") as f:
                f.write("not ours to remove")
        out = self.quit_with("print mold/flat system/console/history")
        self.assertIn('["kept 1" "kept 2"]\n', out)
        self.assertEqual(sorted(os.listdir(folder)), sorted(["console-cfg.kel", *kept]))

    def test_a_new_settings_file_is_the_users_alone(self):
        # The history holds whatever was typed, passwords given to a call among it: a file made
        # by the console is readable by its user only, whatever the umask lets others have. One
        # whose mode the user widened keeps it.
        old = os.umask(0o022)
        try:
            self.quit_with('insert system/console/history "secret"')
            self.assertEqual(os.stat(cfg_path(self.home)).st_mode & 0o777, 0o600)
            os.chmod(cfg_path(self.home), 0o644)
            self.quit_with('print 1')
            self.assertEqual(os.stat(cfg_path(self.home)).st_mode & 0o777, 0o644)
        finally:
            os.umask(old)

    def test_the_superuser_saving_a_users_settings_keeps_their_owner(self):
        # sudo with the user's HOME: the file replaced on save became the superuser's, and the
        # user could neither save the settings again nor, once it was private, read them.
        if os.geteuid() != 0:
            self.skipTest("only the superuser can give a file to another user")
        os.makedirs(os.path.dirname(cfg_path(self.home)))
        with open(cfg_path(self.home), "w") as f:
            f.write('Kel [] history: ["mine"]')
        os.chown(cfg_path(self.home), 65534, 65534)
        os.chmod(cfg_path(self.home), 0o640)
        self.assertIn('["mine"]\n', self.quit_with("print mold/flat system/console/history"))
        st = os.stat(cfg_path(self.home))
        self.assertEqual((st.st_uid, st.st_gid, st.st_mode & 0o777), (65534, 65534, 0o640))
        with open(cfg_path(self.home)) as f:
            self.assertTrue(f.read().startswith(HEADER))

    def test_the_saved_file_keeps_its_link_and_mode(self):
        # The file is replaced whole on each save; a link to it must stay a link (its target
        # gets the new settings) and a file only its owner may read must stay that way.
        target = os.path.join(self.home, "dotfiles", "console.kel")
        os.makedirs(os.path.dirname(target))
        with open(target, "w") as f:
            f.write('Kel [] history: ["from the link"]')
        os.makedirs(os.path.dirname(cfg_path(self.home)))
        os.symlink(target, cfg_path(self.home))
        os.chmod(target, 0o600)
        self.assertIn('["from the link"]\n', self.quit_with("print mold/flat system/console/history"))
        self.assertTrue(os.path.islink(cfg_path(self.home)))
        self.assertEqual(os.stat(target).st_mode & 0o777, 0o600)
        with open(target) as f:
            self.assertTrue(f.read().startswith(HEADER))
        self.assertEqual(os.listdir(os.path.dirname(cfg_path(self.home))), ["console-cfg.kel"])
        # A relative link to a file not made yet: the file is made there. A link that loops is
        # an error line, and the link stays.
        os.unlink(cfg_path(self.home))
        os.symlink("../../dotfiles/new.kel", cfg_path(self.home))
        self.quit_with('insert system/console/history "x"')
        with open(os.path.join(self.home, "dotfiles", "new.kel")) as f:
            self.assertIn('history: [\n    "x"\n]', f.read())
        os.unlink(cfg_path(self.home))
        os.symlink("console-cfg.kel", cfg_path(self.home))
        self.assertIn("(console settings not saved)\n", self.quit_with("print 1"))
        self.assertEqual(os.readlink(cfg_path(self.home)), "console-cfg.kel")

    def test_a_settings_path_that_is_no_plain_file(self):
        # A pipe there blocked the start for good, waiting for a writer; /dev/zero read on
        # until memory ran out. Both give the defaults (quit-return: writing a pipe blocks too).
        for what, make in {"pipe": os.mkfifo,
                           "endless device": lambda p: os.symlink("/dev/zero", p)}.items():
            with self.subTest(what):
                shutil.rmtree(os.path.join(self.home, ".kel"), ignore_errors=True)
                os.makedirs(os.path.dirname(cfg_path(self.home)))
                make(cfg_path(self.home))
                proc = run(self.home, "print mold system/console/history\nprint 6 * 7\nquit-return 3\n",
                           timeout=8)
                self.assertEqual(proc.returncode, 3)
                self.assertIn(b"[]\n42\n", proc.stdout)

    def test_a_read_only_home(self):
        prefix = as_nobody_or_skip(self)
        if prefix:
            os.chown(self.home, 65534, 65534)
        os.chmod(self.home, 0o500)
        try:
            proc = run(self.home, "print 1\nq\n", prefix)
        finally:
            os.chmod(self.home, 0o700)
        self.assertEqual(proc.returncode, 0)
        self.assertIn("(console settings not saved)\n", proc.stdout.decode())


    def test_a_read_only_file_is_left_alone(self):
        # The file is replaced by a rename, which its folder allows; a file its owner made
        # read-only must still not be written, as when it was written in place.
        prefix = as_nobody_or_skip(self)
        old = 'Kel [] history: ["frozen"]'
        self.write_cfg(old)
        os.chmod(cfg_path(self.home), 0o444)
        if prefix:
            for root, dirs, files in os.walk(self.home):
                for name in [root] + [os.path.join(root, n) for n in files]:
                    os.chown(name, 65534, 65534)
        proc = run(self.home, 'insert system/console/history "new"\nq\n', prefix)
        self.assertEqual(proc.returncode, 0)
        self.assertIn("(console settings not saved)\n", proc.stdout.decode())
        self.assertEqual(self.read_cfg(), old)

if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1])
