#!/usr/bin/env python3
"""Media floods against the real server (calvoro -s), run by media_flood.sh inside a private network
namespace that has only loopback.

  abandoned N   N thumbnail requests (no sidecar picture, so each one's grab is an ffmpeg run) whose
                clients close once the server has logged every one; then SIGTERM at once. Reports the
                time from SIGTERM to the program's end, the ffmpeg runs left after it, and how many of
                the requests gave up their wait and how many got to start a grab.
  queued N      the same, but the clients stay connected until the program has ended.
  burst T C     T thumbnail requests for a video with a sidecar picture and C conversion requests for
                another video, neither probed before, all sent at once. Reports the replies by kind and
                the most ffmpeg runs at once (sampled every 2 ms from /proc), against the run slots.
  leaving N     N requests for the embedded subtitle track of a 20 GB (sparse) mkv, each client closing
                50 ms after its request; then another device asks for a thumbnail. Reports the
                extractions still running 1 s and 3 s after the clients left, when the last one ended,
                and how long the other device's thumbnail took.
  stopburst T S C SECONDS
                T thumbnail, S subtitle and C conversion requests (each conversion a file not probed
                before) and a play storm, all for good files, then SIGTERM SECONDS after the burst began.
                Reports the time from SIGTERM to the program's end and, in the log after "Shutdown
                Event Detected", how often a file is called corrupt, a track unsupported, and a run
                said to be given up.

usage: media_flood.py CALVORO_BINARY SCENARIO ARGS...
"""
import multiprocessing
import os
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

PORT = 18691


def ffmpeg_naming(text):
    """Pids of ffmpeg processes whose command line names text."""
    found = []
    for pid in os.listdir("/proc"):
        if not pid.isdigit():
            continue
        try:
            with open(f"/proc/{pid}/cmdline", "rb") as f:
                args = f.read().split(b"\0")
        except OSError:
            continue
        if args and os.path.basename(args[0]).startswith(b"ffmpeg") and text.encode() in b" ".join(args):
            found.append(int(pid))
    return found


class Peak:
    """Samples in a process of its own, so the request threads cannot hold it off."""

    def __init__(self, text):
        self.peak, self.done = multiprocessing.Value("i", 0), multiprocessing.Event()
        self.process = multiprocessing.Process(target=Peak.run, args=(text, self.peak, self.done))
        self.process.start()

    @staticmethod
    def run(text, peak, done):
        while not done.is_set():
            peak.value = max(peak.value, len(ffmpeg_naming(text)))
            time.sleep(0.002)

    def stop(self):
        self.done.set()
        self.process.join()
        return self.peak.value


def make_clip(path, seconds, size):
    subprocess.run(["ffmpeg", "-v", "error", "-nostdin", "-y", "-f", "lavfi", "-i",
                    f"testsrc=size={size}:rate=25:duration={seconds}", "-f", "lavfi", "-i",
                    f"sine=frequency=440:duration={seconds}", "-c:v", "libx264", "-preset", "ultrafast",
                    "-pix_fmt", "yuv420p", "-c:a", "aac", path], check=True)


def request(method, path, body=b"", keep=False, timeout=600):
    """One HTTP/1.1 request; the status and body, or the open socket when keep is set."""
    s = socket.create_connection(("127.0.0.1", PORT), timeout=timeout)
    head = f"{method} {path} HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: {len(body)}\r\n\r\n"
    s.sendall(head.encode() + body)
    if keep:
        return s
    data = b""
    try:
        while True:
            part = s.recv(65536)
            if not part:
                break
            data += part
            head_end = data.find(b"\r\n\r\n")
            if head_end >= 0:
                length = 0
                for line in data[:head_end].split(b"\r\n")[1:]:
                    name, _, value = line.partition(b":")
                    if name.strip().lower() == b"content-length":
                        length = int(value)
                if len(data) >= head_end + 4 + length:
                    break
    finally:
        s.close()
    status = int(data.split(b" ", 2)[1]) if data.startswith(b"HTTP/") else 0
    return status, data[data.find(b"\r\n\r\n") + 4:]


class Server:
    def __init__(self, work):
        self.work = work
        self.clips = os.path.join(work, "clips")
        home = os.path.join(work, "home", "Calvoro")
        os.makedirs(home)
        os.makedirs(self.clips)
        with open(os.path.join(home, "state.xml"), "w") as f:
            f.write(f"""<?xml version="1.0"?>
<CalvoroState>
<VideoFolders><Folder><Path>{self.clips}</Path><Alias>Clips</Alias></Folder></VideoFolders>
<Authorized><UniqueID>bench-device</UniqueID><UniqueID>other-device</UniqueID></Authorized>
<HttpPort>{PORT}</HttpPort>
<UpnpEnabled>0</UpnpEnabled>
</CalvoroState>
""")
        self.log = os.path.join(home, "CalvoroLog.txt")
        self.home = os.path.join(work, "home")

    def start(self, binary):
        env = dict(os.environ, XDG_DATA_HOME=self.home, CALVORO_MEDIA_RUN_LIMIT_MS="60000")
        self.process = subprocess.Popen([binary, "-s"], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        for _ in range(200):
            try:
                if request("HEAD", "/")[0] == 200:
                    break
            except OSError:
                time.sleep(0.05)
        self.session = self.announce("bench-device")

    def announce(self, device):
        status, body = request("POST", "/video/announce/",
                               f"<Device><Announce><Name>Bench</Name><UniqueID>{device}</UniqueID></Announce></Device>".encode())
        return body.split(b"<SessionID>")[1].split(b"</SessionID>")[0].decode()

    def log_count(self, text):
        try:
            with open(self.log, "rb") as f:
                return f.read().count(text.encode())
        except OSError:
            return 0

    def stop(self):
        start = time.monotonic()
        self.process.send_signal(signal.SIGTERM)
        self.process.wait()
        return time.monotonic() - start


def flood(binary, count, abandon):
    with tempfile.TemporaryDirectory(prefix="calvoro-flood-") as work:
        server = Server(work)
        make_clip(os.path.join(server.clips, "flood.mp4"), 8, "1280x720")
        server.start(binary)
        body = b'<Thumbnail><resolution/><timeoffset seconds="3"/></Thumbnail>'
        path = f"/video/thumbnails/Clips/flood.mp4?SessionID={server.session}"
        clients = [request("POST", path, body, keep=True) for _ in range(count)]
        logged = "Path [/video/thumbnails/Clips/flood.mp4]"
        deadline = time.monotonic() + 120
        while server.log_count(logged) < count and time.monotonic() < deadline:
            time.sleep(0.05)
        reached = server.log_count(logged)
        if abandon:
            for c in clients:
                c.close()
        seconds = server.stop()
        for c in clients:
            c.close()
        left = len(ffmpeg_naming(work))
        given_up = server.log_count("Thumbnail not made")
        killed = server.log_count("ffmpeg stopped creating thumbnail")
        print(f"{'abandoned' if abandon else 'queued'} {count}: {reached} reached their handler; SIGTERM to exit {seconds:.2f} s; "
              f"ffmpeg left {left}; waits given up {given_up}, grabs started {reached - given_up} "
              f"(killed at the stop {killed})")


def burst(binary, thumbnails, conversions):
    with tempfile.TemporaryDirectory(prefix="calvoro-burst-") as work:
        server = Server(work)
        make_clip(os.path.join(server.clips, "burst.mp4"), 3, "320x240")
        subprocess.run(["ffmpeg", "-v", "error", "-nostdin", "-y", "-f", "lavfi", "-i", "color=green:size=64x48",
                        "-frames:v", "1", os.path.join(server.clips, "burst.jpg")], check=True)
        make_clip(os.path.join(server.clips, "convert.mp4"), 2, "160x120")
        server.start(binary)
        results = {"thumbnail": [], "convert": []}
        lock = threading.Lock()
        go = threading.Event()

        def one(kind, path, body):
            go.wait()
            try:
                status, reply = request("POST", path, body)
            except OSError as e:
                status, reply = 0, str(e).encode()
            with lock:
                results[kind].append((status, reply))

        sid = server.session
        threads = [threading.Thread(target=one, args=("thumbnail", f"/video/thumbnails/Clips/burst.mp4?SessionID={sid}",
                                                      b"<Thumbnail><resolution/><timeoffset/></Thumbnail>"))
                   for _ in range(thumbnails)]
        threads += [threading.Thread(target=one, args=("convert", f"/video/convert/Clips/convert.mp4?SessionID={sid}",
                                                       b"<Convert><ClientIdentifier>bench</ClientIdentifier></Convert>"))
                    for _ in range(conversions)]
        for t in threads:
            t.start()
        peak = Peak(server.clips)
        go.set()
        for t in threads:
            t.join()
        # The queue's first conversion runs beside the last requests' runs: sample until it has ended.
        deadline = time.monotonic() + 60
        while time.monotonic() < deadline:
            status, reply = request("GET", f"/video/convertstatus/?SessionID={sid}")
            if b"<status>Finished</status>" in reply:
                break
            time.sleep(0.1)
        most = peak.stop()
        thumbs_ok = sum(1 for s, r in results["thumbnail"] if s == 200 and r.startswith(b"\xff\xd8"))
        conv_ok = sum(1 for s, r in results["convert"] if b"<SuccessMsg>Success</SuccessMsg>" in r)
        corrupt = sum(1 for k in results for s, r in results[k] if b"corrupt" in r)
        queue_full = sum(1 for s, r in results["convert"] if b"Attempting to start offline conversion failed" in r)
        server.stop()
        print(f"burst {thumbnails} thumbnails / {conversions} conversions on {os.cpu_count()} run slots: "
              f"thumbnails {thumbs_ok}/{thumbnails} served, conversions {conv_ok}/{conversions} queued, "
              f"{queue_full} refused as the queue is full (100 jobs), {corrupt} called corrupt; "
              f"most ffmpeg at once {most} (slots + the one running conversion = {os.cpu_count() + 1})")


def make_subtitled_clip(path, seconds):
    srt = path + ".srt"
    with open(srt, "w") as f:
        f.write("1\n00:00:00,500 --> 00:00:01,500\nHello\n\n2\n00:00:02,000 --> 00:00:03,000\nAgain\n")
    subprocess.run(["ffmpeg", "-v", "error", "-nostdin", "-y", "-f", "lavfi", "-i",
                    f"testsrc=size=320x240:rate=25:duration={seconds}", "-f", "lavfi", "-i", f"sine=duration={seconds}",
                    "-i", srt, "-map", "0", "-map", "1", "-map", "2", "-c:v", "libx264", "-preset", "ultrafast",
                    "-c:a", "aac", "-c:s", "srt", path], check=True)
    os.remove(srt)


def leaving(binary, count):
    with tempfile.TemporaryDirectory(prefix="calvoro-leaving-") as work:
        server = Server(work)
        huge = os.path.join(server.clips, "huge.mkv")
        make_subtitled_clip(huge, 4)
        os.truncate(huge, 20 * 1000 ** 3)  # a sparse tail of zeros: the extraction reads through all of it
        make_clip(os.path.join(server.clips, "other.mp4"), 8, "1280x720")
        server.start(binary)
        other = server.announce("other-device")
        body = b"<Subtitle><ID>2</ID></Subtitle>"
        path = f"/video/subtitle/Clips/huge.mkv?SessionID={server.session}"
        clients = []
        for _ in range(count):
            clients.append(request("POST", path, body, keep=True))
        time.sleep(0.05)
        for c in clients:
            c.close()
        left = time.monotonic()
        ended, at1, at3 = None, None, None
        thumbnail = {}

        def ask():
            start = time.monotonic()
            try:
                status, reply = request("POST", f"/video/thumbnails/Clips/other.mp4?SessionID={other}",
                                        b'<Thumbnail><resolution/><timeoffset seconds="3"/></Thumbnail>', timeout=60)
            except OSError:
                status = 0
            thumbnail["status"], thumbnail["seconds"] = status, time.monotonic() - start

        asker = threading.Thread(target=ask)
        asker.start()
        while time.monotonic() - left < 60:
            now = time.monotonic() - left
            running = len(ffmpeg_naming(huge))
            if at1 is None and now >= 1:
                at1 = running
            if at3 is None and now >= 3:
                at3 = running
            if running == 0 and ended is None:
                ended = now
            if at3 is not None and ended is not None:
                break
            time.sleep(0.01)
        asker.join()
        killed = server.log_count("ffmpeg stopped extracting subtitle: its client has gone")
        server.stop()
        ended_text = f"{ended:.2f} s" if ended is not None else "not within 60 s"
        print(f"leaving {count}: extractions running 1 s after the clients left {at1}, 3 s after {at3}, "
              f"none left after {ended_text} (killed as their client had gone: {killed}); the other device's "
              f"thumbnail: status {thumbnail.get('status')} in {thumbnail.get('seconds', 0):.2f} s")


def stopburst(binary, thumbnails, subtitles, conversions, seconds):
    with tempfile.TemporaryDirectory(prefix="calvoro-stopburst-") as work:
        server = Server(work)
        make_clip(os.path.join(server.clips, "flood.mp4"), 8, "1280x720")
        make_subtitled_clip(os.path.join(server.clips, "tracks.mkv"), 6)
        make_clip(os.path.join(server.clips, "play.mp4"), 30, "320x240")
        seed = os.path.join(work, "seed.mp4")
        make_clip(seed, 2, "160x120")
        for i in range(conversions):
            with open(seed, "rb") as src, open(os.path.join(server.clips, f"c{i}.mp4"), "wb") as dst:
                dst.write(src.read())
        server.start(binary)
        sid = server.session
        began = time.monotonic()
        clients = []
        for _ in range(thumbnails):
            clients.append(request("POST", f"/video/thumbnails/Clips/flood.mp4?SessionID={sid}",
                                   b'<Thumbnail><resolution/><timeoffset seconds="3"/></Thumbnail>', keep=True))
        for _ in range(subtitles):
            clients.append(request("POST", f"/video/subtitle/Clips/tracks.mkv?SessionID={sid}",
                                   b"<Subtitle><ID>2</ID></Subtitle>", keep=True))
        for i in range(conversions):
            clients.append(request("POST", f"/video/convert/Clips/c{i}.mp4?SessionID={sid}",
                                   b"<Convert><ClientIdentifier>bench</ClientIdentifier></Convert>", keep=True))
        storming = threading.Event()
        storming.set()

        def storm():
            while storming.is_set():
                try:
                    request("POST", f"/video/play/Clips/play.mp4?SessionID={sid}", b"<Play/>", timeout=5)
                except OSError:
                    pass
                time.sleep(0.05)

        storms = [threading.Thread(target=storm) for _ in range(2)]
        for t in storms:
            t.start()
        time.sleep(max(0.0, seconds - (time.monotonic() - began)))
        running = len(ffmpeg_naming(server.clips))
        took = server.stop()
        storming.clear()
        for t in storms:
            t.join()
        for c in clients:
            c.close()
        with open(server.log, "rb") as f:
            log = f.read()
        after = log[log.find(b"Shutdown Event Detected"):] if b"Shutdown Event Detected" in log else b""
        print(f"stopburst {thumbnails}/{subtitles}/{conversions} SIGTERM at {seconds} s with {running} ffmpeg running: "
              f"exit {server.process.returncode} in {took:.2f} s; after the stop the log calls a file corrupt "
              f"{after.count(b'corrupt')} times, a track unsupported {after.count(b'UNSUPPORTED subtitle type')} times, "
              f"and says a run was given up {after.count(b'Media run given up')} times")


def require_isolated():
    """The server broadcasts and contacts peers: refuse to start it where it could reach another machine."""
    with open("/proc/self/net/dev") as dev:
        interfaces = [line.split(":")[0].strip() for line in dev.readlines()[2:]]
    if any(name != "lo" for name in interfaces):
        sys.exit("run this inside a network namespace that has only loopback (source scripts/common.sh; isolated ...)")


if __name__ == "__main__":
    require_isolated()
    binary, scenario = sys.argv[1], sys.argv[2]
    if scenario in ("abandoned", "queued"):
        flood(binary, int(sys.argv[3]), scenario == "abandoned")
    elif scenario == "burst":
        burst(binary, int(sys.argv[3]), int(sys.argv[4]))
    elif scenario == "leaving":
        leaving(binary, int(sys.argv[3]))
    elif scenario == "stopburst":
        stopburst(binary, int(sys.argv[3]), int(sys.argv[4]), int(sys.argv[5]), float(sys.argv[6]))
    else:
        sys.exit(__doc__)
