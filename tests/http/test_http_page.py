"""The web page in a real browser (headless Chromium driven by chromedriver), with every host
but 127.0.0.1 unreachable: it loads from the poller alone, shows the newest reading and the next
one without a reload, charts the last hour, says when the device is not connected, shows the
peak warning and the capacity tariff's months, and is built of headings, labels and text a
screen reader can read.

    test_http_page.py KDR31_HTTP_FEED KDR31_CLI KDR31_SIM

The firmware upgrade runs against the poller itself (kdr31-cli poll --http), the simulator and
the test FTP server.
"""
import json
import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import unittest
import urllib.request

from feed import TOKEN, Feed, firmware_server, free_port, stop, token_file, wait_until

FEED = sys.argv.pop(1)
CLI = sys.argv.pop(1)
SIM = sys.argv.pop(1)
CHROMEDRIVER = shutil.which("chromedriver")
CHROMIUM = shutil.which("chromium")

try:
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.common.by import By
    from selenium.webdriver.common.keys import Keys
except ImportError:
    webdriver = None


# Names the browser resolves to 127.0.0.1: this machine's own, as a phone on the home network
# opens it, and one of a stranger's that points here (DNS rebinding).
MACHINE = socket.gethostname().lower() + ".local"
REBINDING = "rebind.attacker.test"


def poller_with_firmware_server(work):
    """The test FTP server offering firmware V1.2.4.0 (an image of 3 blocks), the simulator
    (V1.2.3.4) and kdr31-cli poll --http with upgrades allowed. Returns the HTTP port and the
    processes, once the poller has checked the firmware server."""
    ftp, ftp_port = firmware_server(work, bytes((i * 31 + i // 251) & 0xFF for i in range(300)))
    processes = [ftp]
    link = os.path.join(work, "kdr31")
    processes.append(subprocess.Popen([SIM, "--link", link, "--serial", "KD310042",
                                       "--interval", "5"], stdout=subprocess.DEVNULL))
    wait_until(lambda: os.path.exists(link), 5, "the simulator's link")
    token = token_file(work)
    port = free_port()
    environment = dict(os.environ, KDR31_FIRMWARE_SERVER="127.0.0.1:%d" % ftp_port,
                       XDG_CACHE_HOME=os.path.join(work, "cache"))
    processes.append(subprocess.Popen(
        [CLI, "poll", "--port", link, "--no-db", "--http", "127.0.0.1:%d" % port,
         "--http-allow-upgrade", "--http-token-file", token],
        env=environment, stdout=subprocess.DEVNULL))

    def listed():
        try:
            with urllib.request.urlopen("http://127.0.0.1:%d/api/v1/firmware" % port,
                                        timeout=2) as r:
                return json.load(r)["listed"]
        except OSError:
            return None

    wait_until(listed, 15, "the poller's firmware check")
    return port, processes


def browser(profile):
    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for argument in ["--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                     "--window-size=390,844", "--user-data-dir=" + profile,
                     "--no-first-run", "--disable-background-networking",
                     "--disable-component-update", "--disable-sync",
                     # No network but the loopback: a page that needs the internet fails here.
                     "--host-resolver-rules=MAP %s 127.0.0.1, MAP %s 127.0.0.1, "
                     "MAP * ~NOTFOUND, EXCLUDE 127.0.0.1" % (MACHINE, REBINDING),
                     "--proxy-server=http://127.0.0.1:9",
                     "--proxy-bypass-list=127.0.0.1;%s;%s" % (MACHINE, REBINDING)]:
        options.add_argument(argument)
    return webdriver.Chrome(service=Service(CHROMEDRIVER), options=options)


@unittest.skipUnless(webdriver and CHROMEDRIVER and CHROMIUM,
                     "chromium, chromium-driver and python3-selenium are needed "
                     "(scripts/install-deps.sh)")
class Page(unittest.TestCase):
    def setUp(self):
        self.profile = tempfile.mkdtemp(prefix="kdr31-chromium-")
        self.driver = browser(self.profile)
        self.addCleanup(shutil.rmtree, self.profile, True)
        self.addCleanup(self.driver.quit)

    def text(self, element_id):
        return self.driver.find_element(By.ID, element_id).text

    def test_live_readings(self):
        with Feed(FEED, "--every", "700", backfill=1) as feed:
            self.driver.get(feed.base + "/")
            power = wait_until(lambda: self.text("value-import_power_w") not in ("", "–"), 5,
                               "the newest reading's import power")
            self.assertEqual(self.text("unit-import_power_w"), "W")
            # The next reading within 2 s of it, without a reload: the feed's pulse counter
            # counts readings.
            pulses = int(self.text("value-extern1"))
            wait_until(lambda: int(self.text("value-extern1")) > pulses, 0.7 + 2,
                       "the next reading")
            self.assertNotEqual(self.text("value-import_power_w"), power)
            self.assertTrue(self.driver.find_element(By.ID, "notice").get_attribute("hidden"))

            # The last hour's chart holds the history's points and the live ones; its text says
            # what it shows.
            points = lambda: self.driver.execute_script(
                "return Chart.getChart('power-chart').data.datasets[0].data.length")
            wait_until(lambda: points() > 600, 5, "the last hour's points")
            self.assertRegex(self.text("power-summary"), r"^\d+ readings from .* Import now \d+ W")
            wait_until(lambda: self.text("quarter-summary"), 5, "the quarter-hour at a glance")
            self.assertRegex(self.text("quarter-average"), r"^\d+\.\d{3}$")
            self.assertRegex(self.text("month-peak"), r"^\d+\.\d{3}$")

            # Everything came from the poller.
            sources = self.driver.execute_script(
                "return performance.getEntriesByType('resource').map(e => e.name)")
            self.assertTrue(any(s.endswith("/chart.js") for s in sources))
            for source in sources:
                self.assertTrue(source.startswith(feed.base + "/"), source)

            # Headings, labels, keyboard: the period buttons are reached by Tab and work by key.
            headings = [h.text for h in self.driver.find_elements(By.CSS_SELECTOR, "h1, h2")]
            self.assertEqual(headings, ["KDR31 readings", "Now", "Quarter-hour now",
                                        "Capacity tariff, last 12 months",
                                        "Import and export power", "Energy per day, last 30 days",
                                        "Firmware"])
            meter = self.driver.find_element(By.ID, "peak-meter")
            label = self.driver.find_element(By.CSS_SELECTOR, "label[for=peak-meter]")
            self.assertTrue(label.text and meter.is_displayed())
            for canvas in self.driver.find_elements(By.TAG_NAME, "canvas"):
                described = canvas.get_attribute("aria-describedby")
                self.assertEqual(canvas.get_attribute("role"), "img")
                self.assertTrue(self.driver.find_element(By.ID, described).text)
            body = self.driver.find_element(By.TAG_NAME, "body")
            reached = []
            for _ in range(6):
                body.send_keys(Keys.TAB) if not reached else \
                    self.driver.switch_to.active_element.send_keys(Keys.TAB)
                reached.append(self.driver.switch_to.active_element.text)
            self.assertIn("24 hours", reached)
            while self.driver.switch_to.active_element.text != "24 hours":
                self.driver.switch_to.active_element.send_keys(Keys.SHIFT, Keys.TAB)
            self.driver.switch_to.active_element.send_keys(Keys.ENTER)
            day = self.driver.find_element(By.CSS_SELECTOR, "button[data-period=day]")
            wait_until(lambda: day.get_attribute("aria-pressed") == "true", 2, "24 hours chosen")

    def test_by_name_beside_a_greedy_script(self):
        """The page loads as a phone opens it, by the machine's name with .local, while a
        script on another address holds every connection and event stream it may; its own
        event stream, refused while the phone's address still holds its share (a page just
        reloaded), comes once the old ones go. A page of a name that a stranger points here
        reads nothing."""
        with Feed(FEED, "--every", "700", "--timeout", "60", backfill=1) as feed:
            def stream(source):
                s = socket.create_connection(("127.0.0.1", feed.port), timeout=5,
                                             source_address=(source, 0))
                s.sendall(b"GET /api/v1/events HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")
                self.assertTrue(s.recv(100).startswith(b"HTTP/1.1 200"))
                return s

            greedy = [stream("127.0.0.2") for _ in range(2)]
            greedy += [socket.create_connection(("127.0.0.1", feed.port), timeout=5,
                                                source_address=("127.0.0.2", 0))
                       for _ in range(6)]
            self.addCleanup(lambda: [s.close() for s in greedy])
            reloaded = [stream("127.0.0.1") for _ in range(2)]

            self.driver.get("http://%s:%d/" % (MACHINE, feed.port))
            wait_until(lambda: self.text("device").startswith("Device KDR"), 5, "the device")
            self.assertEqual(self.text("value-import_power_w"), "–")
            for s in reloaded:
                s.close()
            wait_until(lambda: self.text("value-import_power_w") not in ("", "–"), 5 + 3,
                       "the newest reading, once the stream is retried")
            pulses = int(self.text("value-extern1"))
            wait_until(lambda: int(self.text("value-extern1")) > pulses, 0.7 + 2,
                       "the next reading, on the page's own event stream")

            self.driver.get("http://%s:%d/" % (REBINDING, feed.port))
            status, body = self.driver.execute_async_script(
                "const done = arguments[arguments.length - 1];"
                "fetch('/api/v1/readings/latest')"
                ".then(r => r.text().then(t => done([r.status, t])))"
                ".catch(e => done([0, String(e)]));")
            self.assertEqual(status, 421, body)
            self.assertNotIn("import_power_w", body)

    def test_firmware_upgrade(self):
        """The firmware section against the poller: the version the device runs, the notice of
        the listed one, the button that asks the question and the token (a wrong one refused
        and forgotten), the upgrade's progress, and the device's new version after it. The
        token is kept for the browser session only."""
        work = tempfile.mkdtemp(prefix="kdr31-page-upgrade-")
        self.addCleanup(shutil.rmtree, work, True)
        port, processes = poller_with_firmware_server(work)
        for process in processes:
            self.addCleanup(stop, process)
        base = "http://127.0.0.1:%d" % port

        self.driver.get(base + "/")
        wait_until(lambda: self.text("firmware-version") == "Firmware: V1.2.3.4", 10,
                   "the firmware the device runs")
        wait_until(lambda: self.text("firmware-notice"), 10, "the notice of the listed firmware")
        self.assertEqual(self.text("firmware-notice"),
                         "Firmware V1.2.4.0 is available (this KDR31 runs V1.2.3.4).")
        button = self.driver.find_element(By.ID, "upgrade-button")
        self.assertEqual(button.text, "Install firmware V1.2.4.0")

        button.click()
        self.assertEqual(self.text("upgrade-question"),
                         "Are you sure to download latest firmware V1.2.4.0 and upload to KDR31")
        token = self.driver.find_element(By.ID, "upgrade-token")
        self.assertEqual(token.get_attribute("type"), "password")
        label = self.driver.find_element(By.CSS_SELECTOR, "label[for=upgrade-token]")
        self.assertTrue(label.text)
        token.send_keys("not-the-token-0123456789", Keys.ENTER)
        wait_until(lambda: self.text("upgrade-answer") == "The token was refused.", 5,
                   "the refusal of a wrong token")
        stored = "return sessionStorage.getItem('kdr31-upgrade-token')"
        self.assertIsNone(self.driver.execute_script(stored))

        token.send_keys(TOKEN, Keys.ENTER)
        seen = set()

        def upgraded():
            seen.add(self.text("upgrade-status"))
            return self.text("firmware-version") == "Firmware: V1.2.4.0"

        wait_until(upgraded, 40, "the device's new firmware")
        self.assertTrue(any(re.match(r"Sending block \d+/3", text) for text in seen), seen)
        wait_until(lambda: self.text("upgrade-status") == "Upgraded to V1.2.4.0.", 10,
                   "the upgrade's outcome")
        self.assertEqual(self.driver.find_element(By.ID, "upgrade-progress")
                         .get_attribute("value"), "100")
        self.assertFalse(button.is_displayed())
        self.assertEqual(self.text("firmware-notice"), "")
        # In this browser session only: nothing of it on disk.
        self.assertEqual(self.driver.execute_script(stored), TOKEN)
        self.assertEqual(self.driver.execute_script("return localStorage.length"), 0)
        self.assertEqual(self.driver.get_cookies(), [])

    def test_not_connected_notice(self):
        with Feed(FEED, "--every", "500", "--disconnected") as feed:
            self.driver.get(feed.base + "/")
            notice = wait_until(lambda: self.text("notice"), 5, "the notice")
            self.assertEqual(notice, "The device is not connected to the poller.")
            self.assertEqual(
                self.driver.find_element(By.ID, "notice").get_attribute("role"), "alert")
            # No history, so no forecast: no warning either.
            self.assertTrue(self.driver.find_element(By.ID, "peak-warning").get_attribute("hidden"))

    def test_peak_warning_and_the_months(self):
        """4 kW since the quarter-hour began, against a month that peaked below 2.5 kW: the
        banner says how much to switch off and how long is left, and stays in view wherever
        the page is scrolled; the months are bars with the floor and the billed mean, read out
        in a summary and a table, with the cost at the price."""
        with Feed(FEED, "--every", "1000", "--peak-power", "4000", "--capacity-price", "50",
                  backfill=2) as feed:
            self.driver.get(feed.base + "/")
            banner = self.driver.find_element(By.ID, "peak-warning")
            wait_until(banner.is_displayed, 5, "the banner")
            self.assertEqual(banner.get_attribute("role"), "alert")
            capacity = json.loads(feed.get("/api/v1/capacity")[2])
            # What to switch off, but never more than is drawn: late in the quarter no less
            # than 0 kW would keep it below the threshold.
            self.assertRegex(banner.text, r"^Peak warning: .*\nSwitch off (\d+\.\d kW|all you "
                                          r"can \(4\.0 kW now\)) (in the \d+ minutes? left|in "
                                          r"less than a minute)\.")
            headroom = capacity["capacity_headroom_w"]
            if -headroom <= 4000:
                switch_off = float(re.search(r"Switch off (\d+\.\d) kW", banner.text).group(1))
                self.assertAlmostEqual(switch_off, -headroom / 1000, delta=0.2)
            else:
                self.assertIn("Even at 0 kW this quarter-hour sets a new peak", banner.text)
            self.driver.execute_script("window.scrollTo(0, document.body.scrollHeight)")
            top = self.driver.execute_script(
                "return document.getElementById('peak-warning').getBoundingClientRect().top")
            self.assertLess(abs(top), 20)

            chart = lambda expression: self.driver.execute_script(
                "const c = Chart.getChart('capacity-chart'); return c && " + expression)
            wait_until(lambda: chart("c.data.datasets[0].data.length") == 12, 5, "12 bars")
            months = capacity["months"]
            self.assertEqual(chart("c.data.labels"), [m["month"] for m in months])
            self.assertEqual(chart("c.data.datasets[0].data"),
                             [m["counted_w"] / 1000 if m["counted_w"] else None for m in months])
            self.assertEqual(set(chart("c.data.datasets[1].data")), {2.5})
            self.assertEqual(set(chart("c.data.datasets[2].data")),
                             {capacity["billed_peak_w"] / 1000})
            summary = self.text("capacity-summary")
            self.assertIn("12 months, %d counted" % capacity["months_counted"], summary)
            self.assertIn("Billed peak, the mean of the counted months: %.3f kW"
                          % (capacity["billed_peak_w"] / 1000), summary)
            rows = self.driver.execute_script(
                "return [...document.querySelectorAll('#capacity-table tbody tr')]"
                ".map(r => [...r.cells].map(c => c.textContent))")
            self.assertEqual(len(rows), 12)
            self.assertEqual(rows[0][1:], ["missing", "missing"])  # a history of two hours
            # Energy per day from the day totals: two hours of history make no whole day.
            days = wait_until(lambda: self.driver.execute_script(
                "return [...document.querySelectorAll('#energy-table tbody tr')]"
                ".map(r => r.cells[1].textContent)"), 5, "the days")
            self.assertEqual(days, ["–"] * 30)
            self.assertEqual(self.text("capacity-cost"),
                             "At 50.00 EUR per kW per year: %.2f EUR for the year at the billed "
                             "peak; this month's peak adds %.2f EUR above the 2.5 kW floor."
                             % (capacity["year_cost_eur"], capacity["month_above_floor_eur"]))


if __name__ == "__main__":
    unittest.main(verbosity=2)
