#!/usr/bin/env python3
"""Figures of the live page: for each number of characters, the page's
frames per second in headless chromium, the live stream's bytes per second,
and the host's step time with the page open, with a plain stream reader and
with nobody reading (each 8 s, every character walking while the page is
open). Run it on an otherwise idle Release build:

    bench/live_view_figures.py --host build/release/tarn-host [--counts 1,100,1000]
"""
import argparse
import http.client
import json
import os
import re
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "apps", "web"))
from live_view_test import Client, Host, Page, browser, steer, wait_for  # noqa: E402


def step_times(log):
    match = re.search(r"step time mean (\d+) us, median (\d+) us, 99th percentile (\d+) us", log)
    return tuple(int(v) for v in match.groups()) if match else None


def read_stream(host, seconds):
    """Reads the live stream as a plain client, no browser, with the view
    subscribed at every step, for a while."""
    origin = "http://127.0.0.1:%d" % host.http_port
    stream = http.client.HTTPConnection("127.0.0.1", host.http_port, timeout=30)
    stream.request("GET", "/live", headers={"Origin": origin})
    response = stream.getresponse()
    hello = b""
    while b"}" not in hello:
        hello += response.read1(1024)
    token = re.search(rb'"Stream":"([0-9a-f]+)"', hello).group(1).decode()
    for method, args in (("GetRPCSingleton", {}), ("Subscribe", {"Arg0": 0})):
        post = http.client.HTTPConnection("127.0.0.1", host.http_port, timeout=30)
        post.request("POST", "/rpc", body=json.dumps(dict({"ClassName": "GaitViewRpc", "MethodName": method,
                                                           "InstanceID": 0, "WaitAck": True,
                                                           "UseTcpThread": False}, **args)),
                     headers={"Origin": origin, "X-Tarn-Stream": token, "Content-Type": "application/json"})
        post.getresponse().read()
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        response.read1(65536)
    stream.close()


def figures(executable, counts):
    print("| characters | page frames/s | updates/s | live kB/s | step mean/median/p99 us: with the page |"
          " a plain stream reader | no reader |")
    print("| --- | --- | --- | --- | --- | --- | --- |")
    for count in counts:
        # Without a page first, then with a stream read without a browser.
        host = Host(executable, count)
        time.sleep(8)
        host.stop()
        idle = step_times(host.final_output)
        host = Host(executable, count)
        read_stream(host, 8)
        host.stop()
        plain = step_times(host.final_output)
        host = Host(executable, count)
        driver = browser()
        try:
            driver.get(host.url)
            page = Page(driver)
            wait_for(lambda: page.view("window.tarnView.connected && window.tarnView.characters().length === %d"
                                       % count), "%d characters on the page" % count)
            # Walk every character so that the page draws movement and trails.
            client = Client(host.port)
            for entry in client.characters():
                steer(client, entry["Id"], 0.0, 1.0)
            time.sleep(8)
            fps = page.view("window.tarnView.fps")
            updates = page.view("window.tarnView.updatesPerSecond")
            rate = page.view("window.tarnView.bytesPerSecond")
        finally:
            driver.quit()
        host.stop()
        busy = step_times(host.final_output)
        print("| %d | %s | %s | %.0f | %s | %s | %s |" % (count, fps, updates, (rate or 0) / 1000.0,
                                                          *("/".join(map(str, t or ())) for t in (busy, plain, idle))))


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--host", required=True, help="the tarn-host executable (Release)")
    parser.add_argument("--counts", default="1,100,1000", help="numbers of characters")
    options = parser.parse_args()
    figures(options.host, [int(v) for v in options.counts.split(",")])
    return 0


if __name__ == "__main__":
    sys.exit(main())
