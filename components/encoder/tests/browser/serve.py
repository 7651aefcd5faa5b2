#!/usr/bin/env python3
"""Serves DIRECTORY on 127.0.0.1 on a free port for a browser test.

GET serves the folder's files (byte ranges included, as a browser asks for
video); POST /result stores the request body as DIRECTORY/result.json, for
the test to read. Prints "port N" once it accepts connections; runs until
ended by a signal.

    serve.py DIRECTORY
"""
import http.server
import os
import re
import sys


class Handler(http.server.SimpleHTTPRequestHandler):
    def log_message(self, *args):
        pass

    def end_headers(self):
        self.send_header("Accept-Ranges", "bytes")
        self.send_header("Cache-Control", "no-store")
        super().end_headers()

    def do_GET(self):
        # Byte ranges: a browser fetches a video in parts and seeks by range.
        match = re.fullmatch(r"bytes=(\d*)-(\d*)", self.headers.get("Range", ""))
        path = self.translate_path(self.path)
        if not match or not os.path.isfile(path):
            return super().do_GET()
        size = os.path.getsize(path)
        first = int(match.group(1)) if match.group(1) else max(0, size - int(match.group(2) or 0))
        last = int(match.group(2)) if match.group(1) and match.group(2) else size - 1
        last = min(last, size - 1)
        if first >= size or first > last:
            self.send_response(416)
            self.send_header("Content-Range", f"bytes */{size}")
            self.end_headers()
            return
        self.send_response(206)
        self.send_header("Content-Type", self.guess_type(path))
        self.send_header("Content-Range", f"bytes {first}-{last}/{size}")
        self.send_header("Content-Length", str(last - first + 1))
        self.end_headers()
        with open(path, "rb") as f:
            f.seek(first)
            left = last - first + 1
            while left > 0:
                chunk = f.read(min(left, 1 << 16))
                if not chunk:
                    break
                try:
                    self.wfile.write(chunk)
                except (BrokenPipeError, ConnectionResetError):
                    return
                left -= len(chunk)

    def do_POST(self):
        body = self.rfile.read(int(self.headers.get("Content-Length", "0")))
        if self.path == "/result":
            tmp = os.path.join(self.directory, "result.json.part")
            with open(tmp, "wb") as f:
                f.write(body)
            os.replace(tmp, os.path.join(self.directory, "result.json"))
        self.send_response(204)
        self.end_headers()


def main():
    directory = sys.argv[1]
    handler = lambda *a, **k: Handler(*a, directory=directory, **k)
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
    print(f"port {server.server_address[1]}", flush=True)
    server.serve_forever()


if __name__ == "__main__":
    main()
