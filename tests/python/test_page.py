"""The page of the HTTP front end in a real browser: headless Chromium through Selenium."""
import os
import shutil
import signal
import subprocess
import sys
import time

import pytest

from px310emu import Emulator, find_headless, supports_option

webdriver = pytest.importorskip("selenium.webdriver")
from selenium.webdriver.chrome.service import Service  # noqa: E402
from selenium.webdriver.common.by import By  # noqa: E402
from selenium.webdriver.support.ui import WebDriverWait  # noqa: E402

CHROMIUM = shutil.which("chromium") or "/usr/bin/chromium"
CHROMEDRIVER = shutil.which("chromedriver") or "/usr/bin/chromedriver"
pytestmark = [
    pytest.mark.skipif(not find_headless() or not supports_option("--http"), reason="px310-headless with --http not built"),
    pytest.mark.skipif(not (os.access(CHROMIUM, os.X_OK) and os.access(CHROMEDRIVER, os.X_OK)),
                       reason="chromium and chromium-driver not installed (scripts/deps.sh installs them)"),
]

SCANNERS = 4
SECRET = "s3cret-for-the-page"
LARGE_RIG = 20  # more than the 16 cards whose profiles a page gets at once
WAIT_S = 15
# Ends the browser's process group once the test process is gone, however it ended: its
# standard input reaches its end when the last holder of the pipe, the test process, has ended.
WATCHDOG = "import os, signal, sys\nsys.stdin.read()\ntry:\n    os.killpg(int(sys.argv[1]), signal.SIGKILL)\n" \
           "except ProcessLookupError:\n    pass\n"

# Per canvas: how many of its pixels are the profile's blue.
PROFILE_PIXELS = """
return [...document.querySelectorAll('[data-serial] canvas')].map((c) => {
  const d = c.getContext('2d').getImageData(0, 0, c.width, c.height).data;
  let blue = 0;
  for (let i = 0; i < d.length; i += 4) blue += d[i + 2] > 180 && d[i] < 120 ? 1 : 0;
  return blue;
});
"""
SENT = "return [...document.querySelectorAll('[data-serial] [data-field=sent]')].map((e) => Number(e.textContent));"
POST_WITHOUT_TOKEN = """
const done = arguments[arguments.length - 1];
fetch('/api/faults', {method: 'POST', body: 'loss=1%'}).then((r) => done(r.status));
"""


def artifacts_folder(tmp_path_factory):
    folder = os.environ.get("PX310_TEST_ARTIFACTS") or str(tmp_path_factory.mktemp("artifacts"))
    os.makedirs(folder, exist_ok=True)
    return folder


@pytest.fixture(scope="module")
def rig():
    with Emulator(scanners=SCANNERS, http=True) as running:
        yield running


@pytest.fixture(scope="module")
def browser(tmp_path_factory):
    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for argument in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                     "--disable-breakpad", "--window-size=1400,1000",
                     "--user-data-dir=" + str(tmp_path_factory.mktemp("chromium"))):
        options.add_argument(argument)
    # The driver leads a process group of its own, the browser in it.
    service = Service(CHROMEDRIVER, popen_kw={"preexec_fn": os.setpgrp})
    service.start()
    watchdog = subprocess.Popen([sys.executable, "-c", WATCHDOG, str(service.process.pid)], stdin=subprocess.PIPE)
    try:
        driver = webdriver.Remote(service.service_url, options=options)
        try:
            yield driver
        finally:
            driver.quit()
    finally:
        service.stop()
        watchdog.stdin.close()
        watchdog.wait(10)


@pytest.fixture(scope="module")
def page(rig, browser, tmp_path_factory):
    browser.get(rig.http_url)
    WebDriverWait(browser, WAIT_S).until(lambda b: all(browser.execute_script(PROFILE_PIXELS) or [0])
                                         and len(b.find_elements(By.CSS_SELECTOR, "[data-serial]")) == SCANNERS)
    # Now: a later test takes the browser to another page.
    browser.save_screenshot(os.path.join(artifacts_folder(tmp_path_factory), "page-rig-of-4.png"))
    return browser


def test_a_rig_of_4_shows_one_card_per_scanner(rig, page):
    shown = sorted(card.get_attribute("data-serial") for card in page.find_elements(By.CSS_SELECTOR, "[data-serial]"))
    assert shown == sorted(str(scanner["serial"]) for scanner in rig.listening)


def test_every_cards_canvas_shows_its_profile(page):
    assert all(pixels > 0 for pixels in page.execute_script(PROFILE_PIXELS))


def test_every_cards_counters_move(page):
    before = page.execute_script(SENT)
    time.sleep(1)
    after = page.execute_script(SENT)
    assert all(b < a for b, a in zip(before, after)) and len(after) == SCANNERS


def show_grid(page):
    page.execute_script("location.hash = ''")
    WebDriverWait(page, WAIT_S).until(lambda b: b.find_element(By.ID, "cards").is_displayed())


def detail_of(page, hash_text):
    """The detail view once the page's address ends in #HASH_TEXT."""
    page.execute_script("location.hash = arguments[0]", hash_text)
    detail = page.find_element(By.ID, "detail")
    WebDriverWait(page, WAIT_S).until(lambda _: detail.is_displayed())
    return detail


def test_a_click_on_a_card_opens_its_detail_view(rig, page):
    show_grid(page)
    address = "%s:%d" % rig.scanners[1]
    page.find_element(By.CSS_SELECTOR, '[data-scanner="%s"] h2' % address).click()
    detail = page.find_element(By.ID, "detail")
    WebDriverWait(page, WAIT_S).until(lambda _: detail.is_displayed())
    assert detail.find_element(By.CLASS_NAME, "name").text.endswith(address)


def test_an_address_ending_in_a_serial_opens_that_scanners_detail_view(rig, page):
    serial = str(rig.listening[3]["serial"])
    detail = detail_of(page, serial)
    WebDriverWait(page, WAIT_S).until(lambda _: detail.find_element(By.CLASS_NAME, "name").text)
    assert detail.find_element(By.CLASS_NAME, "name").text.startswith("Serial %s " % serial)


def test_the_detail_view_draws_its_scanners_profile_on_the_large_canvas(rig, page):
    detail_of(page, "%s:%d" % rig.scanners[0])
    WebDriverWait(page, WAIT_S).until(
        lambda b: b.execute_script(PROFILE_PIXELS.replace("[data-serial] canvas", "#detail canvas"))[0] > 0)


def test_a_fault_set_from_the_detail_view_shows_in_control_stats(rig, page):
    address = "%s:%d" % rig.scanners[2]
    detail = detail_of(page, address)
    form = detail.find_element(By.CSS_SELECTOR, 'form[data-command="faults"]')
    form.find_element(By.NAME, "arg").send_keys("corrupt=2%")
    form.find_element(By.CSS_SELECTOR, "button[type=submit]").click()
    WebDriverWait(page, WAIT_S).until(lambda _: detail.find_element(By.CLASS_NAME, "answer").text)
    assert rig.stats(scanner=address)["current_faults"] == "corrupt=2%"


def test_the_pause_button_on_a_card_pauses_its_scanners_stream(rig, page):
    show_grid(page)
    address = "%s:%d" % rig.scanners[1]
    card = page.find_element(By.CSS_SELECTOR, '[data-scanner="%s"]' % address)
    card.find_element(By.CSS_SELECTOR, "button.toggle").click()
    try:
        WebDriverWait(page, WAIT_S).until(lambda _: card.find_element(By.CLASS_NAME, "answer").text)
        assert rig.stats(scanner=address)["paused"] is True
    finally:
        rig.resume(scanner=address)


def test_a_post_from_the_page_without_its_token_is_refused(page):
    assert page.execute_async_script(POST_WITHOUT_TOKEN) == 403


def canvas_has_profile(browser, card):
    return browser.execute_script(PROFILE_PIXELS.replace("[data-serial] canvas", '[data-scanner="%s"] canvas'
                                                         % card.get_attribute("data-scanner")))[0] > 0


def test_in_a_large_rig_the_card_scrolled_into_view_gets_its_profile(browser):
    with Emulator(scanners=LARGE_RIG, http=True) as large:
        browser.get(large.http_url)
        WebDriverWait(browser, WAIT_S).until(
            lambda b: len(b.find_elements(By.CSS_SELECTOR, "[data-serial]")) == LARGE_RIG)
        last = browser.find_elements(By.CSS_SELECTOR, "[data-serial]")[-1]
        browser.execute_script("arguments[0].scrollIntoView()", last)
        WebDriverWait(browser, WAIT_S).until(lambda b: canvas_has_profile(b, last))


def test_with_a_bearer_secret_the_page_opened_with_its_token_follows_the_live_updates(browser, tmp_path):
    secret = tmp_path / "secret"
    secret.write_text(SECRET + "\n")
    with Emulator(extra_args=["--http", "127.0.0.1:0", "--http-token", str(secret)]) as guarded:
        browser.get(guarded.http_url + "?token=" + SECRET)
        WebDriverWait(browser, WAIT_S).until(lambda b: (b.execute_script(SENT) or [0])[0] > 0)
