"""The decision log's pages in a real browser (Debian's headless Chromium, driven by Selenium),
as a reader uses them: log in, list, filter, open a decision, page, verify, log out. Each test
leaves a screenshot under build/ui-screenshots/ for a person to look at."""

import re
import shutil
from pathlib import Path

import pytest

webdriver = pytest.importorskip("selenium.webdriver", reason="selenium is not installed")
from _ostrel_quorvane import _log_keygen  # noqa: E402
from ostrel_quorvane.store import open_store  # noqa: E402
from selenium.common.exceptions import NoAlertPresentException, WebDriverException  # noqa: E402
from selenium.webdriver.common.by import By  # noqa: E402
from selenium.webdriver.support.ui import Select, WebDriverWait  # noqa: E402
from test_service import TOKEN, Server  # noqa: E402
from test_ui import HOSTILE, fill  # noqa: E402

SHOTS = Path(__file__).parents[1] / "build" / "ui-screenshots"
COUNT = 130  # more than two pages of 50
CHROMIUM = shutil.which("chromium") or shutil.which("chromium-browser")
DRIVER = shutil.which("chromedriver")


@pytest.fixture(scope="module")
def site(tmp_path_factory):
    """A served log of COUNT decisions and one browser, shared by the module's tests in order."""
    if CHROMIUM is None or DRIVER is None:
        pytest.skip("headless Chromium is not installed (scripts/bootstrap --test installs "
                    "Debian's chromium and chromium-driver)")  # fmt: skip
    folder = tmp_path_factory.mktemp("ui-browser")
    kinds = fill(folder / "store.db", COUNT)
    with open_store(folder / "store.db") as store:  # a signed checkpoint holds every entry
        store.proofs.sign(_log_keygen("example.com/decisions")[0])
    server = Server(folder, folder / "store.db")
    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for argument in (
        "--headless=new",
        "--no-sandbox",
        "--disable-dev-shm-usage",
        "--disable-gpu",
        "--window-size=1400,1000",
        f"--user-data-dir={folder / 'profile'}",
    ):
        options.add_argument(argument)  # fmt: skip
    # The browser is left out of a sanitizer's preload, which is the engine's alone.
    service = webdriver.ChromeService(executable_path=DRIVER, env={"LD_PRELOAD": ""})
    try:
        browser = webdriver.Chrome(options=options, service=service)
    except WebDriverException as error:
        server.stop()
        pytest.fail(f"headless Chromium is installed but does not start: {error.msg}")
    browser.implicitly_wait(0)
    SHOTS.mkdir(parents=True, exist_ok=True)
    base = f"http://127.0.0.1:{server.port}"
    yield browser, base, kinds
    browser.quit()
    server.stop()


@pytest.fixture(autouse=True)
def screenshot(request, site):
    yield
    name = re.sub(r"[^\w.-]+", "_", request.node.name)
    site[0].save_screenshot(str(SHOTS / f"{name}.png"))


def follow(browser, act):
    """Does ``act`` (a click, a choice) and waits until the page it leads to has loaded."""
    ready = "return document.readyState === 'complete' && performance.timeOrigin"
    before = browser.execute_script(ready)
    act()
    wait = WebDriverWait(browser, 10, ignored_exceptions=(WebDriverException,))
    wait.until(lambda b: b.execute_script(ready) not in (False, before))


def rows(browser):
    return browser.find_elements(By.CSS_SELECTOR, "#decisions tbody tr")


def numbers(browser):
    return [int(row.find_element(By.CSS_SELECTOR, "td a.open").text) for row in rows(browser)]


def levels(browser):
    return {row.find_element(By.CSS_SELECTOR, ".level").text for row in rows(browser)}


def test_a_page_without_the_cookie_is_refused_and_a_wrong_token_too(site):
    browser, base, _ = site
    browser.get(f"{base}/ui/decisions")
    assert browser.find_elements(By.ID, "token") and not rows(browser)
    browser.find_element(By.ID, "token").send_keys("not-the-token")
    follow(browser, browser.find_element(By.ID, "login").click)
    assert "not accepted" in browser.find_element(By.CSS_SELECTOR, ".error").text


def test_log_in_and_list_newest_first(site):
    browser, base, _ = site
    browser.get(f"{base}/ui/decisions")
    browser.find_element(By.ID, "token").send_keys(TOKEN)
    follow(browser, browser.find_element(By.ID, "login").click)
    assert browser.current_url == f"{base}/ui/decisions"
    assert numbers(browser) == list(range(COUNT, COUNT - 50, -1))
    changed = browser.find_elements(By.CSS_SELECTOR, "#decisions .changed")
    assert changed and all(c.text == "changed from ALR" for c in changed)


def test_follow_the_paging(site):
    browser, _, _ = site
    follow(browser, browser.find_element(By.ID, "older").click)
    assert numbers(browser) == list(range(COUNT - 50, COUNT - 100, -1))
    follow(browser, browser.find_element(By.ID, "older").click)
    assert numbers(browser) == list(range(COUNT - 100, 0, -1))
    assert not browser.find_elements(By.ID, "older")
    follow(browser, browser.find_element(By.ID, "newer").click)
    assert numbers(browser) == list(range(COUNT - 50, COUNT - 100, -1))


@pytest.mark.parametrize(("field", "value", "level"), [
    ("f-permission", "ESC", "ESC"), ("f-claim", "claim-13", None), ("f-claim", HOSTILE, None),
])  # fmt: skip
def test_filter_by_level_and_by_id(site, field, value, level):
    browser, base, kinds = site
    browser.get(f"{base}/ui/decisions")
    if level:
        choice = Select(browser.find_element(By.ID, field))
        follow(browser, lambda: choice.select_by_value(value))  # the page's script submits it
        expected = [i + 1 for i, kind in enumerate(kinds) if kind == level][::-1][:50]
        browser.find_element(By.CSS_SELECTOR, f"#f-permission option[value={level}][selected]")
        assert numbers(browser) == expected and levels(browser) == {level}
    else:
        browser.find_element(By.ID, field).send_keys(value)
        follow(browser, browser.find_element(By.ID, "filter").click)
        claim = browser.find_element(By.CSS_SELECTOR, "#decisions td.claim")
        assert len(rows(browser)) == 1 and claim.text == value
    # A claim id that is markup shows as its text and runs nothing.
    assert not browser.find_elements(By.CSS_SELECTOR, "main img")
    with pytest.raises(NoAlertPresentException):
        browser.switch_to.alert.text  # noqa: B018


def test_open_a_decision_with_its_derivation_and_chain(site):
    browser, base, _ = site
    browser.get(f"{base}/ui/decisions?claim_id=claim-11")
    follow(browser, browser.find_element(By.CSS_SELECTOR, "#decisions a.open").click)
    assert browser.find_element(By.TAG_NAME, "h1").text.startswith("Decision 12")
    steps = browser.find_elements(By.CSS_SELECTOR, "#derivation tbody tr")
    assert [s.find_elements(By.TAG_NAME, "td")[1].text for s in steps] == [
        "descending_search", "negative_control_registration"]  # fmt: skip
    final = browser.find_element(By.CSS_SELECTOR, ".chain-picture td.final")
    assert final.text == "ALR" and "allow" in final.get_attribute("class")
    marks = browser.find_elements(By.CSS_SELECTOR, ".chain-picture td.steps")
    assert [m.text for m in marks if m.text] == ["1,2"]
    assert browser.find_element(By.ID, "audit").text.startswith("passed")
    live = browser.find_element(By.ID, "live").text
    assert "REF" in live and "changed from ALR" in live and "negative-control" in live
    receipt = browser.find_element(By.ID, "receipt").text
    assert receipt.startswith(f"proven: entry 12 of the signed checkpoint of {COUNT} entries")


def test_the_overview_and_the_chains(site):
    browser, base, _ = site
    browser.get(f"{base}/ui/")
    assert len(browser.find_elements(By.CSS_SELECTOR, "#chart rect")) >= 1
    browser.get(f"{base}/ui/chains")
    assert browser.find_element(By.CSS_SELECTOR, ".chain .used").text == str(COUNT)


def test_verify_the_log(site):
    browser, base, _ = site
    browser.get(f"{base}/ui/log")
    assert browser.find_element(By.ID, "entries").text == str(COUNT)
    follow(browser, browser.find_element(By.ID, "verify").click)
    assert browser.find_element(By.ID, "verified").text.startswith(f"holds: {COUNT} entries")


def test_log_out(site):
    browser, base, _ = site
    follow(browser, browser.find_element(By.ID, "logout").click)
    assert browser.find_elements(By.ID, "token")
    browser.get(f"{base}/ui/decisions")
    assert browser.find_elements(By.ID, "token") and not rows(browser)
