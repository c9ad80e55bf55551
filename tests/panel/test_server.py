"""orna panel's HTTP server under load and at its edges, over real sockets
(no browser): what other clients can hold, a second panel on the same port,
the --open browser start, and the API's answers to malformed requests."""
import json
import os
import signal
import socket
import subprocess
import threading
import time

from test_panel import CLI, Panel, wait_until

STREAM_CAP = 32


def raw(panel, request):
    s = socket.create_connection(("127.0.0.1", int(panel.hostport.split(":")[1])))
    s.sendall(request.encode())
    return s


def status_of(sock, timeout=5.0):
    sock.settimeout(timeout)
    data = b""
    while b"\r\n" not in data:
        chunk = sock.recv(4096)
        if not chunk:
            break
        data += chunk
    return int(data.split(b" ")[1]) if data else 0


def closed_by_server(sock):
    sock.setblocking(False)
    try:
        while True:
            data = sock.recv(65536)
            if not data:
                return True
    except BlockingIOError:
        return False
    except ConnectionResetError:
        return True


def stop(panel):
    panel.proc.send_signal(signal.SIGTERM)
    assert panel.proc.wait(timeout=10) == 0


def test_the_owner_is_answered_at_once_whatever_else_holds_connections():
    p = Panel()
    socks = []
    try:
        assert p.api("POST", "/api/settings", {"function": "sine"})["results"]["function"]["code"] == 0
        get = "GET /api/stream HTTP/1.1\r\nHost: %s\r\nX-Orna-Token: %s\r\n\r\n" % (p.hostport, p.token)
        streams = [raw(p, get) for _ in range(200)]
        slow = [raw(p, "GET /api/state HTTP/1.1\r\nHost: ") for _ in range(50)]  # never finished
        refused = [raw(p, "GET /api/state HTTP/1.1\r\nHost: %s\r\n\r\n" % p.hostport) for _ in range(20)]
        socks = streams + slow + refused
        codes = [status_of(s) for s in streams]
        assert codes.count(200) == STREAM_CAP and codes.count(503) == 200 - STREAM_CAP
        # A refused request ends its connection.
        assert all(status_of(s) == 403 for s in refused)
        wait_until(lambda: all(closed_by_server(s) for s in refused), what="refused connections closed")

        worst = 0.0
        for body in ({"function": 0}, None, {"function": "sine"}, None, {"function": 0}):
            t0 = time.monotonic()
            if body is None:
                p.state()
            else:
                assert p.api("POST", "/api/settings", body)["results"]["function"]["code"] == 0
            worst = max(worst, time.monotonic() - t0)
        assert worst < 0.2, worst

        # Slow headers are given up on, and the streams that were let in go on.
        wait_until(lambda: all(closed_by_server(s) for s in slow), timeout=10, what="slow headers dropped")
        live = [s for s, c in zip(streams, codes) if c == 200]
        assert not any(closed_by_server(s) for s in live)
    finally:
        for s in socks:
            s.close()
        stop(p)


def test_a_second_panel_on_the_same_port_is_refused():
    p = Panel()
    try:
        r = subprocess.run([CLI, "panel", "--emulate", "--listen", p.hostport], capture_output=True, text=True,
                           timeout=20)
        assert r.returncode != 0 and "in use" in r.stderr, r.stderr
        assert p.state()["connected"]
    finally:
        stop(p)


def test_open_keeps_the_token_off_command_lines_and_never_holds_the_panel(tmp_path):
    # A stand-in browser opener: notes its arguments and signal mask, then lingers.
    opener = tmp_path / "xdg-open"
    log = tmp_path / "opened"
    opener.write_text("#!/bin/sh\n{ echo \"$1\"; grep SigBlk /proc/$$/status; } > %s.tmp\nmv %s.tmp %s\n"
                      "exec sleep 30\n" % (log, log, log))
    opener.chmod(0o755)
    env = dict(os.environ, PATH=str(tmp_path) + ":" + os.environ["PATH"])
    p = Panel("--emulate", "--open", env=env)
    wait_until(log.exists, what="the opener")
    url, mask = log.read_text().splitlines()
    assert p.token not in url and mask.split()[1] == "0" * 16
    path = url[len(p.base):]
    status, _ = p.request("GET", path, token=False)
    assert status == 303
    assert p.request("GET", path, token=False)[0] == 403  # good once
    t0 = time.monotonic()
    stop(p)
    assert time.monotonic() - t0 < 5


def test_malformed_requests_get_reasons_and_a_failed_connect_keeps_the_link():
    p = Panel()
    try:
        for path, body in (("/api/connect", {"port": 5}), ("/api/connect", {"serial": []}),
                           ("/api/record", {"on": "yes"}), ("/api/record", {"format": 1})):
            status, data = p.request("POST", path, body)
            assert status == 400 and json.loads(data)["error"], (path, body, data)
        before = p.state()["port"]
        r = p.api("POST", "/api/connect", {"port": "/dev/null"})
        assert r["code"] == -1 and "not a serial port" in r["text"]
        s = p.state()
        assert s["connected"] and s["port"] == before
        # A body too large is refused from its header, before it is sent.
        sock = raw(p, "POST /api/file HTTP/1.1\r\nHost: %s\r\nX-Orna-Token: %s\r\nContent-Length: %d\r\n\r\n"
                   % (p.hostport, p.token, 300 << 20))
        assert status_of(sock) == 413
        sock.close()
    finally:
        stop(p)


def test_concurrent_requests_from_many_clients():
    # Run under ThreadSanitizer in CI: the panel's calls into the library must
    # not race, whichever requests come together.
    p = Panel()
    errors = []

    def client(i):
        try:
            for k in range(30):
                if i % 3 == 0:
                    assert p.api("POST", "/api/connect", {"port": "virtual"})["code"] == 1
                elif i % 3 == 1:
                    p.api("POST", "/api/settings", {"amplitude": 1 + (k % 3), "function": ["iec227", 0][k % 2]})
                else:
                    assert p.state()["identity"]["library_version"]
        except Exception as e:  # noqa: BLE001 -- reported below
            errors.append(e)

    threads = [threading.Thread(target=client, args=(i,)) for i in range(6)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not errors, errors
    stop(p)


def test_a_heart_rate_sets_the_frequency_of_a_heartbeat_only():
    p = Panel()
    try:
        r = p.api("POST", "/api/settings", {"function": "ecg", "bpm": 75})
        assert r["results"]["bpm"]["code"] == 0
        assert r["settings"]["frequency"] == 1.25 and r["settings"]["bpm"] == 75
        r = p.api("POST", "/api/settings", {"bpm": 2.9})["results"]["bpm"]
        assert r == {"code": -2, "text": "heart rate outside 3 to 30000 per minute"}
        r = p.api("POST", "/api/settings", {"function": "sine", "bpm": 60})
        assert r["results"]["bpm"] == {"code": -100, "text": "sine is not a heartbeat: set its frequency in Hz"}
        assert r["settings"]["frequency"] == 1.25
    finally:
        stop(p)


def test_a_rhythm_is_chosen_checked_and_played_as_output_13():
    p = Panel()
    try:
        rhythms = {r["name"]: r for r in next(s for s in p.api("GET", "/api/schema") if s["name"] == "rhythm")["options"]}
        assert len(rhythms) == 25 and rhythms["aflutter"]["bpm"] is None
        assert rhythms["sinus"]["bpm"] == {"min": 30, "max": 200, "default": 60} and rhythms["sinus"]["params"] == []
        r = p.api("POST", "/api/settings", {"rhythm": {"name": "aflutter", "params": {"conduction": 3}, "seed": 7},
                                            "function": 13})
        assert r["results"] == {"rhythm": {"code": 0, "text": "aflutter rendered"},
                                "function": {"code": 0, "text": "accepted"}}
        wait_until(lambda: p.state()["streaming"], what="output 13 playing")
        s = p.state()["settings"]
        assert s["function"] == 13 and s["rhythm"] == {"name": "aflutter", "bpm": None, "amplitude": 1, "seed": 7,
                                                        "params": {"atrial": 300, "conduction": 3}}
        # Refusals name the field; the rhythm playing stays.
        for value, field, text in (
                ({"conduction": 5}, "conduction", "conduction 5 outside 2 to 4 (whole numbers)"),
                ({"pr": 150}, "pr", "pr not taken: aflutter takes other parameters")):
            r = p.api("POST", "/api/settings", {"rhythm": {"name": "aflutter", "params": value}})
            assert r["results"]["rhythm"] == {"code": -2, "text": text, "field": field}
        r = p.api("POST", "/api/settings", {"rhythm": {"name": "aflutter", "bpm": 80}})
        assert r["results"]["rhythm"] == {"code": -2, "text": "bpm not taken: aflutter keeps its own rate", "field": "bpm"}
        assert r["settings"]["rhythm"]["params"] == {"atrial": 300, "conduction": 3}
        # Applied while playing, a rhythm replaces the waveform at once.
        r = p.api("POST", "/api/settings", {"rhythm": {"name": "sinus", "bpm": 75}})
        assert r["results"]["rhythm"] == {"code": 0, "text": "sinus loaded"}
        assert r["settings"]["function"] == 13 and r["settings"]["rhythm"]["bpm"] == 75
        # A paced rhythm brings its pacing: the rate and mode it is drawn for, and pulses.
        r = p.api("POST", "/api/settings", {"rhythm": {"name": "paced-av", "bpm": 80, "params": {"av-delay": 250}}})
        assert r["results"]["rhythm"] == {"code": 0, "text": "paced-av loaded"}
        assert (r["settings"]["pacing_rate"], r["settings"]["pacing_mode"], r["settings"]["pacing_amplitude"]) == (80, 2, 2)
    finally:
        stop(p)


def test_shows_what_a_monitor_reports_over_hl7():
    p = Panel("--emulate", "--monitor-hl7", "0")
    try:
        port = int(p.api("GET", "/api/state")["monitor"]["listening"].split(":")[1])
        msh = "MSH|^~\\&|MON||||20260301090000+0000||"
        frames = ("\x0b" + msh + "ORU^R01|V1|P|2.6\rOBX|1|NM|147842^MDC_ECG_HEART_RATE^MDC|1|61|/min\r\x1c\r" +
                  "\x0b" + msh + "ORU^R40|A1|P|2.6\rOBR|1\rOBX|1|ST|^MDC_EVT_ECG_BRADY^MDC||low\r\x1c\r")
        with socket.create_connection(("127.0.0.1", port)) as s:
            s.sendall(frames.encode())
            s.settimeout(5)
            acks = b""
            while acks.count(b"\x1c\r") < 2:
                chunk = s.recv(4096)
                assert chunk, acks
                acks += chunk
        assert b"MSA|AA|V1\r" in acks and b"MSA|AA|A1\r" in acks
        m = p.api("GET", "/api/state")["monitor"]
        assert m["values"] == [{"name": "heart_rate", "value": 61, "units": "/min",
                                "time": "20260301090000+0000", "message_id": "V1"}]
        assert [(a["name"], a["active"]) for a in m["alarms"]] == [("MDC_EVT_ECG_BRADY low", True)]
    finally:
        stop(p)
