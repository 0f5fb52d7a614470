#!/usr/bin/env python3
"""The dashboard's page in a real browser: Debian's Chromium, headless, driven through
WebDriver, against `korvane-flash journal serve` on journals this test fills itself (an
SQLite file, and a PostgreSQL server it starts). It writes records as a station writes
them, computes the shift's figures from them, and checks what the page shows: the counts,
the yields and the failures by cause; a new record and a fixture's new state within 2 s,
without a reload; a station whose heartbeat stops shown offline; a chip's history found by
its serial text; and texts holding markup shown as text, running nothing.

    dashboard_page_test.py KORVANE_FLASH POSTGRES_SCRIPT
    dashboard_page_test.py KORVANE_FLASH POSTGRES_SCRIPT --screenshot FILE.png

The second form fills the same journal, with a station's fixtures at work, and saves the
page as the README shows it (scripts/screenshots.sh).
"""
import datetime
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import unittest

from selenium import webdriver
from selenium.common.exceptions import NoSuchElementException, StaleElementReferenceException
from selenium.webdriver.chrome.options import Options
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import WebDriverWait

TOOL, POSTGRES_SCRIPT = sys.argv[1], sys.argv[2]
LIVE = 2  # seconds within which the open page shows a change
OFFLINE_AFTER = 5  # the server's --offline-after, shortened for the test
NOW = datetime.datetime.now(datetime.timezone.utc)
# The shift started two hours ago, as the profile says; the journal goes back further.
SHIFT_START = (NOW - datetime.timedelta(hours=2)).astimezone().replace(second=0, microsecond=0)

HOSTILE_STATION = '<img src=x onerror="window.pwned=1">S2'
HOSTILE_PACKAGE = "<script>window.pwned=2</script>board.bin"
HOSTILE_COMMENT = '<img src=x onerror="window.pwned=3">release 7'


def utc(moment):
    return moment.astimezone(datetime.timezone.utc).strftime("%Y-%m-%dT%H:%M:%S.%f")[:-3] + "Z"


def literal(value):
    if value is None:
        return "NULL"
    if isinstance(value, (int, float)):
        return repr(value)
    return "'" + str(value).replace("'", "''") + "'"


class Journal:
    """A journal the test writes to as stations do: rows through SQL, notified on a server."""

    def __init__(self, address, run_sql, server):
        self.address, self.run_sql, self.server, self.runs = address, run_sql, server, []
        subprocess.run([TOOL, "journal", "--journal", address], check=True, env=ENV,
                       stdout=subprocess.DEVNULL)

    def write(self, statements, what):
        if self.server:
            statements.append("SELECT pg_notify('korvane_journal', %s)" % literal(what))
        self.run_sql("BEGIN;\n" + ";\n".join(statements) + ";\nCOMMIT;\n")

    def record(self, minutes_ago, station, port, uid, result, code=None, seconds=20.0,
               package="board.bin", comment="release 7", serial=None):
        run = dict(id="run-%04d" % (len(self.runs) + 1), started=utc(NOW - datetime.timedelta(minutes=minutes_ago)),
                   station=station, port=port, device="/dev/ttyUSB0", package=package, package_size=4096,
                   sha256="ab" * 32, sn=None, serial=serial, result=result, status="done",
                   seconds=seconds, version="1.0.0.1", uid=uid, flash_kib=64, signer="RWQ0123456789ABCDEF",
                   signed_comment=comment, code=code or ("ok" if result == "succeeded" else None), reason=None)
        self.runs.append(run)
        columns = ", ".join(run)
        self.write(["INSERT INTO runs (%s) VALUES (%s)" % (columns, ", ".join(literal(v) for v in run.values()))],
                   "runs")

    def heartbeat(self, instance, name):
        self.write(["INSERT INTO stations (instance, name, host, seen) VALUES (%s, %s, 'bench', %s) "
                    "ON CONFLICT (instance) DO UPDATE SET name = excluded.name, seen = excluded.seen"
                    % (literal(instance), literal(name), literal(utc(datetime.datetime.now(datetime.timezone.utc))))],
                   "stations")

    def fixture(self, instance, place, port, state, detail="", entry=None, percent=None, code=None):
        self.write(["INSERT INTO fixture_states (instance, fixture, port, state, detail, entry, percent, code, "
                    "changed) VALUES (%s) ON CONFLICT (instance, fixture) DO UPDATE SET state = excluded.state, "
                    "detail = excluded.detail, entry = excluded.entry, percent = excluded.percent, code = "
                    "excluded.code, changed = excluded.changed"
                    % ", ".join(literal(v) for v in (instance, place, port, state, detail, entry, percent, code,
                                                     utc(NOW)))],
                   "stations")

    def figures(self):
        """The shift's figures, counted from the records written."""
        since = utc(SHIFT_START)
        finished = [r for r in sorted(self.runs, key=lambda r: (r["started"], r["id"]))
                    if r["result"] in ("succeeded", "failed")]
        first, last = {}, {}
        for run in finished:
            chip = run["uid"] or run["id"]
            first.setdefault(chip, run)
            if run["started"] >= since:
                last[chip] = run
        in_shift = [r for r in finished if r["started"] >= since]
        firsts = [r for r in first.values() if r["started"] >= since]
        causes = {}
        for run in in_shift:
            if run["result"] == "failed":
                causes[run["code"]] = causes.get(run["code"], 0) + 1
        return dict(
            passed=sum(r["result"] == "succeeded" for r in in_shift),
            failed=sum(r["result"] == "failed" for r in in_shift),
            first_pass_yield=100.0 * sum(r["result"] == "succeeded" for r in firsts) / len(firsts),
            final_yield=100.0 * sum(r["result"] == "succeeded" for r in last.values()) / len(last),
            pareto=sorted(causes.items(), key=lambda c: (-c[1], c[0])))


class Server:
    """korvane-flash journal serve on a free port, ended as a service manager ends it."""

    def __init__(self, address):
        self.process = subprocess.Popen(
            [TOOL, "journal", "serve", "--journal", address, "--listen", "127.0.0.1:0",
             "--offline-after", str(OFFLINE_AFTER)], env=ENV, stdout=subprocess.PIPE, text=True)
        line = self.process.stdout.readline()
        self.url = line[line.index("http://"):].split()[0]

    def end(self):
        self.process.send_signal(signal.SIGTERM)
        status = self.process.wait(timeout=10)
        self.process.stdout.close()
        return status


def browser():
    options = Options()
    options.binary_location = "/usr/bin/chromium"
    for argument in ("--headless=new", "--no-sandbox", "--disable-gpu", "--window-size=1400,1400"):
        options.add_argument(argument)
    return webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)


def texts(driver, selector):
    """The texts of every element selector finds, read at one moment."""
    return driver.execute_script(
        "return [...document.querySelectorAll(arguments[0])].map(e => e.textContent)", selector)


def text_of(driver, element_id):
    return driver.find_element(By.ID, element_id).text


def wait_for(driver, seconds, condition, what):
    # The page redraws the stations as they change: an element may go between finding it
    # and reading it, and is found again.
    WebDriverWait(driver, seconds, poll_frequency=0.05,
                  ignored_exceptions=(StaleElementReferenceException, NoSuchElementException)).until(
        lambda d: condition(d), what)


def fill(journal):
    """A morning before the shift and a shift of two stations, one of them with hostile names."""
    journal.record(150, "S1", "COM1", "c0ffee0000000000000000a1", "failed", "no-reply")
    for i in range(12):
        journal.record(100 - i * 7, "S1", "COM%d" % (i % 2 + 1), "c0ffee00000000000000%04d" % i,
                       "failed" if i % 4 == 3 else "succeeded", "write-refused" if i % 4 == 3 else None,
                       seconds=18 + i, serial="K3522601%05d" % i if i % 4 != 3 else None)
    journal.record(40, "S1", "COM1", "c0ffee0000000000000000a1", "succeeded", serial="K352260100412")
    journal.record(35, "S1", "COM2", "c0ffee000000000000000003", "succeeded", serial="K352260100403")
    for i in range(5):
        journal.record(60 - i * 5, HOSTILE_STATION, "COM1", "beef0000000000000000%04d" % i,
                       "failed" if i < 3 else "succeeded", "no-reply" if i < 2 else ("no-bootloader" if i < 3 else None),
                       package=HOSTILE_PACKAGE, comment=HOSTILE_COMMENT)


class DashboardPage(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.driver = browser()

    @classmethod
    def tearDownClass(cls):
        cls.driver.quit()

    def open(self, server):
        self.driver.get(server.url)
        wait_for(self.driver, 10, lambda d: text_of(d, "live") == "live", "the live stream to open")

    def assert_passed(self, count, seconds):
        wait_for(self.driver, seconds, lambda d: text_of(d, "passed") == str(count), "%d passed" % count)

    def test_sqlite_journal(self):
        journal = Journal(os.path.join(FOLDER, "line.sqlite"), sqlite_runner(os.path.join(FOLDER, "line.sqlite")),
                          server=False)
        fill(journal)
        journal.heartbeat("station-1", "S1")
        journal.fixture("station-1", 1, "COM1", "empty")
        server = Server(journal.address)
        try:
            self.open(server)
            driver = self.driver
            expected = journal.figures()
            self.assert_passed(expected["passed"], 5)
            self.assertEqual(text_of(driver, "failed"), str(expected["failed"]))
            self.assertEqual(text_of(driver, "first-pass-yield"), "%.1f %%" % expected["first_pass_yield"])
            self.assertEqual(text_of(driver, "final-yield"), "%.1f %%" % expected["final_yield"])
            pareto = list(zip(texts(driver, "#pareto-list .code"), map(int, texts(driver, "#pareto-list .runs"))))
            self.assertEqual(pareto, expected["pareto"])

            # Markup from the journal is text on the page, and runs nothing.
            names = texts(driver, "#stations .station .name")
            cells = texts(driver, "#packages td")
            self.assertIn(HOSTILE_PACKAGE, cells)
            self.assertIn(HOSTILE_COMMENT, cells)
            self.assertIsNone(driver.execute_script("return window.pwned"))
            journal.heartbeat("station-2", HOSTILE_STATION)
            wait_for(driver, LIVE, lambda d: HOSTILE_STATION in texts(d, "#stations .station .name"),
                     "the hostile station")
            self.assertIn("S1", names)
            self.assertIsNone(driver.execute_script("return window.pwned"))

            # A new record, and a fixture's new state, without a reload.
            journal.record(0.1, "S1", "COM2", "c0ffee0000000000000000ff", "succeeded")
            self.assert_passed(expected["passed"] + 1, LIVE)
            journal.fixture("station-1", 1, "COM1", "flashing", entry="Writing MCU.BIN", percent=40)
            state = "#stations .station[data-station='S1'] .fixture[data-port='COM1'] .state"
            wait_for(driver, LIVE, lambda d: d.find_element(By.CSS_SELECTOR, state).text == "flashing",
                     "the fixture flashing")

            # A station whose heartbeat stops is shown offline.
            station = "#stations .station[data-station='S1']"
            journal.heartbeat("station-1", "S1")
            wait_for(driver, LIVE, lambda d: "offline" not in d.find_element(By.CSS_SELECTOR, station).get_attribute(
                "class"), "the station online")
            wait_for(driver, OFFLINE_AFTER + 4, lambda d: "offline" in d.find_element(
                By.CSS_SELECTOR, station).get_attribute("class") and d.find_element(
                By.CSS_SELECTOR, station + " .offline-mark").text == "OFFLINE", "the station offline")

            # A serial text finds its chip's whole history: the failed run before the shift too.
            driver.find_element(By.ID, "chip").send_keys("K352260100412")
            driver.find_element(By.CSS_SELECTOR, "#search button").click()
            wait_for(driver, 5, lambda d: len(d.find_elements(By.CSS_SELECTOR, "#history tbody tr")) == 2,
                     "the chip's two runs")
            results = [r.find_elements(By.TAG_NAME, "td")[6].text for r in
                       driver.find_elements(By.CSS_SELECTOR, "#history tbody tr")]
            self.assertEqual(results, ["failed", "succeeded"])
        finally:
            self.assertEqual(server.end(), 0)

    def test_postgresql_journal(self):
        # A folder of its own: the server's user must reach it, and not the test's others.
        folder = tempfile.mkdtemp(prefix="korvane-postgres-")
        started = subprocess.run([POSTGRES_SCRIPT, "start", folder], stdout=subprocess.PIPE, text=True)
        if started.returncode == 3:
            self.skipTest("no PostgreSQL server is installed")
        self.assertEqual(started.returncode, 0)
        uri = started.stdout.strip().splitlines()[-1]
        try:
            journal = Journal(uri, lambda sql: subprocess.run(
                ["psql", "-X", "-q", "-v", "ON_ERROR_STOP=1", uri], input=sql, text=True, check=True,
                stdout=subprocess.DEVNULL), server=True)
            fill(journal)
            server = Server(uri)
            try:
                self.open(server)
                expected = journal.figures()
                self.assert_passed(expected["passed"], 5)
                journal.record(0.1, "S1", "COM2", "c0ffee0000000000000000ff", "succeeded")
                self.assert_passed(expected["passed"] + 1, LIVE)
            finally:
                self.assertEqual(server.end(), 0)
        finally:
            subprocess.run([POSTGRES_SCRIPT, "stop", folder], stdout=subprocess.DEVNULL)
            shutil.rmtree(folder, ignore_errors=True)


def sqlite_runner(path):
    import sqlite3

    def run(script):
        connection = sqlite3.connect(path, isolation_level=None)
        try:
            connection.executescript(script)
        finally:
            connection.close()
    return run


def screenshot(path):
    journal = Journal(os.path.join(FOLDER, "line.sqlite"), sqlite_runner(os.path.join(FOLDER, "line.sqlite")),
                      server=False)
    fill(journal)
    journal.heartbeat("station-1", "S1")
    for place, state, detail, entry, percent in ((1, "passed", "K352260100413", None, None),
                                                 (2, "flashing", "", "Writing MCU.BIN", 60),
                                                 (3, "failed", "no answer from the bootloader", None, None),
                                                 (4, "empty", "", None, None)):
        journal.fixture("station-1", place, "COM%d" % place, state, detail, entry, percent,
                        "no-bootloader" if state == "failed" else None)
    server = Server(journal.address)
    driver = browser()
    try:
        driver.get(server.url)
        wait_for(driver, 10, lambda d: text_of(d, "live") == "live" and len(texts(d, "#pareto-list li")) > 0,
                 "the page")
        driver.save_screenshot(path)
    finally:
        driver.quit()
        server.end()


if __name__ == "__main__":
    with tempfile.TemporaryDirectory() as FOLDER:
        profile = os.path.join(FOLDER, "STM32F10X Korvane")
        os.mkdir(profile)
        with open(os.path.join(profile, "korvane.conf"), "w") as settings:
            settings.write("[Station]\nShiftStart=%s\n" % SHIFT_START.strftime("%H:%M"))
        ENV = dict(os.environ, XDG_CONFIG_HOME=FOLDER, XDG_DATA_HOME=FOLDER)
        if sys.argv[3:4] == ["--screenshot"]:
            screenshot(sys.argv[4])
        else:
            unittest.main(argv=sys.argv[:1], verbosity=2)
