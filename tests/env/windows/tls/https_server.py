#!/usr/bin/env python3
"""TLS server for winhttp_tls_test.cpp: presents localhost.pem and answers
every GET with 200 and a Content-Length body; GET /resumed answers how many
handshakes so far resumed an earlier session. Usage: https_server.py PORT"""
import http.server
import os
import ssl
import sys


resumed = set()


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def do_GET(self):
        if self.connection.session_reused:
            resumed.add(id(self.connection))
        body = str(len(resumed)).encode() if self.path == "/resumed" else b"secure"
        self.send_response(200)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, *args):
        pass


here = os.path.dirname(os.path.abspath(__file__))
server = http.server.HTTPServer(("127.0.0.1", int(sys.argv[1])), Handler)
context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
context.load_cert_chain(os.path.join(here, "localhost.pem"), os.path.join(here, "localhost.key"))
server.socket = context.wrap_socket(server.socket, server_side=True)
server.serve_forever()
