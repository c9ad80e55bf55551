"""Cost of `orna panel --emulate` with one page open in headless Chromium while
a sine with pacing streams: CPU of the panel's server threads and of the whole
process (from /proc), and the chart's frame rate and lost batches (from the
page). Usage: python3 tests/panel/measure.py [SECONDS]"""
import json
import os
import sys
import time

sys.path.insert(0, os.path.dirname(__file__))
import test_panel as tp  # noqa: E402
from selenium import webdriver  # noqa: E402
from selenium.webdriver.chrome.service import Service  # noqa: E402

TICK = os.sysconf("SC_CLK_TCK")


def threads(pid):
    out = {}
    for tid in os.listdir("/proc/%d/task" % pid):
        try:
            with open("/proc/%d/task/%s/stat" % (pid, tid)) as f:
                s = f.read()
        except FileNotFoundError:
            continue
        name = s[s.index("(") + 1:s.rindex(")")]
        fields = s[s.rindex(")") + 2:].split()
        out[tid] = (name, int(fields[11]) + int(fields[12]))
    return out


def main():
    seconds = float(sys.argv[1]) if len(sys.argv) > 1 else 30
    p = tp.Panel()
    o = webdriver.ChromeOptions()
    for a in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--window-size=1400,1300"):
        o.add_argument(a)
    d = webdriver.Chrome(service=Service(executable_path="/usr/bin/chromedriver"), options=o)
    try:
        d.get(p.url)
        tp.wait_until(lambda: d.find_element("tag name", "body").get_attribute("data-ready") == "1")
        p.api("POST", "/api/settings", {"function": "sine", "amplitude": 2, "pacing_amplitude": 2})
        time.sleep(3)  # settle
        # Threads that only the panel has: the pump, the listener and the HTTP
        # workers (unnamed, so: every thread started after the connection).
        before, f0 = threads(p.proc.pid), d.execute_script("return [window.panelStats.frames, performance.now(), window.panelStats.missed]")
        t0 = time.monotonic()
        time.sleep(seconds)
        after, f1 = threads(p.proc.pid), d.execute_script("return [window.panelStats.frames, performance.now(), window.panelStats.missed]")
        wall = time.monotonic() - t0
        # What the browser offers: animation frames a second, unthrottled.
        raf = d.execute_async_script("""
            const done = arguments[0]; let n = 0; const t0 = performance.now();
            (function f(now) { if (now - t0 < 2000) { n++; requestAnimationFrame(f); } else done(n * 1000 / (now - t0)); })(t0);""")
        per = {}
        for tid, (name, ticks) in after.items():
            used = (ticks - before.get(tid, (name, 0))[1]) / TICK / wall * 100
            per.setdefault(name, 0.0)
            per[name] += used
        result = {
            "seconds": round(wall, 1),
            "process_cpu_percent": round(sum(per.values()), 2),
            "per_thread_name_cpu_percent": {k: round(v, 2) for k, v in sorted(per.items())},
            "fps": round((f1[0] - f0[0]) * 1000 / (f1[1] - f0[1]), 1),
            "missed_batches": f1[2] - f0[2],
            "browser_animation_frames_per_s": round(raf, 1),
            "load_average": os.getloadavg()[0],
        }
        print(json.dumps(result, indent=1))
    finally:
        d.quit()
        p.proc.terminate()
        p.proc.wait()


if __name__ == "__main__":
    main()
