"""A small FTP server for the tests, on 127.0.0.1 only.

Usage: ftp_server.py ROOT RECORDDIR USER PASSWORD [MODE]

Writes its port to RECORDDIR/port once it listens, and runs until it is
terminated or the process that started it ends.
It stores uploads under ROOT as any FTP server would (ASCII uploads with the
local line ends), and records what really crossed the wire under RECORDDIR:
the raw bytes of every upload's data connection (one file per remote name)
and every command received ("commands.log", passwords masked).

MODE: "normal"; "drop" closes the data connection after the first 64 KiB of
an upload; "stall" stops reading uploads and never answers again; "mute"
accepts connections but never sends its greeting; "late226" or
"late226:SECONDS" stores an upload completely but sends its final "226"
reply only SECONDS (default 5) later; "norename" refuses RNFR and RNTO with
"550 Renaming is not allowed here." and renames nothing; "quota" or
"quota:BYTES" keeps the first BYTES (default 16) of an upload and then
refuses it with "552 Quota exceeded; upload aborted.", leaving the partial
file, as a full account does; "refuselogin:utf8" and "refuselogin:ansi"
refuse every log-in with a German reply in UTF-8 or in Windows-1252 bytes.

The mode can change while the server runs: a file "mode" in RECORDDIR, when
present, holds the mode to use instead of MODE. It is read again at each new
connection, each command and each upload start.
"""

import asynchat
import os
import sys
import threading

from parent_watch import end_with_parent

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import DTPHandler, FTPHandler
from pyftpdlib.servers import FTPServer

DROP_AFTER = 64 * 1024
QUOTA_BYTES = 16
REFUSED_LOGIN = "530 Anmeldung f\u00fcr \u201eshop.one\u201c fehlgeschlagen."
LATE_226_SECONDS = 5.0


def main():
    root, record_dir, user, password = sys.argv[1:5]
    start_mode = sys.argv[5] if len(sys.argv) > 5 else "normal"
    commands_log = os.path.join(record_dir, "commands.log")
    mode_file = os.path.join(record_dir, "mode")
    # The mode in force: its name and the text after a ":" ("" when none).
    current = {"name": "", "arg": ""}

    def refresh_mode():
        text = start_mode
        try:
            with open(mode_file, encoding="utf-8") as f:
                text = f.read().strip() or start_mode
        except FileNotFoundError:
            pass
        name, _, arg = text.partition(":")
        current["name"], current["arg"] = name, arg

    def mode():
        return current["name"]

    def quota_bytes():
        try:
            return int(current["arg"])
        except ValueError:
            return QUOTA_BYTES

    refresh_mode()

    def record_command(line):
        with open(commands_log, "a", encoding="utf-8") as f:
            f.write(line + "\n")

    class RecordingDTP(DTPHandler):
        def __init__(self, sock, cmd_channel):
            super().__init__(sock, cmd_channel)
            self._raw = None
            self._raw_count = 0

        def enable_receiving(self, type, cmd):
            refresh_mode()
            super().enable_receiving(type, cmd)

        def readable(self):
            if mode() == "stall" and self.receive:
                return False
            return super().readable()

        def recv(self, buffer_size):
            chunk = super().recv(buffer_size)
            if chunk and self.file_obj is not None:
                if self._raw is None:
                    name = os.path.basename(self.file_obj.name)
                    self._raw = open(os.path.join(record_dir, name), "wb")
                self._raw.write(chunk)
                self._raw.flush()
                self._raw_count += len(chunk)
                if mode() == "drop" and self._raw_count >= DROP_AFTER:
                    self._resp = ("426 Connection closed; transfer aborted.", lambda *a: None)
                    self.close()
                    return b""
                if mode() == "quota" and self._raw_count >= quota_bytes():
                    self.file_obj.write(chunk[:quota_bytes() - (self._raw_count - len(chunk))])
                    self._resp = ("552 Quota exceeded; upload aborted.", lambda *a: None)
                    self.close()
                    return b""
            return chunk

        def close(self):
            if self._raw is not None:
                self._raw.close()
                self._raw = None
            late = None
            if (mode() == "late226" and self.receive and not self._closed and self._resp
                    and self._resp[0].startswith("226")):
                late, self._resp = self._resp[0], ()
            # Closes the stored file; the reply follows on the ioloop, so that
            # other connections are served meanwhile.
            super().close()
            if late is not None:
                try:
                    delay = float(current["arg"])
                except ValueError:
                    delay = LATE_226_SECONDS
                # Cancelled when the control connection closes first.
                self.cmd_channel.call_later(delay, self.cmd_channel.respond, late)

    class RecordingHandler(FTPHandler):
        dtp_handler = RecordingDTP
        auth_failed_timeout = 0
        passive_ports = None

        def handle(self):
            refresh_mode()
            record_command("CONNECT")
            if mode() == "mute":
                return
            super().handle()

        def pre_process_command(self, line, cmd, arg):
            refresh_mode()
            if mode() == "stall" and self.data_channel is not None and self.data_channel.receive:
                return
            record_command("PASS ******" if cmd == "PASS" else line)
            if mode() == "refuselogin" and cmd == "PASS":
                encoding = "cp1252" if current["arg"] == "ansi" else "utf8"
                asynchat.async_chat.push(self, (REFUSED_LOGIN + "\r\n").encode(encoding,
                                                                                 "replace"))
                return
            if mode() == "norename" and cmd in ("RNFR", "RNTO"):
                self._rnfr = None
                self.respond("550 Renaming is not allowed here.")
                return
            super().pre_process_command(line, cmd, arg)

    authorizer = DummyAuthorizer()
    authorizer.add_user(user, password, root, perm="elradfmwMT")
    RecordingHandler.authorizer = authorizer

    server = FTPServer(("127.0.0.1", 0), RecordingHandler)
    end_with_parent()
    port_file = os.path.join(record_dir, "port")
    with open(port_file + ".tmp", "w") as f:
        f.write(str(server.socket.getsockname()[1]))
    os.replace(port_file + ".tmp", port_file)
    server.serve_forever(handle_exit=False)


if __name__ == "__main__":
    main()
