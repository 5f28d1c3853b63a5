#!/usr/bin/env python3
"""Attacks a tarn-host from outside, one pattern at a time, and prints what
each did to it: its peak resident size (VmHWM), whether an ordinary client
was still answered while the pattern ran, and whether the host stopped on
SIGTERM.

    scripts/hostile.py build/release/tarn-host
    scripts/hostile.py --seconds 5 --only flood build/release/tarn-host

Each pattern runs against a fresh host (`--demo 1 --port 0`), so that its
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
        self.process = subprocess.Popen([path, "--demo", "1", "--port", "0"], stdout=subprocess.PIPE,
                                        stderr=subprocess.STDOUT, text=True)
        self.port = None
        self.log = []
        deadline = time.time() + 30
        while time.time() < deadline:
            line = self.process.stdout.readline()
            if not line:
                break
            match = re.match(r"tarn-host ready: listening on [0-9.]+:(\d+)", line)
            if match:
                self.port = int(match.group(1))
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


PATTERNS = {
    "flood": ("8 connections without WaitAck", flood),
    "large": ("16 connections of 16 MiB frames", large_frames),
    "half": ("64 connections with half a frame header", half_frames),
    "deaf": ("8 clients that never read their replies", deaf_clients),
    "speed": ("SetSpeed 1e39 on an active character", huge_speed),
}


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("host", help="the tarn-host program")
    parser.add_argument("--seconds", type=float, default=10.0, help="how long each pattern runs (default 10)")
    parser.add_argument("--only", default="", help="run only this pattern (" + ", ".join(PATTERNS) + ")")
    options = parser.parse_args()

    print(f"| pattern | peak resident MB | ordinary client answered during / after | SIGTERM stops the host |")
    print(f"| --- | --- | --- | --- |")
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
        stopped = host.stop()
        print(f"| {label} | {peak / MIB:.0f} (idle {idle / MIB:.0f}) | {'yes' if during else 'no'} / "
              f"{'yes' if after else 'no'} | {'yes' if stopped else 'no (killed)'} |", flush=True)
        for thread in threads:
            thread.join(0.1)
    return 0


if __name__ == "__main__":
    sys.exit(main())
