#!/usr/bin/env python3
"""Attacks a tarn-host from outside, one pattern at a time, over its TCP
protocol and its live page's HTTP endpoint, and prints what each did to it:
its peak resident size (VmHWM), whether an ordinary client was still
answered while the pattern ran and after it, whether the page was still
served after it, and whether the host stopped on SIGTERM.

    scripts/hostile.py build/release/tarn-host
    scripts/hostile.py --seconds 5 --only flood build/release/tarn-host

Each pattern runs against a fresh host (`--demo 1 --port 0 --http 0`), so that its
peak is its own. The figures go into docs/performance.md.
"""
import argparse
import json
import os
import re
import signal
import socket
import struct
import subprocess
import sys
import threading
import time

MIB = 1 << 20


def frame(text):
    body = text.encode() if isinstance(text, str) else text
    return struct.pack("<I", len(body)) + body


def request(cls, method, instance=0, wait=True, args=()):
    message = {"ClassName": cls, "MethodName": method, "InstanceID": instance, "WaitAck": wait,
               "UseTcpThread": False}
    for index, value in enumerate(args):
        message[f"Arg{index}"] = value
    return json.dumps(message, separators=(",", ":"))


class Host:
    def __init__(self, path):
        self.process = subprocess.Popen([path, "--demo", "1", "--port", "0", "--http", "0"],
                                        stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        self.port = None
        self.http_port = None
        self.log = []
        deadline = time.time() + 30
        while time.time() < deadline:
            line = self.process.stdout.readline()
            if not line:
                break
            match = re.match(r"tarn-host ready: listening on [0-9.]+:(\d+).*page: http://[0-9.]+:(\d+)/", line)
            if match:
                self.port = int(match.group(1))
                self.http_port = int(match.group(2))
                break
        if self.port is None:
            raise RuntimeError("the host did not start")
        # Keep the pipe drained, or the host blocks on its own log.
        self.reader = threading.Thread(target=self._drain, daemon=True)
        self.reader.start()

    def _drain(self):
        for line in self.process.stdout:
            if len(self.log) < 100000:
                self.log.append(line)

    def status(self, field):
        try:
            with open(f"/proc/{self.process.pid}/status") as status:
                for line in status:
                    if line.startswith(field + ":"):
                        return int(line.split()[1]) * 1024
        except OSError:
            pass
        return 0

    def stop(self, seconds=15):
        """SIGTERM; True when the host ended by itself within the time."""
        if self.process.poll() is not None:
            return True
        self.process.send_signal(signal.SIGTERM)
        try:
            self.process.wait(seconds)
            return True
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
            return False


def connect(port):
    peer = socket.create_connection(("127.0.0.1", port), timeout=30)
    peer.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    return peer


def receive_exactly(peer, count):
    data = b""
    while len(data) < count:
        chunk = peer.recv(count - len(data))
        if not chunk:
            raise ConnectionError("closed")
        data += chunk
    return data


def call(peer, text):
    peer.sendall(frame(text))
    length = struct.unpack("<I", receive_exactly(peer, 4))[0]
    return receive_exactly(peer, length).decode()


def served(port, seconds=3.0):
    """Whether an ordinary client gets an answer within the time."""
    try:
        peer = socket.create_connection(("127.0.0.1", port), timeout=seconds)
        peer.settimeout(seconds)
        ok = call(peer, request("Root", "IsLoadingFinished")) == '{"Res":true}'
        peer.close()
        return ok
    except (OSError, ConnectionError):
        return False


def run_threads(count, target, seconds):
    stop = threading.Event()
    threads = [threading.Thread(target=target, args=(stop,), daemon=True) for _ in range(count)]
    for thread in threads:
        thread.start()
    return stop, threads


def flood(host, seconds):
    blob = frame(request("Root", "IsLoadingFinished", wait=False)) * 20000

    def worker(stop):
        try:
            peer = connect(host.port)
            while not stop.is_set():
                peer.sendall(blob)
        except OSError:
            pass

    return run_threads(8, worker, seconds)


def large_frames(host, seconds):
    head = request("Root", "KeepAlive", wait=False)[:-1] + ',"Arg0":['
    count = (16 * MIB - len(head) - 2) // 2
    body = (head + "1," * (count - 1) + "1]}").encode()
    blob = frame(body)

    def worker(stop):
        try:
            peer = connect(host.port)
            while not stop.is_set():
                peer.sendall(blob)
        except OSError:
            pass

    return run_threads(16, worker, seconds)


def half_frames(host, seconds):
    peers = []

    def worker(stop):
        try:
            peer = connect(host.port)
            peer.sendall(b"\x40\x00")
            peers.append(peer)
            stop.wait()
        except OSError:
            pass

    return run_threads(64, worker, seconds)


def deaf_clients(host, seconds):
    blob = frame(request("Root", "IsLoadingFinished")) * 5000

    def worker(stop):
        try:
            peer = connect(host.port)
            peer.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
            while not stop.is_set():
                peer.sendall(blob)
        except OSError:
            pass

    return run_threads(8, worker, seconds)


def huge_speed(host, seconds):
    peer = connect(host.port)
    manager = json.loads(call(peer, request("Root", "GetPrefabManager")))["Res"]["InstanceID"]
    prefab = json.loads(call(peer, request("PrefabManager", "LoadFile", manager, args=["demo/biped.prefab.json"])))
    prefab = prefab["Res"]["InstanceID"]
    facade = json.loads(call(peer, request("GaitComponentBuilderRpc", "GetPrefabComponent",
                                           args=[{"InstanceID": prefab}])))["Res"]["InstanceID"]
    call(peer, request("GaitComponentRpc", "Activate", facade, args=[True]))
    peer.sendall(frame(request("GaitComponentRpc", "SetSpeed", facade, args=[1e39])))
    peer.settimeout(5)
    try:
        length = struct.unpack("<I", receive_exactly(peer, 4))[0]
        receive_exactly(peer, length)
    except OSError:
        pass
    stop = threading.Event()
    return stop, []


def http_request(port, method, path, body=b"", headers=None, timeout=30):
    """One HTTP/1.1 request on a connection of its own: the status, or 0."""
    origin = f"http://127.0.0.1:{port}"
    lines = [f"{method} {path} HTTP/1.1", f"Host: 127.0.0.1:{port}", f"Origin: {origin}",
             f"Content-Length: {len(body)}", "Connection: close"] + (headers or [])
    try:
        peer = socket.create_connection(("127.0.0.1", port), timeout=timeout)
        peer.sendall(("\r\n".join(lines) + "\r\n\r\n").encode() + body)
        status = peer.recv(64).split(b" ")
        peer.close()
        return int(status[1]) if len(status) > 1 else 0
    except (OSError, ValueError):
        return 0


def page_served(host, seconds=10.0):
    """Whether the page's index is served within the time (a refused
    connection is tried again: its place frees once a worker is done)."""
    end = time.time() + seconds
    while time.time() < end:
        if http_request(host.http_port, "GET", "/", timeout=3) == 200:
            return True
        time.sleep(0.2)
    return False


def http_flood(host, seconds):
    body = request("Root", "IsLoadingFinished", wait=False).encode()

    def worker(stop):
        while not stop.is_set():
            http_request(host.http_port, "POST", "/rpc", body, ["Content-Type: application/json"])

    return run_threads(16, worker, seconds)


def http_large(host, seconds):
    body = b"[" + b"1," * (MIB // 2) + b"1]"

    def worker(stop):
        while not stop.is_set():
            http_request(host.http_port, "POST", "/rpc", body, ["Content-Type: application/json"])

    return run_threads(8, worker, seconds)


def http_slow(host, seconds):
    peers = []

    def worker(stop):
        try:
            peer = socket.create_connection(("127.0.0.1", host.http_port), timeout=30)
            peer.sendall(b"GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Slow: ")
            peers.append(peer)
            stop.wait()
        except OSError:
            pass

    return run_threads(64, worker, seconds)


def deaf_streams(host, seconds):
    """Live streams subscribed to the view at every step that never read."""
    body = request("GaitViewRpc", "Subscribe", args=[0]).encode()

    def worker(stop):
        try:
            peer = socket.create_connection(("127.0.0.1", host.http_port), timeout=30)
            peer.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
            peer.sendall(f"GET /live HTTP/1.1\r\nHost: 127.0.0.1:{host.http_port}\r\n\r\n".encode())
            hello = b""
            while b'"}' not in hello:
                hello += peer.recv(256)
            token = re.search(rb'"Stream":"([0-9a-f]+)"', hello).group(1).decode()
            http_request(host.http_port, "POST", "/rpc", body, [f"X-Tarn-Stream: {token}"])
            stop.wait()
            peer.close()
        except (OSError, AttributeError):
            pass

    return run_threads(8, worker, seconds)


PATTERNS = {
    "flood": ("8 connections without WaitAck", flood),
    "large": ("16 connections of 16 MiB frames", large_frames),
    "half": ("64 connections with half a frame header", half_frames),
    "deaf": ("8 clients that never read their replies", deaf_clients),
    "speed": ("SetSpeed 1e39 on an active character", huge_speed),
    "http-flood": ("16 page clients posting calls without a reply", http_flood),
    "http-large": ("8 page clients posting 1 MiB bodies", http_large),
    "http-slow": ("64 page connections holding half a request header", http_slow),
    "deaf-streams": ("8 live streams at every step never read", deaf_streams),
}


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("host", help="the tarn-host program")
    parser.add_argument("--seconds", type=float, default=10.0, help="how long each pattern runs (default 10)")
    parser.add_argument("--only", default="", help="run only this pattern (" + ", ".join(PATTERNS) + ")")
    options = parser.parse_args()

    print("| pattern | peak resident MB | ordinary client answered during / after | page served after | "
          "SIGTERM stops the host |")
    print("| --- | --- | --- | --- | --- |")
    for name, (label, start) in PATTERNS.items():
        if options.only and options.only != name:
            continue
        host = Host(options.host)
        idle = host.status("VmHWM")
        stop, threads = start(host, options.seconds)
        time.sleep(min(2.0, options.seconds / 2))
        during = served(host.port)
        end = time.time() + options.seconds
        peak = host.status("VmHWM")
        while time.time() < end and host.process.poll() is None:
            time.sleep(0.2)
            peak = max(peak, host.status("VmHWM"))
        # Half frames and deaf clients are let go by the host's time-outs.
        time.sleep(1.0)
        after = served(host.port)
        peak = max(peak, host.status("VmHWM"))
        stop.set()
        page = page_served(host)
        stopped = host.stop()
        print(f"| {label} | {peak / MIB:.0f} (idle {idle / MIB:.0f}) | {'yes' if during else 'no'} / "
              f"{'yes' if after else 'no'} | {'yes' if page else 'no'} | {'yes' if stopped else 'no (killed)'} |",
              flush=True)
        for thread in threads:
            thread.join(0.1)
    return 0


if __name__ == "__main__":
    sys.exit(main())
