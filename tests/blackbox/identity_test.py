# labels: concurrency
"""The camera's identity in the status document through real peers (peers.py), the
system serial number and the interfaces of the test's own network namespace."""
import base64
import socket
import subprocess
import time
import unittest
from concurrent.futures import ThreadPoolExecutor

import harness as h
from harness import NO_BUS, WARNING
from peers import DeviceInfo, SystemBus

PASSWORD = "Pw-7f3e:x9Qz"  # with a colon: only the first one ends the user name
KEYS = ("serialNumber", "deviceModel", "axisOsVersion", "chip", "architecture")
# The first key of each field wins over the later ones.
FIELDS = ('"SerialNumber":"ACCC8E0A1B2C","ProdFullName":"Box Camera Q1","Version":"11.9.60","Soc":"Artpec-8",'
          '"Architecture":"armv7hf","serialNumber":"000000000001","ProdShortName":"Q1","FirmwareVersion":"10.0",'
          '"SoC":"other","architecture":"other"')
ANSWER = '{"data":{"propertyList":{%s}}}' % FIELDS
FULL = ("ACCC8E0A1B2C", "Box Camera Q1", "11.9.60", "Artpec-8", "armv7hf")
SYSTEM = "00408C123456"
FALLBACK = (SYSTEM, "unknown", "unknown", "unknown", "aarch64")
NOTHING = ("", "", "", "", "")
DISABLED = ("Unable to retrieve VAPIX service account credentials: GDBus.Error:"
            "com.axis.HTTPConf1.Error.AccountDisabled: service account is disabled")
NOT_SET = ("Failed to read system parameter 'Properties.System.SerialNumber': "
           "System parameter 'Properties.System.SerialNumber' is not set on this platform")


def shown(keys=KEYS):
    return tuple(map(h.status().__getitem__, keys))  # one request


class Identity(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if [name for _, name in socket.if_nameindex()] != ["lo"]:
            raise AssertionError("needs a network namespace of its own (tools/in-netns.sh)")
        # A loopback interface with a hardware address of its own must still be skipped.
        subprocess.run(["ip", "link", "set", "lo", "address", "02:00:5e:00:00:09"], check=True)
        cls.info = DeviceInfo()
        cls.bus = SystemBus("corvane-vapix:" + PASSWORD)

    @classmethod
    def tearDownClass(cls):
        cls.bus.close()
        cls.info.close()

    def program(self, mode="good", status=200, body=ANSWER, delay=0.0, slow=1 << 30, **env):
        self.bus.set_mode(mode if mode != "no-bus" else "good")
        self.info.answer(status, body, delay, slow)
        return h.Program({"DBUS_SYSTEM_BUS_ADDRESS": NO_BUS if mode == "no-bus" else self.bus.address,
                          "AXPARAMETER_SYSTEM_SERIAL": None} | env)

    def test_identity_from_each_source(self):
        cuts = '{"SerialNumber":"ACCC8E0A1B2C","ProdFullName":"%s","Version":"%s","Soc":"%s","Architecture":"%s"}' % (
            "M" * 127 + "x", "V" * 63 + "x", "S" * 63 + "x", "A" * 31 + "x")
        from_answer = ("Box Camera Q1", "11.9.60", "Artpec-8", "armv7hf")
        invalid = "Basic device info returned invalid JSON: "
        cases = [  # credential mode, answer status, answer body, identity, warnings; the system serial is set
            ("good", 200, ANSWER, FULL, []),
            ("good", 200, '{"data":{%s}}' % FIELDS, FULL, []),
            ("good", 200, '{"propertyList":{%s}}' % FIELDS, FULL, []),
            ("good", 200, '{%s}' % FIELDS, FULL, []),
            ("good", 200, '{"data":{"propertyList":"x",%s}}' % FIELDS, FULL, []),
            ("good", 200, '{"propertyList":[1],%s}' % FIELDS, FULL, []),
            ("good", 200, '{"SerialNumber":"","serialNumber":"accc-8e0a-1b2c","ProdShortName":"Q1",'
             '"FirmwareVersion":"10.0","SoC":"S7","architecture":"x86_64"}',
             ("ACCC8E0A1B2C", "Q1", "10.0", "S7", "x86_64"), []),
            ("good", 200, '{"serial_number":"ac:cc:8e:0a:1b:2c","ProdNbr":"N1","axisOsVersion":"9.8","Chip":"C3"}',
             ("ACCC8E0A1B2C", "N1", "9.8", "C3", "aarch64"), []),
            # A serial number that is not one (the rules are a unit table) leaves the system's.
            ("good", 200, ANSWER.replace("ACCC8E0A1B2C", "ACCC8E0A1B2C3"), (SYSTEM, *from_answer), []),
            ("good", 200, cuts, ("ACCC8E0A1B2C", "M" * 127, "V" * 63, "S" * 63, "A" * 31), []),
            ("good", 200, ANSWER + " " * (4096 - len(ANSWER)), FULL, []),
            ("good", 200, ANSWER + " " * (4097 - len(ANSWER)), FALLBACK, []),
            ("good", 401, ANSWER, FALLBACK, []),
            ("good", 500, ANSWER, FALLBACK, []),
            ("good", 200, "{not json", FALLBACK, [invalid + "string or '}' expected near 'not'"]),
            ("good", 200, "[1]", FALLBACK, [invalid]),
            ("no-colon", 200, ANSWER, FALLBACK, ["VAPIX service account returned an invalid credential string"]),
            ("wrong-type", 200, ANSWER, FALLBACK, ["VAPIX service account returned an invalid credential string"]),
            ("error", 200, ANSWER, FALLBACK, [DISABLED]),
            ("absent", 200, ANSWER, FALLBACK, [
                "Unable to retrieve VAPIX service account credentials: GDBus.Error:org.freedesktop.DBus.Error."
                "ServiceUnknown: The name com.axis.HTTPConf1 was not provided by any .service files"]),
            ("no-bus", 200, ANSWER, FALLBACK, [
                "Unable to connect to D-Bus for VAPIX credentials: Could not connect: No such file or directory"]),
        ]
        for mode, status, body, identity, warnings in cases:
            with self.subTest(mode=mode, status=status, body=body[:100]), \
                    self.program(mode, status, body, AXPARAMETER_SYSTEM_SERIAL=SYSTEM) as p:
                self.assertEqual(shown(), identity)
                self.assertEqual(p.finish(), 0)
                self.assertEqual(p.log.messages(WARNING), warnings)
                self.assertEqual(self.info.count, int(mode == "good"))

    def test_an_answer_that_comes_too_late_is_dropped(self):
        with self.program(delay=3.5, AXPARAMETER_SYSTEM_SERIAL=SYSTEM) as p:
            self.assertEqual(shown(), FALLBACK)
            self.assertEqual(p.finish(), 0)
            self.assertEqual(p.log.messages(WARNING), [])

    def test_the_request_and_the_cache(self):
        with self.program(status=500) as p:
            # No serial number anywhere: every request asks again, all five fields blank.
            for asked in (1, 2, 3):
                self.assertEqual(shown(), NOTHING)
                self.assertEqual((len(self.bus.accounts), self.info.count), (asked, asked))
            # The same failure each time is logged once (again after an hour); another at once.
            self.bus.set_mode("error")
            for _ in range(2):
                self.assertEqual(shown(), NOTHING)
            self.info.answer(200, ANSWER)
            self.bus.set_mode("good")
            for _ in range(3):
                self.assertEqual(shown(), FULL)
            self.assertEqual(self.bus.accounts, ["corvane-vapix"])
            self.assertEqual(self.info.requests, [dict(
                method="POST", path="/axis-cgi/basicdeviceinfo.cgi",
                body=b'{"apiVersion":"1.3","method":"getAllProperties"}',
                authorization="Basic " + base64.b64encode(b"corvane-vapix:" + PASSWORD.encode()).decode(),
                content_type="application/json", user_agent="Corvane/0.2.34")])
            self.assertEqual(p.finish(), 0)
            self.assertEqual(p.log.messages(WARNING), [NOT_SET, DISABLED, NOT_SET])
            self.assertNotIn("x9Qz", "\n".join(p.log.messages()))

    def test_the_mac_address_of_the_first_usable_interface(self):
        with self.program(status=500) as p:
            self.assertEqual(shown(("macAddress", *KEYS)), ("", *NOTHING))
        # Besides the loopback interface one that is down and one that is up without a carrier.
        subprocess.run(["ip", "link", "add", "vup", "address", "02:00:5e:10:00:fe", "type", "veth",
                        "peer", "name", "vdown", "address", "02:00:5e:00:00:01"], check=True)
        try:
            subprocess.run(["ip", "link", "set", "vup", "up"], check=True)
            with self.program(status=500) as p:
                self.assertEqual(shown(("macAddress", *KEYS)),
                                 ("02:00:5e:10:00:fe", "02005E1000FE", "unknown", "unknown", "unknown", "aarch64"))
                self.assertEqual(p.finish(), 0)
                self.assertEqual(p.log.messages(WARNING), [NOT_SET])
            with self.program(status=500, AXPARAMETER_SYSTEM_SERIAL=SYSTEM):  # the system's serial comes first
                self.assertEqual(shown(("macAddress", *KEYS)), ("02:00:5e:10:00:fe", *FALLBACK))
        finally:
            subprocess.run(["ip", "link", "del", "vup"], check=True)

    def test_slow_fetches_hold_no_lock(self):
        """Two first fetches wait for a slow answer side by side, and a stop is
        answered meanwhile (its own fetch is answered at once)."""
        with self.program(delay=2.5, slow=2, AXPARAMETER_SYSTEM_SERIAL=SYSTEM), ThreadPoolExecutor(2) as pool:
            began = time.monotonic()
            replies = [pool.submit(shown) for _ in range(2)]
            while self.info.count < 2 and time.monotonic() - began < 10:
                time.sleep(0.01)
            asked = time.monotonic()
            self.assertEqual(h.post("/api/stop").status, 200)
            self.assertLess(time.monotonic() - asked, 1.5)
            self.assertEqual([reply.result() for reply in replies], [FULL, FULL])
            self.assertLess(time.monotonic() - began, 2.5 * 1.3)


if __name__ == "__main__":
    unittest.main()
