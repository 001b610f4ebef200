"""Mail servers for the tests, on 127.0.0.1 or ::1 only.

"real" runs aiosmtpd (AUTH with the --auth-mechanisms, STARTTLS, implicit
TLS); the scripted modes play the misbehaving servers a real one will not
imitate on demand. Every connection is written, when it ends, as one JSON
line to --record: the commands received, whether TLS was on, the
authenticated user and each mail with its envelope, raw data and (real
server) the To header as a strict reader parses it. The listening port goes
to --port-file once the server accepts connections.
"""
import argparse
import asyncio
import email
import email.policy
import hmac
import json
import os
import re
import ssl
import sys

from parent_watch import end_with_parent
from aiosmtpd.smtp import MISSING, SMTP, AuthResult, LoginPassword, auth_mechanism

# The mechanisms the real server can offer; --auth-mechanisms picks.
MECHANISMS = ["LOGIN", "PLAIN", "CRAM-MD5", "X-OTHER"]


def write_record(path, record):
    with open(path, "a", encoding="utf-8") as f:
        f.write(json.dumps(record) + "\n")
        f.flush()
        os.fsync(f.fileno())


def new_record():
    return {"commands": [], "tls": False, "auth_user": None, "mails": []}


class RecordingSMTP(SMTP):
    def __init__(self, handler, record_path, implicit_tls, user, password, **kwargs):
        super().__init__(handler, **kwargs)
        self.user = user
        self.password = password
        self.record = new_record()
        self.record["tls"] = implicit_tls
        self.record_path = record_path
        for name, method in list(self._smtp_methods.items()):
            self._smtp_methods[name] = self._recorded(name, method)

    def _recorded(self, name, method):
        async def wrapper(arg):
            self.record["commands"].append(name + (" " + arg if arg else ""))
            await method(arg)
            if name == "STARTTLS" and self._tls_protocol:
                self.record["tls"] = True
        return wrapper

    def connection_lost(self, error):
        write_record(self.record_path, self.record)
        super().connection_lost(error)

    @auth_mechanism("CRAM-MD5")
    async def auth_CRAM_MD5(self, server, args):
        challenge = b"<%d.%d@mail.test.invalid>" % (os.getpid(), id(self))
        response = await server.challenge_auth(challenge)
        if response is MISSING:
            return AuthResult(success=False, handled=True)
        user, _, digest = response.rpartition(b" ")
        expected = hmac.new(self.password.encode(), challenge, "md5").hexdigest()
        ok = user == self.user.encode() and hmac.compare_digest(digest, expected.encode())
        if ok:
            self.record["auth_user"] = self.user
        return AuthResult(success=ok, handled=False)

    # A method the client does not know.
    @auth_mechanism("X-OTHER")
    async def auth_X_OTHER(self, server, args):
        return AuthResult(success=False, handled=False)


def strict_to(data):
    """The To header's mailboxes as a strict reader sees them."""
    try:
        message = email.message_from_bytes(data, policy=email.policy.strict)
        return [{"name": a.display_name, "address": a.addr_spec}
                for a in message["To"].addresses]
    except Exception as error:  # the test shows what the reader refused
        return {"error": "%s: %s" % (type(error).__name__, error)}


class Handler:
    def __init__(self, refuse_prefix):
        self.refuse_prefix = refuse_prefix

    async def handle_RCPT(self, server, session, envelope, address, options):
        if address in ("", "<>"):  # aiosmtpd itself would take it
            return "501 5.1.3 Bad recipient address syntax"
        if self.refuse_prefix and address.startswith(self.refuse_prefix):
            return "550 5.1.1 <%s>: Recipient address rejected" % address
        envelope.rcpt_tos.append(address)
        return "250 OK"

    async def handle_DATA(self, server, session, envelope):
        if any(a.startswith("data-refused") for a in envelope.rcpt_tos):
            return "554 5.6.0 Message refused"
        server.record["mails"].append({
            "from": envelope.mail_from,
            "rcpts": list(envelope.rcpt_tos),
            "data": envelope.original_content.decode("utf-8", "replace"),
            "to": strict_to(envelope.original_content),
        })
        return "250 2.0.0 Ok: queued"


def make_authenticator(user, password):
    def authenticator(server, session, envelope, mechanism, auth_data):
        ok = (isinstance(auth_data, LoginPassword)
              and auth_data.login == user.encode()
              and auth_data.password == password.encode())
        if ok:
            server.record["auth_user"] = user
        return AuthResult(success=ok, handled=False)
    return authenticator


async def run_real(args, loop):
    tls_context = None
    if args.tls != "none":
        tls_context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
        tls_context.load_cert_chain(args.cert, args.key)
    handler = Handler(args.refuse_prefix)
    offered = args.auth_mechanisms.split()
    exclude = [m for m in MECHANISMS if m not in offered]
    implicit = args.tls == "implicit"

    def factory():
        return RecordingSMTP(
            handler, args.record, implicit, args.user, args.password,
            hostname="mail.test.invalid",
            tls_context=tls_context if args.tls == "starttls" else None,
            auth_required=args.auth_required,
            auth_require_tls=False,
            auth_exclude_mechanism=exclude,
            authenticator=make_authenticator(args.user, args.password),
            timeout=60,
            loop=loop)

    return await loop.create_server(
        factory, args.bind, 0, ssl=tls_context if implicit else None)


class Scripted:
    """A plain SMTP server whose bad behaviour is chosen by --mode."""

    def __init__(self, args):
        self.mode = args.mode
        self.record_path = args.record
        self.refuse_prefix = args.refuse_prefix
        self.refusal = bytes.fromhex(args.refusal_hex)

    async def serve(self, reader, writer):
        record = new_record()
        try:
            await self.converse(reader, writer, record)
        except (ConnectionError, asyncio.IncompleteReadError):
            pass
        finally:
            write_record(self.record_path, record)
            writer.close()

    async def hang(self):
        await asyncio.sleep(3600)

    async def converse(self, reader, writer, record):
        async def reply(text):
            writer.write(text.encode() + b"\r\n")
            await writer.drain()

        if self.mode == "silent":
            await self.hang()
        await reply("220 scripted.test.invalid ESMTP")
        mail = None
        while True:
            line = await reader.readline()
            if not line:
                return
            command = line.decode("utf-8", "replace").rstrip("\r\n")
            record["commands"].append(command)
            verb, _, arg = command.partition(" ")
            verb = verb.upper()
            if verb in ("EHLO", "HELO") and self.mode == "strict-helo" and not (
                    "." in arg or re.fullmatch(r"\[(IPv6:)?[0-9A-Fa-f.:]+\]", arg)):
                await reply("504 5.5.2 <%s>: Helo command rejected: "
                            "need fully-qualified hostname" % arg)
            elif verb == "EHLO":
                if self.mode == "ehlo-refused":
                    await reply("502 5.5.2 Error: command not recognized")
                else:
                    await reply("250-scripted.test.invalid\r\n250 8BITMIME")
            elif verb == "HELO":
                await reply("250 scripted.test.invalid")
            elif verb == "MAIL":
                mail = {"from": command[10:].strip("<>"), "rcpts": [], "data": ""}
                await reply("250 OK")
            elif verb == "RCPT":
                address = command[8:].strip("<>")
                if self.refuse_prefix and address.startswith(self.refuse_prefix):
                    writer.write(self.refusal + b"\r\n")
                    await writer.drain()
                else:
                    mail["rcpts"].append(address)
                    await reply("250 OK")
            elif verb == "DATA":
                await reply("354 End data with <CR><LF>.<CR><LF>")
                if self.mode == "drop-after-354":
                    return
                data = b""
                while not data.endswith(b"\r\n.\r\n"):
                    chunk = await reader.readline()
                    if not chunk:
                        return
                    data += chunk
                mail["data"] = data.decode("utf-8", "replace")
                if self.mode == "drop-after-dot":
                    return
                record["mails"].append(mail)
                await reply("250 OK: queued")
            elif verb == "QUIT":
                if self.mode == "silent-at-quit":
                    await self.hang()
                await reply("221 Bye")
                return
            else:
                await reply("502 5.5.2 Error: command not recognized")


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--mode", default="real")
    p.add_argument("--tls", default="none", choices=["none", "starttls", "implicit"])
    p.add_argument("--cert")
    p.add_argument("--key")
    p.add_argument("--auth-mechanisms", default="LOGIN PLAIN")
    p.add_argument("--auth-required", action="store_true")
    p.add_argument("--user", default="")
    p.add_argument("--password", default="")
    p.add_argument("--refuse-prefix", default="")
    # The scripted server's reply to a refused recipient, as hex bytes.
    p.add_argument("--refusal-hex",
                   default=b"550 5.1.1 Recipient address rejected".hex())
    p.add_argument("--bind", default="127.0.0.1", choices=["127.0.0.1", "::1"])
    p.add_argument("--record", required=True)
    p.add_argument("--port-file", required=True)
    args = p.parse_args()

    loop = asyncio.new_event_loop()
    asyncio.set_event_loop(loop)
    if args.mode == "real":
        server = loop.run_until_complete(run_real(args, loop))
    else:
        server = loop.run_until_complete(
            asyncio.start_server(Scripted(args).serve, args.bind, 0))
    end_with_parent()
    port = server.sockets[0].getsockname()[1]
    tmp = args.port_file + ".tmp"
    with open(tmp, "w") as f:
        f.write(str(port))
    os.replace(tmp, args.port_file)
    try:
        loop.run_forever()
    except KeyboardInterrupt:
        pass
    return 0


if __name__ == "__main__":
    sys.exit(main())
