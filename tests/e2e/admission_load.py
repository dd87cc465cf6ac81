#!/usr/bin/env python3
"""Load for admission_e2e.sh, on loopback only.
  site PORT_FILE          a threaded site (listen backlog 5, keep-alive) that admits every
                          visitor after 20 ms, and visitor 666 after 20 s
  burst PORT N            N visitors from 100 addresses join at once: "GREETED MS"
  flood PORT N READY STOP N connections from 127.0.0.3 register as visitor 666; those closed
                          are opened again (500 a second) until the file STOP exists
  client PORT GO          registered from 127.0.0.2; once the file GO exists, ten echoes
                          ("echo MS") and newcomers from 127.0.0.4-6 ("join MS")"""
import json, os, resource, selectors, socket, struct, sys, time, uuid
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from urllib.parse import parse_qs, urlparse


def frame(name, body):
    crc = 0  # the serialize id: CRC-16/ARC of the qualified class name
    for byte in ("DUve::Sequencer::CProtocol::" + name).encode():
        crc ^= byte
        for _ in range(8):
            crc = (crc >> 1) ^ 0xA001 if crc & 1 else crc >> 1
    return struct.pack("<IH", len(body) + 2, crc) + body


def registration(visitor, solution):  # 28 bytes, token "alpha"
    return frame("CRegistClient", struct.pack("<I", visitor) + b"\xff\xfe\xff\x05" +
                 "alpha".encode("utf-16-le") + struct.pack("<I", solution))


def connect(address, port):
    s = socket.socket()
    s.settimeout(10)
    s.bind((address, 0))
    s.connect(("127.0.0.1", port))
    return s


def read_frame(s):
    def exactly(n):
        data = b""
        while len(data) < n:
            chunk = s.recv(n - len(data))
            if not chunk:
                raise ConnectionError("closed")
            data += chunk
        return data
    return exactly(struct.unpack("<I", exactly(4))[0])


class Site(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def do_GET(self):
        query = parse_qs(urlparse(self.path).query)
        time.sleep(20 if query.get("visiterid") == ["666"] else 0.02)
        data = json.dumps({"acceptable": True}).encode()
        self.send_response(200)
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        self.wfile.write(data)

    def log_message(self, *args):
        pass


def site(port_file):
    ThreadingHTTPServer.request_queue_size = 5
    ThreadingHTTPServer.daemon_threads = True
    server = ThreadingHTTPServer(("127.0.0.1", 0), Site)
    with open(port_file + ".tmp", "w") as f:
        f.write(str(server.server_address[1]))
    os.rename(port_file + ".tmp", port_file)
    server.serve_forever()


def burst(port, n):
    sockets = [connect(f"127.0.2.{1 + i % 100}", int(port)) for i in range(int(n))]
    start = time.monotonic()
    for i, s in enumerate(sockets):
        s.sendall(registration(1000 + i, 1 + i % 10))
    sel = selectors.DefaultSelector()
    for s in sockets:
        sel.register(s, selectors.EVENT_READ)
    greeted, last = 0, 0
    while sel.get_map() and time.monotonic() < start + 40:
        for key, _ in sel.select(timeout=0.5):
            sel.unregister(key.fileobj)
            if key.fileobj.recv(4096):
                greeted, last = greeted + 1, time.monotonic() - start
    print(greeted, int(last * 1000))


def flood(port, n, ready, stop):
    sel, reg = selectors.DefaultSelector(), registration(666, 9)
    sent, budget, then = 0, 0.0, time.monotonic()

    def open_one():
        s = socket.socket()
        s.setblocking(False)
        s.bind(("127.0.0.3", 0))
        s.connect_ex(("127.0.0.1", int(port)))
        sel.register(s, selectors.EVENT_WRITE)
    for _ in range(int(n)):
        open_one()
    while not os.path.exists(stop) and time.monotonic() < then + 60:
        budget = min(50.0, budget + (time.monotonic() - then) * 500)
        then = time.monotonic()
        for key, mask in sel.select(timeout=0.1):
            s = key.fileobj
            try:
                if mask & selectors.EVENT_WRITE:
                    s.send(reg)
                    sent += 1
                    sel.modify(s, selectors.EVENT_READ)
                    continue
                if s.recv(4096):
                    continue
            except OSError:
                pass
            sel.unregister(s)
            s.close()
            if budget >= 1:
                budget -= 1
                open_one()
        if sent >= int(n) and not os.path.exists(ready):
            with open(ready, "w") as f:
                f.write(n)


def client(port, go):
    s = connect("127.0.0.2", int(port))
    s.sendall(registration(2, 5))
    read_frame(s)
    print("registered", flush=True)
    while not os.path.exists(go):
        time.sleep(0.05)
    for i in range(10):
        t = time.monotonic()
        s.sendall(frame("CCommandEcho", uuid.uuid4().bytes))
        read_frame(s)
        print("echo", int((time.monotonic() - t) * 1000), flush=True)
        if i % 3 == 1:
            t = time.monotonic()
            newcomer = connect(f"127.0.0.{4 + i // 3}", int(port))
            newcomer.sendall(registration(3 + i, 5))
            read_frame(newcomer)
            print("join", int((time.monotonic() - t) * 1000), flush=True)
        time.sleep(0.3)


if __name__ == "__main__":
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    {"site": site, "burst": burst, "flood": flood, "client": client}[sys.argv[1]](*sys.argv[2:])
