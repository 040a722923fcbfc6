#!/usr/bin/python3
"""Messages relayed to a next relay over STARTTLS with a login, end to end.

Starts the program (copied with its notice template into a fresh folder) with a next relay of
aiosmtpd's that requires STARTTLS and a login, submits the messages over one SMTP session
with Python's smtplib, and reports the time from the first submission to the last recipient's
arrival, with the connections and logins the next relay saw and the most connections open at
once. Loopback only; every wait is bounded.

    bench/session_bench.py --vellomar build/app/vellomar --messages 500 [--set Key=Value ...]
"""
import argparse
import os
import shutil
import signal
import smtplib
import socket
import ssl
import subprocess
import sys
import tempfile
import threading
import time
import warnings

from aiosmtpd.controller import Controller
from aiosmtpd.smtp import SMTP, AuthResult

STATS = {"connections": 0, "peak": 0, "logins": 0, "recipients": 0, "last": 0.0}
# Connections by the client's address and port: STARTTLS makes the protocol object meet its
# connection a second time, over TLS, and that is no new connection.
SEEN, OPEN = set(), set()
LOCK = threading.Lock()


class CountingSMTP(SMTP):
    def connection_made(self, transport):
        peer = transport.get_extra_info("peername")
        with LOCK:
            if peer not in SEEN:
                SEEN.add(peer)
                STATS["connections"] += 1
            OPEN.add(peer)
            STATS["peak"] = max(STATS["peak"], len(OPEN))
        self._peer_key = peer
        super().connection_made(transport)

    def connection_lost(self, error):
        with LOCK:
            OPEN.discard(getattr(self, "_peer_key", None))
        super().connection_lost(error)


class Sink:
    async def handle_DATA(self, server, session, envelope):
        if envelope.mail_from in ("", "<>"):
            print("a failure notice came:", envelope.content[:2000].decode(errors="replace"), file=sys.stderr)
        with LOCK:
            STATS["recipients"] += len(envelope.rcpt_tos)
            STATS["last"] = time.monotonic()
        return "250 2.0.0 Ok"


def authenticate(server, session, envelope, mechanism, data):
    with LOCK:
        STATS["logins"] += 1
    return AuthResult(success=data.login == b"alice" and data.password == b"s3cret")


class CountingController(Controller):
    def factory(self):
        return CountingSMTP(self.handler, **self.SMTP_kwargs)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def certificate(folder):
    cert, key = os.path.join(folder, "cert.pem"), os.path.join(folder, "key.pem")
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=localhost",
                    "-addext", "subjectAltName=DNS:localhost", "-days", "2", "-keyout", key, "-out", cert],
                   check=True, capture_output=True)
    return cert, key


def wait_for(predicate, seconds):
    deadline = time.monotonic() + seconds
    while not predicate():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.01)
    return True


def listening(port):
    try:
        socket.create_connection(("127.0.0.1", port), timeout=1).close()
        return True
    except OSError:
        return False


def main():
    warnings.simplefilter("ignore")
    parser = argparse.ArgumentParser()
    parser.add_argument("--vellomar", required=True)
    parser.add_argument("--resources", default=os.path.join(os.path.dirname(__file__), "..", "resources"))
    parser.add_argument("--messages", type=int, default=500)
    parser.add_argument("--recipients", type=int, default=2)
    parser.add_argument("--set", action="append", default=[], help="a store line for the relay's section")
    parser.add_argument("--keep", action="store_true", help="keep the program's folder (its log) and say where")
    args = parser.parse_args()
    folder = tempfile.mkdtemp(prefix="vellomar-session-bench-")
    cert, key = certificate(folder)
    context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
    context.load_cert_chain(cert, key)
    relay_port = free_port()
    controller = CountingController(Sink(), hostname="127.0.0.1", port=relay_port, tls_context=context,
                                    require_starttls=True, auth_required=True, authenticator=authenticate)
    controller.start()
    with LOCK:  # the controller's own check that it is up
        STATS["connections"], STATS["peak"] = 0, 0
        SEEN.clear()
        OPEN.clear()
    app = os.path.join(folder, "app")
    os.makedirs(os.path.join(app, "store"))
    shutil.copy(args.vellomar, os.path.join(app, "vellomar"))
    shutil.copy(os.path.join(args.resources, "error"), os.path.join(app, "error"))
    lines = ["[Software\\Vellomar]", f"SMTP=localhost:{relay_port}", "SMTP_TLS=starttls", "SMTP_User=alice",
             "SMTP_Password=s3cret"] + args.set
    with open(os.path.join(app, "store", "HKEY_LOCAL_MACHINE.ini"), "w") as store:
        store.write("\n".join(lines) + "\n")
    port = free_port()
    environment = dict(os.environ, VELLOMAR_REGISTRY=os.path.join(app, "store"), HOME=folder,
                       XDG_CONFIG_HOME=os.path.join(folder, "config"), VELLOMAR_SMTP_PORT=str(port),
                       SSL_CERT_FILE=cert, DISPLAY="", WAYLAND_DISPLAY="")
    program = subprocess.Popen([os.path.join(app, "vellomar")], env=environment, cwd=app,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        if not wait_for(lambda: listening(port), 20):
            sys.exit("the program did not start listening")
        body = "Subject: bench\r\n\r\n" + ("x" * 78 + "\r\n") * 50  # about 4 KB
        recipients = [f"r{i}@example.net" for i in range(args.recipients)]
        start = time.monotonic()
        with smtplib.SMTP("127.0.0.1", port, timeout=60) as client:
            for _ in range(args.messages):
                client.sendmail("s@example.org", recipients, body)
        submitted = time.monotonic()
        expected = args.messages * args.recipients
        done = wait_for(lambda: STATS["recipients"] >= expected, 600)
        wait_for(lambda: not OPEN, 10)
        print(f"messages {args.messages} x {args.recipients} recipients: "
              f"{'all delivered' if done else 'NOT all delivered'} ({STATS['recipients']} recipients)")
        print(f"submitted in {submitted - start:.2f} s; last arrival after {STATS['last'] - start:.2f} s")
        print(f"connections {STATS['connections']}, logins {STATS['logins']}, at once at most {STATS['peak']}")
    finally:
        program.send_signal(signal.SIGTERM)
        try:
            program.wait(20)
        except subprocess.TimeoutExpired:
            program.kill()
        controller.stop()
        if args.keep:
            print(f"kept {folder}")
        else:
            shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    main()
