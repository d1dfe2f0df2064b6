#!/usr/bin/env python3
"""Command-line arguments are bytes on Linux and need not be UTF-8: each byte of such an argument
that forms no valid sequence reaches the script as the codepoint 0xDC00 + byte, which gives the
byte back when the text names a file, so a script named in another encoding runs. The binary's
path is the first argument."""
import os
import subprocess
import sys
import tempfile
import unittest

KEL = os.path.abspath(sys.argv[1]) if len(sys.argv) > 1 else "kel"
SCRIPT = b'Kel [] print mold system/options/args print system/script/args\n'


class LaunchArgs(unittest.TestCase):
    def run_kel(self, folder, args):
        env = dict(os.environ, HOME=folder, KEL_TEST="1")
        return subprocess.run([os.fsencode(KEL)] + args, capture_output=True, cwd=folder,
                              env=env, stdin=subprocess.DEVNULL, timeout=60)

    def test_arguments_that_are_not_utf8(self):
        with tempfile.TemporaryDirectory() as folder:
            with open(os.path.join(folder, "mold.kel"), "wb") as f:
                f.write(b'Kel [] print mold system/options/args print mold system/script/args\n')
            cases = [
                (b"\xff", "^(DCFF)"),                      # never a lead byte
                (b"\xe9t\xe9.kel", "^(DCE9)t^(DCE9).kel"),  # Latin-1: the ASCII after a bad lead stays
                (b"\xe2\x82", "^(DCE2)^(DC82)"),           # cut sequence
                (b"\xc0\xaf", "^(DCC0)^(DCAF)"),           # overlong "/"
                (b"\xed\xa0\x80", "^(DCED)^(DCA0)^(DC80)"),  # encoded surrogate
                (b"\xe2\x82\xac", "\u20ac"),               # valid text passes unchanged
            ]
            proc = self.run_kel(folder, [b"mold.kel"] + [raw for raw, _ in cases])
            self.assertEqual(proc.returncode, 0, proc.stdout + proc.stderr)
            texts = [text for _, text in cases]
            expected = ("[" + " ".join('"%s"' % t for t in texts) + "]\n" +
                        '"' + " ".join(texts) + '"\n')
            self.assertEqual(proc.stdout.decode("utf-8"), expected)

    def test_script_named_in_another_encoding(self):
        # The script, its folder and the file it names in its arguments are all found again.
        with tempfile.TemporaryDirectory() as folder:
            sub = os.path.join(os.fsencode(folder), b"d\xe9")
            os.mkdir(sub)
            with open(os.path.join(sub, b"\xe9t\xe9.kel"), "wb") as f:
                f.write(b'Kel []\nprint mold system/options/script\nprint mold second split-path what-dir\n'
                        b'print read to-file first system/options/args\n'
                        b'print mold skip tail to-local-file/full %x -4\n')
            with open(os.path.join(sub, b"\xff"), "wb") as f:
                f.write(b"neighbour")
            proc = self.run_kel(folder, [b"d\xe9/\xe9t\xe9.kel", b"\xff"])
            self.assertEqual(proc.returncode, 0, proc.stdout + proc.stderr)
            self.assertEqual(proc.stdout.decode("utf-8"),
                             '%"d^(DCE9)/^(DCE9)t^(DCE9).kel"\n%"d^(DCE9)/"\nneighbour\n"d^(DCE9)/x"\n')

    def test_names_holding_line_breaks(self):
        # The raw text of the script's own arguments must not take in a piece of the script's
        # name or of a switch before it.
        with tempfile.TemporaryDirectory() as folder:
            for name in (b"two\nlines.kel", b"cr\rname.kel"):
                with open(os.path.join(os.fsencode(folder), name), "wb") as f:
                    f.write(SCRIPT)
                for switches in ([], [b"--opt\nvalue"]):
                    proc = self.run_kel(folder, switches + [name, b"a", b"b c"])
                    self.assertEqual(proc.returncode, 0, proc.stdout + proc.stderr)
                    self.assertEqual(proc.stdout.decode("utf-8"), '["a" "b c"]\na "b c"\n',
                                     (name, switches))

    def test_quotes_in_what_comes_before_the_arguments(self):
        # A double quote in the program's path, a switch or the script's name must not move the
        # place where the raw text of the script's own arguments begins.
        with tempfile.TemporaryDirectory() as folder:
            fs = os.fsencode(folder)
            for name in (b'quo"te.kel', b'"lead.kel', b'a "b.kel'):
                with open(os.path.join(fs, name), "wb") as f:
                    f.write(SCRIPT)
            for sub in (b'q"dir', b'q" sp'):
                os.mkdir(os.path.join(fs, sub))
                os.symlink(os.fsencode(KEL), os.path.join(fs, sub, b"kel"))
            cases = [
                (None, [b'quo"te.kel']),
                (None, [b'"lead.kel']),
                (None, [b'a "b.kel']),
                (None, [b'--opt "x y', b'quo"te.kel']),
                (None, [b'--catch', b'--', b'a "b.kel']),
                (b'q"dir/kel', [b'quo"te.kel']),
                (b'q" sp/kel', [b'a "b.kel']),
            ]
            for program, before in cases:
                command = [os.path.join(fs, program)] if program else [os.fsencode(KEL)]
                env = dict(os.environ, HOME=folder, KEL_TEST="1")
                proc = subprocess.run(command + before + [b"a", b"b c", b'"d"'], capture_output=True,
                                      cwd=folder, env=env, stdin=subprocess.DEVNULL, timeout=60)
                self.assertEqual(proc.returncode, 0, (program, before, proc.stdout + proc.stderr))
                self.assertEqual(proc.stdout.decode("utf-8"),
                                 '["a" "b c" {"d"}]\na "b c" "d"\n', (program, before))

    def test_started_in_a_folder_that_was_removed(self):
        # The shell stands in a folder removed since (a build folder wiped and made anew): the
        # script named relative to it must still run in its own folder and find its neighbours,
        # and the console's cd must move from where the process really is.
        with tempfile.TemporaryDirectory() as folder:
            real = os.path.realpath(folder)
            os.mkdir(os.path.join(folder, "gone"))
            with open(os.path.join(folder, "data.txt"), "w") as f:
                f.write("beside")
            with open(os.path.join(folder, "lib.kel"), "w") as f:
                f.write('Kel [] print "lib ran"\n')
            with open(os.path.join(folder, "main.kel"), "w") as f:
                f.write('Kel []\nprint mold what-dir\nprint read %data.txt\ndo %lib.kel\n'
                        'print mold what-dir\n')
            env = dict(os.environ, HOME=folder)
            start = 'cd gone && rmdir ../gone && exec "$0" "$@"'
            proc = subprocess.run(["sh", "-c", start, KEL, "../main.kel"], capture_output=True,
                                  cwd=folder, env=env, stdin=subprocess.DEVNULL, timeout=60)
            here = "%" + real + "/\n"
            self.assertEqual((proc.returncode, proc.stdout.decode()),
                             (0, here + "beside\nlib ran\n" + here))
            os.mkdir(os.path.join(folder, "gone"))
            proc = subprocess.run(["sh", "-c", start, KEL], capture_output=True, cwd=folder,
                                  env=env, input=b"cd ..\nprint read %data.txt\n", timeout=60)
            self.assertEqual(proc.returncode, 0, proc.stdout + proc.stderr)
            self.assertIn(b"== %" + os.fsencode(real) + b"/\nbeside\n", proc.stdout)


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
