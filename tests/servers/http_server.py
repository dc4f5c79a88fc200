#!/usr/bin/python3
"""A small HTTP(S) server for the transfer tests: files from a directory (names percent-decoded,
pages with their content type), byte ranges, conditional requests (an entity tag and a
modification time with every file, "304 Not Modified" for an If-None-Match that names its tag), chosen statuses with bodies, a connection dropped once
in the middle of a body, throttling, a size announced by HEAD that the body does not keep, and an
access log with each answer's status, body length and the client's port (one port per connection),
written before the body is sent, so that a client that has its answer finds it in the log.

Prints "ready PORT" on standard output once it listens on 127.0.0.1."""

import argparse
import email.utils
import mimetypes
import os
import re
import socket
import ssl
import sys
import threading
import time
import urllib.parse
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

CHUNK = 64 * 1024


class State:
    drop_lock = threading.Lock()
    drop_done = False
    log_lock = threading.Lock()


def parse_range(header, size):
    """(start, end) inclusive, None for no range, "bad" for an unsatisfiable one."""
    if not header:
        return None
    match = re.fullmatch(r"bytes=(\d*)-(\d*)", header.strip())
    if not match or (match.group(1) == "" and match.group(2) == ""):
        return None
    if match.group(1) == "":
        length = int(match.group(2))
        start, end = max(size - length, 0), size - 1
    else:
        start = int(match.group(1))
        end = int(match.group(2)) if match.group(2) else size - 1
    end = min(end, size - 1)
    if start >= size or start > end:
        return "bad"
    return start, end


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "TestHTTP/1.0"

    def log_message(self, format, *args):
        pass

    def log_request_line(self):
        if self.server.options.log:
            with open(self.server.options.log, "a") as log:
                log.write("%s %s %s\n" % (self.command, self.path, self.headers.get("Range", "-")))

    def send_response(self, code, message=None):
        self.sent_status = code
        self.body_length = 0
        super().send_response(code, message)

    def send_header(self, keyword, value):
        if keyword == "Content-Length":
            self.body_length = int(value)
        super().send_header(keyword, value)

    def end_headers(self):
        if self.server.options.access_log:
            with State.log_lock, open(self.server.options.access_log, "a") as log:
                log.write("%s %s %s %d %d %d\n" % (self.command, self.path, self.headers.get("Range", "-"),
                                                    self.sent_status, self.body_length, self.client_address[1]))
        super().end_headers()

    def send_status_page(self, code):
        body = ("status %d for %s\n" % (code, self.path)).encode() * 4
        self.send_response(code)
        self.send_header("Content-Type", "text/plain")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(body)

    def do_HEAD(self):
        self.handle_request()

    def do_GET(self):
        self.handle_request()

    def handle_request(self):
        self.log_request_line()
        options = self.server.options
        name = urllib.parse.unquote(self.path.split("?", 1)[0]).lstrip("/")
        if name in options.statuses:
            self.send_status_page(options.statuses[name])
            return
        path = os.path.realpath(os.path.join(options.root, name))
        if not path.startswith(os.path.realpath(options.root)) or not os.path.isfile(path):
            self.send_status_page(404)
            return
        size = os.path.getsize(path)
        if self.command == "HEAD" and name in options.announced:
            self.send_response(200)
            self.send_header("Content-Length", str(options.announced[name]))
            self.end_headers()
            return
        stat = os.stat(path)
        etag = '"%x-%x"' % (stat.st_mtime_ns, size)
        last_modified = email.utils.formatdate(stat.st_mtime, usegmt=True)
        if etag in [tag.strip() for tag in self.headers.get("If-None-Match", "").split(",")]:
            self.send_response(304)
            self.send_header("ETag", etag)
            self.send_header("Last-Modified", last_modified)
            self.end_headers()
            return
        wanted = None if options.no_range else parse_range(self.headers.get("Range"), size)
        if wanted == "bad":
            self.send_response(416)
            self.send_header("Content-Range", "bytes */%d" % size)
            self.send_header("Content-Length", "0")
            self.end_headers()
            return
        start, end = wanted if wanted else (0, size - 1)
        length = end - start + 1 if size else 0
        self.send_response(206 if wanted else 200)
        # Pages are served as pages, so that a browser shows them; everything else is bytes.
        self.send_header("Content-Type", mimetypes.guess_type(path)[0] or "application/octet-stream")
        self.send_header("Content-Length", str(length))
        self.send_header("Accept-Ranges", "none" if options.no_range else "bytes")
        self.send_header("ETag", etag)
        self.send_header("Last-Modified", last_modified)
        if wanted:
            self.send_header("Content-Range", "bytes %d-%d/%d" % (start, end, size))
        self.end_headers()
        if self.command == "HEAD":
            return
        self.send_body(path, start, length)

    def send_body(self, path, start, length):
        options = self.server.options
        limit = None
        if options.drop_after is not None and length > options.drop_after:
            with State.drop_lock:
                if not State.drop_done:
                    State.drop_done = True
                    limit = options.drop_after
        with open(path, "rb") as source:
            source.seek(start)
            if limit is None and options.throttle is None and not options.tls:
                self.wfile.flush()
                self.connection.sendfile(source, start, length)
                return
            remaining = length if limit is None else limit
            while remaining > 0:
                piece = 1024 if options.throttle else CHUNK
                data = source.read(min(piece, remaining))
                if not data:
                    break
                if options.throttle:
                    time.sleep(len(data) / options.throttle)
                self.wfile.write(data)
                self.wfile.flush()
                remaining -= len(data)
        if limit is not None:
            # Cut the connection as a broken network would: no more bytes, no clean end.
            self.close_connection = True
            try:
                self.connection.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--root", required=True)
    parser.add_argument("--status", action="append", default=[],
                        help="NAME=CODE: answer requests for NAME with CODE and a body")
    parser.add_argument("--announce", action="append", default=[],
                        help="NAME=SIZE: answer HEAD for NAME with SIZE, whatever the file holds")
    parser.add_argument("--drop-after", type=int, help="cut the first long body after N bytes")
    parser.add_argument("--throttle", type=float, help="bytes per second")
    parser.add_argument("--no-range", action="store_true", help="ignore Range headers")
    parser.add_argument("--tls", nargs=2, metavar=("CERT", "KEY"))
    parser.add_argument("--log", help="append one line per request")
    parser.add_argument("--access-log",
                        help="append one line per answer: method, path, range, status, body length, client port")
    options = parser.parse_args()
    options.statuses = {}
    for item in options.status:
        name, code = item.rsplit("=", 1)
        options.statuses[name.lstrip("/")] = int(code)
    options.announced = {}
    for item in options.announce:
        name, size = item.rsplit("=", 1)
        options.announced[name.lstrip("/")] = int(size)

    server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    server.daemon_threads = True
    server.options = options
    if options.tls:
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(options.tls[0], options.tls[1])
        server.socket = context.wrap_socket(server.socket, server_side=True)
    print("ready %d" % server.server_address[1], flush=True)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass


if __name__ == "__main__":
    sys.exit(main())
