#!/usr/bin/python3
"""A next relay that is not ours, for the interoperability test: aiosmtpd on 127.0.0.1 with
STARTTLS and a login required. Each message it takes is written to RELAY_MAILBOX (envelope,
whether TLS and the login were up, then the data); RELAY_READY is created once it listens.
The login is RELAY_USER with RELAY_PASSWORD (PLAIN, LOGIN); or, with RELAY_TOKEN_CHECK set,
XOAUTH2 only, taking an access token when that address of the sign-in provider (trusted
through RELAY_AUTHORITY) says it is active, and saying how each went in RELAY_MAILBOX.auth."""
import base64
import json
import os
import signal
import urllib.parse
import urllib.request

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


def token_active(token):
    context = ssl.create_default_context(cafile=os.environ["RELAY_AUTHORITY"])
    form = urllib.parse.urlencode({"token": token}).encode()
    with urllib.request.urlopen(os.environ["RELAY_TOKEN_CHECK"], form, timeout=10, context=context) as reply:
        return json.load(reply)["active"]


class TokenMailbox(Mailbox):
    async def auth_XOAUTH2(self, server, args):
        blob = base64.b64decode(args[1]) if len(args) > 1 else await server.challenge_auth("")
        fields = dict(item.split("=", 1) for item in blob.decode().split("\x01") if "=" in item)
        token = fields.get("auth", "").removeprefix("Bearer ")
        right = fields.get("user") == os.environ["RELAY_USER"] and token_active(token)
        with open(os.environ["RELAY_MAILBOX"] + ".auth", "a") as log:
            log.write("XOAUTH2 %s %s\n" % (token, "taken" if right else "refused"))
        if not right:
            # As Google does: the error in a challenge, which the client ends with an empty line.
            await server.challenge_auth(json.dumps({"status": "401", "schemes": "bearer"}))
        return AuthResult(success=right, handled=False)


xoauth2 = "RELAY_TOKEN_CHECK" in os.environ
context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
context.load_cert_chain(os.environ["RELAY_CERT"], os.environ["RELAY_KEY"])
controller = Controller(TokenMailbox() if xoauth2 else Mailbox(), hostname="127.0.0.1",
                        port=int(os.environ["RELAY_PORT"]), server_hostname="localhost", tls_context=context,
                        require_starttls=True, auth_required=True, auth_require_tls=True,
                        authenticator=check_login,
                        auth_exclude_mechanism=["LOGIN", "PLAIN"] if xoauth2 else [])
controller.start()
open(os.environ["RELAY_READY"], "w").close()
while True:
    signal.pause()
