#!/usr/bin/env python3
"""The web page with its peak warning on, as a phone shows it, in headless Chromium: the
quarter-hour drew 500 W so far and now draws half again what would take it to 2.5 kW, against
a month that peaked below 2.5 kW, with a price, so the banner, the months and the cost all
show.

    page_screenshot.py KDR31_HTTP_FEED OUTPUT.png   (scripts/screenshot.sh)
"""
import os
import shutil
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests",
                                "http"))
from feed import Feed, wait_until  # noqa: E402
from selenium import webdriver  # noqa: E402
from selenium.webdriver.chrome.service import Service  # noqa: E402
from selenium.webdriver.common.by import By  # noqa: E402


def main(program, output):
    profile = tempfile.mkdtemp(prefix="kdr31-chromium-")
    options = webdriver.ChromeOptions()
    options.binary_location = shutil.which("chromium")
    for argument in ["--headless=new", "--no-sandbox", "--disable-gpu", "--hide-scrollbars",
                     "--window-size=390,844", "--user-data-dir=" + profile, "--no-first-run"]:
        options.add_argument(argument)
    driver = webdriver.Chrome(service=Service(shutil.which("chromedriver")), options=options)
    # Minutes since the quarter-hour began by the local clock; past its first six, the next one.
    elapsed = time.localtime().tm_min % 15 + time.localtime().tm_sec / 60
    if elapsed > 6:
        time.sleep((15 - elapsed) * 60 + 5)
        elapsed = time.localtime().tm_min % 15 + time.localtime().tm_sec / 60
    left = 15 - elapsed - 0.5  # the backfill and the page take a while
    power = max(3000, round(1.5 * (2500 * 15 - 500 * elapsed) / left, -2))
    try:
        with Feed(program, "--every", "5000", "--peak-power", str(power), "--peak-after", "0",
                  "--capacity-price", "50", backfill=49) as feed:
            driver.get(feed.base + "/")
            wait_until(driver.find_element(By.ID, "peak-warning").is_displayed, 10, "the banner")
            wait_until(lambda: driver.execute_script(
                "const c = Chart.getChart('capacity-chart'); return c && c.data.labels.length"),
                10, "the months")
            wait_until(lambda: "whole days" in driver.find_element(By.ID, "energy-summary").text,
                       10, "the days")
            # The months below the banner, which stays in view as the page scrolls.
            driver.execute_script(
                "const banner = document.getElementById('peak-warning').offsetHeight;"
                "const at = document.getElementById('capacity').getBoundingClientRect().top;"
                "window.scrollBy(0, at - banner - 16)")
            if not driver.save_screenshot(output):
                sys.exit("page_screenshot: cannot write " + output)
            print("%s: %s" % (output, driver.find_element(By.ID, "peak-warning").text))
    finally:
        driver.quit()
        shutil.rmtree(profile, True)


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit("usage: page_screenshot.py KDR31_HTTP_FEED OUTPUT.png")
    main(sys.argv[1], sys.argv[2])
