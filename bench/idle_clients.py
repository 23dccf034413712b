#!/usr/bin/env python3
"""Opens N keep-alive connections to 127.0.0.1:PORT, sends one HEAD on each, holds them idle for
HOLD seconds (printing "ready" once all are open), then sends one more HEAD on each and prints how
many connections were still served."""
import socket
import sys
import time


def head(sock):
    sock.sendall(b"HEAD /idle HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")
    data = b""
    while b"\r\n\r\n" not in data:
        chunk = sock.recv(4096)
        if not chunk:
            return False
        data += chunk
    return data.startswith(b"HTTP/1.1 200")


def main():
    port, count, hold = int(sys.argv[1]), int(sys.argv[2]), float(sys.argv[3])
    conns = []
    for _ in range(count):
        s = socket.create_connection(("127.0.0.1", port), timeout=10)
        if not head(s):
            print("first HEAD failed", flush=True)
            return 1
        conns.append(s)
    print("ready", flush=True)
    time.sleep(hold)
    alive = 0
    for s in conns:
        try:
            alive += head(s)
        except OSError:
            pass
    print(f"still served after {hold:.0f} s idle: {alive}/{count}", flush=True)
    for s in conns:
        s.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
