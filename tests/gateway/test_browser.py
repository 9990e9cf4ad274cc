"""The web view in a browser: headless Chromium, driven by Selenium, loads the
page from a gateway in front of the emulator, sees SpW1 running, and sees the
chart's rate and the byte counters rise while traffic flows; the page stays
usable at 1280x720 and in a phone-sized window. Its screenshot is the README's
docs/monitor.png."""

import os
import pathlib
import shutil
import threading
import time

import pytest

from conftest import PORT
from ssdtp2_client import Client, packet_frame
from web_client import HTTP, get

webdriver = pytest.importorskip("selenium.webdriver",
                                reason="python3-selenium is not installed")
CHROMIUM = shutil.which("chromium")
DRIVER = shutil.which("chromedriver") or "/usr/bin/chromedriver"
if not CHROMIUM or not os.path.exists(DRIVER):
    pytest.skip("headless Chromium needs the packages chromium and chromium-driver",
                allow_module_level=True)


@pytest.fixture
def browser(tmp_path):
    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for argument in ("--headless=new", "--no-sandbox", "--disable-gpu",
                     "--disable-dev-shm-usage", "--no-first-run", "--disable-extensions",
                     "--disable-background-networking", "--disable-component-update",
                     f"--user-data-dir={tmp_path / 'profile'}", "--window-size=1280,720"):
        options.add_argument(argument)
    from selenium.webdriver.chrome.service import Service
    driver = webdriver.Chrome(service=Service(DRIVER, log_output=os.devnull)
                              if "log_output" in Service.__init__.__code__.co_varnames
                              else Service(DRIVER), options=options)
    driver.set_page_load_timeout(20)
    yield driver
    driver.quit()


def wait(driver, script, timeout=15.0):
    """Waits until the script returns a true value; returns that value."""
    deadline = time.monotonic() + timeout
    while not (value := driver.execute_script(script)):
        assert time.monotonic() < deadline, f"waited in vain for: {script}"
        time.sleep(0.1)
    return value


def number(driver, element_id):
    text = driver.execute_script(f"return document.getElementById('{element_id}').textContent")
    return int(text.replace(",", "")) if text.replace(",", "").isdigit() else -1


def traffic(seconds, stop):
    """Packets through the gateway and back for a while."""
    client = Client(PORT)
    end = time.monotonic() + seconds
    while time.monotonic() < end and not stop.is_set():
        client.send(packet_frame(bytes(20000)))
        client.packet(timeout=5)
    client.close()


def test_the_page_shows_the_links_and_their_rates(start_gateway, browser, tmp_path):
    gateway = start_gateway("--http", HTTP, "--allow", "127.0.0.1/32")
    browser.get(f"http://{HTTP}/")
    badge = wait(browser, "const b = document.getElementById('spw1-state');"
                          "return b.textContent === 'Run' && b;")
    assert "state-run" in badge.get_attribute("class")
    assert browser.find_element("id", "connection").text == "live"
    wait(browser, "return window.spwethMonitor.chart !== null")
    before = number(browser, "spw1-tx-bytes")
    assert before >= 0

    stop = threading.Event()
    sender = threading.Thread(target=traffic, args=(20, stop))
    sender.start()
    shots = pathlib.Path(os.environ.get("SPWETH_SCREENSHOT_DIR", tmp_path))
    try:
        wait(browser, "return window.spwethMonitor.chart.data.datasets[0].data"
                      ".some(p => p.y > 0)")
        wait(browser, f"return Number(document.getElementById('spw1-tx-bytes').textContent"
                      f".replace(/,/g, '')) > {before}")
        assert number(browser, "spw2-rx-bytes") > 0
        assert number(browser, "gateway-counters-packets_to_bridge") > 0
        wait(browser, "return [...document.querySelectorAll('#log li')]"
                      ".some(li => / connected$/.test(li.textContent))")
        # While the traffic flows: the whole page, for the README.
        browser.set_window_size(1280, 1100)
        time.sleep(2.5)  # a few more points on the chart
        assert browser.save_screenshot(str(shots / "monitor.png"))
    finally:
        stop.set()
        sender.join()
    # No horizontal scrolling at 1280x720 nor in a phone-sized window.
    for width, height in ((1280, 720), (390, 844)):
        browser.set_window_size(width, height)
        time.sleep(0.3)
        overflow = browser.execute_script(
            "return document.documentElement.scrollWidth - window.innerWidth")
        assert overflow <= 0, (width, overflow)
        assert browser.find_element("id", "spw1-state").is_displayed()
    browser.save_screenshot(str(shots / "monitor-phone.png"))

    # A second client, from outside --allow, is refused.
    status, _ = get("/", source="127.0.0.2")
    assert status == 403
    gateway.wait_log("web view: refused 127.0.0.2")
