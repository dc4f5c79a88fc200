#!/usr/bin/python3
"""A small FTP server for the transfer tests, on pyftpdlib: one user with a password and
anonymous access to a directory, passive mode, optionally refusing REST or cutting the first long
download after N bytes (data and control connection both, as a broken network would).

Prints "ready PORT" on standard output once it listens on 127.0.0.1."""

import argparse
import logging
import sys

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import DTPHandler, FTPHandler
from pyftpdlib.servers import FTPServer


class Options:
    refuse_rest = False
    drop_after = None
    log = None


class CuttingDTPHandler(DTPHandler):
    def send(self, data):
        limit = Options.drop_after
        if limit is None or self.tot_bytes_sent + len(data) < limit:
            return super().send(data)
        sent = super().send(data[:limit - self.tot_bytes_sent]) if limit > self.tot_bytes_sent else 0
        # A partial send leaves the cut for the next call, so that exactly N bytes go out.
        if self.tot_bytes_sent >= limit:
            Options.drop_after = None
            # No 426, no clean end of the data connection: both connections simply go away.
            self.cmd_channel.close()
        return sent


class TestFTPHandler(FTPHandler):
    dtp_handler = CuttingDTPHandler
    use_sendfile = True

    def pre_process_command(self, line, cmd, arg):
        if Options.log:
            with open(Options.log, "a") as log:
                log.write(line if cmd != "PASS" else "PASS ***")
                log.write("\n")
        return super().pre_process_command(line, cmd, arg)

    def ftp_REST(self, line):
        if Options.refuse_rest:
            self.respond("502 Command not implemented.")
            return
        return super().ftp_REST(line)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--root", required=True)
    parser.add_argument("--user", default="user")
    parser.add_argument("--password", default="secret")
    parser.add_argument("--refuse-rest", action="store_true")
    parser.add_argument("--drop-after", type=int, help="cut the first download after N bytes")
    parser.add_argument("--log", help="append every command received")
    options = parser.parse_args()
    Options.refuse_rest = options.refuse_rest
    Options.drop_after = options.drop_after
    Options.log = options.log
    # Cutting a transfer after an exact count needs plain sends.
    TestFTPHandler.use_sendfile = options.drop_after is None

    logging.basicConfig(level=logging.ERROR)
    authorizer = DummyAuthorizer()
    authorizer.add_user(options.user, options.password, options.root, perm="elr")
    authorizer.add_anonymous(options.root, perm="elr")
    TestFTPHandler.authorizer = authorizer
    TestFTPHandler.banner = "test server ready"
    # A wrong password is answered at once; the tests retry many times.
    TestFTPHandler.auth_failed_timeout = 0

    server = FTPServer(("127.0.0.1", 0), TestFTPHandler)
    print("ready %d" % server.address[1], flush=True)
    try:
        server.serve_forever(handle_exit=True)
    except KeyboardInterrupt:
        pass
    server.close_all()


if __name__ == "__main__":
    sys.exit(main())
