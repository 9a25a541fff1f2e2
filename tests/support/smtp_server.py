#!/usr/bin/python3
"""An SMTP server for tests: accepts mail only after AUTH LOGIN (no TLS) and
keeps every accepted message as a file.

    smtp_server.py PORT DIR [starttls|optional|implicit CERT KEY]

With "starttls" the server offers STARTTLS and refuses AUTH and MAIL before
it; with "optional" it offers STARTTLS and also takes mail without it; with
"implicit" it speaks TLS from the first byte. CERT and KEY are the
server's PEM files. Messages received over TLS get a "TLS" line in their
envelope file.

DIR/password holds the password the server accepts for the user in DIR/user
(read at every login, so a test can change it on the fly); DIR/refuse lists
recipient addresses to refuse with 550, one per line. Accepted messages are
stored as DIR/messages/NNNNN.eml (the DATA exactly as received, without the
dot-stuffing) with the envelope in NNNNN.env ("MAIL FROM" line, then one
"RCPT TO" line per recipient). Runs until SIGTERM.

DIR/fault, read at every command it concerns, makes the server fail on
purpose (empty or missing: no fault):
    MAIL <reply>   answer MAIL FROM with <reply>
    RCPT <reply>   answer every RCPT TO with <reply>
    DATA <reply>   answer the DATA command with <reply> instead of 354
    END <reply>    take the whole message, then answer <reply> and keep nothing
    CUT <n>        after <n> bytes of message data, close the connection
    EXIT <n>       after <n> bytes of message data, end the whole process
    DROP <step>    close the connection instead of answering MAIL, RCPT or DATA
    STOP DATA      send 354, then stop the whole process (SIGSTOP) before
                   reading the message; after SIGCONT it reads on as usual
Every fault that fires adds a line to DIR/fired ("CUT 65536" ...).
"""
import os
import signal
import ssl
import sys
import threading

from aiosmtpd.controller import Controller
from aiosmtpd.smtp import SMTP, AuthResult, LoginPassword

PORT = int(sys.argv[1])
DIR = sys.argv[2]
TLS = sys.argv[3] if len(sys.argv) > 3 else None
TLS_CONTEXT = None
if TLS:
    TLS_CONTEXT = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
    TLS_CONTEXT.load_cert_chain(sys.argv[4], sys.argv[5])
MESSAGES = os.path.join(DIR, "messages")
os.makedirs(MESSAGES, exist_ok=True)


def read(name, default=""):
    try:
        with open(os.path.join(DIR, name), encoding="utf-8") as f:
            return f.read()
    except FileNotFoundError:
        return default


def fault(step):
    """The fault armed for this step: its argument, or None."""
    words = read("fault").strip().split(None, 1)
    if len(words) == 2 and words[0] == step:
        return words[1]
    return None


def fired(line):
    with open(os.path.join(DIR, "fired"), "a", encoding="utf-8") as f:
        f.write(line + "\n")


class Handler:
    def __init__(self):
        # A restarted server goes on numbering after the messages it kept.
        self.count = len([n for n in os.listdir(MESSAGES) if n.endswith(".eml")])
        self.lock = threading.Lock()

    async def handle_MAIL(self, server, session, envelope, address, mail_options):
        reply = fault("MAIL")
        if reply is not None:
            fired("MAIL " + reply)
            return reply
        envelope.mail_from = address
        envelope.mail_options.extend(mail_options)
        return "250 OK"

    async def handle_RCPT(self, server, session, envelope, address, rcpt_options):
        reply = fault("RCPT")
        if reply is not None:
            fired("RCPT " + reply)
            return reply
        refused = [l.strip().lower() for l in read("refuse").splitlines() if l.strip()]
        if address.lower() in refused:
            return "550 5.1.1 <%s>: Recipient address rejected" % address
        envelope.rcpt_tos.append(address)
        return "250 OK"

    async def handle_DATA(self, server, session, envelope):
        reply = fault("END")
        if reply is not None:
            fired("END " + reply)
            return reply
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
            if server.transport.get_extra_info("ssl_object") is not None:
                f.write("TLS\n")
        os.rename(base + ".eml.tmp", base + ".eml")
        return "250 2.0.0 Message accepted for delivery"


class FaultySMTP(SMTP):
    """aiosmtpd's server with the faults of DIR/fault that its handler hooks
    cannot produce."""

    def dropped(self, step):
        if fault("DROP") != step or not self.session.authenticated:
            return False
        fired("DROP " + step)
        self.transport.close()
        return True

    async def smtp_MAIL(self, arg):
        if not self.dropped("MAIL"):
            await super().smtp_MAIL(arg)

    async def smtp_RCPT(self, arg):
        if not self.dropped("RCPT"):
            await super().smtp_RCPT(arg)

    async def smtp_DATA(self, arg):
        if self.dropped("DATA"):
            return
        if fault("STOP") == "DATA" and self.session.authenticated and self.envelope.rcpt_tos:
            return await self.stopped_in_data(arg)
        reply = fault("DATA")
        if reply is not None and self.session.authenticated and self.envelope.rcpt_tos:
            fired("DATA " + reply)
            await self.push(reply)
            return
        cut, leave = fault("CUT"), fault("EXIT")
        if (cut is None and leave is None) or not self.session.authenticated or not self.envelope.rcpt_tos:
            return await super().smtp_DATA(arg)
        limit = int(cut if cut is not None else leave)
        await self.push("354 End data with <CR><LF>.<CR><LF>")
        got = 0
        while got < limit:
            chunk = await self._reader.read(limit - got)
            if not chunk:
                return  # the client went away first: nothing fired
            got += len(chunk)
        if cut is not None:
            fired("CUT %d" % got)
            self.transport.abort()
        else:
            fired("EXIT %d" % got)
            os._exit(3)


    async def stopped_in_data(self, arg):
        """aiosmtpd's own DATA, with the process frozen once its 354 has
        been written: the client's message piles up unread."""
        push = self.push

        async def push_then_stop(status):
            await push(status)
            if status.startswith("354"):
                fired("STOP DATA")
                os.kill(os.getpid(), signal.SIGSTOP)

        self.push = push_then_stop
        try:
            return await super().smtp_DATA(arg)
        finally:
            del self.push


class FaultyController(Controller):
    def factory(self):
        return FaultySMTP(self.handler, **self.SMTP_kwargs)


def authenticator(server, session, envelope, mechanism, auth_data):
    if mechanism != "LOGIN" or not isinstance(auth_data, LoginPassword):
        return AuthResult(success=False, handled=False)
    ok = (auth_data.login == read("user").encode("utf-8")
          and auth_data.password == read("password").encode("utf-8"))
    return AuthResult(success=ok, handled=False)


if TLS == "starttls":
    controller = FaultyController(Handler(), hostname="127.0.0.1", port=PORT, authenticator=authenticator,
                                  auth_required=True, auth_require_tls=True, require_starttls=True,
                                  tls_context=TLS_CONTEXT, decode_data=False)
elif TLS == "optional":
    controller = FaultyController(Handler(), hostname="127.0.0.1", port=PORT, authenticator=authenticator,
                                  auth_required=True, auth_require_tls=False, tls_context=TLS_CONTEXT,
                                  decode_data=False)
elif TLS == "implicit":
    # aiosmtpd's auth_require_tls counts STARTTLS only; this port has TLS from the start.
    controller = FaultyController(Handler(), hostname="127.0.0.1", port=PORT, authenticator=authenticator,
                                  auth_required=True, auth_require_tls=False, ssl_context=TLS_CONTEXT,
                                  decode_data=False)
else:
    controller = FaultyController(Handler(), hostname="127.0.0.1", port=PORT, authenticator=authenticator,
                            auth_required=True, auth_require_tls=False, decode_data=False)
controller.start()
stop = threading.Event()
signal.signal(signal.SIGTERM, lambda *a: stop.set())
signal.signal(signal.SIGINT, lambda *a: stop.set())
print("ready", flush=True)
stop.wait()
controller.stop()
