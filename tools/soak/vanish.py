"""A client that vanishes without a word, as a phone leaving the Wi-Fi does: it connects from a
network namespace of this run's own over a veth pair, is heard out, and then its link goes down.
The program's side must let go of it within VANISHED_BOUND. Only as root (with iproute2); the
namespace and the pair carry this process's id and are removed however the run ends.

Addresses come from 198.19.0.0/16 (a /30 per run, from the process id), apart from the range the
reliability suite's vanishing client uses, and reach nothing but this machine.
"""

import ctypes
import os
import re
import shutil
import socket
import struct
import subprocess
import threading
import time

import harness

# The system probes a quiet connection after 15 s, every 3 s, and gives up after 9 probes here.
VANISHED_BOUND = 60.0
# Before its link goes down the client hears nothing for this long: a menu choice answered to it
# could still be waiting behind a play being tried, and a reply the client never acknowledges
# would keep the program's system retransmitting it (for many minutes on Linux) instead of
# probing a quiet connection.
QUIET_BEFORE = 12.0
CLONE_NEWNET = 0x40000000


def _run(*command):
    subprocess.run(command, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, timeout=30)


class VanishingLink:

    def __init__(self, record):
        self.record = record
        pid = os.getpid()
        self.namespace = "qel-soak-%d" % pid
        self.outside = "qs%dh" % (pid % 1000000)
        self.inside = "qs%dn" % (pid % 1000000)
        prefix = "198.19.%d" % ((pid >> 6) % 256)
        last = (pid % 64) * 4
        self.server_address = "%s.%d" % (prefix, last + 1)
        self.client_address = "%s.%d" % (prefix, last + 2)
        self.made = False
        self.busy = False  # one vanishing client at a time
        self.lock = threading.Lock()

    def make(self):
        """Makes the namespace and the pair when this runs as root; False otherwise."""
        if os.geteuid() != 0 or not shutil.which("ip"):
            return False
        self.remove_stale()
        try:
            _run("ip", "netns", "add", self.namespace)
            _run("ip", "link", "add", self.outside, "type", "veth", "peer", "name", self.inside,
                 "netns", self.namespace)
            _run("ip", "addr", "add", self.server_address + "/30", "dev", self.outside)
            _run("ip", "link", "set", self.outside, "up")
            _run("ip", "-n", self.namespace, "addr", "add", self.client_address + "/30", "dev", self.inside)
            _run("ip", "-n", self.namespace, "link", "set", self.inside, "up")
        except (OSError, subprocess.SubprocessError):
            self.remove()
            return False
        self.made = True
        return True

    def remove_stale(self):
        """Removes what a run that was killed outright left behind (its process is gone)."""
        try:
            names = os.listdir("/run/netns")
        except OSError:
            return
        for name in names:
            found = re.fullmatch(r"qel-soak-(\d+)", name)
            if found and not os.path.exists("/proc/" + found.group(1)):
                pid = int(found.group(1))
                subprocess.run(["ip", "netns", "del", name], stderr=subprocess.DEVNULL)
                subprocess.run(["ip", "link", "del", "qs%dh" % (pid % 1000000)], stderr=subprocess.DEVNULL)

    def remove(self):
        subprocess.run(["ip", "netns", "del", self.namespace], stderr=subprocess.DEVNULL)
        subprocess.run(["ip", "link", "del", self.outside], stderr=subprocess.DEVNULL)
        self.made = False

    def available(self):
        with self.lock:
            return self.made and not self.busy

    def connect(self, port):
        """A socket connected to the program from inside the namespace (a thread of its own enters
        the namespace, so that the rest of the process stays outside)."""
        with self.lock:
            self.busy = True
        result = {}

        def inside():
            try:
                libc = ctypes.CDLL(None, use_errno=True)
                fd = os.open("/run/netns/" + self.namespace, os.O_RDONLY)
                try:
                    if libc.setns(fd, CLONE_NEWNET) != 0:
                        raise OSError(ctypes.get_errno(), "setns " + self.namespace)
                    result["sock"] = socket.create_connection((self.server_address, port), timeout=10)
                finally:
                    os.close(fd)
            except OSError as e:
                result["error"] = e

        thread = threading.Thread(target=inside, name="namespace connect")
        thread.start()
        thread.join()
        if "error" in result:
            with self.lock:
                self.busy = False
            raise result["error"]
        return result["sock"]

    def leave(self, client):
        """The client, heard out, vanishes; returns once the program has let go of it."""
        soak = client.soak
        try:
            soak.quiet_for_vanish.set()
            heard = len(client.check.received)
            quiet_from = time.monotonic()
            while time.monotonic() - quiet_from < QUIET_BEFORE:
                if not client._pump(0.5):
                    return client._finish()
                if len(client.check.received) != heard:
                    heard = len(client.check.received)
                    quiet_from = time.monotonic()
            client_port = client.sock.getsockname()[1]
            _run("ip", "-n", self.namespace, "link", "set", self.inside, "down")
            gone_at = time.monotonic()
            self.record.action(client.name, "client vanishes", "vanishes behind a downed link after %d command(s)"
                               % len(client.check.expected))
            while harness.established(client.port, self.client_address, client_port):
                client.record.check_over()
                if time.monotonic() - gone_at > VANISHED_BOUND:
                    if soak.port_changed_between(client.connected_at, time.monotonic()):
                        break
                    client.fail("vanished %.0f s ago and the program still holds its connection (bound %.0f s)"
                                % (time.monotonic() - gone_at, VANISHED_BOUND))
                time.sleep(0.5)
            client.left_at = time.monotonic()
            self.record.peak("vanished client let go after (s)", client.left_at - gone_at, client.name)
            self.record.note(client.name, "let go of by the program %.1f s after it vanished" % (client.left_at - gone_at))
            client.sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            client.sock.close()
            _run("ip", "-n", self.namespace, "link", "set", self.inside, "up")
            client._finish()
        finally:
            soak.quiet_for_vanish.clear()
            with self.lock:
                self.busy = False
