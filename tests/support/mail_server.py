"""Mail servers for the tests, on 127.0.0.1 only.

"real" runs aiosmtpd (AUTH, STARTTLS, implicit TLS); the scripted modes play
the misbehaving servers a real one will not imitate on demand. Every
connection is written, when it ends, as one JSON line to --record: the
commands received, whether TLS was on, the authenticated user and each mail
with its envelope and raw data. The listening port goes to --port-file once
the server accepts connections.
"""
import argparse
import asyncio
import json
import os
import ssl
import sys

from aiosmtpd.smtp import SMTP, AuthResult, LoginPassword


def write_record(path, record):
    with open(path, "a", encoding="utf-8") as f:
        f.write(json.dumps(record) + "\n")
        f.flush()
        os.fsync(f.fileno())


def new_record():
    return {"commands": [], "tls": False, "auth_user": None, "mails": []}


class RecordingSMTP(SMTP):
    def __init__(self, handler, record_path, implicit_tls, **kwargs):
        super().__init__(handler, **kwargs)
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
    exclude = ["LOGIN"] if args.auth == "plain-only" else []
    implicit = args.tls == "implicit"

    def factory():
        return RecordingSMTP(
            handler, args.record, implicit,
            hostname="mail.test.invalid",
            tls_context=tls_context if args.tls == "starttls" else None,
            auth_required=args.auth_required,
            auth_require_tls=False,
            auth_exclude_mechanism=exclude,
            authenticator=make_authenticator(args.user, args.password),
            timeout=60,
            loop=loop)

    return await loop.create_server(
        factory, "127.0.0.1", 0, ssl=tls_context if implicit else None)


class Scripted:
    """A plain SMTP server whose bad behaviour is chosen by --mode."""

    def __init__(self, args):
        self.mode = args.mode
        self.record_path = args.record

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
            verb = command.split(" ", 1)[0].upper()
            if verb == "EHLO":
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
                mail["rcpts"].append(command[8:].strip("<>"))
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
    p.add_argument("--auth", default="login", choices=["login", "plain-only"])
    p.add_argument("--auth-required", action="store_true")
    p.add_argument("--user", default="")
    p.add_argument("--password", default="")
    p.add_argument("--refuse-prefix", default="")
    p.add_argument("--record", required=True)
    p.add_argument("--port-file", required=True)
    args = p.parse_args()

    loop = asyncio.new_event_loop()
    asyncio.set_event_loop(loop)
    if args.mode == "real":
        server = loop.run_until_complete(run_real(args, loop))
    else:
        server = loop.run_until_complete(
            asyncio.start_server(Scripted(args).serve, "127.0.0.1", 0))
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
