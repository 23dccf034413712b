#!/usr/bin/env python3
"""Figures of the real server against many connections that hold what they can: bodies dripped just
above the minimum rate, and heads sent one byte a second (slowloris). Run inside a network namespace
that has only loopback:

    source scripts/common.sh; isolated python3 bench/connection_flood.py build/bench/bin/calvoro

or with the cases to run (default: each of the two below, then both at once):

    ... connection_flood.py CALVORO_BINARY [drip CONNECTIONS SECONDS] [slowloris CONNECTIONS SECONDS]
        [drip+slowloris CONNECTIONS+CONNECTIONS SECONDS]

1. drip: CONNECTIONS (2,040) connections each POST "/video/announce/" with "Content-Length: 65536"
   and send its body at 1,100 bytes a second, for SECONDS (40); a connection the server ends is
   opened again at once.
2. slowloris: CONNECTIONS (5,000) connections each send a request head that never ends, one byte a
   second, for SECONDS (45); a connection the server ends is opened again at once.

Meanwhile, once a second, a paired device opens a new connection, announces itself and lists the
shared folders. Printed per case: the resident memory of the server and its children summed, idle
and its peak over idle (sampled every 0.25 s from /proc), the most threads, the paired device's
announce plus listing (median, slowest, failures), how much the log grew, and its lines about
connections closed to make room or cut for holding too much.
"""
import multiprocessing
import os
import resource
import selectors
import socket
import statistics
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from peer_flood import Server, free_port, require_isolated, resident_kib, seed  # noqa: E402

DEVICE = "bench-paired-device"
DRIP_HEAD = b"POST /video/announce/ HTTP/1.1\r\nHost: x\r\nContent-Length: 65536\r\n\r\n"
SLOW_HEAD = b"GET /video/files/ HTTP/1.1\r\nHost: x\r\nX-Slow: " + b"a" * 4000


def children_of(pid):
    kids = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/stat") as f:
                fields = f.read().rsplit(")", 1)[1].split()
            if int(fields[1]) == pid:
                kids.append(int(entry))
        except (OSError, IndexError, ValueError):
            pass
    return kids


def resident_tree_kib(pid):
    total, todo = 0, [pid]
    while todo:
        p = todo.pop()
        total += resident_kib(p)
        todo.extend(children_of(p))
    return total


def threads_of(pid):
    try:
        with open(f"/proc/{pid}/status") as f:
            for line in f:
                if line.startswith("Threads:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return 0


class Peer:
    """One attacking connection: connects without blocking, then sends its script a piece at a time."""

    def __init__(self, port, script):
        self.sock = socket.socket()
        self.sock.setblocking(False)
        self.sent = 0
        self.connected = False
        self.script = script
        try:
            self.sock.connect(("127.0.0.1", port))
        except BlockingIOError:
            pass


def attack(port, mode, count, seconds, done, measured):
    """The attacker's own process: count connections kept open and fed until seconds have passed."""
    resource.setrlimit(resource.RLIMIT_NOFILE, (count + 512, resource.getrlimit(resource.RLIMIT_NOFILE)[1]))
    selector = selectors.DefaultSelector()
    script = DRIP_HEAD + b"x" * 65536 if mode == "drip" else SLOW_HEAD * 100
    # drip: the head at once, then 1,100 bytes a second; slowloris: one byte a second.
    first, step = (len(DRIP_HEAD), 1100) if mode == "drip" else (1, 1)
    peers = []

    def open_peer(i):
        peer = Peer(port, script)
        selector.register(peer.sock, selectors.EVENT_WRITE, i)
        return peer

    def reopen(i):
        try:
            selector.unregister(peers[i].sock)
        except (KeyError, ValueError):
            pass
        peers[i].sock.close()
        peers[i] = open_peer(i)

    def feed(i, amount):
        peer = peers[i]
        if not peer.connected:
            return
        piece = peer.script[peer.sent:peer.sent + amount]
        if not piece:
            return
        try:
            peer.sent += peer.sock.send(piece)
        except BlockingIOError:
            pass
        except OSError:
            reopen(i)

    for i in range(count):
        peers.append(open_peer(i))
    start = time.monotonic()
    tick = 0
    while time.monotonic() - start < seconds:
        # Each peer's turn comes once a second, the peers spread over the second in slices of 10 ms;
        # the slices follow the clock, however often the loop comes round.
        slice_end = start + (tick + 1) * 0.01
        for key, events in selector.select(max(0.0, slice_end - time.monotonic())):
            i = key.data
            peer = peers[i]
            if events & selectors.EVENT_WRITE and not peer.connected:
                if peer.sock.getsockopt(socket.SOL_SOCKET, socket.SO_ERROR):
                    reopen(i)
                    continue
                peer.connected = True
                selector.modify(peer.sock, selectors.EVENT_READ, i)
                feed(i, first)
            elif events & selectors.EVENT_READ:
                # A reply or the close: the server is done with this one, so another takes its place.
                reopen(i)
        while start + (tick + 1) * 0.01 <= time.monotonic():
            for i in range(tick % 100, count, 100):
                feed(i, step)
            tick += 1
    done.set()
    measured.wait(60)  # the log's size is read before the closes add to it
    for peer in peers:
        peer.sock.close()


def http(port, request, timeout=10):
    s = socket.create_connection(("127.0.0.1", port), timeout=timeout)
    s.sendall(request)
    data = b""
    while b"\r\n\r\n" not in data:
        chunk = s.recv(65536)
        if not chunk:
            break
        data += chunk
    head, _, body = data.partition(b"\r\n\r\n")
    length = 0
    for line in head.split(b"\r\n"):
        if line.lower().startswith(b"content-length:"):
            length = int(line.split(b":")[1])
    while len(body) < length:
        chunk = s.recv(65536)
        if not chunk:
            break
        body += chunk
    s.close()
    return head.split(b"\r\n")[0], body


def paired_round(port):
    """Seconds for the paired device's announce and listing on a new connection; None on failure."""
    begin = time.monotonic()
    try:
        body = f"<Device><Announce><Name>Pad</Name><UniqueID>{DEVICE}</UniqueID></Announce></Device>".encode()
        status, reply = http(port, b"POST /video/announce/ HTTP/1.1\r\nHost: x\r\nConnection: close\r\n"
                             b"Content-Length: " + str(len(body)).encode() + b"\r\n\r\n" + body)
        if b" 200 " not in status:
            return None
        session = reply.split(b"<SessionID>")[1].split(b"<")[0].decode()
        status, reply = http(port, f"GET /video/files/?SessionID={session} HTTP/1.1\r\nHost: x\r\n"
                                   f"Connection: close\r\n\r\n".encode())
        if b" 200 " not in status or b"Movies" not in reply:
            return None
    except (OSError, IndexError):
        return None
    return time.monotonic() - begin


def log_texts(server):
    texts = b""
    for name in (server.log + ".1", server.log):
        try:
            with open(name, "rb") as f:
                texts += f.read()
        except OSError:
            pass
    return texts


def run_case(binary, mode, count, seconds):
    """mode and count may name several attacks at once: "drip+slowloris" "2040+5000"."""
    with tempfile.TemporaryDirectory() as home:
        share = f"{home}/share"
        os.makedirs(share)
        for i in range(20):
            open(f"{share}/clip{i}.mp4", "wb").close()
        port = free_port()
        seed(home, port, share, DEVICE)
        server = Server(binary, home, "127.0.0.1:1")
        if not server.wait_log("Started HTTP Listener", 30) or paired_round(port) is None:
            print(f"{mode}: the server did not start", flush=True)
            server.terminate()
            return
        time.sleep(1.0)
        pid = server.proc.pid
        idle = resident_tree_kib(pid)
        log_before = len(log_texts(server))
        log_size = os.path.getsize(server.log)
        grown = 0
        done, measured = multiprocessing.Event(), multiprocessing.Event()
        attackers = [multiprocessing.Process(target=attack, args=(port, m, int(c), seconds, done, measured))
                     for m, c in zip(mode.split("+"), str(count).split("+"))]
        grown_during = None
        for attacker in attackers:
            attacker.start()
        peak, most_threads, rounds, failures = idle, 0, [], 0
        start = time.monotonic()
        next_round = start + 1.0
        while any(attacker.is_alive() for attacker in attackers):
            peak = max(peak, resident_tree_kib(pid))
            most_threads = max(most_threads, threads_of(pid))
            size = os.path.getsize(server.log) if os.path.exists(server.log) else 0
            grown += size - log_size if size >= log_size else size  # a drop: the file moved aside
            log_size = size
            if grown_during is None and done.is_set():
                grown_during = grown
                measured.set()
            if time.monotonic() >= next_round:
                took = paired_round(port)
                if took is None:
                    failures += 1
                else:
                    rounds.append(took)
                next_round = time.monotonic() + 1.0
            time.sleep(0.25)
        for attacker in attackers:
            attacker.join()
        time.sleep(2.0)
        after = resident_tree_kib(pid)
        size = os.path.getsize(server.log)
        grown += size - log_size if size >= log_size else size
        texts = log_texts(server)[log_before:] if grown < 9 << 20 else log_texts(server)
        room = texts.count(b"make room")
        cut = texts.count(b"reached their budget")
        exit_s = server.terminate()
        exit_s = float("nan") if exit_s is None else exit_s
        if os.environ.get("KEEP_LOG"):
            with open(f"{os.environ['KEEP_LOG']}.{mode}", "wb") as f:
                f.write(log_texts(server))
        median = statistics.median(rounds) if rounds else float("nan")
        slowest = max(rounds) if rounds else float("nan")
        print(f"{mode} {count} connections, {seconds} s: resident {idle / 1024:.1f} MiB idle, peak "
              f"+{(peak - idle) / 1024:.1f} MiB, +{(after - idle) / 1024:.1f} MiB 2 s after; most threads "
              f"{most_threads}; paired announce + listing median {median:.3f} s, slowest {slowest:.3f} s, "
              f"{len(rounds)} served, {failures} failed; log +{(grown_during or 0) / 1024:.0f} KiB during the "
              f"flood, +{grown / 1024:.0f} KiB with its end, lines naming "
              f"'make room' {room}, 'reached their budget' {cut}; SIGTERM to exit {exit_s:.3f} s", flush=True)


def main():
    require_isolated()
    binary = sys.argv[1]
    args = sys.argv[2:] or ["drip", "2040", "40", "slowloris", "5000", "45", "drip+slowloris", "2040+5000", "45"]
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    while args:
        mode, count, seconds = args[0], args[1], float(args[2])
        args = args[3:]
        run_case(binary, mode, count, seconds)


if __name__ == "__main__":
    main()
