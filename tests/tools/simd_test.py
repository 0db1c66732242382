#!/usr/bin/env python3
"""One simulated machine per state directory, shared by every process that
uses it: halvexctl runs started together, one process seeing another's
events and association, and the service's faults.

  simd_test.py EXE [--runner PROGRAM --sim]

Under Wine (--runner) there is no service: processes on one state directory
take turns on a lock file, and only the rows that say so run."""

import fcntl
import json
import os
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time
import unittest

EXE = None
RUNNER = []
SIM = []
WINDOWS = False

# Parameters and values nothing else sets: each must read back as set.
SETS = [("tx-power", "40"), ("power-mode", "1"), ("preamble", "1"), ("frag-threshold", "1024"),
        ("rts-threshold", "500"), ("data-rate", "9"), ("tx-antenna", "1"), ("rx-antenna", "2"),
        ("wlan-mode", "0"), ("boost-mode", "1"), ("wmm", "1"), ("network-mode", "0"),
        ("auth-mode", "1"), ("encryption", "0"), ("channel-range", "0x7FF"), ("signal-threshold", "0x1234"),
        ("tx-fail-threshold", "0x55"), ("channel", "11"), ("radio", "1")]


def windows_path(path):
    return "Z:" + path.replace("/", "\\")


class SharedMachine(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="simd-")
        os.chmod(self.dir, 0o755)
        self.state = os.path.join(self.dir, "state")

    def tearDown(self):
        for state in (self.state, self.state + "2"):
            if not WINDOWS and os.path.isdir(state):
                self.run_ctl("sim", "stop", state=state)
        shutil.rmtree(self.dir, ignore_errors=True)

    def command(self, args, state=None):
        state = state or self.state
        return RUNNER + [EXE] + SIM + ["--state-dir", windows_path(state) if WINDOWS else state] + list(args)

    def env(self):
        # A service left behind by a failed test ends on its own.
        return dict(os.environ, HALVEX_SIM_IDLE="15")

    def run_ctl(self, *args, state=None, timeout=60, stdin=None):
        return subprocess.run(self.command(args, state), input=stdin, stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, text=True, timeout=timeout, env=self.env())

    def ok(self, *args, **kw):
        r = self.run_ctl(*args, **kw)
        self.assertEqual(r.returncode, 0, f"{args}: {r.stderr}")
        return r

    def json_of(self, *args, **kw):
        return json.loads(self.ok("--json", *args, **kw).stdout)

    def together(self, argv_list, timeout=120):
        """Runs the commands at once; their results in order."""
        procs = [subprocess.Popen(self.command(args), stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                  text=True, env=self.env()) for args in argv_list]
        return [(p.wait(timeout), *p.communicate()) for p in procs]

    def service(self):
        return self.json_of("sim", "status")

    def wait_for_service_end(self, timeout=30):
        """The service holds its lock for its life: taking it means it ended."""
        with open(os.path.join(self.state, "simd.lock"), "a") as lock:
            deadline = time.monotonic() + timeout
            while True:
                try:
                    fcntl.flock(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
                    return True
                except BlockingIOError:
                    if time.monotonic() > deadline:
                        return False
                    time.sleep(0.02)

    # ---- many processes, one machine --------------------------------------------------------
    def test_concurrent_sets_are_all_kept(self):
        results = self.together([["set", name, value] for name, value in SETS])
        for (code, out, err), (name, _) in zip(results, SETS):
            self.assertEqual(code, 0, f"{name}: {err}")
        for name, value in SETS:
            with self.subTest(parameter=name):
                got = self.json_of("get", name)
                self.assertEqual(got["value"], int(value, 0), name)
                self.assertEqual(got.get("stored", got["value"]), int(value, 0), name)

    def test_concurrent_readers_all_succeed(self):
        self.ok("info")
        for code, _, err in self.together([["status"]] * 10):
            self.assertEqual(code, 0, err)
        self.assertEqual(sorted(os.listdir(self.state)),
                         sorted(n for n in os.listdir(self.state) if ".damaged-" not in n))

    def test_two_state_directories_never_meet(self):
        other = self.state + "2"
        self.ok("set", "tx-power", "40")
        self.ok("set", "tx-power", "60", state=other)
        self.assertEqual(self.json_of("get", "tx-power")["stored"], 40)
        self.assertEqual(self.json_of("get", "tx-power", state=other)["stored"], 60)

    def test_the_association_keys_and_counters_outlive_the_process(self):
        if WINDOWS:
            self.skipTest("on Windows the machine lives in each process")
        self.ok("join", "HalvexWPA2", "--psk", "halvex-wpa2-pass")
        status = self.json_of("status")
        self.assertEqual((status["ssid"], status["portOpen"]), ("HalvexWPA2", True))
        self.ok("join", "HalvexCorp", "--peap", "alice", stdin="s3cret\n")
        status = self.json_of("status")
        self.assertEqual((status["ssid"], status["portOpen"]), ("HalvexCorp", True))
        before = self.json_of("stats")
        self.ok("stats", "--reset")
        after = self.json_of("stats")
        self.assertNotEqual(before, after)
        self.assertEqual(self.json_of("stats"), after, "the reset stays")

    def test_events_of_one_process_are_seen_by_another(self):
        if WINDOWS:
            self.skipTest("on Windows each process has an adapter of its own")
        self.ok("info")
        watcher = subprocess.Popen(self.command(["--json", "events", "--count", "2", "--seconds", "60"]),
                                   stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=self.env())
        deadline = time.monotonic() + 30
        while self.service()["handles"] < 1 and time.monotonic() < deadline:
            time.sleep(0.02)
        self.ok("join", "HalvexOpen")
        self.ok("disconnect")
        out, err = watcher.communicate(timeout=60)
        self.assertEqual(watcher.returncode, 0, err)
        codes = [json.loads(line)["code"] for line in out.splitlines()]
        self.assertEqual(codes, [1, 0], out)

    # ---- the service's life -------------------------------------------------------------------
    def test_the_service_starts_once_serves_and_ends_when_idle(self):
        if WINDOWS:
            self.skipTest("no service on Windows")
        self.assertFalse(self.json_of("sim", "status")["running"])
        for code, _, err in self.together([["info"]] * 6):
            self.assertEqual(code, 0, err)
        status = self.service()
        self.assertEqual((status["running"], status["clients"], status["handles"]), (True, 0, 0))
        # The enterprise network's RADIUS server lives with the machine: its CA is what joins trust.
        radius = status["radiusServer"]
        self.assertRegex(radius["address"], r"^127\.0\.0\.1:\d+$")
        self.assertEqual(radius["caCertificate"], os.path.join(self.state, "radius", "ca.pem"))
        self.assertIn("-----BEGIN CERTIFICATE-----", open(radius["caCertificate"]).read())
        self.assertRegex(self.ok("sim", "status").stdout, r"RADIUS: +127\.0\.0\.1:\d+ \(CA ")
        self.assertEqual(os.stat(os.path.join(self.state, "simd.sock")).st_mode & 0o777, 0o600)
        self.assertEqual(os.stat(self.state).st_mode & 0o777, 0o700)
        pid = status["pid"]
        self.assertEqual(self.service()["pid"], pid, "one service for all")
        env = dict(os.environ, HALVEX_SIM_IDLE="1")
        self.ok("sim", "restart")
        subprocess.run(self.command(["sim", "stop"]), env=env, capture_output=True)
        subprocess.run(self.command(["info"]), env=env, capture_output=True, check=True)
        self.assertTrue(self.wait_for_service_end(), "the idle service ended")
        self.assertFalse(os.path.exists(os.path.join(self.state, "simd.sock")))

    # ---- faults -------------------------------------------------------------------------------------
    def test_a_killed_service_keeps_every_acknowledged_write(self):
        if WINDOWS:
            self.skipTest("no service on Windows")
        self.ok("info")
        key = (r"HKEY_LOCAL_MACHINE\System\CurrentControlSet\Control\Class"
               r"\{4D36E972-E325-11CE-BFC1-08002BE10318}\0007")
        acked = []
        progress = threading.Condition()
        stop = threading.Event()

        def writer(n):
            for i in range(50):
                if stop.is_set():
                    return
                name = f"W{n}_{i}"
                path = os.path.join(self.dir, name + ".reg")
                with open(path, "w") as f:
                    f.write(f'Windows Registry Editor Version 5.00\r\n\r\n[{key}]\r\n"{name}"="{i}"\r\n')
                r = self.run_ctl("registry", "import", path)
                if r.returncode == 0:
                    with progress:
                        acked.append(name)
                        progress.notify_all()

        threads = [threading.Thread(target=writer, args=(n,)) for n in range(4)]
        for t in threads:
            t.start()
        pid = self.service()["pid"]
        with progress:
            self.assertTrue(progress.wait_for(lambda: len(acked) >= 60, timeout=120))
        os.kill(pid, signal.SIGKILL)
        for t in threads:
            t.join()
        self.assertTrue(self.wait_for_service_end())
        # Clients saw a clear failure, not a hang; the next start recovers.
        exported = os.path.join(self.dir, "after.reg")
        self.ok("registry", "export", exported)
        with open(exported, "rb") as f:
            raw = f.read()
        text = raw.decode("utf-16" if raw[:2] == b"\xff\xfe" else "latin-1")
        missing = [name for name in acked if f'"{name}"' not in text]
        self.assertEqual(missing, [], f"{len(acked)} acknowledged")

    def test_a_stale_socket_is_replaced(self):
        if WINDOWS:
            self.skipTest("no service on Windows")
        self.ok("info")
        os.kill(self.service()["pid"], signal.SIGKILL)
        self.assertTrue(self.wait_for_service_end())
        self.assertTrue(os.path.exists(os.path.join(self.state, "simd.sock")), "left by the killed service")
        self.ok("set", "tx-power", "70")
        self.assertEqual(self.json_of("get", "tx-power")["stored"], 70)

    def test_a_client_killed_in_the_middle_releases_what_it_held(self):
        if WINDOWS:
            self.skipTest("no service on Windows")
        self.ok("info")
        watcher = subprocess.Popen(self.command(["events", "--seconds", "60"]), stdout=subprocess.PIPE,
                                   stderr=subprocess.PIPE, env=self.env())
        deadline = time.monotonic() + 30
        while self.service()["handles"] < 1 and time.monotonic() < deadline:
            time.sleep(0.02)
        watcher.kill()
        watcher.wait()
        # A raw client that hangs up in the middle of a request, and one that
        # sends what no client sends.
        for sent in (struct.pack("<IBIB", 6, 1, 1, 0) + struct.pack("<IB", 40, 4) + b"\x01\x00",
                     struct.pack("<IB", 0xFFFFFFF0, 1), b"\x05\x00\x00\x00\x07garbage"):
            raw = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
            raw.connect(os.path.join(self.state, "simd.sock"))
            raw.sendall(sent)
            raw.close()
        deadline = time.monotonic() + 30
        while (self.service()["clients"], self.service()["handles"]) != (0, 0) and time.monotonic() < deadline:
            time.sleep(0.02)
        self.assertEqual((self.service()["clients"], self.service()["handles"]), (0, 0))
        self.ok("join", "HalvexOpen")

    def test_a_client_of_another_user_is_refused(self):
        if WINDOWS:
            self.skipTest("no service on Windows")
        runner = shutil.which("setpriv")
        if os.geteuid() != 0 or runner is None:
            self.skipTest("needs root and setpriv to run a client as another user")
        self.ok("info")
        # Let the other user reach the socket: the service itself must refuse.
        os.chmod(self.state, 0o711)
        os.chmod(os.path.join(self.state, "simd.sock"), 0o666)
        r = subprocess.run([runner, "--reuid=65534", "--regid=65534", "--clear-groups"] + self.command(["status"]),
                           capture_output=True, text=True, env=self.env(), timeout=60)
        self.assertEqual(r.returncode, 1, r.stderr)
        self.assertIn("another user", r.stderr)

    def test_a_read_only_state_directory_still_reads(self):
        if WINDOWS:
            self.skipTest("POSIX permissions")
        self.ok("set", "tx-power", "45")
        self.ok("sim", "stop")
        runner = shutil.which("setpriv")
        if os.geteuid() == 0:
            if runner is None:
                self.skipTest("needs setpriv to run as a user that permissions apply to")
            shutil.chown(self.dir, 65534, 65534)
            for root, dirs, files in os.walk(self.dir):
                for name in dirs + files:
                    shutil.chown(os.path.join(root, name), 65534, 65534)
            prefix = [runner, "--reuid=65534", "--regid=65534", "--clear-groups"]
        else:
            prefix = []
        os.chmod(self.state, 0o500)
        get = subprocess.run(prefix + self.command(["--json", "get", "tx-power"]), capture_output=True, text=True,
                             env=self.env(), timeout=60)
        self.assertEqual(get.returncode, 0, get.stderr)
        self.assertEqual(json.loads(get.stdout)["stored"], 45)
        self.assertIn("read-only", get.stderr)
        put = subprocess.run(prefix + self.command(["set", "tx-power", "50"]), capture_output=True, text=True,
                             env=self.env(), timeout=60)
        self.assertEqual(put.returncode, 1)
        os.chmod(self.state, 0o700)


def main():
    global EXE, RUNNER, SIM, WINDOWS
    args = sys.argv[1:]
    EXE = args.pop(0)
    if "--runner" in args:
        i = args.index("--runner")
        RUNNER = [args[i + 1]]
        del args[i:i + 2]
        WINDOWS = True
    if "--sim" in args:
        args.remove("--sim")
        SIM = ["--sim"]
    unittest.main(argv=[sys.argv[0]] + args, verbosity=1)


if __name__ == "__main__":
    main()
