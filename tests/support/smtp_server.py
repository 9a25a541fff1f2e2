#!/usr/bin/python3
"""An SMTP server for tests: accepts mail only after AUTH LOGIN (no TLS) and
keeps every accepted message as a file.

    smtp_server.py PORT DIR

DIR/password holds the password the server accepts for the user in DIR/user
(read at every login, so a test can change it on the fly); DIR/refuse lists
recipient addresses to refuse with 550, one per line. Accepted messages are
stored as DIR/messages/NNNNN.eml (the DATA exactly as received, without the
dot-stuffing) with the envelope in NNNNN.env ("MAIL FROM" line, then one
"RCPT TO" line per recipient). Runs until SIGTERM.
"""
import os
import signal
import sys
import threading

from aiosmtpd.controller import Controller
from aiosmtpd.smtp import AuthResult, LoginPassword

PORT = int(sys.argv[1])
DIR = sys.argv[2]
MESSAGES = os.path.join(DIR, "messages")
os.makedirs(MESSAGES, exist_ok=True)


def read(name, default=""):
    try:
        with open(os.path.join(DIR, name), encoding="utf-8") as f:
            return f.read()
    except FileNotFoundError:
        return default


class Handler:
    def __init__(self):
        self.count = 0
        self.lock = threading.Lock()

    async def handle_RCPT(self, server, session, envelope, address, rcpt_options):
        refused = [l.strip().lower() for l in read("refuse").splitlines() if l.strip()]
        if address.lower() in refused:
            return "550 5.1.1 <%s>: Recipient address rejected" % address
        envelope.rcpt_tos.append(address)
        return "250 OK"

    async def handle_DATA(self, server, session, envelope):
        with self.lock:
            self.count += 1
            n = self.count
        base = os.path.join(MESSAGES, "%05d" % n)
        with open(base + ".eml.tmp", "wb") as f:
            f.write(envelope.original_content)
        with open(base + ".env", "w", encoding="utf-8") as f:
            f.write("MAIL FROM %s\n" % envelope.mail_from)
            for r in envelope.rcpt_tos:
                f.write("RCPT TO %s\n" % r)
        os.rename(base + ".eml.tmp", base + ".eml")
        return "250 2.0.0 Message accepted for delivery"


def authenticator(server, session, envelope, mechanism, auth_data):
    if mechanism != "LOGIN" or not isinstance(auth_data, LoginPassword):
        return AuthResult(success=False, handled=False)
    ok = (auth_data.login == read("user").encode("utf-8")
          and auth_data.password == read("password").encode("utf-8"))
    return AuthResult(success=ok, handled=False)


controller = Controller(Handler(), hostname="127.0.0.1", port=PORT, authenticator=authenticator,
                        auth_required=True, auth_require_tls=False, decode_data=False)
controller.start()
stop = threading.Event()
signal.signal(signal.SIGTERM, lambda *a: stop.set())
signal.signal(signal.SIGINT, lambda *a: stop.set())
print("ready", flush=True)
stop.wait()
controller.stop()
