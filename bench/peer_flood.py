#!/usr/bin/env python3
"""Figures of the real server against peers that never stop sending, and of its standard output per
request. Run inside a network namespace that has only loopback:

    source scripts/common.sh; isolated python3 bench/peer_flood.py build/test/bin/calvoro 3

where the arguments are

    CALVORO_BINARY [REPEATS]

1. A master server stand-in on 127.0.0.1 answers the first contact (a register) with a key and
   then endless trailer lines, or with endless "100 Continue" interim replies, without pause. Printed:
   how long the contact lasted (the request's arrival to the server's close, as the stand-in saw it),
   the bytes the stand-in sent (most of them never read: they sat in the socket buffers), the
   server's resident memory before the contact and its peak during it (sampled every 5 ms from
   /proc), and the SIGTERM-to-exit time after it.
2. The same floods paced (a trailer line every 5 ms, an interim reply every 10 ms) so that no cap is
   reached before the 5 s waits: SIGTERM 1 s into the contact, while the stand-in sends; printed is
   the SIGTERM-to-exit time. Then the same left to run: how long the contact lasted.
3. Requests for a shared file with a 15,000-byte Range header: the standard output bytes per request.
"""
import os
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

TRAILER_HEAD = b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nKEY\r\n0\r\n"
TRAILER = b"X-T: v\r\n"
INTERIM = b"HTTP/1.1 100 Continue\r\n\r\n"


def free_port():
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


def resident_kib(pid):
    try:
        with open(f"/proc/{pid}/status") as f:
            for line in f:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return 0


def seed(home, port, folder=None, device=None):
    os.makedirs(f"{home}/Calvoro", exist_ok=True)
    folders = f"<Folder><Path>{folder}</Path><Alias>Movies</Alias></Folder>\n" if folder else ""
    authorised = f"<UniqueID>{device}</UniqueID>" if device else ""
    with open(f"{home}/Calvoro/state.xml", "w") as f:
        f.write(f'<?xml version="1.0"?>\n<CalvoroState>\n<VideoFolders>\n{folders}</VideoFolders>\n'
                f"<Authorized>{authorised}</Authorized>\n<FinishedConv/>\n"
                f"<HttpPort>{port}</HttpPort>\n<UpnpEnabled>0</UpnpEnabled>\n</CalvoroState>\n")


class Server:
    def __init__(self, binary, home, master):
        env = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "XDG_DATA_HOME": home, "HOME": home,
               "CALVORO_MASTER_HOST": master, "AVAHI_COMPAT_NOWARN": "1"}
        self.out = open(f"{home}/stdout", "wb")
        self.err = open(f"{home}/stderr", "wb")
        self.log = f"{home}/Calvoro/CalvoroLog.txt"
        self.proc = subprocess.Popen([binary, "-s"], env=env, stdout=self.out, stderr=self.err)

    def wait_log(self, text, seconds):
        until = time.monotonic() + seconds
        while time.monotonic() < until:
            try:
                with open(self.log, "rb") as f:
                    if text.encode() in f.read():
                        return True
            except OSError:
                pass
            time.sleep(0.05)
        return False

    def terminate(self):
        start = time.monotonic()
        self.proc.send_signal(signal.SIGTERM)
        try:
            self.proc.wait(15)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
            return None
        return time.monotonic() - start


class Master:
    """Accepts one connection, reads the request head, then sends head and repeat until the peer
    closes (or the limit is reached)."""

    def __init__(self, head, repeat, pause, limit=512 << 20):
        self.listener = socket.socket()
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(4)
        self.port = self.listener.getsockname()[1]
        self.head, self.repeat, self.pause, self.limit = head, repeat, pause, limit
        self.arrived = threading.Event()
        self.arrived_at = self.closed_at = None
        self.sent = 0
        threading.Thread(target=self.run, daemon=True).start()

    def run(self):
        conn, _ = self.listener.accept()
        data = b""
        while b"\r\n\r\n" not in data:
            chunk = conn.recv(4096)
            if not chunk:
                return
            data += chunk
        self.arrived_at = time.monotonic()
        self.arrived.set()
        block = self.repeat * (1 if self.pause else max(1, 65536 // len(self.repeat)))
        try:
            conn.sendall(self.head)
            while self.sent < self.limit:
                conn.sendall(block)
                self.sent += len(block)
                if self.pause:
                    time.sleep(self.pause)
        except OSError:
            pass
        self.closed_at = time.monotonic()
        conn.close()


def flood(binary, name, head, repeat):
    with tempfile.TemporaryDirectory() as home:
        master = Master(head, repeat, 0)
        seed(home, free_port())
        server = Server(binary, home, f"127.0.0.1:{master.port}")
        if not server.wait_log("Bonjour Check Complete", 30):
            print(f"{name}: the server did not start")
            return
        before = resident_kib(server.proc.pid)
        peak = [before]
        watching = [True]

        def sample():
            while watching[0]:
                peak[0] = max(peak[0], resident_kib(server.proc.pid))
                time.sleep(0.005)

        sampler = threading.Thread(target=sample)
        sampler.start()
        master.arrived.wait(60)
        until = time.monotonic() + 30
        while master.closed_at is None and time.monotonic() < until:
            time.sleep(0.01)
        time.sleep(0.5)
        watching[0] = False
        sampler.join()
        contact = (master.closed_at - master.arrived_at) if master.closed_at else float("nan")
        exit_s = server.terminate()
        print(f"{name} without pause: contact {contact * 1000:.1f} ms, {master.sent} bytes sent, resident "
              f"{before} KiB before, peak +{peak[0] - before} KiB, SIGTERM to exit {exit_s:.3f} s", flush=True)


def contacted(home, head, repeat, pause, binary, name):
    """The stand-in and the server started on it, once the server's contact has reached the stand-in."""
    master = Master(head, repeat, pause)
    seed(home, free_port())
    server = Server(binary, home, f"127.0.0.1:{master.port}")
    if not server.wait_log("Bonjour Check Complete", 30) or not master.arrived.wait(60):
        print(f"{name}: no contact")
        server.terminate()
        return None, None
    return master, server


def paced(binary, name, head, repeat, pause):
    with tempfile.TemporaryDirectory() as home:
        master, server = contacted(home, head, repeat, pause, binary, name)
        if not server:
            return
        time.sleep(1.0)
        sending = master.closed_at is None
        exit_s = server.terminate()
        print(f"{name} paced, SIGTERM 1 s into the contact (stand-in still sending: {sending}): exit in "
              f"{exit_s:.3f} s", flush=True)


def paced_contact(binary, name, head, repeat, pause):
    with tempfile.TemporaryDirectory() as home:
        master, server = contacted(home, head, repeat, pause, binary, name)
        if not server:
            return
        until = time.monotonic() + 30
        while master.closed_at is None and time.monotonic() < until:
            time.sleep(0.01)
        contact = (master.closed_at - master.arrived_at) if master.closed_at else float("nan")
        server.terminate()
        print(f"{name} paced, left to run: contact {contact:.3f} s, {master.sent} bytes sent", flush=True)


def http(port, request):
    s = socket.create_connection(("127.0.0.1", port), timeout=20)
    s.sendall(request)
    data = b""
    while True:
        chunk = s.recv(65536)
        if not chunk:
            break
        data += chunk
    s.close()
    return data


def stdout_per_request(binary, count=20):
    with tempfile.TemporaryDirectory() as home:
        movies = f"{home}/share"
        os.makedirs(movies)
        with open(f"{movies}/clip.mp4", "wb") as f:
            f.write(b"v" * 4000)
        port = free_port()
        seed(home, port, movies, "bench-device")
        server = Server(binary, home, "127.0.0.1:1")
        if not server.wait_log("Started HTTP Listener", 30):
            print("stdout: the server did not start")
            return
        time.sleep(0.5)
        body = b"<Device><Announce><Name>Pad</Name><UniqueID>bench-device</UniqueID></Announce></Device>"
        reply = http(port, b"POST /video/announce/ HTTP/1.1\r\nHost: x\r\nConnection: close\r\nContent-Length: "
                     + str(len(body)).encode() + b"\r\n\r\n" + body)
        session = reply.split(b"<SessionID>")[1].split(b"<")[0].decode()
        rng = "bytes=0-9,"
        while len(rng) < 15000:
            rng += "1-2,\t\xff,"
        rng_bytes = rng.encode("latin-1")
        banner = open(f"{home}/stdout", "rb").read()
        for _ in range(count):
            http(port, f"GET /video/direct/Movies/clip.mp4?SessionID={session} HTTP/1.1\r\nHost: x\r\n"
                       f"Connection: close\r\nRange: ".encode() + rng_bytes + b"\r\n\r\n")
        server.terminate()
        out = open(f"{home}/stdout", "rb").read()
        # Standard output is a file here, written in blocks: the banner lines are what it held before the
        # first request (all of them are flushed at start-up).
        added = len(out) - len(banner)
        longest = max(len(line) for line in out.splitlines())
        print(f"standard output: {added} bytes for {count} requests with a {len(rng_bytes)}-byte Range header, "
              f"{added / count:.0f} bytes per request, longest line {longest} bytes", flush=True)


def require_isolated():
    """The server broadcasts and contacts peers: refuse to start it where it could reach another machine."""
    with open("/proc/self/net/dev") as dev:
        interfaces = [line.split(":")[0].strip() for line in dev.readlines()[2:]]
    if any(name != "lo" for name in interfaces):
        sys.exit("run this inside a network namespace that has only loopback (source scripts/common.sh; isolated ...)")


def main():
    require_isolated()
    binary = sys.argv[1]
    repeats = int(sys.argv[2]) if len(sys.argv) > 2 else 1
    for _ in range(repeats):
        flood(binary, "trailers", TRAILER_HEAD, TRAILER)
        flood(binary, "interim replies", b"", INTERIM)
        paced(binary, "trailers", TRAILER_HEAD, TRAILER, 0.005)
        paced(binary, "interim replies", b"", INTERIM, 0.010)
        paced_contact(binary, "trailers", TRAILER_HEAD, TRAILER, 0.005)
        paced_contact(binary, "interim replies", b"", INTERIM, 0.010)
        stdout_per_request(binary)


if __name__ == "__main__":
    main()
