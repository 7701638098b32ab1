#!/usr/bin/env python3
"""A webhook receiver for the end-to-end test: answers every POST with 204 and
appends its body, one line each, to a file. Usage: receiver.py PORT_FILE EVENTS_FILE.
It listens on a free port of 127.0.0.1 and writes that port to PORT_FILE."""
import http.server
import sys


class Receiver(http.server.BaseHTTPRequestHandler):
    def do_POST(self):
        length = int(self.headers.get("Content-Length", "0"))
        body = self.rfile.read(length)
        with open(sys.argv[2], "ab") as events:
            events.write(body.replace(b"\n", b" ") + b"\n")
        self.send_response(204)
        self.end_headers()

    def log_message(self, *args):
        pass


server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Receiver)
with open(sys.argv[1] + ".part", "w") as port:
    port.write(str(server.server_address[1]))
# Renamed into place, so a reader never sees half a number.
import os
os.replace(sys.argv[1] + ".part", sys.argv[1])
server.serve_forever()
