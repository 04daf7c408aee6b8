#!/usr/bin/env python3
"""A small HTTP(S) server for the HttpPoster tests. Prints its port on the
first line of standard output, then serves until it is killed.

  http_test_server.py [--tls CERT KEY]
  http_test_server.py --proxy    a forward proxy to 127.0.0.1 for any host: POST (adds "Via:
                                 zev-test-proxy"), CONNECT (403 to *.denied or without Host)

POST paths:
  /echo...        200, a JSON body: method, path, client port, headers in order, body
  /status/NNN...  status NNN with the body "status NNN" (no Location for 302)
  /denied...      200 {"code":401,"msg":"denied"}
  /notjson...     200 with a body that is not JSON
  /baddata...     200 {"code":0,"msg":"ok","data":"abc"} (data that does not decrypt)
  /redirect       302 to /echo
  /redirect-to/U  302 to the URL U
  /zero           200 with a body holding zero bytes
  /hang           reads the request and never answers
"""
import http.client
import http.server
import json
import select
import socket
import socketserver
import ssl
import sys
import time
import urllib.parse


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):  # keep the test output quiet
        pass

    def reply(self, status, body, headers=()):
        self.send_response(status)
        for name, value in headers:
            self.send_header(name, value)
        if status != 304:
            self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        if status != 304:
            self.wfile.write(body)

    def do_POST(self):
        length = int(self.headers.get("Content-Length", "0"))
        body = self.rfile.read(length) if length else b""
        path = self.path
        if path.startswith("/echo") or path == "/":
            doc = {"method": self.command, "path": path, "client_port": self.client_address[1],
                   "headers": [[k, v] for k, v in self.headers.items()], "body": body.decode("latin-1")}
            self.reply(200, json.dumps(doc).encode())
        elif path.startswith("/status/"):
            code = int(path.split("/")[2])
            self.reply(code, ("status %d" % code).encode())
        elif path.startswith("/denied"):
            self.reply(200, b'{"code":401,"msg":"denied"}')
        elif path.startswith("/notjson"):
            self.reply(200, b"not json at all")
        elif path.startswith("/baddata"):
            self.reply(200, b'{"code":0,"msg":"ok","data":"abc"}')
        elif path == "/redirect":
            self.reply(302, b"moved", [("Location", "/echo?redirected=1")])
        elif path.startswith("/redirect-to/"):
            self.reply(302, b"moved", [("Location", path[len("/redirect-to/"):])])
        elif path == "/zero":
            self.reply(200, b"ab\x00cd" * 600)
        elif path == "/hang":
            time.sleep(3600)
        elif path == "/trickle":  # a 204 answer at a byte every 2 s
            for byte in b"HTTP/1.1 204 No Content\r\n\r\n":
                self.wfile.write(bytes([byte]))
                time.sleep(2)
        elif path in ("/to-close", "/cut"):  # a body ending with the connection; /cut: over TLS, no close_notify
            self.close_connection = True
            self.wfile.write(b"HTTP/1.1 200 OK\r\nConnection: close\r\n\r\npart")
            self.connection.shutdown(socket.SHUT_RDWR) if path == "/cut" else self.connection.unwrap()
        else:
            self.reply(404, b"no such path")


class Proxy(Handler):
    def do_POST(self):
        url = urllib.parse.urlsplit(self.path)
        body = self.rfile.read(int(self.headers.get("Content-Length", "0")))
        upstream = http.client.HTTPConnection("127.0.0.1", url.port)
        upstream.request("POST", self.path.split(url.netloc, 1)[1], body, dict(self.headers, Via="zev-test-proxy"))
        answer = upstream.getresponse()
        self.reply(answer.status, answer.read(), [h for h in answer.getheaders() if h[0] == "Location"])

    def do_CONNECT(self):
        if self.path.split(":")[0].endswith(".denied") or "Host" not in self.headers:
            return self.send_error(403)
        upstream = socket.create_connection(("127.0.0.1", int(self.path.rsplit(":", 1)[1])))
        self.send_response(200, "Connection established")
        self.end_headers()
        self.close_connection = True
        ends = [self.connection, upstream]
        while True:
            for end in select.select(ends, [], [])[0]:
                data = end.recv(65536)
                if not data:
                    return upstream.close()
                ends[1 - ends.index(end)].sendall(data)


class Server(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True
    allow_reuse_address = True


def main():
    server = Server(("127.0.0.1", 0), Proxy if sys.argv[1:] == ["--proxy"] else Handler)
    if len(sys.argv) == 4 and sys.argv[1] == "--tls":
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(sys.argv[2], sys.argv[3])
        server.socket = context.wrap_socket(server.socket, server_side=True)
    print(server.server_address[1], flush=True)
    server.serve_forever()


if __name__ == "__main__":
    main()
