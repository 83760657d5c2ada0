"""Measures qel.exe on this machine side by side with what it cannot be faster than, and prints the
results; the last line holds every figure on one line:

  bench: qel_p50_us=... qel_p99_us=... floor_p50_us=... mpd_p50_us=... pipelined_per_s=... lost=...
         startup_ms=... idle_cpu_ms=... exe_kb=... drive_log_us=... wine_floor_p50_us=...
         design_floor_p50_us=... design_pipelined_per_s=...          (one line in the output)

Under Wine the references are Wine's socket floor (a one-thread Winsock server) and the design's
floor (a worker that posts a window message per line, a main thread that replies), both run by the
same client in the same run as qel.exe; qel.exe runs with the virtual drive's log off, and the
log's cost is measured once on its own. Native references: a bare loopback server and MPD.

scripts/bench sets up and builds the trees first and then runs this with the tree's environment
(scripts/env.sh). What each figure means: tools/bench/README.md. A figure that could not be taken
is NA, and the exit code is then 1 (except for MPD's, which is optional). Everything it starts is
ended when it ends. --no-install: do not install MPD when it is missing.
"""

import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

# The harness lives in tools/, beside this folder.
sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
import harness

ROUNDTRIPS = 5000
ROUNDS = 10
PIPELINED_LINES = 90000
PIPELINED_ROUNDS = 3
PIPELINED_DEADLINE_S = 900
STARTS = 3
IDLE_SECONDS = 30
START_TIMEOUT_MS = 60000
HELPER_LIFETIME_S = 3600
DISC_TRACKS = "4:05,3:30,5:12,2:47"
LOCALE = "ja_JP.UTF-8"
LOOPBACK = "127.0.0.1"

BENCH_DIR = os.path.join(harness.QEL_ROOT, "build", "bench")
BIN = os.path.join(BENCH_DIR, "bin")
CLIENT = os.path.join(BIN, "bench_client")
CLOCK_TICKS = os.sysconf("SC_CLK_TCK")


def say(text):
    print(text, flush=True)


def warn(text):
    print("bench: " + text, file=sys.stderr, flush=True)


def field(key, line):
    """The value of key in a "key=value key=value" line, or NA."""
    for word in (line or "").split():
        if word.startswith(key + "="):
            return word[len(key) + 1:]
    return "NA"


def median(values):
    """The middle value (the lower of the two middle ones), as it was given; NA for none."""
    if not values:
        return "NA"
    ordered = sorted(values, key=float)
    return ordered[(len(ordered) + 1) // 2 - 1]


def ratio(a, b, digits):
    if "NA" in (a, b):
        return "NA"
    return "%.*f" % (digits, float(a) / float(b))


def client(*args, env=None):
    """Runs the benchmark's client; its result line, or None when it failed (it says why)."""
    result = subprocess.run([CLIENT] + [str(a) for a in args], stdout=subprocess.PIPE, env=env)
    return result.stdout.decode().strip() if result.returncode == 0 else None


def proc_ticks(stat_path):
    """utime + stime, in clock ticks, from a /proc stat file; None when it cannot be read."""
    try:
        with open(stat_path) as f:
            stat = f.read()
    except OSError:
        return None
    # The fields after the command name, which is in parentheses and could hold spaces.
    fields = stat[stat.rindex(")") + 2:].split()
    return int(fields[11]) + int(fields[12])


def cpu_ticks(pid):
    """All threads of a process."""
    return proc_ticks("/proc/%d/stat" % pid) if pid else None


def thread_ticks(pid):
    """{thread id: ticks}, for each thread of a process."""
    ticks = {}
    for task in os.listdir("/proc/%d/task" % pid):
        value = proc_ticks("/proc/%d/task/%s/stat" % (pid, task))
        if value is not None:
            ticks[int(task)] = value
    return ticks


def ticks_to_ms(before, after):
    if before is None or after is None:
        return "NA"
    return "%d" % ((after - before) * 1000 // CLOCK_TICKS)


def find_wineserver():
    """The prefix's wineserver: it works in a directory named after the prefix's device and inode."""
    info = os.stat(harness.WINEPREFIX)
    wanted = "server-%x-%x" % (info.st_dev, info.st_ino)
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open("/proc/%s/comm" % pid) as f:
                name = f.read().strip()
            if name in ("wineserver", "wineserver64") and \
                    os.path.basename(os.readlink("/proc/%s/cwd" % pid)) == wanted:
                return int(pid)
        except OSError:
            continue
    return None


def wait_for_port_line(path, tries):
    """The N of the first "port=N" line a helper writes to its output, or None."""
    for _ in range(tries):
        try:
            with open(path, errors="replace") as f:
                for line in f:
                    if line.startswith("port="):
                        digits = line[5:].strip().split()[0] if line[5:].strip() else ""
                        if digits.isdigit():
                            return int(digits)
        except OSError:
            pass
        time.sleep(0.1)
    return None


class Bench:
    """One run: the processes it started (ended whatever happens), its directory and whether a figure
    could not be taken."""

    def __init__(self, install):
        self.install = install
        self.failed = False
        self.processes = []
        os.makedirs(BIN, exist_ok=True)
        self.run_dir = tempfile.mkdtemp(prefix="run.", dir=BENCH_DIR)

    def fail(self, text=None):
        if text:
            warn(text)
        self.failed = True

    def started(self, process):
        self.processes.append(process)
        return process

    def stop(self, process):
        """SIGTERM, SIGKILL after 10 s."""
        if process is None or process.poll() is not None:
            return
        process.terminate()
        try:
            process.wait(10)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()

    def close(self):
        for process in reversed(self.processes):
            self.stop(process)
        if os.environ.get("QEL_BENCH_KEEP", "0") != "1":
            shutil.rmtree(self.run_dir, ignore_errors=True)

    def output(self, name):
        return open(os.path.join(self.run_dir, name), "wb")

    # ---- the native tools and references ----

    def build_native_tools(self):
        # Without sanitizers: the host tree's copies are instrumented and would measure themselves.
        for tool in ("bench_client", "floor_server"):
            subprocess.run(["g++", "-std=c++17", "-O2", "-Wall", "-Wextra", "-pthread", "-o", os.path.join(BIN, tool),
                            os.path.join(harness.QEL_ROOT, "tools", "bench", tool + ".cpp")], check=True)

    def floor(self):
        say("== floor: tools/bench/floor_server.cpp, native, one write per reply")
        out = os.path.join(self.run_dir, "floor.out")
        with open(out, "wb") as f:
            server = self.started(subprocess.Popen([os.path.join(BIN, "floor_server"), "0", str(HELPER_LIFETIME_S)],
                                                   stdout=f, stderr=subprocess.STDOUT))
        port = wait_for_port_line(out, 100)
        p50 = "NA"
        result = client("roundtrip", LOOPBACK, port, ROUNDTRIPS, "!") if port else None
        if result:
            say("  status round trip:  " + result)
            p50 = field("p50_us", result)
            result = client("pipelined", LOOPBACK, port, PIPELINED_LINES, "--deadline", PIPELINED_DEADLINE_S)
            if result:
                say("  pipelined:          " + result)
        else:
            self.fail("the floor server did not answer")
        self.stop(server)
        return p50

    def mpd(self):
        """MPD, left running for the idle figure; returns (process, port, p50)."""
        say("== MPD (the music player daemon) on 127.0.0.1, null audio output, empty music directory")
        if shutil.which("mpd") is None:
            if not self.install:
                warn("mpd is missing and --no-install was given")
            elif os.geteuid() == 0:
                say("  installing mpd")
                env = dict(os.environ, DEBIAN_FRONTEND="noninteractive")
                with self.output("apt.log") as log:
                    if subprocess.run(["apt-get", "update", "-qq"], env=env, stdout=log, stderr=log).returncode != 0 \
                            or subprocess.run(["apt-get", "install", "-y", "-qq", "mpd"], env=env, stdout=log,
                                              stderr=log).returncode != 0:
                        warn("could not install mpd (see %s)" % log.name)
            else:
                warn("mpd is missing and installing it needs root")
        if shutil.which("mpd") is None:
            return None, None, "NA"
        mpd_dir = os.path.join(self.run_dir, "mpd")
        for sub in ("music", "playlists"):
            os.makedirs(os.path.join(mpd_dir, sub))
        port = client("free-port")
        with open(os.path.join(mpd_dir, "mpd.conf"), "w") as conf:
            conf.write('music_directory    "%s/music"\nplaylist_directory "%s/playlists"\ndb_file            "%s/db"\n'
                       'state_file         "%s/state"\npid_file           "%s/pid"\nlog_file           "%s/log"\n'
                       'bind_to_address    "127.0.0.1"\nport               "%s"\nzeroconf_enabled   "no"\n'
                       'audio_output {\n    type "null"\n    name "null"\n}\n' % ((mpd_dir,) * 6 + (port,)))
        with open(os.path.join(mpd_dir, "stderr"), "wb") as err:
            process = self.started(subprocess.Popen(["mpd", "--no-daemon", os.path.join(mpd_dir, "mpd.conf")],
                                                    stdout=err, stderr=subprocess.STDOUT))
        result = None
        if client("wait-port", LOOPBACK, port, 10000) is not None:
            result = client("roundtrip", LOOPBACK, port, ROUNDTRIPS, "OK\\n", "--greeting")
        if not result:
            warn("MPD did not start or answer; its log:")
            for name in ("log", "stderr"):
                sys.stderr.write(harness.tail(os.path.join(mpd_dir, name), 5) + "\n")
            self.stop(process)
            return None, None, "NA"
        version = subprocess.run(["mpd", "--version"], stdout=subprocess.PIPE).stdout.decode().splitlines()
        say("  " + (version[0] if version else "mpd"))
        say("  status round trip:  " + result)
        return process, int(port), field("p50_us", result)

    # ---- under Wine ----

    def make_instance(self, name, log=False):
        """A directory with its own copy of the program and its qel.ini (a free port), and with log a
        virtual disc with VCD_DIR's log; returns the directory and the port."""
        directory = os.path.join(self.run_dir, name)
        port = int(client("free-port"))
        os.makedirs(directory)
        shutil.copy2(harness.QEL_EXE, os.path.join(directory, "qel.exe"))
        with open(os.path.join(directory, "qel.ini"), "wb") as f:
            f.write(b"[qel]\r\nport=%d\r\n" % port)
        if log:
            os.makedirs(os.path.join(directory, "vcd"))
            with open(os.path.join(directory, "vcd", "disc.ini"), "wb") as f:
                f.write(b"[disc]\r\ntracks=%s\r\n" % DISC_TRACKS.encode())
        return directory, port

    def start_program(self, directory, extra_env=None):
        with open(os.path.join(directory, "wine.log"), "wb") as log:
            return self.started(harness.start_wine(os.path.join(directory, "qel.exe"), cwd=directory,
                                                   extra_env=extra_env, stdout=log, stderr=subprocess.STDOUT))

    def start_win_floor(self, name):
        """A Windows floor server under Wine; returns its process and port (None when it did not start)."""
        out = os.path.join(self.run_dir, name + ".out")
        exe = os.path.join(harness.WIN_BUILD, "tools", "bench", name + ".exe")
        with open(out, "wb") as f:
            process = self.started(harness.start_wine(exe, ["0", str(HELPER_LIFETIME_S)], stdout=f,
                                                      stderr=subprocess.STDOUT))
        port = wait_for_port_line(out, 600)
        if port is None:
            self.fail("%s did not start; its output:" % name)
            sys.stderr.write(harness.tail(out, 5) + "\n")
        return process, port

    def round_trips(self, ports):
        """Sequential round trips, the servers taking turns round by round, so that a machine whose
        load changes meanwhile weighs on all of them alike: {name: ([p50 of each round], [p99 ...])}."""
        figures = {name: ([], []) for name in ports}
        for round_number in range(1, ROUNDS + 1):
            for name, port in ports.items():
                if not port:
                    continue
                result = client("roundtrip", LOOPBACK, port, ROUNDTRIPS // ROUNDS, "!")
                if result:
                    figures[name][0].append(field("p50_us", result))
                    figures[name][1].append(field("p99_us", result))
                    if round_number == 1:
                        say("  %s status round trip, round 1: %s" % (name, result))
                else:
                    self.fail("%s: round trip failed" % name)
        for name in ports:
            each = figures[name][0]
            say("  %s p50 of each round: %s(us)" % (name, "".join(v + " " for v in each) if each else "none"))
        return figures

    def pipelined(self, design_port, qel_port, unix_pid, server_pid):
        """The design's floor and qel.exe taking turns; the rates are the medians of the rounds'."""
        design_rates, qel_rates, lost = [], [], 0
        qel_before, server_before = cpu_ticks(unix_pid), cpu_ticks(server_pid)
        lines = PIPELINED_LINES // PIPELINED_ROUNDS
        for _ in range(PIPELINED_ROUNDS):
            result = design_port and client("pipelined", LOOPBACK, design_port, lines, "--deadline",
                                            PIPELINED_DEADLINE_S)
            if result:
                say("  design_floor pipelined: " + result)
                design_rates.append(field("per_s", result))
            result = qel_port and client("pipelined", LOOPBACK, qel_port, lines, "--deadline", PIPELINED_DEADLINE_S)
            if result:
                say("  qel pipelined:          " + result)
                qel_rates.append(field("per_s", result))
                lost = "NA" if lost == "NA" else lost + int(field("lost", result))
            else:
                self.fail()
                lost = "NA"
        if unix_pid:
            say("    CPU over these rounds: qel.exe %s ms, wineserver %s ms"
                % (ticks_to_ms(qel_before, cpu_ticks(unix_pid)), ticks_to_ms(server_before, cpu_ticks(server_pid))))
        if len(qel_rates) != PIPELINED_ROUNDS:
            lost = "NA"
        return median(design_rates), median(qel_rates), str(lost)

    def warm_starts(self):
        """Start-up, warm: the floor servers keep the prefix's wineserver and desktop process running."""
        starts = []
        for n in range(1, STARTS + 1):
            directory, port = self.make_instance("start%d" % n)
            result = client("startup", LOOPBACK, port, START_TIMEOUT_MS, "--env", "LC_ALL=" + LOCALE, "--log",
                            os.path.join(directory, "wine.log"), "--", harness.WINE, os.path.join(directory, "qel.exe"),
                            env=harness.wine_env())
            if result:
                starts.append(field("startup_ms", result))
            else:
                self.fail()
        if len(starts) != STARTS:
            return "NA"
        startup_ms = median(starts)
        say("  start-up, warm (wineserver and Wine's desktop already running): %s ms, median %s"
            % (" ".join(starts), startup_ms))
        return startup_ms

    def idle(self, qel_port, unix_pid, server_pid, mpd_process, mpd_port):
        """Idle with a client connected, MPD idling the same way over the same time; qel.exe's ms."""
        try:
            connection = socket.create_connection((LOOPBACK, qel_port), timeout=20)
        except OSError:
            self.fail()
            return "NA"
        with connection:
            connection.sendall(b"status\n")
            reply = b""
            try:
                while not reply.endswith(b"!"):
                    piece = connection.recv(1000)
                    if not piece:
                        break
                    reply += piece
            except OSError:
                pass
            if not reply.endswith(b"!"):
                self.fail("qel.exe did not answer status on the idle connection")
            mpd_connection, mpd_before = None, None
            if mpd_process is not None:
                try:
                    mpd_connection = socket.create_connection((LOOPBACK, mpd_port), timeout=10)
                    mpd_connection.recv(1000)  # its greeting
                    mpd_before = cpu_ticks(mpd_process.pid)
                except OSError:
                    pass
            qel_before, threads_before = cpu_ticks(unix_pid), thread_ticks(unix_pid)
            server_before = cpu_ticks(server_pid)
            time.sleep(IDLE_SECONDS)
            idle_cpu_ms = ticks_to_ms(qel_before, cpu_ticks(unix_pid))
            threads_after = thread_ticks(unix_pid)
            # Thread ids in creation order, as a rule: the main thread first.
            per_thread = " ".join("%d" % ((ticks - threads_before.get(tid, 0)) * 1000 // CLOCK_TICKS)
                                  for tid, ticks in sorted(threads_after.items()))
            server_idle = ticks_to_ms(server_before, cpu_ticks(server_pid))
            mpd_idle = ticks_to_ms(mpd_before, cpu_ticks(mpd_process.pid)) if mpd_before is not None else "NA"
            if mpd_connection is not None:
                mpd_connection.close()
        say("  idle %d s with a client connected: qel.exe (Unix pid %d) %s ms CPU; the prefix's wineserver %s ms;"
            " MPD %s ms" % (IDLE_SECONDS, unix_pid, idle_cpu_ms, server_idle, mpd_idle))
        # The virtual drive is a DLL inside the program: its clock thread's ticks count here too.
        say("    qel.exe per thread, in creation order (main thread first): %s ms" % per_thread)
        return idle_cpu_ms

    def report(self, f):
        """The summary, and last the line with every figure."""
        say("== summary")
        say("  qel.exe: %d KiB, statically linked" % f["exe_kb"])
        say("  status round trip p50: qel %(qel_p50)s us; under Wine: Wine's socket floor %(wine_p50)s us,"
            " the design's floor %(design_p50)s us; native: floor %(floor_p50)s us, MPD %(mpd_p50)s us" % f)
        say("  qel/design p50: %s  (the goal: at most 1.10)" % ratio(f["qel_p50"], f["design_p50"], 2))
        say("  qel/design pipelined: %s  (the goal: at least 0.90; qel %s/s, the design's floor %s/s)"
            % (ratio(f["pipelined_per_s"], f["design_per_s"], 2), f["pipelined_per_s"], f["design_per_s"]))
        say("  design/Wine's floor p50: %s; Wine's floor/native floor p50: %s; the drive's log: +%s us per round trip"
            % (ratio(f["design_p50"], f["wine_p50"], 1), ratio(f["wine_p50"], f["floor_p50"], 1), f["log_cost"]))
        say("bench: qel_p50_us=%(qel_p50)s qel_p99_us=%(qel_p99)s floor_p50_us=%(floor_p50)s mpd_p50_us=%(mpd_p50)s"
            " pipelined_per_s=%(pipelined_per_s)s lost=%(lost)s startup_ms=%(startup_ms)s idle_cpu_ms=%(idle_cpu_ms)s"
            " exe_kb=%(exe_kb)d drive_log_us=%(log_cost)s wine_floor_p50_us=%(wine_p50)s"
            " design_floor_p50_us=%(design_p50)s design_pipelined_per_s=%(design_per_s)s" % f)

    def run(self):
        self.build_native_tools()
        wine_version = subprocess.run([harness.WINE, "--version"], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        say("machine: %d CPUs, %s %s, %s" % (os.cpu_count(), os.uname().sysname, os.uname().release,
                                            wine_version.stdout.decode().strip() or "wine ?"))
        floor_p50 = self.floor()
        mpd_process, mpd_port, mpd_p50 = self.mpd()

        say("== under Wine with the build's prefix: wine_floor_server, design_floor_server, qel.exe")
        say("   (qel.exe with the virtual drive's demo disc and no log: VCD_DIR unset; nothing plays)")
        exe_kb = (os.path.getsize(harness.QEL_EXE) + 1023) // 1024
        harness.ensure_display()
        # The drive logs every command to VCD_DIR\vcd.log when VCD_DIR is set: a file opened, appended
        # to and closed per MCI command, each a round trip through Wine's server. The figures are
        # taken without it; its cost is measured once, below, on an instance of its own.
        os.environ.pop("VCD_DIR", None)

        main_dir, qel_port = self.make_instance("qel")
        first_start = time.monotonic()
        qel = self.start_program(main_dir)
        unix_pid = server_pid = None
        if client("wait-port", LOOPBACK, qel_port, START_TIMEOUT_MS) is not None:
            say("  first start (Wine as it was found): %d ms" % ((time.monotonic() - first_start) * 1000))
            # The harness starts the loader itself: its process becomes the program's.
            unix_pid = qel.pid
            server_pid = find_wineserver()
        else:
            self.fail("qel.exe did not accept connections; its Wine output:")
            sys.stderr.write(harness.tail(os.path.join(main_dir, "wine.log"), 20) + "\n")
            qel_port = None
        wine_floor, wine_floor_port = self.start_win_floor("wine_floor_server")
        design_floor, design_floor_port = self.start_win_floor("design_floor_server")

        figures = self.round_trips({"wine_floor": wine_floor_port, "design_floor": design_floor_port,
                                    "qel": qel_port})
        wine_p50 = median(figures["wine_floor"][0])
        design_p50 = median(figures["design_floor"][0])
        qel_p50 = median(figures["qel"][0])
        qel_p99 = median(figures["qel"][1])

        if wine_floor_port:
            result = client("pipelined", LOOPBACK, wine_floor_port, PIPELINED_LINES, "--deadline", PIPELINED_DEADLINE_S)
            if result:
                say("  wine_floor pipelined: " + result)
        design_per_s, pipelined_per_s, lost = self.pipelined(design_floor_port, qel_port, unix_pid, server_pid)

        idle_cpu_ms = "NA"
        if qel_port:
            idle_cpu_ms = self.idle(qel_port, unix_pid, server_pid, mpd_process, mpd_port)
        if "NA" in (wine_p50, design_p50, design_per_s, qel_p50, pipelined_per_s):
            self.fail()
        # One copy of the program runs per logon (a second one says so and ends): the instance with
        # the drive's log, and the warm starts, each run alone, after the main instance has ended.
        self.stop(qel)
        self.stop(mpd_process)

        log_dir, log_port = self.make_instance("qel-log", log=True)
        logged = self.start_program(log_dir, {"VCD_DIR": harness.windows_path(os.path.join(log_dir, "vcd"))})
        if client("wait-port", LOOPBACK, log_port, START_TIMEOUT_MS) is None:
            warn("qel.exe with the log did not start")
            log_port = None
        log_p50 = median(self.round_trips({"qel_log": log_port})["qel_log"][0])
        log_cost = "NA"
        if "NA" not in (log_p50, qel_p50):
            log_cost = "%.1f" % (float(log_p50) - float(qel_p50))
            say("  the virtual drive's log (VCD_DIR set, as the tests run it) adds %s us to each round trip"
                " (p50 %s us with it, %s us without)" % (log_cost, log_p50, qel_p50))
        self.stop(logged)

        startup_ms = self.warm_starts() if qel_port else "NA"
        self.stop(wine_floor)
        self.stop(design_floor)

        self.report(dict(qel_p50=qel_p50, qel_p99=qel_p99, floor_p50=floor_p50, mpd_p50=mpd_p50,
                         pipelined_per_s=pipelined_per_s, lost=lost, startup_ms=startup_ms, idle_cpu_ms=idle_cpu_ms,
                         exe_kb=exe_kb, log_cost=log_cost, wine_p50=wine_p50, design_p50=design_p50,
                         design_per_s=design_per_s))
        return 1 if self.failed else 0


def main(argv):
    install = "--no-install" not in argv[1:]
    if any(a != "--no-install" for a in argv[1:]):
        print("usage: scripts/bench [--no-install]", file=sys.stderr)
        return 2
    # A terminated run ends what it started, as an interrupted one does.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    bench = Bench(install)
    try:
        return bench.run()
    except KeyboardInterrupt:
        return 130
    finally:
        bench.close()


if __name__ == "__main__":
    sys.exit(main(sys.argv))
