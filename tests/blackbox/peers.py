"""The camera's local services, in threads of the test, recording what they were
asked: the device-information API on 127.0.0.12:80 and, on a private system bus,
the service that hands out the service-account credential."""
import http.server
import os
import shutil
import subprocess
import tempfile
import threading
import time

import gi
gi.require_version("Gio", "2.0")
from gi.repository import Gio, GLib  # noqa: E402

BUS_NAME = "com.axis.HTTPConf1"
OBJECT_PATH = "/com/axis/HTTPConf1/VAPIXServiceAccounts1"
INTERFACE = "com.axis.HTTPConf1.VAPIXServiceAccounts1"


class DeviceInfo:
    """Answers every request with `status` and `body` after `delay` seconds
    (only the first `slow` requests wait); `requests` holds what arrived."""

    def __init__(self):
        self.lock = threading.Lock()
        self.answer()
        peer = self

        class Handler(http.server.BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"

            def do_POST(self):
                peer._serve(self)
            do_GET = do_PUT = do_POST
            log_message = lambda *args: None  # noqa: E731

        self.server = http.server.ThreadingHTTPServer(("127.0.0.12", 80), Handler)
        self.server.daemon_threads = True
        threading.Thread(target=self.server.serve_forever, daemon=True).start()

    def answer(self, status=200, body="{}", delay=0.0, slow=1 << 30):
        with self.lock:
            self.status, self.body, self.delay, self.slow = status, body, delay, slow
            self.requests = []

    count = property(lambda self: len(self.requests))

    def _serve(self, handler):
        body = handler.rfile.read(int(handler.headers.get("Content-Length") or 0))
        with self.lock:
            self.requests.append(dict(method=handler.command, path=handler.path, body=body,
                                      authorization=handler.headers.get("Authorization"),
                                      content_type=handler.headers.get("Content-Type"),
                                      user_agent=handler.headers.get("User-Agent")))
            delay = self.delay if len(self.requests) <= self.slow else 0
            status, data = self.status, self.body.encode()
        time.sleep(delay)
        try:
            handler.send_response(status)
            handler.send_header("Content-Type", "application/json")
            handler.send_header("Content-Length", str(len(data)))
            handler.end_headers()
            handler.wfile.write(data)
        except OSError:
            pass  # the program gave up waiting

    def close(self):
        self.server.shutdown()
        self.server.server_close()


class SystemBus:
    """A dbus-daemon of the test's own (`address`) with the credential service.
    mode: good (the credential), no-colon, error (a D-Bus error), wrong-type
    (a reply that is not one string), absent (nobody owns the name)."""

    CONFIG = """<busconfig><type>system</type><listen>unix:path={dir}/socket</listen>
      <auth>EXTERNAL</auth><policy context="default"><allow user="*"/><allow own="*"/>
      <allow send_destination="*"/><allow receive_sender="*"/></policy></busconfig>"""
    XML = f"""<node><interface name="{INTERFACE}"><method name="GetCredentials">
      <arg type="s" direction="in"/><arg type="s" direction="out"/></method></interface></node>"""

    def __init__(self, credential):
        self.dir = tempfile.mkdtemp(prefix="corvane-bus-")
        with open(os.path.join(self.dir, "bus.conf"), "w") as f:
            f.write(self.CONFIG.format(dir=self.dir))
        self.daemon = subprocess.Popen(
            ["dbus-daemon", "--nofork", "--nopidfile", "--nosyslog", "--print-address=1",
             "--config-file=" + os.path.join(self.dir, "bus.conf")],
            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        self.address = self.daemon.stdout.readline().decode().strip()
        self.credential, self.owned = credential, False
        self.context = GLib.MainContext()
        self.loop = GLib.MainLoop(self.context)
        ready = threading.Event()
        threading.Thread(target=self._run, args=(ready,), daemon=True).start()
        if not ready.wait(10):
            raise AssertionError("the credential service did not come up on " + self.address)
        self.set_mode("good")

    def _run(self, ready):
        self.context.push_thread_default()
        self.conn = Gio.DBusConnection.new_for_address_sync(
            self.address, Gio.DBusConnectionFlags.AUTHENTICATION_CLIENT
            | Gio.DBusConnectionFlags.MESSAGE_BUS_CONNECTION, None, None)
        self.conn.register_object(OBJECT_PATH, Gio.DBusNodeInfo.new_for_xml(self.XML).interfaces[0],
                                  self._call, None, None)
        ready.set()
        self.loop.run()

    def _bus(self, method, *args):
        self.conn.call_sync("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                            method, GLib.Variant("(s)" if len(args) == 1 else "(su)", args),
                            None, Gio.DBusCallFlags.NONE, -1, None)

    def set_mode(self, mode):
        """Sets the answer of the following calls and forgets the calls so far."""
        if (mode != "absent") != self.owned:
            self._bus("RequestName", BUS_NAME, 0) if mode != "absent" else self._bus("ReleaseName", BUS_NAME)
            self.owned = mode != "absent"
        self.mode, self.accounts = mode, []

    def _call(self, conn, sender, path, interface, method, parameters, invocation):
        self.accounts.append(parameters.unpack()[0])
        if self.mode == "good":
            invocation.return_value(GLib.Variant("(s)", (self.credential,)))
        elif self.mode == "no-colon":
            invocation.return_value(GLib.Variant("(s)", ("corvane-vapix-no-separator",)))
        elif self.mode == "wrong-type":
            reply = Gio.DBusMessage.new_method_reply(invocation.get_message())
            reply.set_body(GLib.Variant("(u)", (42,)))
            conn.send_message(reply, Gio.DBusSendMessageFlags.NONE)
        else:
            invocation.return_dbus_error("com.axis.HTTPConf1.Error.AccountDisabled",
                                         "service account is disabled")

    def close(self):
        self.loop.quit()
        self.daemon.terminate()
        self.daemon.wait(10)
        self.daemon.stdout.close()
        shutil.rmtree(self.dir, ignore_errors=True)
