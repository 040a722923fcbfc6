#!/usr/bin/python3
"""A sign-in provider of our own for the tests, on 127.0.0.1 over HTTPS, with a Microsoft Graph
stand-in beside it (POST /graph/v1.0/users/<mailbox>/sendMail, see graph_send).

Endpoints: GET /authorize (answers with a redirect to the client's loopback address, as a
provider does once the person has signed in), POST /token (authorization code with PKCE,
refresh token, device code), POST /device (device codes), POST /introspect (whether a token is
the current access token, for a test mail server). A test scripts it through POST
/control (form fields set how the next requests are answered) and reads what it saw through
POST /state (a form-encoded reply). Writes its port to the file given, then serves until
killed. Every stall is bounded, so that no request outlives a test for long.
"""
import argparse
import base64
import email.parser
import email.policy
import email.utils
import hashlib
import json
import os
import ssl
import threading
import time
import urllib.parse
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

LOCK = threading.Lock()
STATE = {
    # How the next requests are answered; set through /control.
    "refresh": "ok",          # ok, rotate, invalid_grant, invalid_client, stall, error500, garbage
    "lifetime": "3600",       # expires_in of each access token
    "stall": "20",            # seconds a stalled reply waits
    "authorize": "ok",        # ok, wrong_state, access_denied
    "challenge": "keep",      # keep, or wrong: the stored challenge is spoilt
    "device": "ok",           # the answers to the polls, in turn: pending, slow_down, ok, denied, expired
    "device_interval": "1",
    "device_expires": "600",
    "revoked": "0",           # 1: the sign-in was revoked (refreshes refused, no token active)
    # What it saw.
    "issued": 0,              # access tokens handed out
    "refreshes": 0,
    "polls": 0,
    "poll_times": "",
    "last_verifier": "",
    "refresh_token": "rt-1",  # the one refresh token taken
    "last_form": "",
    # The Graph stand-in: its answers to the next sendMail calls, in turn (ok, 401, 429, 503,
    # 504, 400size, 403, 404, stall); "ok" once they are used up.
    "graph": "",
    "retry_after": "120",
    "graph_calls": 0,
    "graph_sent": "",         # per message taken: "<mailbox>|<subject>|<recipient>,...;" in order
    "graph_last_header": "",  # the last message's header as taken (the added Bcc: included)
    "graph_refused": "",      # why a call was refused before its answer was looked at
}
CODES = {}  # authorization code -> (challenge, redirect_uri)


def base64url(data):
    return base64.urlsafe_b64encode(data).rstrip(b"=").decode()


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def reply(self, status, body, content_type="application/json", headers=()):
        data = body.encode() if isinstance(body, str) else body
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(data)))
        self.send_header("Cache-Control", "no-store")
        for name, value in headers:
            self.send_header(name, value)
        self.end_headers()
        self.wfile.write(data)

    def error(self, code, description="", status=400):
        self.reply(status, json.dumps({"error": code, "error_description": description}))

    def grant(self, rotate):
        with LOCK:
            STATE["issued"] += 1
            body = {"access_token": "at-%d" % STATE["issued"], "token_type": "Bearer",
                    "expires_in": int(STATE["lifetime"]), "scope": "smtp"}
            if rotate:
                STATE["refresh_token"] = "rt-%d" % (STATE["issued"] + 1)
                body["refresh_token"] = STATE["refresh_token"]
        self.reply(200, json.dumps(body))

    def form(self):
        length = int(self.headers.get("Content-Length", "0"))
        text = self.rfile.read(length).decode()
        if self.path not in ("/control", "/state"):
            with LOCK:
                STATE["last_form"] = text
        return dict(urllib.parse.parse_qsl(text, keep_blank_values=True))

    def do_GET(self):
        url = urllib.parse.urlsplit(self.path)
        if url.path != "/authorize":
            return self.reply(404, "{}")
        query = dict(urllib.parse.parse_qsl(url.query))
        code = base64url(hashlib.sha256(str(time.time()).encode()).digest())[:20]
        challenge = query.get("code_challenge", "")
        if STATE["challenge"] == "wrong":
            challenge = base64url(hashlib.sha256(b"another verifier").digest())
        CODES[code] = (challenge, query.get("redirect_uri"), query.get("code_challenge_method"))
        answer = {"code": code, "state": query.get("state", "")}
        if STATE["authorize"] == "wrong_state":
            answer["state"] = "forged"
        if STATE["authorize"] == "access_denied":
            answer = {"error": "access_denied", "error_description": "The user said no",
                      "state": query.get("state", "")}
        location = query.get("redirect_uri", "") + "?" + urllib.parse.urlencode(answer)
        self.reply(302, "", "text/plain", [("Location", location)])

    def do_POST(self):
        url = urllib.parse.urlsplit(self.path)
        if url.path.startswith("/graph/"):
            return self.graph_send(url.path)
        form = self.form()
        if url.path == "/control":
            with LOCK:
                STATE.update({k: int(v) if isinstance(STATE.get(k), int) else v for k, v in form.items()})
            return self.reply(200, "{}")
        if url.path == "/state":
            with LOCK:
                return self.reply(200, urllib.parse.urlencode({k: str(v) for k, v in STATE.items()}),
                                  "application/x-www-form-urlencoded")
        if url.path == "/echo":
            return self.reply(200, json.dumps(form))
        if url.path == "/redirect":
            return self.reply(302, "{}", headers=[("Location", "/echo")])
        if url.path == "/big":
            return self.reply(200, json.dumps({"filler": "x" * 200000}))
        if url.path == "/stall":
            time.sleep(int(STATE["stall"]))
            return self.reply(200, "{}")
        if url.path == "/device":
            return self.device(form)
        if url.path == "/introspect":
            with LOCK:
                active = STATE["revoked"] != "1" and form.get("token") == "at-%d" % STATE["issued"]
            return self.reply(200, json.dumps({"active": active}))
        if url.path == "/token":
            return self.token(form)
        self.reply(404, "{}")

    def device(self, form):
        if not form.get("client_id") or not form.get("scope"):
            return self.error("invalid_request")
        self.reply(200, json.dumps({
            "device_code": "dc-secret", "user_code": "ABCD-EFGH",
            "verification_uri": "https://127.0.0.1/device", "expires_in": int(STATE["device_expires"]),
            "interval": int(STATE["device_interval"])}))

    def token(self, form):
        kind = form.get("grant_type")
        if kind == "authorization_code":
            return self.code(form)
        if kind == "refresh_token":
            return self.refresh(form)
        if kind == "urn:ietf:params:oauth:grant-type:device_code":
            return self.poll(form)
        self.error("unsupported_grant_type")

    def code(self, form):
        challenge, redirect, method = CODES.pop(form.get("code", ""), (None, None, None))
        verifier = form.get("code_verifier", "")
        with LOCK:
            STATE["last_verifier"] = verifier
        if challenge is None or redirect != form.get("redirect_uri") or method != "S256":
            return self.error("invalid_grant", "unknown code")
        if base64url(hashlib.sha256(verifier.encode()).digest()) != challenge:
            return self.error("invalid_grant", "PKCE verification failed")
        self.grant(rotate=True)

    def refresh(self, form):
        with LOCK:
            STATE["refreshes"] += 1
            mode = "invalid_grant" if STATE["revoked"] == "1" else STATE["refresh"]
            known = form.get("refresh_token") == STATE["refresh_token"]
        if mode == "stall":
            time.sleep(int(STATE["stall"]))
        if mode == "error500":
            return self.reply(500, "{}")
        if mode == "garbage":
            return self.reply(200, "<html>not json</html>", "text/html")
        if mode in ("invalid_grant", "invalid_client"):
            return self.error(mode, "AADSTS70008: The refresh token has expired", 401 if mode == "invalid_client" else 400)
        if not known:
            return self.error("invalid_grant", "unknown refresh token")
        self.grant(rotate=mode == "rotate")

    def poll(self, form):
        with LOCK:
            STATE["polls"] += 1
            STATE["poll_times"] += "%.3f," % time.monotonic()
            answers = STATE["device"].split(",")
            answer = answers[0]
            if len(answers) > 1:
                STATE["device"] = ",".join(answers[1:])
        if form.get("device_code") != "dc-secret":
            return self.error("invalid_grant")
        errors = {"pending": "authorization_pending", "slow_down": "slow_down",
                  "denied": "access_denied", "expired": "expired_token"}
        if answer in errors:
            return self.error(errors[answer])
        self.grant(rotate=True)

    def graph_fail(self, status, code, message, headers=()):
        self.reply(status, json.dumps({"error": {"code": code, "message": message}}), headers=headers)

    def graph_send(self, path):
        """Microsoft Graph's sendMail as far as the relay uses it: a bearer token that must be the
        current access token, the message's MIME in base64 as text/plain, sent to whom its To:,
        Cc: and Bcc: name (recorded); or the scripted answer."""
        length = int(self.headers.get("Content-Length", "0"))
        body = self.rfile.read(length)
        parts = path.split("/")
        with LOCK:
            STATE["graph_calls"] += 1
            answers = STATE["graph"].split(",") if STATE["graph"] else ["ok"]
            answer = answers[0]
            STATE["graph"] = ",".join(answers[1:])
            current = "Bearer at-%d" % STATE["issued"]
        if len(parts) != 6 or parts[1:4] != ["graph", "v1.0", "users"] or parts[5] != "sendMail":
            return self.graph_fail(400, "BadRequest", "Resource not found for the segment")
        if answer == "401" or self.headers.get("Authorization") != current:
            return self.graph_fail(401, "InvalidAuthenticationToken", "Access token has expired or is not yet valid.")
        if self.headers.get("Content-Type") != "text/plain":
            with LOCK:
                STATE["graph_refused"] = "content type " + str(self.headers.get("Content-Type"))
            return self.graph_fail(415, "UnsupportedMediaType", "text/plain expected")
        try:
            mime = base64.b64decode(body, validate=True)
        except ValueError:
            return self.graph_fail(400, "ErrorMimeContentInvalidBase64String", "Invalid base64 string for MIME content.")
        if answer in ("429", "503", "504"):
            return self.graph_fail(int(answer), "TooManyRequests" if answer == "429" else "ServiceUnavailable",
                                   "Please retry\r\nlater.", [("Retry-After", STATE["retry_after"])])
        if answer == "400size":
            return self.graph_fail(400, "ErrorMessageSizeExceeded", "The message exceeds the maximum supported size.")
        if answer == "403":
            return self.graph_fail(403, "ErrorAccessDenied", "Access is denied. Check credentials and try again.")
        if answer == "404":
            return self.graph_fail(404, "ErrorInvalidUser", "The requested user '%s' is invalid." % parts[4])
        if answer == "stall":
            time.sleep(int(STATE["stall"]))
        message = email.parser.BytesParser(policy=email.policy.compat32).parsebytes(mime)
        recipients = [address for field in ("To", "Cc", "Bcc")
                      for _, address in email.utils.getaddresses(message.get_all(field, []))]
        header = mime.split(b"\r\n\r\n", 1)[0].decode(errors="replace")
        with LOCK:
            STATE["graph_sent"] += "%s|%s|%s;" % (urllib.parse.unquote(parts[4]), message.get("Subject", ""),
                                                  ",".join(recipients))
            STATE["graph_last_header"] = header
        self.reply(202, "")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--certificate", required=True)
    parser.add_argument("--key", required=True)
    parser.add_argument("--port-file", required=True)
    options = parser.parse_args()
    # Many deliveries may connect at once (the Graph stand-in): room for them all to wait.
    ThreadingHTTPServer.request_queue_size = 128
    server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    server.daemon_threads = True
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(options.certificate, options.key)
    server.socket = context.wrap_socket(server.socket, server_side=True)
    with open(options.port_file + ".tmp", "w") as port:
        port.write(str(server.server_address[1]))
    # Published whole, so that the test never reads half a number.
    os.rename(options.port_file + ".tmp", options.port_file)
    server.serve_forever()


if __name__ == "__main__":
    main()
