#!/usr/bin/env python3
"""The supervisor's page in headless Chromium, against a running chassis.

    page_test.py URL FLOWCTL CONTROL

The truth is what flowctl reads from the same supervisor. Checks that the
page shows every card and flow, that a chosen flow is charted, that a
card's paused traffic brings its flows' rates to 0 (and leaves the other
card's running), that a slot filter narrows the table, that rates handle
resets, re-created counters, incomplete and very large totals (made-up
answers fed to the page's model), and that the console stays free of
errors. Exit 0 when all hold; the first failure is printed."""
import json
import shutil
import signal
import subprocess
import sys
import tempfile
import time

from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By

WAIT_S = 20  # a bound on each wait, never a timing being asserted


class Failure(Exception):
    pass


def flowctl(*args):
    out = subprocess.run([FLOWCTL, "--control", CONTROL, "--json", *args], capture_output=True,
                         text=True, timeout=30, check=True).stdout
    return json.loads(out)


def key(f):
    return f"{f['slot']} {f['type']} {f['vsan']} {f['sid']} {f['did']}"


def start_browser(profile):
    opts = webdriver.ChromeOptions()
    opts.binary_location = "/usr/bin/chromium"
    # The network is closed: without these it keeps trying hosts it cannot reach.
    for flag in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                 "--disable-background-networking", "--disable-component-update", "--disable-sync",
                 "--disable-dev-shm-usage", f"--user-data-dir={profile}"):
        opts.add_argument(flag)
    opts.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    return webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=opts)


def wait_for(what, pred):
    deadline = time.monotonic() + WAIT_S
    while time.monotonic() < deadline:
        value = pred()
        if value:
            return value
        time.sleep(0.1)
    raise Failure(f"not within {WAIT_S} s: {what}")


def rows(driver):
    """key -> (slot, frames/s or None) of every row shown, read in one call."""
    got = driver.execute_script(
        "return [...document.querySelectorAll('#flow-rows tr:not([hidden])')]"
        ".map(r => [r.dataset.key, r.dataset.slot, r.dataset.fps]);")
    return {k: (int(s), float(r) if r else None) for k, s, r in got}


# Rates from two answers 2 s apart: (case, first answer's row, second's,
# frames/s expected or None for none, reset expected).
RATE_CASES = [
    ("a rate", {}, {"frames": 300}, 100, False),
    ("a total gone down is a reset", {}, {"frames": 50}, None, True),
    ("a counter re-created has no rate", {}, {"counter": 2, "frames": 500}, None, False),
    ("an incomplete total has no rate", {}, {"frames": 300, "complete": False}, None, False),
    ("totals above 2^53 exactly", {"frames": 2**60}, {"frames": 2**60 + 200}, 100, False),
]
FEED = """
const [first, second, done] = arguments;
const replies = [];
const handle = window.flowPageModel((m) => replies.push(m));
const view = {sort: {col: 'pos', dir: 1}, page: 0, pageSize: 10, watch: []};
handle({seq: 1, body: new TextEncoder().encode(first).buffer, at: 1000, view});
handle({seq: 2, body: new TextEncoder().encode(second).buffer, at: 3000, view});
const row = replies[1].rows[0];
done([Number.isNaN(row.fps) ? null : row.fps, row.reset, replies[1].error || null]);
"""


def check_rates(driver):
    base = {"slot": 1, "type": "exact", "vsan": 1, "sid": "0x010001", "did": "0x020001",
            "counter": 1, "frames": 100, "bytes": 0, "complete": True, "status": "applied", "name": ""}
    for case, first, second, fps, reset in RATE_CASES:
        answers = [json.dumps({"flows": [{**base, **row}], "cards": []}) for row in (first, second)]
        got = driver.execute_async_script(FEED, *answers)
        if got != [fps, reset, None]:
            raise Failure(f"{case}: frames/s, reset, error {got}, expected {[fps, reset, None]}")


def run(driver, url):
    flows = {key(f): f for f in flowctl("show")["flows"]}
    slots = sorted({c["slot"] for c in flowctl("cards")["cards"]})
    driver.get(url)

    # Every card and every flow; refused flows marked as such.
    wait_for("every card shown", lambda: all(
        driver.find_elements(By.ID, f"card-{s}") for s in slots))
    wait_for("every flow shown", lambda: rows(driver).keys() == flows.keys())
    refused = [k for k, f in flows.items() if f["status"] == "refused"]
    shown = {r.get_attribute("data-key"): r.get_attribute("class")
             for r in driver.find_elements(By.CSS_SELECTOR, "#flow-rows tr[data-status=refused]")}
    if sorted(shown) != sorted(refused) or not all("refused" in c for c in shown.values()):
        raise Failure(f"refused flows marked {shown}, expected {refused}")

    # A row clicked is charted: its rate is drawn from the polls that follow.
    chosen = next(k for k, f in flows.items() if f["slot"] == 1 and f["type"] == "exact")
    driver.find_element(By.CSS_SELECTOR, f"#flow-rows tr[data-key='{chosen}']").click()
    chart = driver.find_element(By.ID, "chart")
    wait_for("the chosen flow charted", lambda: int(chart.get_attribute("data-points") or 0) >= 2)
    title = driver.find_element(By.ID, "chart-title").text
    if "slot 1 exact 10 0x010001" not in title:
        raise Failure(f"chart title: {title}")

    # Paused traffic: rates of slot 1 go to 0, slot 2's stay above.
    def rates(slot):
        return [r for k, (s, r) in rows(driver).items()
                if s == slot and flows[k]["status"] == "applied"]
    wait_for("rates on both cards", lambda: all(
        rates(s) and all(r is not None and r > 0 for r in rates(s)) for s in (1, 2)))
    flowctl("traffic", "1", "pause")
    wait_for("slot 1's rates at 0", lambda: all(r == 0 for r in rates(1)))
    if not all(r is not None and r > 0 for r in rates(2)):
        raise Failure(f"slot 2's rates with slot 1 paused: {rates(2)}")
    flowctl("traffic", "1", "resume")

    # A filter narrows the table to what the server sends for it.
    driver.find_element(By.ID, "f-slot").send_keys("2")
    driver.find_element(By.ID, "f-apply").click()
    slot2 = {k for k, f in flows.items() if f["slot"] == 2}
    wait_for("the slot filter applied", lambda: rows(driver).keys() == slot2 and
             driver.find_element(By.ID, "flow-count").get_attribute("data-count") == str(len(slot2)))

    check_rates(driver)
    errors = [e for e in driver.get_log("browser") if e["level"] in ("SEVERE", "ERROR")]
    if errors:
        raise Failure(f"console errors: {errors}")
    status = driver.find_element(By.ID, "status")
    if status.get_attribute("data-state") != "ok":
        raise Failure(f"the page reports: {status.text}")


def main():
    global FLOWCTL, CONTROL
    url, FLOWCTL, CONTROL = sys.argv[1:4]
    # The whole run is bounded: an alarm ends it through the finally below.
    signal.signal(signal.SIGALRM, lambda *_: (_ for _ in ()).throw(Failure("took over 90 s")))
    signal.alarm(90)
    profile = tempfile.mkdtemp(prefix="page-test-")
    driver = None
    try:
        driver = start_browser(profile)
        run(driver, url)
        return 0
    except Failure as e:
        print(f"page_test: {e}", file=sys.stderr)
        return 1
    finally:
        if driver is not None:
            driver.quit()
        shutil.rmtree(profile, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
