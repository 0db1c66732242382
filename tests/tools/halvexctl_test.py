#!/usr/bin/env python3
"""Drives the built halvexctl as a user would: one process per command, the
simulated adapter's state kept in a scratch directory between them.

  halvexctl_test.py EXE [--runner PROGRAM] [--sim] [--class-key-check]
                        [--docs DIR] [--only NAME,...]

With --runner (win/wine-run.sh) the program runs under Wine; --sim is then
passed to every command, and --class-key-check also proves that the prefix's
network class key is left byte for byte as it was. --docs names the build's
directory of generated completions and man page; --only runs the tests whose
names contain one of the words (the Windows-version-sensitive ones, say)."""

import hashlib
import json
import os
import pty
import re
import select
import shutil
import signal
import stat
import subprocess
import sys
import tempfile
import time
import unittest

EXE = None
RUNNER = []
SIM = []
CLASS_KEY_CHECK = False
WINDOWS = False
DOCS = None
CLASS_KEY = r"HKEY_LOCAL_MACHINE\System\CurrentControlSet\Control\Class\{4D36E972-E325-11CE-BFC1-08002BE10318}"
ADAPTER_KEY = CLASS_KEY + "\\0007"

# The 19 radio parameters: as typed, the set request the driver receives (OID
# and payload), the registry value and the text stored there, and the value
# read back in a new process.
PARAMETERS = [
    ("channel", "11", 0xFF010209, "0B 00 00 00", "Channel", "11", 11),
    ("tx-power", "40", 0xFF01021F, "28 00 00 00", "TxPowerLvl", "40", 40),
    ("power-mode", "max-psp", 0x0D010216, "01 00 00 00", "PowerMode", "1", 1),
    ("preamble", "short", 0xFF010206, "01 00 00 00", "Preamble", "1", 1),
    ("frag-threshold", "1500", 0x0D010209, "DC 05 00 00", "FragThsd", "1500", 1500),
    ("rts-threshold", "500", 0x0D01020A, "F4 01 00 00", "RTSThsd", "500", 500),
    ("data-rate", "22", 0x0D010210, "16 00 00 00 00 00 00 00", "DataRate", "16", 22),
    ("tx-antenna", "aux", 0x0D01020D, "01 00 00 00", "TxAntenna", "1", 1),
    ("rx-antenna", "main", 0x0D01020C, "00 00 00 00", "RxAntenna", "0", 0),
    ("radio", "off", 0xFF010210, "", "RadioOn", "0", 0),
    ("wlan-mode", "g", 0xFF01020A, "01 00 00 00", "Wireless Mode", "1", 1),
    ("boost-mode", "on", 0xFF010215, "01 00 00 00", "BoostMode", "1", 1),
    ("wmm", "off", 0xFF010225, "00 00 00 00", "WMM", "0", 0),
    ("network-mode", "adhoc", 0x0D010108, "00 00 00 00", "NetworkMode", "0", 0),
    ("auth-mode", "wpa2-psk", 0x0D010118, "07 00 00 00", "AuthMode", "7", 7),
    ("encryption", "aes", 0x0D01011B, "06 00 00 00", "WepStatus", "6", 6),
    ("channel-range", "0x1FFF", 0xFF010212, "FF 1F 00 00", "ChannelRange", "1FFF", 0x1FFF),
    ("signal-threshold", "0xFFFFFFF0", 0xFF010213, "F0 FF FF FF", "SignalThsds", "-16", 0xFFFFFFF0),
    ("tx-fail-threshold", "300", 0xFF010214, "2C 01 00 00", "TxFailThsds", "300", 300),
]

# What the driver answers before anything was set.
DEFAULTS = {"channel": 1, "tx-power": 100, "power-mode": 0, "preamble": 2, "frag-threshold": 2346,
            "rts-threshold": 2347, "data-rate": 0, "tx-antenna": 2, "rx-antenna": 2, "radio": 1, "wlan-mode": 2,
            "boost-mode": 0, "wmm": 1, "network-mode": 1, "auth-mode": 0, "encryption": 1, "channel-range": 0x7FF,
            "signal-threshold": 0, "tx-fail-threshold": 0}


def reg_values(text, key=ADAPTER_KEY):
    """The values of one key's section of a .reg text, as written there
    (quoted texts unquoted, other data as its text)."""
    values, inside, pending = {}, False, None
    for raw in text.replace("\r\n", "\n").split("\n"):
        line = raw.strip()
        if pending is not None:
            name, data = pending
            data += line.rstrip("\\")
            pending = (name, data) if line.endswith("\\") else None
            values[name] = data
            continue
        if line.startswith("["):
            inside = line == "[" + key + "]"
            continue
        if not inside or not line.startswith('"'):
            continue
        m = re.match(r'"((?:[^"\\]|\\.)*)"=(.*)$', line)
        name = m.group(1).replace('\\"', '"').replace("\\\\", "\\")
        data = m.group(2)
        if data.startswith('"'):
            data = data[1:-1].replace('\\"', '"').replace("\\\\", "\\")
        elif data.endswith("\\"):
            pending = (name, data.rstrip("\\"))
        values[name] = data.rstrip("\\") if not data.startswith('"') else data
    return values


def terse_fields(line):
    """A -t line split back into its fields: \\: and \\\\ undone, \\xNN kept."""
    fields, field, i = [], "", 0
    while i < len(line):
        c = line[i]
        if c == "\\" and i + 1 < len(line) and line[i + 1] in ":\\":
            field += line[i + 1]
            i += 2
            continue
        if c == ":":
            fields.append(field)
            field = ""
        else:
            field += c
        i += 1
    return fields + [field]


class Base(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="halvexctl-")
        self.state = os.path.join(self.dir, "state")

    def tearDown(self):
        if not WINDOWS:
            self.run_ctl("sim", "stop")
        for root, dirs, _ in os.walk(self.dir):
            for d in dirs:
                os.chmod(os.path.join(root, d), 0o755)
        shutil.rmtree(self.dir, ignore_errors=True)

    def path(self, p):
        return p if not WINDOWS else "Z:" + p.replace("/", "\\")

    def state_arg(self, state=None):
        return ["--state-dir", self.path(state or self.state)]

    def run_ctl(self, *args, stdin=None, timeout=60, env=None, state=None, sim=True):
        cmd = RUNNER + [EXE] + (SIM if sim else []) + self.state_arg(state) + list(args)
        # A machine's service left behind by a failed test ends on its own.
        environment = dict(os.environ, HALVEX_SIM_IDLE="10", **(env or {}))
        return subprocess.run(cmd, input=stdin, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                              timeout=timeout, env=environment, errors="surrogateescape")

    def ok(self, *args, **kw):
        r = self.run_ctl(*args, **kw)
        self.assertEqual(r.returncode, 0, f"{args}: {r.stdout} {r.stderr}")
        return r

    def json_of(self, *args, **kw):
        return json.loads(self.ok("--json", *args, **kw).stdout)

    def registry(self, state=None):
        """The adapter key's values, as an export with its keys writes them."""
        out = os.path.join(self.dir, "registry-%d.reg" % time.monotonic_ns())
        self.ok("registry", "export", "--with-keys", self.path(out), state=state)
        with open(out, encoding="utf-8", errors="surrogateescape") as f:
            return reg_values(f.read())

    def add_access_point(self, point):
        self.ok("info")  # writes the default access points
        path = os.path.join(self.state, "access-points.json")
        with open(path) as f:
            points = json.load(f)
        points["accessPoints"].append(point)
        with open(path, "w") as f:
            json.dump(points, f)


class Usage(Base):
    def test_bad_usage_is_refused_before_anything_is_sent(self):
        cases = [
            ([], "a command is required"),
            (["frobnicate"], "frobnicate"),
            (["join"], "SSID"),
            (["join", "x" * 33], "1 to 32 bytes"),
            (["join", "HalvexWEP", "--wep-key", "abc"], "WEP key"),
            (["join", "HalvexWEP", "--wep-key", "zz" * 5], "WEP key"),
            (["join", "HalvexWEP", "--wep-key", "0123456789", "--key-index", "5"], "key-index"),
            (["join", "HalvexWPA2", "--psk", "1234567"], "8 to 63"),
            (["join", "HalvexWPA2", "--psk", "p" * 64], "64 hex digits"),
            (["join", "HalvexWPA2", "--psk", "0" * 63 + "g"], "64 hex digits"),
            (["join", "HalvexWPA2", "--psk", "12345678", "--wep-key", "abcde"], "excludes"),
            (["join", "HalvexCorp", "--peap", "@CORP", "--password-file", "/nonexistent"], "user name"),
            (["set", "channel", "15"], "15 is outside 1..14"),
            (["set", "channel", "0"], "0 is outside 1..14"),
            (["set", "tx-power", "-5"], "-5 is outside 0..100"),
            (["set", "tx-power", "99999999999999999999"], "99999999999999999999 is outside 0..100"),
            (["set", "tx-power", "abc"], "not a number"),
            (["set", "frag-threshold", "2347"], "outside 256..2346"),
            (["set", "auth-mode", "8"], "8 is outside 0..7"),
            (["set", "preamble", "medium"], "long, short, auto"),
            (["set", "nope", "1"], 'no radio parameter "nope"'),
            (["profile", "add", "x" * 40, "HalvexOpen"], "1 to 39 characters"),
            (["profile", "add", "Lab", "HalvexOpen", "--set", "tx-power=101"], "outside 0..100"),
            (["profile", "add", "Lab", "HalvexOpen", "--set", "volume=3"], 'no radio parameter "volume"'),
            (["registry", "dump", "x.reg"], "subcommand"),
            (["scan", "-f", "ssid,colour"], 'no field "colour"'),
            (["join", "HalvexOpen", "-f", "ssid"], "no listing"),
        ]
        for args, said in cases:
            with self.subTest(args=args):
                r = self.run_ctl(*args)
                self.assertEqual(r.returncode, 2, r.stderr)
                self.assertIn(said, r.stderr)
                self.assertEqual(r.stdout, "")
                self.assertFalse(os.path.exists(self.state), "the state was touched")
                # With --json, before or after the command: one JSON document on stderr.
                for where in (0, len(args)):
                    j = self.run_ctl(*(args[:where] + ["--json"] + args[where:]))
                    self.assertEqual((j.returncode, j.stdout), (2, ""))
                    report = json.loads(j.stderr)
                    self.assertIn(said, report["error"])
                    self.assertTrue(report["usage"])

    def test_a_key_that_does_not_fit_the_network_names_the_one_that_does(self):
        cases = [
            (["join", "HalvexWPA2", "--wep-key", "abcde"], "HalvexWPA2 uses WPA2-PSK: give --psk", "not --wep-key"),
            (["join", "HalvexWEP", "--psk", "12345678"], "HalvexWEP uses WEP: give --wep-key", "not --psk"),
            (["join", "HalvexOpen", "--psk", "12345678"], "HalvexOpen is an open network: give no key",
             "not --psk"),
            (["join", "HalvexCorp", "--psk", "12345678"], "give an 802.1X method: --peap", "not --psk"),
            (["join", "HalvexWPA2"], "HalvexWPA2 uses WPA2-PSK: give --psk", ""),
        ]
        for args, said, given in cases:
            with self.subTest(args=args):
                r = self.run_ctl(*args)
                self.assertEqual(r.returncode, 2, r.stderr)
                self.assertIn(said, r.stderr)
                self.assertIn(given, r.stderr)

    def test_version_and_global_options_after_the_command(self):
        self.assertEqual(self.ok("--version").stdout.strip(), "halvexctl 1.0.0")
        before = self.json_of("scan")
        after = json.loads(self.ok("scan", "--json").stdout)
        self.assertEqual(before, after)
        status = json.loads(self.ok("status", *self.state_arg(), "--json").stdout)
        self.assertFalse(status["connected"])


class Adapter(Base):
    def test_info_reports_the_adapters_identity_and_every_registry_field(self):
        info = self.json_of("info")
        self.assertEqual(info["mac"], "00:1A:2B:3C:4D:5E")
        self.assertEqual(info["description"], "Halvex 802.11g Wireless Adapter")
        self.assertEqual(info["driverVersion"], "2.4.17.0")
        self.assertEqual(info["driverDate"], "11-3-2005")
        self.assertEqual(info["adapterName"], "{5F1C2A3B-7D4E-4A6B-9C8D-0E1F2A3B4C5D}")
        # Under Wine the simulation's registry (and the profile named there) outlives a state directory.
        self.assertEqual(info["profile"] if not RUNNER else "Home", "Home")
        self.assertIsInstance(info["profile"], str)
        self.assertTrue(info["registryKey"].endswith(r"{4D36E972-E325-11CE-BFC1-08002BE10318}\0007"))
        text = self.ok("info").stdout
        self.assertNotIn("unavailable", text)

    def test_registry_export_finds_the_adapters_key(self):
        values = self.registry()
        self.assertEqual((values["DriverVersion"], values["ComponentId"]),
                         ("2.4.17.0", "pci\\ven_f0a3&dev_0e2b&subsys_0e2bf0a3&rev_02"))

    def test_scan_lists_the_networks_strongest_first_with_their_security(self):
        nets = self.json_of("scan")["networks"]
        self.assertEqual([(n["ssid"], n["security"], n["channel"], n["frequencyMhz"], n["signalDbm"], n["bars"])
                          for n in nets], [
            ("HalvexOpen", "open", 6, 2437, -45, 4),
            ("HalvexWEP", "WEP", 3, 2422, -55, 4),
            ("HalvexCorp", "WPA2-EAP", 6, 2437, -60, 3),
            ("HalvexWPA", "WPA-PSK", 1, 2412, -67, 2),
            ("HalvexWPA2", "WPA2-PSK", 11, 2462, -72, 2),
        ])
        self.assertEqual(nets[0]["bssid"], "00:11:22:33:44:01")
        text = self.ok("scan").stdout.splitlines()
        self.assertEqual(text[0].split(), ["SSID", "BSSID", "CH", "FREQ", "SIGNAL", "BARS", "SECURITY"])
        self.assertEqual(text[1].split(),
                         ["HalvexOpen", "00:11:22:33:44:01", "6", "2437", "MHz", "-45", "dBm", "****", "open"])
        one = self.json_of("scan", "--ssid", "HalvexWEP")["networks"]
        self.assertEqual([n["ssid"] for n in one], ["HalvexWEP"])
        self.assertEqual(self.run_ctl("scan", "--ssid", "Nowhere").returncode, 1)

    def test_terse_fields_read_back(self):
        self.add_access_point({"ssid": "Caf\u00e9:Bar\\Baz", "channel": 13, "rssi": -20})
        nets = self.json_of("scan")["networks"]
        lines = self.ok("scan", "-t", "-f", "ssid,bssid,frequency").stdout.splitlines()
        self.assertEqual([terse_fields(line) for line in lines],
                         [[n["ssid"], n["bssid"], "%d MHz" % n["frequencyMhz"]] for n in nets])
        self.assertEqual(terse_fields(lines[0])[0], "Caf\u00e9:Bar\\Baz")
        record = dict(terse_fields(line) for line in self.ok("-t", "status").stdout.splitlines())
        self.assertEqual(record["connection"], "not connected")
        only = self.ok("status", "-t", "-f", "supplicant,connection").stdout.splitlines()
        self.assertEqual(only, ["supplicant:idle (link none, authentication none)", "connection:not connected"])


class Parameters(Base):
    def test_every_parameter_reads_its_default_before_any_set(self):
        got = {p["name"]: p for p in self.json_of("get")["parameters"]}
        self.assertEqual({name: p["value"] for name, p in got.items()}, DEFAULTS)
        self.assertIn("(the adapter's own channel: not associated)", self.ok("get", "channel").stdout)

    def test_every_parameter_is_sent_stored_and_read_back_in_a_new_process(self):
        for name, typed, oid, payload, value_name, stored, value in PARAMETERS:
            with self.subTest(name=name):
                r = self.ok("-v", "set", name, typed)
                sets = [re.match(r"set\s+in\s+\d+\s+out\s+\d+\s+OID 0x([0-9A-F]{8})\s*(.*)$", line)
                        for line in r.stderr.splitlines()]
                sent = [m.group(2).split() for m in sets if m and int(m.group(1), 16) == oid]
                # The payload, then the request's zero padding to a whole word after it.
                self.assertEqual(len(sent), 1)
                self.assertEqual(sent[0][:len(payload.split())], payload.split())
                self.assertEqual(sent[0][len(payload.split()):], ["00"] * 4)
        values = self.registry()
        got = {p["name"]: p for p in self.json_of("get")["parameters"]}
        for name, typed, oid, payload, value_name, stored, value in PARAMETERS:
            with self.subTest(name=name):
                self.assertEqual(values[value_name], stored)
                self.assertEqual((got[name]["value"], got[name]["stored"], got[name]["storedText"]),
                                 (value, value, stored))
        self.assertIn('data-rate = 22 x 500 kbit/s  (stored: 22 x 500 kbit/s, as hexadecimal "16")',
                      self.ok("get", "data-rate").stdout)

    def test_the_channel_says_which_it_shows(self):
        self.ok("set", "channel", "11")
        self.assertEqual(self.ok("get", "channel").stdout,
                         "channel = 11  (the adapter's own channel: not associated)  (stored: 11)\n")
        self.ok("join", "HalvexOpen")
        got = self.json_of("get", "channel")
        self.assertEqual((got["value"], got["shows"], got["ssid"]), (6, "association", "HalvexOpen"))


class Joins(Base):
    def test_a_join_lasts_into_the_next_invocation(self):
        self.assertFalse(self.json_of("status")["connected"])
        joined = self.ok("join", "HalvexOpen")
        self.assertIn("Connected to HalvexOpen", joined.stdout)
        status = self.json_of("status")
        self.assertEqual((status["connected"], status["ssid"], status["bssid"], status["channel"],
                          status["frequencyMhz"], status["signalDbm"]),
                         (True, "HalvexOpen", "00:11:22:33:44:01", 6, 2437, -45))
        self.assertEqual(status["supplicant"]["stateText"], "idle")
        self.ok("disconnect")
        self.assertFalse(self.json_of("status")["connected"])

    def test_a_32_byte_ssid_is_shown_after_the_join(self):
        ssid = "S" * 32
        self.add_access_point({"ssid": ssid, "channel": 1, "rssi": -30})
        self.ok("join", ssid)
        self.assertEqual(self.json_of("status")["ssid"], ssid)

    def test_failures_say_why_and_leave_the_stored_settings_as_they_were(self):
        cases = [
            (["join", "HalvexWEP", "--wep-key", "Kex!!"], "check the WEP key", 1, "HalvexSetSsid"),
            (["join", "Nowhere"], "not in range", 1, "HalvexSetSsid"),
            (["join", "HalvexWPA2", "--psk", "not-the-pass-phrase"], "authentication failed", None, None),
        ]
        self.ok("join", "HalvexOpen")
        before = self.registry()
        for args, said, result, call in cases:
            with self.subTest(args=args):
                r = self.run_ctl("--json", *args)
                self.assertEqual(r.returncode, 1, r.stdout + r.stderr)
                report = json.loads(r.stdout)
                self.assertIn(said, report["error"])
                self.assertEqual((report["result"], report.get("call")), (result, call))
                if result is None:  # what ended it instead: the access point let the station go
                    self.assertEqual((report["event"]["code"], report["event"]["name"]), (0, "disconnected"))
                self.assertEqual(self.registry(), before)
                self.assertEqual(self.json_of("status")["ssid"], "HalvexOpen")
                self.assertIn(said, self.run_ctl(*args).stderr)

    def test_an_8021x_join_shows_the_supplicants_texts_and_reads_the_password_unechoed(self):
        if WINDOWS:
            # The stand-in has no TLS library there: PEAP says so at once.
            r = self.run_ctl("join", "HalvexCorp", "--peap", "alice@CORP", stdin="s3cret\n")
            self.assertEqual(r.returncode, 1)
            self.assertIn("PEAP is unavailable in the stand-in toolkit", r.stderr)
            return
        r = self.ok("--json", "join", "HalvexCorp", "--peap", "alice@CORP", stdin="s3cret\n")
        report = json.loads(r.stdout)
        self.assertEqual((report["connected"], report["portOpen"]), (True, True))
        self.assertEqual(report["statusTexts"][:4],
                         ["Start Authentication", "[Link]: Authenticating", "Validate server certificate",
                          "[Auth]: Authenticated"])
        self.assertNotIn("s3cret", r.stdout + r.stderr)
        wrong = self.run_ctl("join", "HalvexCorp", "--peap", "alice@CORP", stdin="wrong\n")
        self.assertEqual(wrong.returncode, 1)
        self.assertIn("authentication failed (check the credentials)", wrong.stderr)

    def test_every_8021x_method_of_the_default_network_and_the_server_check(self):
        if WINDOWS:
            self.skipTest("the simulated access points have no RADIUS server in the Windows build")
        self.ok("info")  # the built-in server's certificates are made on the first run
        users = os.path.join(self.state, "radius", "users")
        cases = [
            ["--peap", "alice", "--inner", "gtc"],
            ["--peap", "alice", "--inner", "mschapv2"],
            ["--ttls", "bob", "--inner", "pap"],
            ["--ttls", "bob", "--anonymous", "anonymous"],
            ["--leap", "alice@CORP"],
            ["--tls", "alice", "--cert", os.path.join(users, "alice.pem"), "--key", os.path.join(users, "alice.key")],
        ]
        passwords = {"alice": "s3cret\n", "alice@CORP": "s3cret\n", "bob": "bob-pass-2\n"}
        for args in cases:
            with self.subTest(args=args):
                report = self.json_of("join", "HalvexCorp", *args, stdin=passwords.get(args[1]))
                self.assertEqual((report["connected"], report["portOpen"]), (True, True))
        # A CA the server's certificate does not chain to: said in words.
        ca = os.path.join(self.dir, "other-ca.pem")
        shutil.copy(os.path.join(users, "bob.pem"), ca)
        r = self.run_ctl("join", "HalvexCorp", "--peap", "alice", "--ca", ca, stdin="s3cret\n")
        self.assertEqual(r.returncode, 1)
        self.assertIn("authentication failed: the server's certificate was not accepted", r.stderr)
        # A key that is not the certificate's: said before anything is sent.
        r = self.run_ctl("join", "HalvexCorp", "--tls", "alice", "--cert", os.path.join(users, "alice.pem"),
                         "--key", os.path.join(users, "bob.key"))
        self.assertEqual(r.returncode, 1)
        self.assertIn("bob.key: does not belong to the certificate", r.stderr)
        # Usage: the options that go together.
        for args, said in [(["--tls", "alice"], "--cert"), (["--ttls", "bob", "--inner", "gtc"], "does not go with"),
                           (["--psk", "halvex-wpa2-pass", "--ca", ca], "--ca goes with")]:
            with self.subTest(args=args):
                r = self.run_ctl("join", "HalvexCorp", *args, stdin="x\n")
                self.assertEqual(r.returncode, 2, r.stderr)
                self.assertIn(said, r.stderr)

    def test_a_wpa_tkip_join_runs_both_handshakes_and_tshark_reads_them(self):
        capture = os.path.join(self.dir, "tkip.pcap")
        r = self.run_ctl("--json", "--capture", capture if not WINDOWS else "Z:" + capture.replace("/", "\\"),
                         "join", "HalvexWPA", "--psk", "halvex-wpa-pass")
        report = json.loads(r.stdout)
        if WINDOWS and r.returncode == 1 and "TKIP needs RC4" in report.get("error", ""):
            self.skipTest("this Windows offers no RC4 in CNG: TKIP is refused, and says so")
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual((report["connected"], report["portOpen"], report["security"]), (True, True, "WPA-PSK"))
        if WINDOWS or shutil.which("tshark") is None:
            return
        fields = subprocess.run(["tshark", "-r", capture, "-T", "fields", "-e", "wlan_rsna_eapol.keydes.msgnr",
                                 "-e", "wlan_rsna_eapol.keydes.key_info", "-e", "eapol.keydes.type", "-e", "_ws.col.Info"],
                                stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True).stdout
        self.assertEqual(fields.splitlines(),
                         ["1\t0x0089\t254\tKey (Message 1 of 4)", "2\t0x0109\t254\tKey (Message 2 of 4)",
                          "3\t0x01c9\t254\tKey (Message 3 of 4)", "4\t0x0109\t254\tKey (Message 4 of 4)",
                          "1\t0x0391\t254\tKey (Group Message 1 of 2)",
                          "2\t0x0311\t254\tKey (Group Message 2 of 2)"])

    def test_a_hidden_wpa2_psk_network_is_joined_by_name(self):
        os.makedirs(self.state, exist_ok=True)
        with open(os.path.join(self.state, "access-points.json"), "w") as f:
            json.dump({"accessPoints": [{"ssid": "HalvexHidden", "security": "wpa2-psk", "hidden": True,
                                         "passphrase": "hidden-pass-phrase"}]}, f)
        self.assertNotIn("HalvexHidden", self.ok("scan").stdout)
        report = self.json_of("join", "HalvexHidden", "--psk", "hidden-pass-phrase")
        self.assertEqual((report["connected"], report["portOpen"]), (True, True))

    def test_a_wpa2_psk_join_takes_the_key_as_given_and_captures_it(self):
        pmk = hashlib.pbkdf2_hmac("sha1", b"halvex-wpa2-pass", b"HalvexWPA2", 4096, 32).hex()
        psk_file = os.path.join(self.dir, "psk")
        with open(psk_file, "w") as f:
            f.write("halvex-wpa2-pass\n")
        capture = os.path.join(self.dir, "join.pcap")
        ways = [(["--psk", pmk], None), (["--psk-file", self.path(psk_file)], None),
                (["--psk", "-"], "halvex-wpa2-pass\n")]
        for way, stdin in ways:
            with self.subTest(way=way[0]):
                # The global options after the command's own.
                report = json.loads(self.ok("join", "HalvexWPA2", *way, "--capture", self.path(capture), "--json",
                                            stdin=stdin).stdout)
                self.assertEqual((report["connected"], report["portOpen"], report["security"]),
                                 (True, True, "WPA2-PSK"))
                with open(capture, "rb") as f:
                    pcap = f.read()
                # pcap magic, version 2.4, Ethernet link type; then four EAPOL frames (EtherType 88 8E).
                self.assertEqual(pcap[:6], bytes([0xD4, 0xC3, 0xB2, 0xA1, 0x02, 0x00]))
                self.assertEqual(pcap[20:24], bytes([1, 0, 0, 0]))
                keys = pcap.count(bytes([0x88, 0x8E, 0x01, 0x03])) + pcap.count(bytes([0x88, 0x8E, 0x02, 0x03]))
                self.assertEqual(keys, 4)

    def test_json_failures_carry_their_result(self):
        cases = [
            (["join", "Nowhere"], 1),
            (["registry", "import", "nonexistent-adapter.reg"], None),
            (["profile", "show", "Nowhere"], None),
            (["profile", "up", "Nowhere"], None),
            (["profile", "snapshot"], None),
            (["scan", "--ssid", "Nowhere"], None),
        ]
        for args, result in cases:
            with self.subTest(args=args):
                r = self.run_ctl("--json", *args)
                self.assertEqual(r.returncode, 1)
                report = json.loads(r.stdout)
                self.assertTrue(report["error"])
                self.assertEqual(report["result"], result)


class Interrupts(Base):
    def setUp(self):
        super().setUp()
        if RUNNER:
            self.skipTest("POSIX signals")

    def test_an_interrupted_join_leaves_the_registry_as_before_or_as_joined(self):
        psk = ["HalvexWPA2", "--psk", "halvex-wpa2-pass"]
        wrong = ["HalvexWPA2", "--psk", "not-the-pass-phrase"]
        wep = ["HalvexWEP", "--wep-key", "Key!!"]
        # Where the signal comes, which, the join, the exit code, and whether it stands.
        cases = [
            ("scan", psk, 130, False),
            ("before-request", psk, 130, False),
            ("association", psk, 130, False),
            ("handshake:TERM", wrong, 143, False),
            ("handshake", psk, None, None),
            ("association", wep, 130, True),
        ]
        for point, join, code, stands in cases:
            with self.subTest(point=point, ssid=join[0]):
                shutil.rmtree(self.dir + "/state", ignore_errors=True)
                shutil.rmtree(self.dir + "/joined", ignore_errors=True)
                self.ok("join", "HalvexOpen")
                before = self.registry()
                joined = None
                if stands is not False:
                    self.ok("join", "HalvexOpen", state=self.dir + "/joined")
                    self.ok("join", *join, state=self.dir + "/joined")
                    joined = self.registry(state=self.dir + "/joined")
                r = self.run_ctl("join", *join, env={"HALVEXCTL_SIGNAL_AT": point})
                if code is not None:
                    self.assertEqual(r.returncode, code, r.stderr)
                self.assertIn("interrupted (SIG", r.stderr)
                after = self.registry()
                ssid = self.json_of("status")["ssid"]
                if stands is None:  # the handshake may finish first
                    stands = after == joined
                self.assertEqual(after, joined if stands else before)
                self.assertEqual(ssid, join[0] if stands else "HalvexOpen")

    def test_ctrl_c_from_outside_during_a_join(self):
        self.ok("join", "HalvexOpen")
        before = self.registry()
        proc = subprocess.Popen([EXE] + self.state_arg() + ["join", "HalvexWPA2", "--psk", "halvex-wpa2-pass"],
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        self.assertEqual(proc.stdout.readline(), "Joining HalvexWPA2\n")
        proc.send_signal(signal.SIGINT)
        out, err = proc.communicate(timeout=60)
        after = self.registry()
        self.assertIn(proc.returncode, (0, 130))
        if proc.returncode == 130:
            self.assertIn("interrupted (SIGINT)", err)
        self.assertTrue(after == before or after["DesiredSSID"] == "HalvexWPA2", after)

    def test_scan_and_events_end_at_an_interrupt(self):
        cases = [(["scan"], "scan", 130), (["events"], "events", 130), (["events", "--trace", "2"], "events:TERM", 143)]
        for args, point, code in cases:
            with self.subTest(args=args):
                r = self.run_ctl(*args, env={"HALVEXCTL_SIGNAL_AT": point}, timeout=30)
                self.assertEqual(r.returncode, code)
                self.assertIn("interrupted", r.stderr)


class Profiles(Base):
    def test_profiles_keep_their_secrets(self):
        self.ok("profile", "add", "Office", "HalvexWPA2", "--psk", "halvex-wpa2-pass", "--set", "tx-power=40",
                "--set", "preamble=short")
        self.ok("profile", "add", "Corp", "HalvexCorp", "--peap", "alice@CORP", stdin="s3cret\n")
        self.ok("profile", "add", "Lab", "HalvexWEP", "--wep-key", "4B65792121")
        self.assertEqual(self.run_ctl("profile", "add", "Lab", "HalvexOpen").returncode, 1)
        path = os.path.join(self.state, "profiles.json")
        if not RUNNER:  # Windows keeps a profile's files its user's by their ACL
            self.assertEqual(stat.S_IMODE(os.stat(path).st_mode), 0o600)
        secrets = ["halvex-wpa2-pass", "s3cret", "Key!!", "4B65792121"]
        shown = [self.ok("profile", "list"), self.ok("--json", "profile", "list"), self.ok("-t", "profile")]
        for name in ("Office", "Corp", "Lab"):
            shown += [self.ok("profile", "show", name), self.ok("--json", "profile", "show", name)]
        for r in shown:
            for secret in secrets:
                self.assertNotIn(secret, r.stdout + r.stderr)
        listing = [terse_fields(line) for line in self.ok("profile", "list", "-t").stdout.splitlines()]
        self.assertEqual([row[:2] for row in listing], [["Office", "HalvexWPA2"], ["Corp", "HalvexCorp"],
                                                        ["Lab", "HalvexWEP"]])
        revealed = self.json_of("profile", "show", "Office", "--show-secrets")["profile"]
        self.assertEqual((revealed["network"]["psk"], revealed["settings"]), ("halvex-wpa2-pass",
                                                                             {"preamble": 1, "tx-power": 40}))
        self.assertRegex(self.ok("profile", "show", "Corp", "--show-secrets").stdout, r"\nPassword: +s3cret\n")

        up = self.json_of("profile", "up", "Office")
        self.assertEqual((up["connected"], up["profile"]), (True, "Office"))
        self.assertEqual(self.json_of("get", "tx-power")["stored"], 40)
        self.assertEqual(self.json_of("info")["profile"], "Office")
        self.assertTrue(self.json_of("profile", "up", "Lab")["connected"])
        if WINDOWS:  # no TLS in the stand-in there
            self.assertIn("PEAP is unavailable", self.run_ctl("profile", "up", "Corp").stderr)
        else:
            self.assertTrue(self.json_of("profile", "up", "Corp")["connected"])
        self.ok("profile", "delete", "Office")
        self.assertEqual([p["name"] for p in self.json_of("profile", "list")["profiles"]], ["Corp", "Lab"])
        self.assertEqual(self.run_ctl("profile", "up", "Office").returncode, 1)

    def test_a_failed_profile_puts_its_settings_back(self):
        self.ok("profile", "add", "Bad", "HalvexWPA2", "--psk", "not-the-pass-phrase", "--set", "tx-power=20")
        before = self.registry()
        r = self.run_ctl("profile", "up", "Bad")
        self.assertEqual(r.returncode, 1)
        self.assertIn("tx-power back to 100%", r.stderr)
        self.assertEqual(self.registry(), before)
        self.assertEqual(self.json_of("get", "tx-power")["value"], 100)

    def test_the_snapshot_of_the_last_join_and_its_revert(self):
        self.assertIn("no connection snapshot yet", self.run_ctl("profile", "snapshot").stderr)
        self.ok("join", "HalvexWEP", "--wep-key", "Key!!")
        path = os.path.join(self.state, "connection-snapshot.json")
        if not RUNNER:
            self.assertEqual(stat.S_IMODE(os.stat(path).st_mode), 0o600)
        snapshot = self.json_of("profile", "snapshot")["snapshot"]
        self.assertEqual((snapshot["ssid"], snapshot["authMode"], snapshot["wepStatus"], snapshot["wepKey1"]),
                         ("HalvexWEP", 0, 0, "(hidden)"))
        self.assertEqual(self.json_of("profile", "snapshot", "--show-secrets")["snapshot"]["wepKey1"], "4B65792121")
        self.assertNotIn("4B65792121", self.ok("profile", "snapshot").stdout)
        self.ok("set", "auth-mode", "shared")
        self.assertEqual(self.registry()["AuthMode"], "1")
        self.ok("profile", "revert")
        values = self.registry()
        self.assertEqual((values["AuthMode"], values["WepStatus"], values["DesiredSSID"], values["WepKey1"]),
                         ("0", "0", "HalvexWEP", "Key!!"))
        self.assertIn("the stored settings of the last successful join", self.ok("profile", "--help").stdout)


class Registry(Base):
    def test_export_leaves_the_keys_out_unless_asked(self):
        self.ok("join", "HalvexWEP", "--wep-key", "Key!!")
        plain, keyed = os.path.join(self.dir, "plain.reg"), os.path.join(self.dir, "keyed.reg")
        report = self.json_of("registry", "export", self.path(plain))
        # The one slot the join filled (under Wine, earlier tests' slots too).
        self.assertEqual(report["keysOmitted"], 1 if not RUNNER else max(1, report["keysOmitted"]))
        said = self.ok("registry", "export", "--with-keys", self.path(keyed)).stdout
        self.assertIn("(with its WEP keys: readable by you alone)", said)
        said = self.ok("registry", "export", self.path(plain)).stdout
        self.assertIn("(the WEP keys left out: --with-keys keeps them)", said)
        with open(plain, encoding="utf-8") as f:
            text = f.read()
        self.assertNotIn('"WepKey1"', text)
        self.assertNotIn("Key!!", text)
        self.assertIn('"WepKeySize"="5"', text)
        with open(keyed, encoding="utf-8") as f:
            self.assertEqual(reg_values(f.read())["WepKey1"], "Key!!")
        if not RUNNER:
            self.assertEqual(stat.S_IMODE(os.stat(keyed).st_mode), 0o600)

    def test_import_touches_the_adapters_keys_only(self):
        header = "Windows Registry Editor Version 5.00\r\n\r\n"
        evil = os.path.join(self.dir, "evil.reg")
        with open(evil, "w", encoding="utf-8") as f:
            f.write(header + "[HKEY_LOCAL_MACHINE\\Software\\Evil]\r\n\"Owned\"=\"yes\"\r\n\r\n"
                    "[-HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\WZCSVC]\r\n\r\n"
                    "[" + ADAPTER_KEY + "]\r\n\"TxPowerLvl\"=\"33\"\r\n")
        before = self.registry()
        r = self.run_ctl("--json", "registry", "import", self.path(evil))
        self.assertEqual(r.returncode, 1)
        self.assertEqual(json.loads(r.stdout)["foreignKeys"],
                         ["HKEY_LOCAL_MACHINE\\Software\\Evil", "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\WZCSVC"])
        self.assertEqual(self.registry(), before)
        if not RUNNER:
            self.ok("sim", "stop")  # the machine folds its journal into the file as it ends
            with open(os.path.join(self.state, "registry.reg"), encoding="utf-8", errors="replace") as f:
                hive = f.read()
            self.assertNotIn("Evil", hive)
            self.assertIn("WZCSVC", hive)

    def test_import_says_what_it_would_change_and_stores_numbers_as_the_library_reads_them(self):
        self.ok("set", "tx-power", "40")
        self.ok("set", "data-rate", "0")
        # Under Wine the simulation's registry outlives a test's state directory.
        note = "Note%d" % time.monotonic_ns()
        change = os.path.join(self.dir, "change.reg")
        with open(change, "w", encoding="utf-8") as f:
            f.write("REGEDIT4\n\n[" + ADAPTER_KEY + "]\n\"TxPowerLvl\"=dword:00000021\n\"DataRate\"=dword:00000016\n"
                    "\"" + note + "\"=\"hello\"\n")
        dry = self.ok("registry", "import", "--dry-run", self.path(change)).stdout
        self.assertIn('would change ' + ADAPTER_KEY + ' "TxPowerLvl" from "40" to "33"', dry)
        self.assertIn('would change ' + ADAPTER_KEY + ' "DataRate" from "0" to "16"', dry)
        self.assertIn('would add ' + ADAPTER_KEY + ' "' + note + '" to "hello"', dry)
        self.assertNotIn(note, self.registry())
        self.assertFalse(self.json_of("registry", "import", "--dry-run", self.path(change))["applied"])
        self.assertTrue(self.json_of("registry", "import", self.path(change))["applied"])
        values = self.registry()
        self.assertEqual((values["TxPowerLvl"], values["DataRate"], values[note]), ("33", "16", "hello"))
        got = self.json_of("get", "tx-power")
        self.assertEqual((got["value"], got["stored"]), (40, 33))
        self.assertEqual(self.json_of("get", "data-rate")["stored"], 22)

    def test_without_sim_on_windows_the_machines_registry_needs_system(self):
        if not WINDOWS:
            self.skipTest("the registry is the simulation's off Windows")
        r = self.run_ctl("registry", "export", self.path(os.path.join(self.dir, "x.reg")), sim=False)
        self.assertEqual(r.returncode, 2)
        self.assertIn("--system", r.stderr)


class Terminal(Base):
    def test_control_characters_from_outside_are_escaped_on_every_stream(self):
        ssid = "Evil\x1b[31mRED\nX"
        self.add_access_point({"ssid": ssid, "channel": 9, "rssi": -30})
        runs = [self.ok("scan"), self.ok("scan", "-t"), self.ok("--json", "scan"), self.ok("join", ssid),
                self.ok("status"), self.ok("--json", "status"), self.run_ctl("join", ssid + "Y"),
                self.run_ctl("--json", "join", ssid + "Y"), self.run_ctl("profile", "add", "P", ssid + "\x07"),
                self.ok("profile", "list"), self.run_ctl("registry", "import", self.path(self.dir + "/\x1b.reg"))]
        for r in runs:
            for stream in (r.stdout, r.stderr):
                self.assertNotIn("\x1b", stream)
                self.assertNotIn("RED\nX", stream)
                self.assertNotIn("\x07", stream)
        self.assertIn("Evil\\x1B[31mRED\\x0AX", runs[0].stdout)
        self.assertIn("Evil\\x1B[31mRED\\x0AXY", runs[6].stderr)
        self.assertEqual(json.loads(runs[5].stdout)["ssid"], ssid)

    def test_progress_is_drawn_on_a_terminal_only(self):
        if RUNNER:
            self.skipTest("needs a native pseudo-terminal")
        master, slave = pty.openpty()
        proc = subprocess.Popen([EXE] + self.state_arg() + ["scan"], stdout=slave, stderr=slave)
        os.close(slave)
        seen = b""
        while True:
            ready, _, _ = select.select([master], [], [], 30)
            if not ready:
                break
            try:
                chunk = os.read(master, 4096)
            except OSError:
                break
            if not chunk:
                break
            seen += chunk
        proc.wait(30)
        os.close(master)
        self.assertEqual(proc.returncode, 0)
        self.assertIn(b"\rScanning ", seen)
        self.assertIn(b"HalvexOpen", seen)
        piped = self.ok("scan").stdout + self.ok("--json", "scan").stdout
        self.assertNotIn("Scanning", piped)
        self.assertNotIn("\r", piped)

    def test_watch_as_a_person_sees_it(self):
        if RUNNER or shutil.which("tmux") is None:
            self.skipTest("needs tmux and a native terminal")
        self.ok("join", "HalvexOpen")
        session = "halvexctl-watch-%d" % os.getpid()
        socket = os.path.join(self.dir, "tmux")
        tmux = ["tmux", "-S", socket]
        command = " ".join([EXE] + self.state_arg() + ["watch", "--interval", "0.1"]) + "; echo EXIT=$?"
        subprocess.run(tmux + ["new-session", "-d", "-s", session, "-x", "100", "-y", "30",
                               "env LANG=C.UTF-8 bash -c '" + command + "; exec sleep 600'"], check=True)
        try:
            def screen():
                return subprocess.run(tmux + ["capture-pane", "-p", "-t", session], stdout=subprocess.PIPE,
                                      text=True).stdout

            def until(condition, what):
                deadline = time.monotonic() + 30
                while time.monotonic() < deadline:
                    text = screen()
                    if condition(text):
                        return text
                    select.select([], [], [], 0.05)
                self.fail(what + ":\n" + screen())

            # -45 dBm is the seventh of eight steps.
            shown = until(lambda t: re.search("Last minute: +\u2587", t), "the sparkline")
            self.assertIn("Signal:      -45 dBm  ****", shown)
            self.assertIn("SSID:        HalvexOpen", shown)
            self.assertIn("Channel:     6 (2437 MHz)", shown)
            self.assertIn("Supplicant:  idle", shown)
            self.assertEqual(subprocess.run(tmux + ["display", "-p", "-t", session, "#{alternate_on}"],
                                            stdout=subprocess.PIPE, text=True).stdout.strip(), "1")
            # A join another process makes is the one the view shows. Without the
            # service the view holds the machine itself and no other process may join.
            if not os.environ.get("HALVEX_SIM_IN_PROCESS"):
                self.ok("join", "HalvexWEP", "--wep-key", "Key!!")
                shown = until(lambda t: "SSID:        HalvexWEP" in t, "the other process's join")
                self.assertIn("connected", shown)
            subprocess.run(tmux + ["send-keys", "-t", session, "C-c"], check=True)
            after = until(lambda t: "EXIT=" in t, "the end")
            self.assertIn("EXIT=130", after)
            self.assertNotIn("Last minute:", after)
            state = subprocess.run(tmux + ["display", "-p", "-t", session, "#{alternate_on} #{cursor_flag}"],
                                   stdout=subprocess.PIPE, text=True).stdout.split()
            self.assertEqual(state, ["0", "1"])  # the normal screen, the cursor shown
        finally:
            subprocess.run(tmux + ["kill-server"], stderr=subprocess.DEVNULL)

    def test_watch_in_a_pipe_is_timestamped_lines(self):
        self.ok("join", "HalvexOpen")
        lines = self.ok("watch", "--count", "2", "--interval", "0.05").stdout.splitlines()
        self.assertEqual(len(lines), 2)
        for line in lines:
            self.assertRegex(line, r"^\d\d:\d\d:\d\d  connected  HalvexOpen 00:11:22:33:44:01 ch 6  -45 dBm \*\*\*\*  "
                                   r"54 Mbit/s  supplicant idle$")
        readings = [json.loads(line) for line in self.ok("--json", "watch", "--count", "2").stdout.splitlines()]
        self.assertEqual([r["signalDbm"] for r in readings], [-45, -45])
        self.assertRegex(self.ok("watch", "--help").stdout, r"--interval FLOAT:FLOAT in \[0\.05 - 60\]=1\n")


class Generated(Base):
    COMMANDS = {"": ["info", "status", "scan", "join", "disconnect", "get", "set", "stats", "events", "watch",
                     "profile", "registry", "sim", "demo"],
                "profile": ["list", "show", "add", "delete", "up", "snapshot", "revert"],
                "registry": ["export", "import"],
                "sim": ["status", "stop", "restart"]}

    def setUp(self):
        super().setUp()
        if RUNNER or DOCS is None:
            self.skipTest("the native build's generated files")

    def paths(self):
        return [[]] + [[c] for c in self.COMMANDS[""]] + [[g, c] for g in ("profile", "registry", "sim")
                                                            for c in self.COMMANDS[g]]

    def options(self, path):
        """Every option the parser's help lists for the command."""
        text = self.ok(*path, "--help").stdout
        return set(re.findall(r"(?:^|,)(--?[a-z][a-z0-9-]*)", "\n".join(
            line.split()[0] for line in text.splitlines() if line.startswith("  -"))))

    def test_bash_completion_offers_every_command_and_option(self):
        script = os.path.join(DOCS, "halvexctl.bash")
        for path in self.paths():
            with self.subTest(path=path):
                words = " ".join(["halvexctl"] + path + ["''"])
                r = subprocess.run(["bash", "-c", "source '%s'; COMP_WORDS=(%s); COMP_CWORD=%d; _halvexctl; "
                                    "printf '%%s\\n' \"${COMPREPLY[@]}\"" % (script, words, len(path) + 1)],
                                   stdout=subprocess.PIPE, text=True, check=True)
                offered = set(r.stdout.split())
                wanted = self.options(path) | set(self.COMMANDS.get(" ".join(path), []))
                wanted -= {"-h", "--help", "--help-all", "--version"} if path else {"-h"}
                self.assertEqual(wanted - offered, set())
        r = subprocess.run(["bash", "-c", "source '%s'; COMP_WORDS=(halvexctl --state-dir ''); COMP_CWORD=2; "
                            "_halvexctl; echo ${#COMPREPLY[@]}" % script], stdout=subprocess.PIPE, text=True)
        self.assertNotIn("info", r.stdout)  # a value is asked for there, not a command

    def test_zsh_completion_offers_every_command_and_option(self):
        if shutil.which("zsh") is None:
            self.skipTest("zsh")
        script = os.path.join(DOCS, "halvexctl.zsh")
        for path in self.paths():
            with self.subTest(path=path):
                words = " ".join(["halvexctl"] + path + ["''"])
                r = subprocess.run(["zsh", "-f", "-c",
                                    "_describe() { print -l -- ${(P)${@[-1]}}; }; _files() { :; }; "
                                    "words=(%s); CURRENT=%d; source '%s'" % (words, len(path) + 2, script)],
                                   stdout=subprocess.PIPE, text=True, check=True)
                offered = {line.split(":")[0].replace("\\", "") for line in r.stdout.splitlines()}
                wanted = self.options(path) | set(self.COMMANDS.get(" ".join(path), []))
                wanted -= {"-h", "--help", "--help-all", "--version"} if path else {"-h"}
                self.assertEqual(wanted - offered, set())

    def test_the_man_page_renders(self):
        page = os.path.join(DOCS, "halvexctl.1")
        if not os.path.exists(page):
            self.skipTest("no help2man at build time")
        r = subprocess.run(["man", "-l", page], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                           env=dict(os.environ, MANWIDTH="100", MANPAGER="cat", PAGER="cat"))
        self.assertEqual(r.returncode, 0, r.stderr)
        text = re.sub(".\b", "", r.stdout)
        for word in ["HALVEXCTL", "--show-secrets", "--with-keys", "--dry-run", "profile", "snapshot", "tx-power"]:
            self.assertIn(word, text)


class State(Base):
    def test_damaged_state_files_are_reported_and_kept_aside(self):
        self.ok("join", "HalvexOpen")
        files = [("world.json", "{not json"), ("access-points.json", '{"accessPoints": [{"ssid": ""}]}'),
                 ("profiles.json", "{")]
        if not WINDOWS:  # on Windows the registry is a sandbox key, not a file
            files.append(("registry.reg", "REGEDIT4\n[garbage\n"))
        for name, garbage in files:
            with self.subTest(file=name):
                if not WINDOWS:  # the running machine holds the files: damage them between runs
                    self.ok("sim", "stop")
                with open(os.path.join(self.state, name), "w") as f:
                    f.write(garbage)
                if name == "profiles.json":
                    r = self.run_ctl("profile", "list")
                    self.assertEqual(r.returncode, 1)
                    self.assertIn("not a profile list", r.stderr)
                    continue
                r = self.ok("status")
                self.assertIn(name, r.stderr)
                self.assertIn("kept as", r.stderr)
                kept = [f for f in os.listdir(self.state) if f.startswith(name + ".damaged-")]
                self.assertEqual(len(kept), 1)
                with open(os.path.join(self.state, kept[0])) as f:
                    self.assertEqual(f.read(), garbage)

    def test_a_fifo_or_a_link_is_refused_without_blocking(self):
        if RUNNER:
            self.skipTest("FIFOs are a POSIX matter")
        for name in ["access-points.json", "registry.reg"]:
            with self.subTest(file=name):
                shutil.rmtree(self.state, ignore_errors=True)
                os.makedirs(self.state)
                os.mkfifo(os.path.join(self.state, name))
                r = self.run_ctl("status", timeout=20)
                self.assertEqual(r.returncode, 1)
                self.assertIn(name, r.stderr)
                self.assertIn("regular file", r.stderr)
        shutil.rmtree(self.state, ignore_errors=True)
        os.makedirs(self.state)
        target = os.path.join(self.dir, "elsewhere.json")
        with open(target, "w") as f:
            f.write('{"profiles": []}')
        os.symlink(target, os.path.join(self.state, "profiles.json"))
        for args in (["profile", "list"], ["profile", "add", "Lab", "HalvexOpen"]):
            r = self.run_ctl(*args)
            self.assertEqual(r.returncode, 1)
            self.assertIn("a symbolic link, not followed", r.stderr)
        with open(target) as f:
            self.assertEqual(f.read(), '{"profiles": []}')

    def test_a_save_that_fails_is_an_error(self):
        self.ok("info")
        # Where the state would be saved there is now a directory.
        os.remove(os.path.join(self.state, "world.json"))
        os.makedirs(os.path.join(self.state, "world.json", "x"))
        r = self.run_ctl("join", "HalvexOpen")
        self.assertEqual(r.returncode, 1)
        # Found at the save by a machine that has been running, at the load by one started now.
        self.assertRegex(r.stderr, "world.json: (cannot be saved|not a regular file)")

    def test_a_read_only_state_directory_fails_the_save(self):
        if RUNNER or os.geteuid() == 0:
            self.skipTest("needs a user that permissions apply to")
        self.ok("info")
        os.chmod(self.state, 0o555)
        r = self.run_ctl("set", "tx-power", "50")
        self.assertEqual(r.returncode, 1)

    def test_demo_walks_through(self):
        quiet = self.ok("events", "--seconds", "1")
        self.assertEqual(quiet.stdout, "")
        r = self.run_ctl("demo")
        joined = ["Connected to HalvexOpen", "Connected to HalvexWEP", "Disconnected"]
        if WINDOWS:
            # No TLS in the stand-in there: the PEAP step fails, and says why.
            self.assertEqual(r.returncode, 1)
            self.assertIn("PEAP is unavailable in the stand-in toolkit", r.stderr)
        else:
            self.assertEqual(r.returncode, 0, r.stderr)
            joined.append("Connected to HalvexCorp")
        for said in joined:
            self.assertIn(said, r.stdout)
        # The snapshot the last join left, shown by the demo's own step.
        last = "HalvexWEP" if WINDOWS else "HalvexCorp"
        self.assertRegex(r.stdout, r"== Connection snapshot ==\n(.*\n)*SSID: +%s\n" % last)


def reg(*args):
    return subprocess.run(RUNNER + ["reg"] + list(args), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


# An adapter of the machine's own, in the very subkey the simulated adapter's
# setup uses: the simulation must leave it (and the whole class key) alone.
OWN_ADAPTER = [("ComponentId", "pci\\ven_8086&dev_4220"), ("DriverVersion", "9.0.0.0"),
               ("NetCfgInstanceId", "{11111111-2222-3333-4444-555555555555}")]


def class_key():
    out = os.path.join(tempfile.mkdtemp(), "class.reg")
    if reg("export", CLASS_KEY, "Z:" + out.replace("/", "\\"), "/y").returncode != 0:
        return None
    with open(out, "rb") as f:
        return f.read()


if __name__ == "__main__":
    args = sys.argv[1:]
    EXE = args.pop(0)
    only = []
    while args:
        a = args.pop(0)
        if a == "--runner":
            RUNNER = [args.pop(0)]
            WINDOWS = True
        elif a == "--sim":
            SIM = ["--sim"]
        elif a == "--class-key-check":
            CLASS_KEY_CHECK = True
        elif a == "--docs":
            DOCS = args.pop(0)
        elif a == "--only":
            only = args.pop(0).split(",")
    if CLASS_KEY_CHECK:
        for name, data in OWN_ADAPTER:
            reg("add", CLASS_KEY + "\\0007", "/v", name, "/d", data, "/f")
    before = class_key() if CLASS_KEY_CHECK else None
    if CLASS_KEY_CHECK and before is None:
        print("FAIL: the network class key cannot be read")
        sys.exit(1)
    suite = unittest.TestLoader().loadTestsFromModule(sys.modules[__name__])
    if only:
        def chosen(tests):
            for t in tests:
                if isinstance(t, unittest.TestSuite):
                    yield from chosen(t)
                elif any(word in t.id() for word in only):
                    yield t
        suite = unittest.TestSuite(chosen(suite))
    result = unittest.TextTestRunner(verbosity=1).run(suite)
    if CLASS_KEY_CHECK:
        after = class_key()
        reg("delete", CLASS_KEY + "\\0007", "/f")
        if before != after:
            print("FAIL: the network class key changed")
            sys.exit(1)
        print("ok: the network class key is byte for byte as it was")
    sys.exit(0 if result.wasSuccessful() and result.testsRun > 0 else 1)
