#!/usr/bin/python3
"""A real SMTP server for the mail tests: aiosmtpd on loopback, storing each message it takes.

Every message goes into FOLDER as NNN.eml (the bytes as received), NNN.html (its HTML body as
a mail reader decodes it) and NNN.meta: "key=value" lines with the envelope sender and
recipients, the AUTH mechanism and login used, whether the session ran over TLS, the decoded
headers and one "image=CID;TYPE;SIZE;ISPNG" line per image.
FOLDER/connections counts the connections made, FOLDER/auth_attempts the AUTH exchanges
tried; FOLDER/ready appears once the port listens. With --hold, a message is stored but
answered only once the file named exists: a mail the server has while its sender waits.
"""

import argparse
import asyncio
import email
import email.policy
import os
import signal
import ssl
import threading

from aiosmtpd.controller import Controller
from aiosmtpd.smtp import SMTP, AuthResult


def write_atomic(path, data):
    temporary = path + ".tmp"
    with open(temporary, "wb") as file:
        file.write(data)
    os.replace(temporary, path)


def parse(raw):
    """What a mail reader makes of the message: headers decoded, the HTML body, the images."""
    message = email.message_from_bytes(raw, policy=email.policy.default)
    html = None
    images = []
    for part in message.walk():
        if part.get_content_maintype() == "multipart":
            continue
        if part.get_content_type() == "text/html" and html is None:
            html = part.get_content()
        elif part.get_content_maintype() == "image":
            data = part.get_content()
            images.append({"cid": (part["Content-ID"] or "").strip("<>"),
                           "type": part.get_content_type(), "size": len(data),
                           "png": data[:8] == b"\x89PNG\r\n\x1a\n"})
    return {"subject": str(message["Subject"]), "from": str(message["From"]),
            "sender": str(message["Sender"]), "to": str(message["To"]),
            "html_charset": next((p.get_content_charset() for p in message.walk()
                                  if p.get_content_type() == "text/html"), None),
            "html": html, "images": images}


class Store:
    def __init__(self, args):
        self.args = args
        self.lock = threading.Lock()
        self.count = 0
        self.connections = 0
        self.auth_attempts = 0
        self.rcpt_answers = dict(item.split("=", 1) for item in args.rcpt_answer or [])

    def connected(self):
        with self.lock:
            self.connections += 1
            write_atomic(os.path.join(self.args.folder, "connections"),
                         str(self.connections).encode())

    def auth_attempted(self):
        with self.lock:
            self.auth_attempts += 1
            write_atomic(os.path.join(self.args.folder, "auth_attempts"),
                         str(self.auth_attempts).encode())

    async def handle_RCPT(self, server, session, envelope, address, rcpt_options):
        answer = self.rcpt_answers.get(address)
        if answer:
            return answer + " refused by the test server"
        envelope.rcpt_tos.append(address)
        return "250 OK"

    async def handle_DATA(self, server, session, envelope):
        if self.args.answer:
            return self.args.answer + " refused by the test server"
        with self.lock:
            self.count += 1
            name = os.path.join(self.args.folder, "%03d" % self.count)
        auth = getattr(session, "test_auth", None)
        raw = envelope.original_content or envelope.content
        parsed = parse(raw)
        lines = ["mail_from=" + envelope.mail_from,
                 "rcpt=" + ",".join(envelope.rcpt_tos),
                 "auth=" + ("%s %s" % auth if auth else ""),
                 "tls=" + ("1" if session.ssl is not None or
                            server.transport.get_extra_info("ssl_object") is not None else "0")]
        for key in ("subject", "from", "sender", "to", "html_charset"):
            lines.append("%s=%s" % (key, parsed[key]))
        for image in parsed["images"]:
            lines.append("image=%s;%s;%d;%d" % (image["cid"], image["type"], image["size"],
                                                image["png"]))
        write_atomic(name + ".eml", raw)
        write_atomic(name + ".html", (parsed["html"] or "").encode())
        write_atomic(name + ".meta", ("\n".join(lines) + "\n").encode())
        while self.args.hold and not os.path.exists(self.args.hold):
            await asyncio.sleep(0.05)
        return "250 OK"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--folder", required=True)
    parser.add_argument("--login", help="LOGIN:PASSWORD accepted by AUTH")
    parser.add_argument("--starttls", nargs=2, metavar=("CERT", "KEY"))
    parser.add_argument("--implicit-tls", nargs=2, metavar=("CERT", "KEY"))
    parser.add_argument("--answer", help="answer every DATA with this code (e.g. 550, 451)")
    parser.add_argument("--rcpt-answer", action="append", metavar="ADDRESS=CODE",
                        help="answer RCPT for this address with this code (e.g. 451)")
    parser.add_argument("--hold", metavar="FILE",
                        help="answer a stored message only once this file exists")
    args = parser.parse_args()
    os.makedirs(args.folder, exist_ok=True)
    store = Store(args)

    def authenticator(server, session, envelope, mechanism, auth_data):
        store.auth_attempted()
        login = auth_data.login.decode() if isinstance(auth_data.login, bytes) else auth_data.login
        password = auth_data.password.decode() if isinstance(auth_data.password, bytes) \
            else auth_data.password
        if args.login and f"{login}:{password}" == args.login:
            session.test_auth = (mechanism, login)
            return AuthResult(success=True)
        return AuthResult(success=False, handled=False)

    class CountingSMTP(SMTP):
        def connection_made(self, transport):
            store.connected()
            super().connection_made(transport)

    def context(pair):
        if not pair:
            return None
        ctx = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
        ctx.load_cert_chain(pair[0], pair[1])
        return ctx

    smtp_options = dict(
        authenticator=authenticator if args.login else None,
        auth_required=bool(args.login),
        auth_require_tls=bool(args.starttls),
        tls_context=context(args.starttls),
        require_starttls=bool(args.starttls),
        hostname="test.smtp",
    )

    class TestController(Controller):
        def factory(self):
            return CountingSMTP(self.handler, **smtp_options)

    controller = TestController(store, hostname="127.0.0.1", port=args.port,
                                ssl_context=context(args.implicit_tls))
    controller.start()
    # The controller's own check of its listener is no connection of a client.
    with store.lock:
        store.connections = 0
        write_atomic(os.path.join(args.folder, "connections"), b"0")
        write_atomic(os.path.join(args.folder, "auth_attempts"), b"0")
    write_atomic(os.path.join(args.folder, "ready"), b"1")
    stop = threading.Event()
    signal.signal(signal.SIGTERM, lambda *_: stop.set())
    signal.signal(signal.SIGINT, lambda *_: stop.set())
    stop.wait()
    controller.stop()


if __name__ == "__main__":
    main()
