"""/metrics as Prometheus reads it: promtool's lint passes, and a real Prometheus on 127.0.0.1,
scraping the poller every second, answers queries for the power, the counters and the rest with
the values the poller served. The README's example alerting rule passes promtool and fires on a
peak warning.

    test_http_metrics.py KDR31_HTTP_FEED
"""
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest
import urllib.parse
import urllib.request

from feed import Feed, free_port, wait_until

FEED = sys.argv.pop(1)
README = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "README.md")
PROMETHEUS = shutil.which("prometheus")
PROMTOOL = shutil.which("promtool")


class Metrics(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.feed = Feed(FEED, "--every", "250", "--listed", "1.2.4.0", backfill=1)

    @classmethod
    def tearDownClass(cls):
        cls.feed.close()

    def test_promtool_finds_no_fault(self):
        if not PROMTOOL:
            self.skipTest("promtool is not installed (scripts/install-deps.sh)")
        code, headers, body = self.feed.get("/metrics")
        self.assertEqual(code, 200)
        self.assertTrue(headers["Content-Type"].startswith("text/plain; version=0.0.4"))
        lint = subprocess.run([PROMTOOL, "check", "metrics"], input=body, capture_output=True)
        self.assertEqual(lint.returncode, 0, lint.stdout + lint.stderr)
        for family in [b"kdr31_up 1", b"kdr31_build_info{version=",
                       b'kdr31_readings_total{status="implausible"} 0',
                       b"kdr31_history_write_errors_total 0", b"kdr31_mqtt_queue_length 0",
                       b"kdr31_reading_age_seconds ", b"kdr31_quarter_hour_average_power_watts ",
                       b"kdr31_quarter_hour_forecast_power_watts ",
                       b"kdr31_month_peak_power_watts ", b"kdr31_capacity_headroom_watts ",
                       b"kdr31_peak_warning ", b"kdr31_billed_peak_watts ",
                       b'kdr31_pulses_total{serial="KDR00001",input="1"} ',
                       b"kdr31_firmware_update_available 1\n", b"kdr31_upgrade_in_progress 0\n"]:
            self.assertIn(family, body)
        # Energy in joules, the reading's Wh times 3600: the feed's low tariffs and its export
        # stand still, so they are the same in any reading.
        reading = json.loads(self.feed.get("/api/v1/readings/latest")[2])
        samples = {name.decode(): float(value) for name, value in
                   re.findall(rb"(?m)^(kdr31_\w+\{[^}]*\}) (\S+)$", body)}
        for direction, tariff in [("import", "low"), ("export", "high"), ("export", "low")]:
            name = 'kdr31_%s_energy_joules_total{serial="KDR00001",tariff="%s"}' % (direction,
                                                                                 tariff)
            self.assertEqual(samples[name], reading["%s_%s_wh" % (direction, tariff)] * 3600)

    def test_capacity_gauges(self):
        """The gauges are the figures of the newest reading, as /api/v1/capacity gives them: one
        reading only, and it warns."""
        with Feed(FEED, "--every", "60000", "--peak-power", "4000", backfill=1) as feed:
            body = feed.get("/metrics")[2].decode()
            capacity = json.loads(feed.get("/api/v1/capacity")[2])
            gauges = dict(re.findall(r"(?m)^(kdr31_\w+) (\S+)$", body))
            self.assertEqual(gauges["kdr31_peak_warning"], "1")
            self.assertTrue(capacity["peak_warning"])
            self.assertLess(float(gauges["kdr31_capacity_headroom_watts"]), 0)
            self.assertEqual(float(gauges["kdr31_capacity_headroom_watts"]),
                             capacity["capacity_headroom_w"])
            self.assertEqual(float(gauges["kdr31_billed_peak_watts"]), capacity["billed_peak_w"])

    def test_readme_alerting_rule(self):
        """The rule as the README gives it: promtool checks it, and its unit test has it fire
        while the warning is on, saying what to switch off."""
        if not PROMTOOL:
            self.skipTest("promtool is not installed (scripts/install-deps.sh)")
        with open(README, encoding="utf-8") as f:
            text = f.read()
        after = text[text.index("`kdr31-capacity.rules.yml`"):]
        lines = after[after.index("\n    groups:") + 1:].split("\n")
        rule = []
        for line in lines:
            if line and not line.startswith("    "):
                break
            rule.append(line[4:])
        work = tempfile.mkdtemp(prefix="kdr31-rules-")
        try:
            with open(os.path.join(work, "kdr31-capacity.rules.yml"), "w") as f:
                f.write("\n".join(rule).strip() + "\n")
            with open(os.path.join(work, "test.yml"), "w") as f:
                f.write("""rule_files: [kdr31-capacity.rules.yml]
evaluation_interval: 1m
tests:
  - interval: 1m
    input_series:
      - series: 'kdr31_peak_warning{instance="pi.lan:8031",job="kdr31"}'
        values: '0 1 1 0'
      - series: 'kdr31_capacity_headroom_watts{instance="pi.lan:8031",job="kdr31"}'
        values: '800 -1500 200 900'
    alert_rule_test:
      - eval_time: 0m
        alertname: KDR31PeakWarning
        exp_alerts: []
      - eval_time: 1m
        alertname: KDR31PeakWarning
        exp_alerts:
          - exp_labels: {severity: warning, instance: "pi.lan:8031", job: kdr31}
            exp_annotations:
              summary: A new capacity peak is on its way
              description: Switch off 1.5kW before the quarter-hour ends.
      - eval_time: 2m
        alertname: KDR31PeakWarning
        exp_alerts:
          - exp_labels: {severity: warning, instance: "pi.lan:8031", job: kdr31}
            exp_annotations:
              summary: A new capacity peak is on its way
              description: Switch off 0W before the quarter-hour ends.
      - eval_time: 3m
        alertname: KDR31PeakWarning
        exp_alerts: []
""")
            for command in (["check", "rules", "kdr31-capacity.rules.yml"],
                            ["test", "rules", "test.yml"]):
                run = subprocess.run([PROMTOOL, *command], cwd=work, capture_output=True,
                                     text=True)
                self.assertEqual(run.returncode, 0, run.stdout + run.stderr)
        finally:
            shutil.rmtree(work, ignore_errors=True)

    def test_prometheus_scrapes_it(self):
        if not PROMETHEUS:
            self.skipTest("prometheus is not installed (scripts/install-deps.sh)")
        work = tempfile.mkdtemp(prefix="kdr31-prometheus-")
        port = free_port()
        config = os.path.join(work, "prometheus.yml")
        with open(config, "w") as f:
            f.write("global:\n  scrape_interval: 1s\n  scrape_timeout: 1s\n"
                    "scrape_configs:\n  - job_name: kdr31\n    static_configs:\n"
                    "      - targets: ['127.0.0.1:%d']\n" % self.feed.port)
        server = subprocess.Popen(
            [PROMETHEUS, "--config.file=" + config, "--storage.tsdb.path=" + work + "/data",
             "--web.listen-address=127.0.0.1:%d" % port, "--log.level=error"],
            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        try:
            def query(expression):
                url = "http://127.0.0.1:%d/api/v1/query?query=%s" % (
                    port, urllib.parse.quote(expression))
                try:
                    with urllib.request.urlopen(url, timeout=2) as r:
                        result = json.load(r)["data"]["result"]
                except OSError:
                    return None
                return result or None

            try:
                power = wait_until(lambda: server.poll() is None and
                                   query("kdr31_import_power_watts"), 15, "a first scrape")
            except AssertionError:
                if server.poll() is not None:
                    self.skipTest("prometheus did not start: " + server.stderr.read().decode())
                raise
            self.assertEqual(power[0]["metric"]["serial"], "KDR00001")
            self.assertGreaterEqual(float(power[0]["value"][1]), 200)
            energy = query("kdr31_import_energy_joules_total")
            self.assertEqual(sorted(s["metric"]["tariff"] for s in energy), ["high", "low"])
            self.assertEqual(query("up")[0]["value"][1], "1")
            self.assertEqual(query("kdr31_up")[0]["value"][1], "1")
            # The pulse counter counts readings, four a second: the counter rises between
            # scrapes, as a rate over it shows.
            wait_until(lambda: (query("rate(kdr31_pulses_total{input=\"1\"}[3s])") or
                                [{"value": [0, "0"]}])[0]["value"][1] not in ("0",), 8,
                       "a rate of the pulse counter")
        finally:
            server.terminate()
            server.wait(10)
            server.stderr.close()
            shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    unittest.main(verbosity=2)
