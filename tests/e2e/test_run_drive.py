"""scripts/run with --drive: the program started the way a person starts it, on a CD drive at a
path of one's own choosing (here the faked drive), answering on its port."""

import os
import signal
import subprocess
import unittest

import harness


@unittest.skipUnless(harness.DRIVE == "mcicda", "the real-drive path of scripts/run")
class RunDriveTest(unittest.TestCase):

    def test_run_plays_the_drive_given_by_path(self):
        harness.fakecd("create", "tracks=4:05,3:30")
        port = harness.free_port()
        env = dict(os.environ, DISPLAY=harness.ensure_display())
        for name in ("QEL_WIN_BUILD", "WINEPREFIX", "LD_PRELOAD", "FAKECD_DEVICE"):
            env.pop(name, None)
        output = open(os.path.join(harness.WIN_BUILD, "run-drive-test.log"), "wb")
        self.addCleanup(output.close)
        # Its own process group: everything scripts/run starts ends with it.
        run = subprocess.Popen([os.path.join(harness.QEL_ROOT, "scripts", "run"), "--drive", harness.FAKECD_DEVICE,
                                "--port", str(port)], stdout=output, stderr=subprocess.STDOUT, env=env,
                               start_new_session=True)

        def stop():
            if run.poll() is None:
                os.killpg(run.pid, signal.SIGTERM)
                try:
                    run.wait(60)
                except subprocess.TimeoutExpired:
                    os.killpg(run.pid, signal.SIGKILL)
                    run.wait(30)
        self.addCleanup(stop)

        # scripts/run first makes sure the build is current: give it time.
        harness.wait_for(lambda: run.poll() is not None or not harness.refuses(port), 600, "port %d" % port)
        self.assertIsNone(run.poll(), "scripts/run ended early")
        with harness.Client(port) as client:
            self.assertEqual(client.command("play"), b"1(0:0)")
            self.assertIn("audio=play", harness.fakecd("show"))
            self.assertRegex(client.command("select"), rb"\A 01\. \(4:05\)\n 02\. \(3:(30|29)\)\n\Z")
            self.assertEqual(client.command("eject"), b"open")
            self.assertIn("door=open", harness.fakecd("show"))
        stop()
        self.assertEqual(run.returncode, 143)


if __name__ == "__main__":
    unittest.main()
