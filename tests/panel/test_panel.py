"""orna panel in a real browser: headless Chromium driven by Selenium against
`orna panel --emulate`. ORNA_CLI names the program; screenshots and the
measured frame rate go to ORNA_PANEL_ARTEFACTS (default: the working directory)."""
import http.client
import http.server
import json
import os
import signal
import socket
import subprocess
import threading
import time
import urllib.request

import pytest
from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.common.keys import Keys
from selenium.webdriver.support.ui import Select

CLI = os.environ.get("ORNA_CLI", "build/tools/orna")
ARTEFACTS = os.environ.get("ORNA_PANEL_ARTEFACTS", ".")


def wait_until(condition, timeout=15.0, what="condition"):
    deadline = time.monotonic() + timeout
    while True:
        value = condition()
        if value:
            return value
        if time.monotonic() > deadline:
            raise AssertionError("timed out waiting for " + what)
        time.sleep(0.05)


class Panel:
    def __init__(self, *args, sigint_ignored=False, env=None):
        # A shell's background job inherits SIGINT ignored.
        pre = (lambda: signal.signal(signal.SIGINT, signal.SIG_IGN)) if sigint_ignored else None
        self.proc = subprocess.Popen([CLI, "panel", *(args or ["--emulate"]), "--listen", "127.0.0.1:0"],
                                     stdout=subprocess.PIPE, text=True, preexec_fn=pre, env=env)
        self.url = self.proc.stdout.readline().strip()
        assert self.url.startswith("http://127.0.0.1:"), self.url
        self.base, self.token = self.url.split("/?token=")
        self.hostport = self.base[len("http://"):]
        assert len(self.token) == 32  # 128 bits

    def request(self, method, path, body=None, headers=None, token=True):
        h = {"Host": self.hostport}
        if token:
            h["X-Orna-Token"] = self.token
        h.update(headers or {})
        c = http.client.HTTPConnection(self.hostport, timeout=10)
        if body is not None and not isinstance(body, str):
            body = json.dumps(body)
        c.request(method, path, body=body, headers=h)
        r = c.getresponse()
        data = r.read()
        c.close()
        return r.status, data

    def api(self, method, path, body=None):
        status, data = self.request(method, path, body)
        assert status == 200, (status, data)
        return json.loads(data)

    def state(self):
        return self.api("GET", "/api/state")

    def batches(self, seconds):
        """Streamed points covering at least `seconds` of signal."""
        t, v = [], []
        with urllib.request.urlopen(self.base + "/api/stream?token=" + self.token, timeout=10) as r:
            for line in r:
                if line.startswith(b"data: "):
                    b = json.loads(line[6:])
                    t += b["t"]
                    v += b["v"]
                    if t and t[-1] - t[0] >= seconds:
                        return t, v


@pytest.fixture(scope="module")
def panel():
    p = Panel("--emulate", "--monitor-hl7", "0")  # a monitor's reports shown beside the rest
    yield p
    p.proc.send_signal(signal.SIGTERM)
    assert p.proc.wait(timeout=10) == 0


@pytest.fixture(scope="module")
def browser(panel):
    o = webdriver.ChromeOptions()
    for a in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--window-size=1400,1300"):
        o.add_argument(a)
    d = webdriver.Chrome(service=Service(executable_path="/usr/bin/chromedriver"), options=o)
    d.get(panel.url)
    wait_until(lambda: d.find_element(By.TAG_NAME, "body").get_attribute("data-ready") == "1", what="page ready")
    yield d
    d.quit()


def set_field(browser, element_id, text):
    # Typed over, as a user does: a cleared field left empty is refilled by the
    # page's next state poll, and the text would then be typed after that.
    f = browser.find_element(By.ID, element_id)
    f.send_keys(Keys.CONTROL, "a")
    f.send_keys(text, Keys.ENTER)


def canvas_pixels(browser):
    """Dark (trace) and red (pacing mark) pixels on the chart."""
    return browser.execute_script("""
        const c = document.getElementById('chart');
        const d = c.getContext('2d').getImageData(0, 0, c.width, c.height).data;
        let dark = 0, red = 0;
        for (let i = 0; i < d.length; i += 4) {
          if (d[i] < 80 && d[i + 1] < 80 && d[i + 2] < 100) dark++;
          if (d[i] > 180 && d[i + 1] < 40 && d[i + 2] < 40) red++;
        }
        return [dark, red];""")


def test_sine_from_the_page_plays_charts_and_stops(panel, browser):
    Select(browser.find_element(By.ID, "function")).select_by_value("1")
    set_field(browser, "amplitude", "2")
    wait_until(lambda: panel.state()["settings"]["amplitude"] == 2.0, what="amplitude 2 mV")
    browser.find_element(By.ID, "start").click()
    wait_until(lambda: panel.state()["streaming"], what="streaming")
    s = panel.state()
    assert s["settings"]["function"] == 1 and s["virtual"]

    # 2 mV peak to peak is a 1 mV peak sine at the instrument.
    t, v = panel.batches(1.2)
    assert max(v) == pytest.approx(1.0, abs=0.01) and min(v) == pytest.approx(-1.0, abs=0.01)
    assert all(b - a < 0.001 for a, b in zip(t, t[1:]))  # one stream, in order
    wait_until(lambda: canvas_pixels(browser)[0] > 500, what="trace on the canvas")
    wait_until(lambda: "streaming" in browser.find_element(By.ID, "status").text, what="status")

    # A refused value shows the library's words and leaves the setting.
    refused = panel.api("POST", "/api/settings", {"amplitude": 20})["results"]["amplitude"]
    assert refused["code"] == -2 and refused["text"]
    set_field(browser, "amplitude", "20")
    msg = wait_until(lambda: browser.find_element(By.ID, "msg-amplitude").text, what="refusal text")
    assert msg == "%s (%d)" % (refused["text"], refused["code"])
    assert browser.find_element(By.ID, "amplitude").get_attribute("value") == "2"
    assert panel.state()["settings"]["amplitude"] == 2.0

    # Pacing at 2 mV sits on the normal range: marked all the same.
    set_field(browser, "pacing-amplitude", "2")
    wait_until(lambda: browser.execute_script("return window.panelStats.paceMarks") >= 2, what="pacing marks")
    wait_until(lambda: canvas_pixels(browser)[1] > 20, what="pacing mark drawn")
    assert browser.find_element(By.ID, "msg-pacing-amplitude").text == ""

    # Frame rate and lost batches, measured in the browser over 5 s of streaming.
    f0 = browser.execute_script("return [window.panelStats.frames, performance.now()]")
    time.sleep(5)
    f1 = browser.execute_script("return [window.panelStats.frames, performance.now()]")
    stats = browser.execute_script("return window.panelStats")
    fps = (f1[0] - f0[0]) * 1000 / (f1[1] - f0[1])
    with open(os.path.join(ARTEFACTS, "panel-chart.json"), "w") as f:
        json.dump({"fps": fps, "missed_batches": stats["missed"], "points": stats["samples"],
                   "draw_ms": stats["drawMs"]}, f)
    assert stats["missed"] == 0
    browser.save_screenshot(os.path.join(ARTEFACTS, "panel.png"))

    # A CSV recording of what is shown, started and stopped on the page.
    Select(browser.find_element(By.ID, "record-format")).select_by_value("csv")
    browser.find_element(By.ID, "record-start").click()
    wait_until(lambda: panel.state()["recording"]["points"] >= 6000, what="recorded points")
    browser.find_element(By.ID, "record-stop").click()
    link = wait_until(lambda: browser.find_element(By.ID, "record-link").get_attribute("href"), what="download link")
    status, csv = panel.request("GET", link[len(panel.base):], token=False)
    lines = csv.decode().splitlines()
    assert status == 200 and lines[0] == "time_s,value_mV,high_range,pacing_pulse" and len(lines) > 6000
    rows = [x.split(",") for x in lines[1:]]
    values = [float(r[1]) for r in rows]
    assert min(values) == pytest.approx(-1.0, abs=0.01) and max(values) >= 0.99
    # Each pulse marked once, where it begins: the value steps up by 2 mV.
    pulses = [i for i, r in enumerate(rows) if r[3] == "1"]
    assert pulses and all(values[i] - values[i - 1] == pytest.approx(2.0, abs=0.05) for i in pulses if i)

    browser.find_element(By.ID, "stop").click()
    wait_until(lambda: not panel.state()["streaming"], what="stopped")
    assert panel.state()["settings"]["function"] == 0


def test_an_uploaded_waveform_plays_as_the_file_output(panel, browser, tmp_path):
    wave = tmp_path / "wave.txt"
    wave.write_text("500\n4\n0\n500\n1000\n500\n")  # rate, count, microvolts
    browser.find_element(By.ID, "file").send_keys(str(wave))
    wait_until(lambda: browser.find_element(By.ID, "file-msg").text == "4 samples loaded", what="upload")
    assert panel.api("POST", "/api/settings", {"function": "file"})["results"]["function"]["code"] == 0
    wait_until(lambda: panel.state()["streaming"], what="streaming")
    assert panel.api("POST", "/api/settings", {"function": 0})["results"]["function"]["code"] == 0
    bad = panel.api("POST", "/api/file", "rate\n")
    assert bad["code"] == -2 and bad["text"]


def test_requests_without_the_token_or_from_elsewhere_are_refused(panel):
    assert panel.request("GET", "/api/state", token=False)[0] == 403
    assert panel.request("GET", "/api/state", headers={"X-Orna-Token": "0" * 32})[0] == 403
    assert panel.request("GET", "/?token=" + panel.token[:-1] + "0", token=False)[0] == 403
    assert panel.request("GET", "/api/state", headers={"Host": "evil.example"})[0] == 403
    assert panel.request("POST", "/api/settings", {"amplitude": 3},
                         headers={"Origin": "http://evil.example"})[0] == 403
    assert panel.state()["settings"]["amplitude"] == 2.0
    port = panel.hostport.split(":")[1]
    assert panel.request("GET", "/api/state", headers={"Host": "localhost:" + port})[0] == 200
    assert panel.request("GET", "/api/state", headers={"Origin": panel.base})[0] == 200


def test_a_page_of_another_site_cannot_change_a_setting(panel, browser):
    # Even knowing the token, a page elsewhere gets nothing done: its requests
    # carry its own Origin.
    page = """<!doctype html><title>evil</title><body><script>
      const u = '%s/api/settings?token=%s';
      Promise.allSettled([
        fetch(u, {method: 'POST', mode: 'no-cors', body: '{"amplitude": 7}'}),
        fetch(u, {method: 'POST', headers: {'Content-Type': 'application/json'}, body: '{"amplitude": 8}'}),
      ]).then(() => { document.title = 'done'; });
    </script></body>""" % (panel.base, panel.token)

    class Evil(http.server.BaseHTTPRequestHandler):
        def do_GET(self):
            self.send_response(200)
            self.send_header("Content-Type", "text/html")
            self.end_headers()
            self.wfile.write(page.encode())

        def log_message(self, *args):
            pass

    evil = http.server.HTTPServer(("127.0.0.1", 0), Evil)
    threading.Thread(target=evil.serve_forever, daemon=True).start()
    try:
        browser.get("http://localhost:%d/" % evil.server_address[1])
        wait_until(lambda: browser.title == "done", what="the other site's requests")
    finally:
        evil.shutdown()
        browser.get(panel.url)
    assert panel.state()["settings"]["amplitude"] == 2.0


def page_ready(browser):
    wait_until(lambda: browser.find_element(By.TAG_NAME, "body").get_attribute("data-ready") == "1", what="page ready")


def test_lists_show_every_value_and_a_corrected_field_drops_its_refusal(panel, browser):
    page_ready(browser)
    shown = "const s = document.getElementById(arguments[0]); return s.selectedIndex < 0 ? '' : s.options[s.selectedIndex].text"
    panel.api("POST", "/api/settings", {"pacing_mode": 2})
    wait_until(lambda: browser.execute_script(shown, "pacing-mode") == "double (mode 2)", what="pacing mode 2")
    panel.api("POST", "/api/settings", {"pacing_mode": 0})
    iec227 = [o.text for o in Select(browser.find_element(By.ID, "iec227")).options]
    iec251 = [o.text for o in Select(browser.find_element(By.ID, "iec251")).options]
    assert len(iec227) == 10 and iec227[0] == "0: 3a ventricular bigeminy" and iec227[9].endswith("half amplitude")
    assert len(iec251) == 6 and iec251[3] == "3: QRS 10 mV, P 0.3 mV"

    set_field(browser, "amplitude", "20")
    wait_until(lambda: browser.find_element(By.ID, "msg-amplitude").text, what="refusal text")
    set_field(browser, "amplitude", "2")  # the value the field shows already
    wait_until(lambda: browser.find_element(By.ID, "msg-amplitude").text == "", what="refusal gone")
    assert panel.state()["settings"]["amplitude"] == 2.0


def test_a_value_typed_just_before_start_is_the_one_played(panel, browser):
    # The stream from before each start: the first half second that plays.
    samples, done = [], threading.Event()

    def listen():
        with urllib.request.urlopen(panel.base + "/api/stream?token=" + panel.token, timeout=10) as r:
            for line in r:
                if done.is_set():
                    return
                if line.startswith(b"data: "):
                    samples.extend(json.loads(line[6:])["v"])

    seen = [None, 0.0]

    def quiet():
        """No new point for 150 ms: what played before has all come."""
        points, now = panel.state()["stream"]["points"], time.monotonic()
        if points != seen[0]:
            seen[:] = [points, now]
        return now - seen[1] >= 0.15

    page_ready(browser)
    threading.Thread(target=listen, daemon=True).start()
    Select(browser.find_element(By.ID, "function")).select_by_value("1")
    try:
        for amplitude in (3, 2, 3):
            assert panel.api("POST", "/api/settings", {"function": 0})["results"]["function"]["code"] == 0
            wait_until(lambda: not panel.state()["streaming"], what="stopped")
            wait_until(quiet, what="the stopped output's last samples")
            del samples[:]
            # The first change's request is held up on its way, as a busy
            # machine or network may do: it must still be applied first.
            browser.execute_script("""
                const send = window.fetch; let first = true;
                window.fetch = (...a) => {
                  if (!(first && a[1] && a[1].method === 'POST')) return send(...a);
                  first = false;
                  return new Promise((r) => setTimeout(r, 150)).then(() => send(...a));
                };""")
            f = browser.find_element(By.ID, "amplitude")
            f.send_keys(Keys.CONTROL, "a")
            f.send_keys(str(amplitude))
            # Enter, then Start, with nothing in between (a driver's keys and
            # clicks come a few hundred milliseconds apart).
            browser.execute_script("""
                arguments[0].dispatchEvent(new KeyboardEvent('keydown', {key: 'Enter', bubbles: true}));
                document.getElementById('start').click();""", f)
            playing = lambda: [i for i, v in enumerate(samples) if abs(v) > 0.01]  # noqa: E731
            wait_until(lambda: playing() and len(samples) - playing()[0] >= 2500, what="half a second played")
            first = samples[playing()[0]:playing()[0] + 2500]
            assert max(first) == pytest.approx(amplitude / 2, abs=0.02), (amplitude, max(first))
    finally:
        done.set()
        panel.api("POST", "/api/settings", {"function": 0, "amplitude": 2})
        browser.get(panel.url)  # the page's own fetch again


def test_the_page_says_when_the_instrument_goes_away(browser):
    # A virtual instrument in another process, on its own pseudo-terminal.
    emu = subprocess.Popen([CLI, "emulate"], stdout=subprocess.PIPE, text=True)
    path = emu.stdout.readline().strip()
    p = Panel(sigint_ignored=True)  # starts on its in-process instrument
    try:
        browser.get(p.url)
        wait_until(lambda: browser.find_element(By.TAG_NAME, "body").get_attribute("data-ready") == "1")
        r = p.api("POST", "/api/connect", {"port": path})
        assert r["code"] == 1 and p.state()["port"] == path
        assert p.api("POST", "/api/settings", {"function": "sine"})["results"]["function"]["code"] == 0
        wait_until(lambda: p.state()["link"]["packets"] > 0, what="packets")
        assert browser.find_element(By.ID, "lost").get_attribute("hidden")
        emu.send_signal(signal.SIGTERM)
        emu.wait(timeout=10)
        wait_until(lambda: p.state()["lost"], what="link lost")
        wait_until(lambda: browser.find_element(By.ID, "lost").is_displayed(), what="banner")
        assert not p.state()["streaming"]
        assert "lost" in browser.find_element(By.ID, "status").text
        # Back to the virtual instrument from the page: the banner goes.
        Select(browser.find_element(By.ID, "port")).select_by_value("virtual")
        browser.find_element(By.ID, "connect").click()
        wait_until(lambda: p.state()["virtual"] and not p.state()["lost"], what="reconnected")
        wait_until(lambda: not browser.find_element(By.ID, "lost").is_displayed(), what="banner gone")
    finally:
        if emu.poll() is None:
            emu.kill()
            emu.wait()
        p.proc.send_signal(signal.SIGINT)
        assert p.proc.wait(timeout=10) == 0


def test_the_rhythm_picker_lists_the_rhythms_and_shows_a_refusal_beside_its_field(panel, browser):
    browser.get(panel.url)  # a test before may have left it on another panel
    page_ready(browser)
    picker = Select(browser.find_element(By.ID, "rhythm-name"))
    names = [o.get_attribute("value") for o in picker.options]
    assert len(names) == 26 and names[0] == "none" and "aflutter" in names
    picker.select_by_value("aflutter")
    assert not browser.find_elements(By.ID, "rhythm-bpm")  # it keeps its own rate
    set_field(browser, "rhythm-conduction", "5")
    browser.find_element(By.ID, "start").click()
    wait_until(lambda: "outside 2 to 4" in browser.find_element(By.ID, "msg-rhythm-conduction").text,
               what="refusal beside the field")
    set_field(browser, "rhythm-conduction", "3")
    browser.find_element(By.ID, "start").click()
    wait_until(lambda: panel.state()["settings"]["rhythm"] != "none" and panel.state()["streaming"],
               what="rhythm playing")
    s = panel.state()["settings"]
    assert s["function"] == 13 and s["rhythm"]["name"] == "aflutter" and s["rhythm"]["params"]["conduction"] == 3
    assert browser.find_element(By.ID, "msg-rhythm-conduction").text == ""
    picker.select_by_value("none")
    wait_until(lambda: panel.state()["settings"]["rhythm"] == "none", what="rhythm cleared")
    browser.find_element(By.ID, "stop").click()
    wait_until(lambda: not panel.state()["streaming"], what="stopped")


def test_the_monitors_latest_reports_show_beside_the_rate_played(panel, browser):
    assert browser.find_element(By.ID, "monitor").is_displayed()
    port = int(panel.state()["monitor"]["listening"].split(":")[1])
    msh = "MSH|^~\\&|MON||||20260301090000+0000||"
    with socket.create_connection(("127.0.0.1", port)) as s:
        s.sendall(("\x0b" + msh + "ORU^R01|P1|P|2.6\rOBX|1|NM|147842^MDC_ECG_HEART_RATE^MDC|1|88|/min\r\x1c\r" +
                   "\x0b" + msh + "ORU^R40|P2|P|2.6\rOBR|1\rOBX|1|ST|^MDC_EVT_ECG_TACHY^MDC||high\r\x1c\r").encode())
        s.settimeout(5)
        acks = b""
        while acks.count(b"\x1c\r") < 2:
            acks += s.recv(4096)
    shown = lambda table: browser.find_element(By.ID, table).text
    wait_until(lambda: "heart_rate 88 /min 20260301090000+0000 P1" in shown("monitor-values"), what="value")
    wait_until(lambda: "MDC_EVT_ECG_TACHY high raised" in shown("monitor-alarms"), what="alarm")
