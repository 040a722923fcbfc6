#!/usr/bin/python3
"""A sign-in provider of our own for the tests, on 127.0.0.1 over HTTPS, with a Microsoft Graph
stand-in beside it (POST /graph/v1.0/users/<mailbox>/sendMail, and the draft's calls: POST
.../messages, PATCH and DELETE .../messages/<id>, POST .../messages/<id>/send; see graph_call).

Endpoints: GET /authorize (answers with a redirect to the client's loopback address, as a
provider does once the person has signed in), POST /token (authorization code with PKCE,
refresh token, device code, and the app-only grants: client credentials with a secret or a
signed client assertion, and the JWT bearer grant of a service account), POST /device (device codes), POST /introspect (whether a token is
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
import subprocess
import tempfile
import hashlib
import itertools
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
    # 504, 400size, 403, 404, stall); "ok" once they are used up. The draft's calls have their
    # own, alike: to making one, to setting its recipients, to sending it, to deleting it.
    "graph": "",
    "graph_create": "",
    "graph_update": "",
    "graph_send": "",
    "graph_delete": "",
    "retry_after": "120",
    "graph_calls": 0,
    "graph_steps": "",        # the calls in order: "sendMail,create,update,send,delete,..."
    "graph_sent": "",         # per message sent: "<mailbox>|<subject>|<recipient>,...;" in order
    "graph_last_header": "",  # the last message's header as taken (the added Bcc: included)
    "graph_refused": "",      # why a call was refused before its answer was looked at
    "graph_drafts": 0,        # drafts made and neither sent nor deleted
    "graph_last_lists": "",   # the last draft sent: "to:<address>,...|cc:...|bcc:..."
    "graph_sent_items": 0,    # copies left in Sent Items (every sendMail; drafts not marked otherwise)
    # The app-only grants: what a client must prove (set through /control) and what it did.
    "app": "ok",              # ok, or an OAuth error code every app grant is refused with
    "app_secret": "",         # the client secret taken; empty: none is
    "app_client": "",         # the client id (iss and sub of a client assertion)
    "app_public_key": "",     # PEM file: the key the assertions' signatures must verify with
    "app_certificate": "",    # PEM file: the certificate whose SHA-256 the x5t#S256 header names
    "app_issuer": "",         # iss of a JWT bearer assertion (the service account)
    "app_subject": "",        # sub of a JWT bearer assertion (the mailbox)
    "app_scope": "",          # the scope asked for
    "app_requests": 0,        # app grants asked for
    "app_grants": 0,          # app tokens handed out
    "app_refusal": "",        # why the last app grant was refused
    "last_assertion": "",     # the last assertion seen
}
CODES = {}  # authorization code -> (challenge, redirect_uri)
DRAFT_NUMBERS = itertools.count(1)
DRAFTS = {}  # the Graph stand-in's drafts: id -> {"mailbox", "subject", "header", "to", "cc", "bcc"}


def base64url(data):
    return base64.urlsafe_b64encode(data).rstrip(b"=").decode()


def unbase64url(text):
    return base64.urlsafe_b64decode(text + "=" * (-len(text) % 4))


def rs256_verifies(public_key, data, signature):
    """Checked by the openssl program, against the public key the test gave."""
    with tempfile.NamedTemporaryFile() as data_file, tempfile.NamedTemporaryFile() as signature_file:
        data_file.write(data)
        data_file.flush()
        signature_file.write(signature)
        signature_file.flush()
        result = subprocess.run(["openssl", "dgst", "-sha256", "-verify", public_key, "-signature",
                                 signature_file.name, data_file.name], capture_output=True, timeout=20)
    return result.returncode == 0


def thumbprint(certificate):
    der = subprocess.run(["openssl", "x509", "-in", certificate, "-outform", "DER"], capture_output=True,
                         timeout=20).stdout
    return base64url(hashlib.sha256(der).digest())


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

    def do_PATCH(self):
        self.graph_call("PATCH", urllib.parse.urlsplit(self.path).path)

    def do_DELETE(self):
        self.graph_call("DELETE", urllib.parse.urlsplit(self.path).path)

    def do_POST(self):
        url = urllib.parse.urlsplit(self.path)
        if url.path.startswith("/graph/"):
            return self.graph_call("POST", url.path)
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
        if kind == "client_credentials":
            return self.app_grant(form, self.client_problem(form), "invalid_client", 401)
        if kind == "urn:ietf:params:oauth:grant-type:jwt-bearer":
            return self.app_grant(form, self.bearer_problem(form), "invalid_grant", 400)
        self.error("unsupported_grant_type")

    def app_grant(self, form, problem, code, status):
        with LOCK:
            STATE["app_requests"] += 1
            mode = STATE["app"]
            if not problem and mode != "ok":
                problem, code = "refused by the test: " + mode, mode
            if problem:
                STATE["app_refusal"] = problem
            else:
                STATE["app_grants"] += 1
        if problem:
            return self.error(code, problem, status)
        self.grant(rotate=False)

    def client_problem(self, form):
        if form.get("client_id") != STATE["app_client"]:
            return "unknown client"
        if STATE["app_scope"] and form.get("scope") != STATE["app_scope"]:
            return "scope %r not granted" % form.get("scope")
        if "client_secret" in form:
            ok = STATE["app_secret"] and form["client_secret"] == STATE["app_secret"]
            return "" if ok else "wrong client secret"
        if form.get("client_assertion_type") != "urn:ietf:params:oauth:client-assertion-type:jwt-bearer":
            return "no client proof"
        header, claims, problem = self.verify(form.get("client_assertion", ""))
        if problem:
            return problem
        if header.get("x5t#S256") != thumbprint(STATE["app_certificate"]):
            return "x5t#S256 does not name the certificate"
        if claims.get("iss") != STATE["app_client"] or claims.get("sub") != STATE["app_client"]:
            return "iss or sub is not the client"
        if not claims.get("jti"):
            return "no jti"
        return ""

    def bearer_problem(self, form):
        header, claims, problem = self.verify(form.get("assertion", ""))
        if problem:
            return problem
        if claims.get("iss") != STATE["app_issuer"]:
            return "iss is not the service account"
        if claims.get("sub") != STATE["app_subject"]:
            return "sub is not the mailbox"
        if STATE["app_scope"] and claims.get("scope") != STATE["app_scope"]:
            return "scope %r not granted" % claims.get("scope")
        return ""

    def verify(self, jwt):
        """The header and claims of an assertion whose signature, audience and times hold."""
        with LOCK:
            STATE["last_assertion"] = jwt
        parts = jwt.split(".")
        if len(parts) != 3:
            return {}, {}, "not a JWT"
        try:
            header = json.loads(unbase64url(parts[0]))
            claims = json.loads(unbase64url(parts[1]))
            signature = unbase64url(parts[2])
        except ValueError:
            return {}, {}, "unreadable JWT"
        if header.get("alg") != "RS256":
            return header, claims, "not RS256"
        if not rs256_verifies(STATE["app_public_key"], (parts[0] + "." + parts[1]).encode(), signature):
            return header, claims, "bad signature"
        audience = "https://localhost:%d%s" % (self.server.server_address[1], self.path)
        if claims.get("aud") != audience:
            return header, claims, "aud %r is not %r" % (claims.get("aud"), audience)
        now = time.time()
        exp, iat = claims.get("exp", 0), claims.get("iat", 0)
        if not (now < exp <= now + 3600 + 60) or abs(iat - now) > 60:
            return header, claims, "exp or iat out of range"
        return header, claims, ""

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

    @staticmethod
    def graph_step(method, parts):
        """Which of Graph's calls a request is, from its method and path; None for no call."""
        if len(parts) < 6 or parts[1:4] != ["graph", "v1.0", "users"]:
            return None
        calls = {("POST", 6, "sendMail"): "sendMail", ("POST", 6, "messages"): "create",
                 ("PATCH", 7, "messages"): "update", ("DELETE", 7, "messages"): "delete"}
        if len(parts) == 8 and method == "POST" and parts[5] == "messages" and parts[7] == "send":
            return "send"
        return calls.get((method, len(parts), parts[5]))

    def graph_call(self, method, path):
        """Microsoft Graph's calls as far as the relay uses them: a bearer token that must be the
        current access token, then the call's own checks and work; or the scripted answer."""
        length = int(self.headers.get("Content-Length", "-1"))
        body = self.rfile.read(length) if length > 0 else b""
        parts = path.split("/")
        step = self.graph_step(method, parts)
        key = "graph" if step in (None, "sendMail") else "graph_" + step
        with LOCK:
            STATE["graph_calls"] += 1
            STATE["graph_steps"] += "%s," % step
            answers = STATE[key].split(",") if STATE[key] else ["ok"]
            answer = answers[0]
            STATE[key] = ",".join(answers[1:])
            current = "Bearer at-%d" % STATE["issued"]
        if step is None:
            return self.graph_fail(400, "BadRequest", "Resource not found for the segment")
        if answer == "401" or self.headers.get("Authorization") != current:
            return self.graph_fail(401, "InvalidAuthenticationToken", "Access token has expired or is not yet valid.")
        refusal = self.graph_malformed(step, length, body)
        if refusal:
            with LOCK:
                STATE["graph_refused"] = refusal[2]
            return self.graph_fail(*refusal)
        if self.graph_scripted(answer, parts[4]):
            return None
        handlers = {"sendMail": self.graph_send_mail, "create": self.graph_create, "update": self.graph_update,
                    "send": self.graph_send_draft, "delete": self.graph_delete}
        return handlers[step](parts, body)

    def graph_malformed(self, step, length, body):
        """(status, code, message) when the request is not as Graph takes it; None when it is."""
        kind = self.headers.get("Content-Type")
        if step in ("sendMail", "create") and kind != "text/plain":
            return 415, "UnsupportedMediaType", "content type %s, text/plain expected" % kind
        if step == "update" and kind != "application/json":
            return 415, "UnsupportedMediaType", "content type %s, application/json expected" % kind
        if step == "send" and length != 0:
            return 411, "LengthRequired", "Content-Length %d, 0 expected" % length
        if step in ("sendMail", "create"):
            try:
                base64.b64decode(body, validate=True)
            except ValueError:
                return 400, "ErrorMimeContentInvalidBase64String", "Invalid base64 string for MIME content."
        return None

    def graph_scripted(self, answer, mailbox):
        """Answers with the scripted failure; False when the call is to be done (ok, stall)."""
        if answer in ("429", "503", "504"):
            self.graph_fail(int(answer), "TooManyRequests" if answer == "429" else "ServiceUnavailable",
                            "Please retry\r\nlater.", [("Retry-After", STATE["retry_after"])])
        elif answer == "400size":
            self.graph_fail(400, "ErrorMessageSizeExceeded", "The message exceeds the maximum supported size.")
        elif answer == "403":
            self.graph_fail(403, "ErrorAccessDenied", "Access is denied. Check credentials and try again.")
        elif answer == "404":
            self.graph_fail(404, "ErrorInvalidUser", "The requested user '%s' is invalid." % mailbox)
        else:
            if answer == "stall":
                time.sleep(int(STATE["stall"]))
            return False
        return True

    @staticmethod
    def graph_record(mailbox, subject, recipients):
        STATE["graph_sent"] += "%s|%s|%s;" % (urllib.parse.unquote(mailbox), subject, ",".join(recipients))

    def graph_send_mail(self, parts, body):
        """Sent to whom the message's To:, Cc: and Bcc: name (recorded)."""
        mime = base64.b64decode(body)
        message = email.parser.BytesParser(policy=email.policy.compat32).parsebytes(mime)
        recipients = [address for field in ("To", "Cc", "Bcc")
                      for _, address in email.utils.getaddresses(message.get_all(field, []))]
        with LOCK:
            self.graph_record(parts[4], message.get("Subject", ""), recipients)
            STATE["graph_last_header"] = mime.split(b"\r\n\r\n", 1)[0].decode(errors="replace")
            STATE["graph_sent_items"] += 1
        self.reply(202, "")

    def graph_create(self, parts, body):
        """A draft from the MIME, its lists those of its header, kept until it is sent or deleted."""
        mime = base64.b64decode(body)
        message = email.parser.BytesParser(policy=email.policy.compat32).parsebytes(mime)
        draft = {"mailbox": parts[4], "subject": message.get("Subject", ""),
                 "header": mime.split(b"\r\n\r\n", 1)[0].decode(errors="replace")}
        for field, name in (("To", "to"), ("Cc", "cc"), ("Bcc", "bcc")):
            draft[name] = [address for _, address in email.utils.getaddresses(message.get_all(field, []))]
        with LOCK:
            # Graph's ids are long base64 texts; these have its '=', '-' and '_' too.
            draft_id = "AAMk-%d_draft=" % next(DRAFT_NUMBERS)
            DRAFTS[draft_id] = draft
            STATE["graph_drafts"] = len(DRAFTS)
        self.reply(201, json.dumps({"id": draft_id, "subject": draft["subject"], "isDraft": True}))

    def graph_update(self, parts, body):
        """The draft's recipient lists set to those given, as the lists of addresses they hold."""
        try:
            given = json.loads(body)
            lists = {name: [entry["emailAddress"]["address"] for entry in given.get(name + "Recipients", [])]
                     for name in ("to", "cc", "bcc") if name + "Recipients" in given}
            # Exchange's PidTagDeleteAfterSubmit: no copy in Sent Items once sent.
            for prop in given.get("singleValueExtendedProperties", []):
                if prop["id"] == "Boolean 0x0E01" and prop["value"] == "true":
                    lists["kept"] = False
        except (ValueError, KeyError, TypeError, AttributeError):
            return self.graph_fail(400, "RequestBodyRead", "Cannot read the request body.")
        with LOCK:
            draft = DRAFTS.get(urllib.parse.unquote(parts[6]))
            if draft is not None:
                draft.update(lists)
        if draft is None:
            return self.graph_fail(404, "ErrorItemNotFound", "The specified object was not found in the store.")
        self.reply(200, json.dumps({"id": parts[6], "isDraft": True}))

    def graph_send_draft(self, parts, body):
        """Sent to whom the draft's lists name (recorded), the draft gone."""
        with LOCK:
            draft = DRAFTS.pop(urllib.parse.unquote(parts[6]), None)
            STATE["graph_drafts"] = len(DRAFTS)
            if draft is not None:
                self.graph_record(draft["mailbox"], draft["subject"], draft["to"] + draft["cc"] + draft["bcc"])
                STATE["graph_last_header"] = draft["header"]
                STATE["graph_last_lists"] = "|".join(name + ":" + ",".join(draft[name]) for name in ("to", "cc", "bcc"))
                STATE["graph_sent_items"] += 1 if draft.get("kept", True) else 0
        if draft is None:
            return self.graph_fail(404, "ErrorItemNotFound", "The specified object was not found in the store.")
        self.reply(202, "")

    def graph_delete(self, parts, body):
        with LOCK:
            draft = DRAFTS.pop(urllib.parse.unquote(parts[6]), None)
            STATE["graph_drafts"] = len(DRAFTS)
        if draft is None:
            return self.graph_fail(404, "ErrorItemNotFound", "The specified object was not found in the store.")
        self.send_response(204)
        self.send_header("Content-Length", "0")
        self.end_headers()


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
