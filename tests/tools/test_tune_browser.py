"""`quorvane tune` in a real browser: headless Chromium driven by Selenium.

Needs Debian's chromium and chromium-driver packages and the selenium package (in the
`test` extra); skipped when any is missing. Set QUORVANE_SCREENSHOT=PATH to keep the
screenshot of the tuned page (the README's docs/tune.png is made this way)."""

import json
import os
import shutil
import threading
from urllib.parse import parse_qs, urlsplit

import pytest

webdriver = pytest.importorskip("selenium.webdriver", reason="browser tests need selenium: pip install 'quorvane[test]'")
pytest.importorskip("PIL")
data = pytest.importorskip("skimage.data")
from selenium.webdriver.common.action_chains import ActionChains  # noqa: E402
from selenium.webdriver.common.by import By  # noqa: E402
from selenium.webdriver.common.keys import Keys  # noqa: E402
from selenium.webdriver.support.ui import Select, WebDriverWait  # noqa: E402

import quorvane_tools as qt  # noqa: E402
from quorvane_tools.cli import main  # noqa: E402
from quorvane_tools.tune.server import TuneApp, TuneServer  # noqa: E402

CHROMIUM = next(filter(None, map(shutil.which, ("chromium", "chromium-browser"))), None)
DRIVER = shutil.which("chromedriver") or next(
    (p for p in ("/usr/bin/chromedriver", "/usr/lib/chromium/chromedriver") if os.path.exists(p)), None
)
if not (CHROMIUM and DRIVER):
    pytest.skip(
        "browser tests need headless Chromium: apt-get install chromium chromium-driver", allow_module_level=True
    )

CREMA = "box=250,120,70,40&outside=0,0,150,150"  # a box on the crema, one on the table


@pytest.fixture(scope="module")
def picture(tmp_path_factory):
    from PIL import Image

    path = tmp_path_factory.mktemp("tune") / "coffee.png"
    Image.fromarray(data.coffee()).save(path)
    return path


@pytest.fixture(scope="module")
def server(picture):
    srv = TuneServer(TuneApp(qt.load_image(picture), picture.name), "127.0.0.1", 0)
    threading.Thread(target=srv.serve_forever, daemon=True).start()
    yield srv
    srv.shutdown()
    srv.server_close()


@pytest.fixture(scope="module")
def browser():
    from selenium.webdriver.chrome.service import Service

    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for arg in (
        "--headless=new",
        "--no-sandbox",  # CI runs as root
        "--disable-gpu",
        "--disable-dev-shm-usage",
        "--window-size=1280,900",
        "--host-resolver-rules=MAP rebound.test 127.0.0.1",  # a name an attacker points at us
    ):
        options.add_argument(arg)
    # The suite may run with a sanitizer runtime preloaded; the browser must not inherit it.
    env = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS")}
    driver = webdriver.Chrome(service=Service(DRIVER, env=env), options=options)
    yield driver
    driver.quit()


def updates(driver):
    return int(driver.execute_script("return document.body.dataset.updates"))


def settle(driver, after=0):
    """Wait until the page has finished an update begun after `after` updates."""
    WebDriverWait(driver, 30).until(
        lambda d: updates(d) > after and d.execute_script("return document.body.dataset.busy") == "0"
    )


def open_page(driver, server, query=""):
    driver.get(f"{server.url}?{query}" if query else server.url)
    settle(driver)
    WebDriverWait(driver, 10).until(lambda d: d.find_element(By.ID, "flags").text.startswith("--hue"))


def tinted_pixels(driver):
    return driver.execute_script(
        "const c = document.getElementById('mask');"
        "const d = c.getContext('2d').getImageData(0, 0, c.width, c.height).data;"
        "let n = 0; for (let i = 3; i < d.length; i += 4) if (d[i]) n++; return n;"
    )


def count(driver):
    return int(driver.find_element(By.ID, "count").get_attribute("data-count"))


@pytest.mark.parametrize(
    "query, radius",
    [
        (CREMA, (40, 120)),
        ("box=250,120,70,40", (20, 150)),  # the crema's box alone
    ],
)
def test_flags_find_the_shapes_the_page_shows(browser, server, picture, tmp_path, query, radius):
    open_page(browser, server, f"{query}&fit=ellipse&radius={radius[0]},{radius[1]}")
    flags = browser.find_element(By.ID, "flags").text
    fit_flags = browser.find_element(By.ID, "command").get_attribute("data-fit-flags")
    assert fit_flags == f"--box 250 120 70 40 --fit ellipse --radius {radius[0]} {radius[1]} --seed 1"
    shown = [json.loads(li.get_attribute("data-record")) for li in browser.find_elements(By.CSS_SELECTOR, "#found li")]
    assert len(shown) == 1

    out = tmp_path / "found.json"
    assert main(["find", str(picture), *flags.split(), *fit_flags.split(), "--json", str(out)]) == 0
    assert json.loads(out.read_text())["shapes"] == shown
    (crema,) = shown
    assert abs(crema["x"] - 288) < 10 and abs(crema["y"] - 145) < 10 and crema["warning"] is None
    assert tinted_pixels(browser) == count(browser) > 0
    if os.environ.get("QUORVANE_SCREENSHOT") and query == CREMA:
        from PIL import Image

        shot = tmp_path / "shot.png"
        browser.save_screenshot(str(shot))
        small = Image.open(shot).convert("RGB").quantize(256, method=Image.Quantize.FASTOCTREE)
        small.save(os.environ["QUORVANE_SCREENSHOT"], optimize=True)


def test_slider_changes_mask_and_count(browser, server):
    open_page(browser, server, CREMA)
    before_flags, before_count = browser.find_element(By.ID, "flags").text, count(browser)
    slider = browser.find_element(By.ID, "intensity-1-range")
    lower, old_upper = (float(v) for v in before_flags.split("--intensity ")[1].split()[:2])
    n = updates(browser)
    # Click the track a little left of the middle: intensity about 0.475, below the suggestion's.
    ActionChains(browser).move_to_element_with_offset(slider, -slider.size["width"] // 40, 0).click().perform()
    settle(browser, n)
    upper = float(browser.find_element(By.ID, "intensity-1").get_attribute("value"))
    lower = f"{lower:g}"   # the suggestion's, unmoved
    assert 0.4 < upper < 0.55 < old_upper
    assert f"--intensity {lower} {upper:g}" in browser.find_element(By.ID, "flags").text != before_flags
    assert 0 < count(browser) < before_count
    assert tinted_pixels(browser) == count(browser)

    # A window the server refuses: the reason shows, the flags still follow the fields.
    field = browser.find_element(By.ID, "hue-0")
    field.send_keys(Keys.CONTROL, "a")
    field.send_keys("1", Keys.ENTER)
    WebDriverWait(browser, 30).until(lambda d: "hue needs A < B" in d.find_element(By.ID, "status").text)
    upper_hue = before_flags.split("--hue ")[1].split()[1]
    assert browser.find_element(By.ID, "flags").text.startswith(f"--hue 1 {upper_hue} ")


def test_drag_boxes_with_the_mouse(browser, server):
    open_page(browser, server)
    picture = browser.find_element(By.ID, "picture")
    scale = 600 / picture.size["width"]  # picture pixels per screen pixel
    left = -picture.size["width"] // 2  # offsets are from the element's centre
    top = -picture.size["height"] // 2

    def drag(x, y, w, h, shift=False):
        n = updates(browser)
        chain = ActionChains(browser)
        if shift:
            chain.key_down(Keys.SHIFT)
        chain.move_to_element_with_offset(picture, left + round(x / scale), top + round(y / scale))
        chain.click_and_hold().move_by_offset(round(w / scale) // 2, round(h / scale) // 2)
        chain.move_by_offset(round(w / scale) - round(w / scale) // 2, round(h / scale) - round(h / scale) // 2)
        chain.release()
        if shift:
            chain.key_up(Keys.SHIFT)
        chain.perform()
        settle(browser, n)
        return parse_qs(urlsplit(browser.current_url).query)

    query = drag(250, 120, 70, 40)
    x, y, w, h = map(int, query["box"][0].split(","))
    assert abs(x - 250) <= 3 and abs(y - 120) <= 3 and abs(w - 70) <= 4 and abs(h - 40) <= 4
    inside_only = browser.find_element(By.ID, "flags").text
    assert "of the box" in browser.find_element(By.ID, "suggestion").text

    query = drag(5, 5, 145, 145, shift=True)
    assert query["box"][0] == f"{x},{y},{w},{h}" and "outside" in query
    assert browser.find_element(By.ID, "flags").text != inside_only
    assert "of the outside box" in browser.find_element(By.ID, "suggestion").text


@pytest.mark.parametrize(
    "url, refusal",
    [
        ("http://rebound.test:{port}/", "answers only to the address it was started on"),
        ("{url}%2e%2e/%2e%2e/quorvane_tools/tune/server.py", "not found"),
        ("{url}static/tune.js", "not found"),
        ("{url}api/update?hue=1,0&chroma=0,1&intensity=0,1", "hue needs A < B"),
    ],
)
def test_refusals_in_the_browser(browser, server, url, refusal):
    browser.get(url.format(port=server.server_port, url=server.url))
    body = browser.find_element(By.TAG_NAME, "body").text
    assert refusal in body and "import" not in body
