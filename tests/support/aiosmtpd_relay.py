#!/usr/bin/python3
"""A next relay that is not ours, for the interoperability test: aiosmtpd on 127.0.0.1 with
STARTTLS and a login required. Each message it takes is written to RELAY_MAILBOX (envelope,
whether TLS and the login were up, then the data); RELAY_READY is created once it listens."""
import os
import signal

from aiosmtpd.controller import Controller
from aiosmtpd.smtp import AuthResult, LoginPassword
import ssl


class Mailbox:
    async def handle_DATA(self, server, session, envelope):
        lines = [
            "FROM " + envelope.mail_from,
            "TO " + " ".join(envelope.rcpt_tos),
            "TLS " + str(session.ssl is not None),
            "AUTHENTICATED " + str(session.authenticated),
        ]
        path = os.environ["RELAY_MAILBOX"]
        with open(path + ".tmp", "wb") as mailbox:
            mailbox.write(("\n".join(lines) + "\n").encode() + envelope.original_content)
        os.rename(path + ".tmp", path)
        return "250 2.0.0 Message accepted"


def check_login(server, session, envelope, mechanism, auth_data):
    right = (isinstance(auth_data, LoginPassword) and auth_data.login == os.environ["RELAY_USER"].encode()
             and auth_data.password == os.environ["RELAY_PASSWORD"].encode())
    return AuthResult(success=right)


context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
context.load_cert_chain(os.environ["RELAY_CERT"], os.environ["RELAY_KEY"])
controller = Controller(Mailbox(), hostname="127.0.0.1", port=int(os.environ["RELAY_PORT"]),
                        server_hostname="localhost", tls_context=context, require_starttls=True,
                        auth_required=True, auth_require_tls=True, authenticator=check_login)
controller.start()
open(os.environ["RELAY_READY"], "w").close()
while True:
    signal.pause()
