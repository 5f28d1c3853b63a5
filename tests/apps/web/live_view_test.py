#!/usr/bin/env python3
"""The live page in a real browser: Debian's chromium, headless, driven
through chromedriver, against tarn-host --demo 3 --http 0.

    live_view_test.py --host build/debug/tarn-host [--screenshot FILE]

Checks that the page shows the host's three characters; that a drag from a
character sets its heading and the host's state follows; that a click on the
ground makes a selected character walk there and arrive; that the add button
places a fourth character the host lists; that a page of another origin
cannot steer the host; and that no path outside the page's folder is served.
The host is queried over its TCP protocol, not through the page.

bench/live_view_figures.py measures the page with the same harness.
"""
import argparse
import http.client
import http.server
import json
import math
import os
import re
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time

from selenium import webdriver
from selenium.webdriver.chrome.options import Options
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.action_chains import ActionChains
from selenium.webdriver.common.by import By

CHROMIUM = "/usr/bin/chromium"
CHROMEDRIVER = "/usr/bin/chromedriver"
# Generous: a Debug build under a loaded machine; a condition met sooner ends
# the wait at once.
WAIT_S = 60


class Failure(Exception):
    pass


def wait_for(condition, what, timeout=WAIT_S):
    deadline = time.monotonic() + timeout
    while True:
        value = condition()
        if value:
            return value
        if time.monotonic() > deadline:
            raise Failure("gave up waiting: " + what)
        time.sleep(0.1)


class Host:
    """tarn-host as a process, its ready line read for the two ports."""

    def __init__(self, executable, characters, extra=()):
        self.log = tempfile.NamedTemporaryFile("w+", suffix=".log", delete=False)
        self.process = subprocess.Popen(
            [executable, "--demo", str(characters), "--port", "0", "--http", "0", *extra],
            stdout=self.log, stderr=subprocess.STDOUT)
        pattern = re.compile(r"^tarn-host ready: listening on 127\.0\.0\.1:(\d+),.*page: (http://[^ ]+/)$", re.M)
        match = wait_for(lambda: self.process.poll() is None and pattern.search(self.output()) or
                         (self.process.poll() is not None and Failure("the host ended: " + self.output())),
                         "the host's ready line")
        if isinstance(match, Failure):
            raise match
        self.port = int(match.group(1))
        self.url = match.group(2)
        self.http_port = int(self.url.rsplit(":", 1)[1].strip("/"))

    def output(self):
        with open(self.log.name, encoding="utf-8", errors="replace") as text:
            return text.read()

    def stop(self):
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(30)
            except subprocess.TimeoutExpired:
                self.process.kill()
        self.final_output = self.output()
        os.unlink(self.log.name)
        return self.process.returncode


class Client:
    """The TCP protocol: 4-byte little-endian length, then JSON."""

    def __init__(self, port):
        self.socket = socket.create_connection(("127.0.0.1", port), timeout=30)

    def call(self, class_name, method, instance=0, *args):
        request = {"ClassName": class_name, "MethodName": method, "InstanceID": instance, "WaitAck": True,
                   "UseTcpThread": False}
        for i, arg in enumerate(args):
            request["Arg%d" % i] = arg
        text = json.dumps(request).encode()
        self.socket.sendall(struct.pack("<I", len(text)) + text)
        while True:
            reply = json.loads(self.receive())
            if "Event" not in reply:
                break
        if "Error" in reply:
            raise Failure("%s.%s: %s" % (class_name, method, reply["Error"]))
        return reply.get("Res")

    def receive(self):
        length = struct.unpack("<I", self.exact(4))[0]
        return self.exact(length)

    def exact(self, count):
        data = b""
        while len(data) < count:
            chunk = self.socket.recv(count - len(data))
            if not chunk:
                raise Failure("the host closed the connection")
            data += chunk
        return data

    def characters(self):
        manager = self.call("Root", "GetPrefabManager")["InstanceID"]
        return self.call("PrefabManager", "ListPrefabs", manager)

    def state(self, character_id):
        manager = self.call("Root", "GetPrefabManager")["InstanceID"]
        prefab = self.call("PrefabManager", "GetPrefab", manager, character_id)
        builder = self.call("GaitComponentBuilderRpc", "GetRPCSingleton")["InstanceID"]
        component = self.call("GaitComponentBuilderRpc", "GetPrefabComponent", builder, prefab)
        state = self.call("GaitComponentRpc", "GetState", component["InstanceID"])
        self.call("GaitComponentRpc", "ReleaseRef", component["InstanceID"])
        self.call("Prefab", "ReleaseRef", prefab["InstanceID"])
        return state


def heading_of(rotation):
    """Degrees about Z of a quaternion."""
    return math.degrees(2.0 * math.atan2(rotation["z"], rotation["w"]))


def angle_between(a, b):
    return abs((a - b + 180.0) % 360.0 - 180.0)


def browser():
    options = Options()
    options.binary_location = CHROMIUM
    for argument in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                     "--disable-background-networking", "--disable-component-update", "--disable-sync",
                     "--window-size=1280,800", "--user-data-dir=" + tempfile.mkdtemp(prefix="tarn-chromium-")):
        options.add_argument(argument)
    return webdriver.Chrome(service=Service(CHROMEDRIVER), options=options)


class Page:
    def __init__(self, driver):
        self.driver = driver

    def view(self, expression):
        return self.driver.execute_script("return window.tarnView ? (" + expression + ") : null;")

    def screen(self, x, y):
        point = self.view("window.tarnView.worldToScreen(%f, %f)" % (x, y))
        return point["x"], point["y"]

    def character(self, character_id):
        for character in self.view("window.tarnView.characters()") or []:
            if character["id"] == character_id:
                return character
        return None

    def pointer(self):
        """Actions that start with the pointer at the page's top left."""
        body = self.driver.find_element(By.TAG_NAME, "body")
        return ActionChains(self.driver).move_to_element_with_offset(body, 0, 0), body

    def click_at(self, x, y):
        self.drag(x, y, x, y)

    def drag(self, x0, y0, x1, y1):
        (sx0, sy0), (sx1, sy1) = self.screen(x0, y0), self.screen(x1, y1)
        body = self.driver.find_element(By.TAG_NAME, "body")
        size = body.size
        # Offsets are from the element's centre.
        ox, oy = -size["width"] / 2, -size["height"] / 2
        chain = ActionChains(self.driver, duration=50)
        chain.move_to_element_with_offset(body, int(sx0 + ox), int(sy0 + oy)).click_and_hold()
        if (sx0, sy0) != (sx1, sy1):
            for step in range(1, 6):
                t = step / 5.0
                chain.move_to_element_with_offset(body, int(sx0 + (sx1 - sx0) * t + ox),
                                                  int(sy0 + (sy1 - sy0) * t + oy))
        chain.release().perform()


def steer(client, character_id, heading, speed):
    """Over TCP: activates the character and asks for a heading and speed."""
    manager = client.call("Root", "GetPrefabManager")["InstanceID"]
    prefab = client.call("PrefabManager", "GetPrefab", manager, character_id)
    builder = client.call("GaitComponentBuilderRpc", "GetRPCSingleton")["InstanceID"]
    component = client.call("GaitComponentBuilderRpc", "GetPrefabComponent", builder, prefab)["InstanceID"]
    half = math.radians(heading) / 2.0
    client.call("GaitComponentRpc", "Activate", component, True)
    client.call("GaitComponentRpc", "SetRotation", component, {"x": 0, "y": 0, "z": math.sin(half),
                                                               "w": math.cos(half)})
    client.call("GaitComponentRpc", "SetSpeed", component, speed)


def take_screenshot(page, client, path):
    """The characters under way, one selected, for the README."""
    listed = [entry["Id"] for entry in client.characters()]
    for character_id, heading in zip(listed, (30.0, -45.0, 150.0, 100.0)):
        steer(client, character_id, heading, 1.0)
    time.sleep(3.0)
    # The first one stops, so that a click finds it where the page drew it.
    steer(client, listed[0], 30.0, 0.0)
    wait_for(lambda: client.state(listed[0])["Movement"] in ("Idle", "Breath"), "the first character to stand")

    def select_first():
        here = page.character(listed[0])
        page.click_at(here["x"], here["y"])
        return wait_for(lambda: page.view("window.tarnView.selectedId") == listed[0], "the first character selected",
                        timeout=5)

    for attempt in range(3):
        try:
            select_first()
            break
        except Failure:
            if attempt == 2:
                raise
    time.sleep(1.0)
    page.driver.save_screenshot(path)
    print("screenshot: " + path)


def check_static(host):
    """Only the page's folder is served."""
    for path in ("/../CMakeLists.txt", "/%2e%2e/README.md", "/..%2fREADME.md", "/data/", "/nothing-here.js"):
        connection = http.client.HTTPConnection("127.0.0.1", host.http_port, timeout=30)
        connection.putrequest("GET", path, skip_accept_encoding=True)
        connection.endheaders()
        status = connection.getresponse().status
        connection.close()
        if status != 404:
            raise Failure("%s answered %d, not 404" % (path, status))


class OtherSite(http.server.BaseHTTPRequestHandler):
    """A page of another origin that tries to stop the host from the browser."""
    target = ""

    def do_GET(self):
        body = ("<!doctype html><title>other</title><script>"
                "fetch('%srpc', {method: 'POST', mode: 'no-cors', headers: {'Content-Type': 'text/plain'},"
                " body: JSON.stringify({ClassName: 'Root', MethodName: 'ForceQuit', InstanceID: 0,"
                " WaitAck: true, UseTcpThread: false})})"
                ".then(() => { document.title = 'sent'; }, () => { document.title = 'failed'; });"
                "</script>" % self.target).encode()
        self.send_response(200)
        self.send_header("Content-Type", "text/html")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, *args):
        pass


def check_other_origin(host, driver, client):
    """A request from another origin is refused, from the browser and by hand."""
    connection = http.client.HTTPConnection("127.0.0.1", host.http_port, timeout=30)
    connection.request("POST", "/rpc", body=json.dumps({"ClassName": "Root", "MethodName": "ForceQuit",
                                                        "InstanceID": 0, "WaitAck": True, "UseTcpThread": False}),
                       headers={"Origin": "http://evil.example", "Content-Type": "application/json"})
    status = connection.getresponse().status
    if status != 403:
        raise Failure("a request from http://evil.example answered %d, not 403" % status)
    OtherSite.target = host.url
    server = http.server.HTTPServer(("127.0.0.1", 0), OtherSite)
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    try:
        driver.get("http://127.0.0.1:%d/" % server.server_address[1])
        wait_for(lambda: driver.title in ("sent", "failed"), "the other site's request")
    finally:
        server.shutdown()
    time.sleep(0.5)
    if host.process.poll() is not None:
        raise Failure("a page of another origin stopped the host")
    if client.call("Root", "KeepAlive") is not True:
        raise Failure("the host does not answer after the other site's request")


def run_checks(host, screenshot):
    client = Client(host.port)
    driver = browser()
    try:
        driver.get(host.url)
        page = Page(driver)
        wait_for(lambda: page.view("window.tarnView.connected && window.tarnView.characters().length === 3"),
                 "three characters on the page")
        listed = [entry["Id"] for entry in client.characters()]
        shown = sorted(c["id"] for c in page.view("window.tarnView.characters()"))
        if sorted(listed) != shown:
            raise Failure("the page shows %s, the host lists %s" % (shown, listed))
        first, second = listed[0], listed[1]

        # A drag from the first character toward -Y asks for a heading of -90
        # (a character without a speed keeps standing: it turns as it sets
        # off).
        here = page.character(first)
        page.drag(here["x"], here["y"], here["x"], here["y"] - 1.5)
        wait_for(lambda: angle_between(heading_of(client.state(first)["Rotation"]), -90.0) < 3.0,
                 "the requested heading of the dragged character")
        # The host's answer comes back to the page through the live stream.
        wait_for(lambda: angle_between(page.character(first)["requestedHeading"], -90.0) < 3.0,
                 "the page showing the requested heading")

        # Select the second character, then a click on the ground sends it
        # there.
        here = page.character(second)
        page.click_at(here["x"], here["y"])
        wait_for(lambda: page.view("window.tarnView.selectedId") == second, "the second character selected")
        target = (here["x"] + 3.0, here["y"] + 1.0)
        page.click_at(*target)
        wait_for(lambda: page.view("window.tarnView.walkTargets") == 1, "a walk target")
        wait_for(lambda: page.view("window.tarnView.walkTargets") == 0, "the walk to end")
        state = wait_for(lambda: (lambda s: s if s["Movement"] in ("Idle", "Breath") else None)(client.state(second)),
                         "the walker to stand")
        distance = math.hypot(state["Position"]["x"] - target[0], state["Position"]["y"] - target[1])
        if distance > 1.0:
            raise Failure("the walker stopped %.2f m from its target" % distance)
        print("walk to a point: stopped %.2f m from the target" % distance)

        # The add button, then a click on the ground: a fourth character.
        driver.find_element(By.ID, "add").click()
        page.click_at(-3.0, 1.0)
        wait_for(lambda: len(client.characters()) == 4, "a fourth character in the host's list")
        wait_for(lambda: len(page.view("window.tarnView.characters()") or []) == 4, "a fourth character on the page")
        if screenshot:
            take_screenshot(page, client, screenshot)

        check_other_origin(host, driver, client)
        check_static(host)
    finally:
        driver.quit()


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--host", required=True, help="the tarn-host executable")
    parser.add_argument("--screenshot", help="save a picture of the page here")
    options = parser.parse_args()
    for program in (CHROMIUM, CHROMEDRIVER):
        if not os.access(program, os.X_OK):
            print("live_view_test: %s is not installed (scripts/setup installs it)" % program)
            return 1
    host = Host(options.host, 3)
    try:
        run_checks(host, options.screenshot)
    except Failure as failure:
        print("FAIL: %s" % failure)
        print("--- host output\n" + host.output())
        host.stop()
        return 1
    code = host.stop()
    if code != 0:
        print("FAIL: the host ended with exit code %d" % code)
        return 1
    print("live view: all checks passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
