"""The search page in headless Chromium, driven by Selenium against the service in a process of
its own: after every keystroke, once the page has caught up with the box, the suggestions and
videos it shows, the corrections when it has them, and the parts it marks must be exactly what
the JSON endpoints answer for that text. Run by
`make test-browser`, which installs Chromium, its driver and Selenium."""

import json
import random
import shutil
import socket
import subprocess
import sys
import time
import urllib.parse
import urllib.request
from pathlib import Path

import pytest
from selenium import webdriver
from selenium.webdriver.chrome.options import Options
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.common.keys import Keys
from selenium.webdriver.support.ui import WebDriverWait

import torrelm

ROOT = Path(__file__).resolve().parents[2]
SCREENSHOT = ROOT / "docs" / "page.png"
# The list lengths the page asks for (static/page.js): the expected answers ask the same.
SUGGESTIONS = 8
VIDEOS = 10

WORDS = """music musical musician museum muse mushroom mustard must mustang muscle mute mutual
myth mystery hello help helmet helium helicopter hero heron herb heritage hidden highway hiking
history hobby holiday honey horizon horse hospital hotel house cat catalog catch category
cathedral cattle cafe cafeteria camera camp canal candle canyon capital captain car caravan
card carnival carpet cartoon castle documentary dog dolphin domino door dragon drama drum
weather wedding whale wheel whisper winter wizard wolf wonder world""".split()


# A click log's noise: slips and spacing of popular queries, clicked on the same videos.
NOISY = {"funny cat videos": (198_366, ["Funny cat videos ", "funny ca videos", "funny catvideos",
                                        "funny cta videos"]),
         "minecraft": (66_000, ["mincraft", "minecarft", "MINECRAFT"])}
# Terms found from a later word's start (the index has word starts): one of the same shape as
# the noisy query, and one whose first character lies past U+FFFF, where a code point offset
# and a JavaScript (UTF-16) one differ by one.
LATER_WORDS = [("funny dog videos", 5000), ("🎻 cathedral concerts", 2500)]


def rows():
    """Every word with one to four of 60 videos and counts spread widely, so that ties are rare
    and each prefix has its own order; and the noisy queries, each slip a few hundred times on
    the videos of the query it is a slip for."""
    rng = random.Random(11)
    made = []
    for word in WORDS:
        for video in rng.sample(range(60), rng.randint(1, 4)):
            made.append((word, f"v{video:02d}", rng.randint(1, 5000)))
    for number, (query, (count, slips)) in enumerate(NOISY.items()):
        made.append((query, f"n{number}", count))
        made += [(slip, f"n{number}", rng.randint(300, 1100)) for slip in slips]
    made += [(term, f"w{number}", count) for number, (term, count) in enumerate(LATER_WORDS)]
    return made


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def get_json(url):
    with urllib.request.urlopen(url, timeout=10) as response:
        return json.load(response)


def titles(folder):
    """A videos file naming two thirds of the videos, a link for every other one, a thumbnail
    (never found: the page drops it) for some; the rest the page names by id."""
    lines = ["id,title,url,thumbnail"]
    for video in range(40):
        url = f"https://videos.example/watch/{video}" if video % 2 == 0 else ""
        thumbnail = f"/thumbnails/{video}.jpg" if video % 5 == 0 else ""
        lines.append(f'v{video:02d},"Clip {video}, the ""{WORDS[video]}"" one",{url},{thumbnail}')
    (folder / "titles.csv").write_text("\n".join(lines) + "\n")
    return folder / "titles.csv"


@pytest.fixture(scope="module")
def service(tmp_path_factory):
    folder = tmp_path_factory.mktemp("serve")
    path = folder / "videos.idx"
    torrelm.save(torrelm.build(rows(), normalize="casefold", merge_variants=True,
                               word_starts=True), path)
    port = free_port()
    # A second index, of other words, for the page's choice of index.
    torrelm.save(torrelm.build([(word[::-1], f"r{n}", n + 1) for n, word in enumerate(WORDS)]),
                 folder / "reversed.idx")
    process = subprocess.Popen(
        [sys.executable, "-m", "torrelm", "serve", f"main={path}",
         f"reversed={folder / 'reversed.idx'}", "--port", str(port),
         "--search-url", f"http://127.0.0.1:{port}/healthz?q={{q}}",
         "--videos", str(titles(folder))],
        cwd=ROOT, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    base = f"http://127.0.0.1:{port}"
    deadline = time.monotonic() + 60  # waiting for start-up, not measuring it
    try:
        while True:
            if process.poll() is not None:
                pytest.fail(f"the service stopped at start:\n{process.stdout.read()}")
            try:
                if get_json(f"{base}/healthz") == {"status": "ok"}:
                    break
            except OSError:
                pass
            if time.monotonic() > deadline:
                pytest.fail("the service did not answer /healthz")
            time.sleep(0.1)
        yield base
    finally:
        process.terminate()
        try:
            process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()


@pytest.fixture(scope="module")
def browser():
    options = Options()
    for argument in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage",
                     "--disable-gpu", "--window-size=1100,820", "--force-device-scale-factor=1"):
        options.add_argument(argument)
    # Debian's browser and driver, named outright: Selenium must not go looking for others.
    options.binary_location = shutil.which("chromium") or "/usr/bin/chromium"
    driver = webdriver.Chrome(options=options, service=Service(
        executable_path=shutil.which("chromedriver") or "/usr/bin/chromedriver"))
    try:
        yield driver
    finally:
        driver.quit()


@pytest.fixture
def page(service, browser):
    browser.get(service + "/")
    box = browser.find_element(By.ID, "q")
    settle(browser, "")
    return box


def settle(driver, text):
    """Waits until the page shows its answer to `text`, the box's content: no request pending
    and the lists marked as answering that text."""
    def caught_up(d):
        return d.execute_script(
            "const r = document.getElementById('results');"
            "return r.dataset.pending === '0' && r.dataset.query === arguments[0]"
            " && document.getElementById('q').value === arguments[0];", text)
    WebDriverWait(driver, 15).until(caught_up, f"the page never showed the answer to {text!r}")


def shown(driver):
    """What the page shows, read from the DOM."""
    return driver.execute_script("""
        const items = (selector) => Array.from(document.querySelectorAll(selector));
        return {
          suggestions: items('#suggestions li').map((li) => ({
            term: li.dataset.term, count: Number(li.dataset.count), kind: li.dataset.kind,
            distance: li.dataset.distance === undefined ? null : Number(li.dataset.distance),
            text: li.querySelector('span').textContent,
            // The marked parts as [start, end) code point ranges of the term shown.
            marks: (() => {
              const ranges = [];
              let at = 0;
              for (const node of li.querySelector('span').childNodes) {
                const length = Array.from(node.textContent).length;
                if (node.nodeName === 'MARK') ranges.push([at, at + length]);
                at += length;
              }
              return ranges;
            })()})),
          videos: items('#videos li').map((li) => ({
            id: li.dataset.id, share: li.dataset.share,
            text: li.querySelector('.share').textContent,
            name: li.querySelector('.video').textContent,
            link: li.querySelector('.video a') ? li.querySelector('.video a').href : null})),
          active: items('#suggestions li').findIndex((li) => li.classList.contains('active')),
          titles: [document.getElementById('suggestions-title').textContent,
                   document.getElementById('videos-title').textContent],
        };""")


def expected(base, text, index="main"):
    """What the page should show for `text`: the typeahead endpoint's answer, its corrections
    where it has them (then it has no completions)."""
    if text == "":
        return {"kind": "completion", "suggestions": [], "videos": []}
    answer = get_json(f"{base}/api/typeahead?" + urllib.parse.urlencode(
        {"q": text, "limit": SUGGESTIONS, "videos": VIDEOS, "index": index}))
    if answer["corrections"]:
        assert answer["completions"] == [], text
        return {"kind": "correction", "suggestions": answer["corrections"],
                "videos": answer["videos"]}
    return {"kind": "completion", "suggestions": answer["completions"], "videos": answer["videos"]}


def check_page(driver, base, text, index="main"):
    settle(driver, text)
    page, wanted = shown(driver), expected(base, text, index)
    assert [(s["term"], s["count"]) for s in page["suggestions"]] == \
        [(s["term"], s["count"]) for s in wanted["suggestions"]], text
    assert all(s["kind"] == wanted["kind"] and s["text"] == s["term"]
               for s in page["suggestions"]), text
    if wanted["kind"] == "correction":
        assert [s["distance"] for s in page["suggestions"]] == \
            [s["distance"] for s in wanted["suggestions"]], text
        assert page["titles"] == ["Did you mean",
                                  f"Top videos for “{wanted['suggestions'][0]['term']}”"], text
    else:
        assert page["titles"] == ["Suggestions", "Top videos"], text
    assert [s["marks"] for s in page["suggestions"]] == \
        [s["highlight"] for s in wanted["suggestions"]], text
    # Shares go to the page as JavaScript writes a number, the shortest text that reads back as
    # the same double: parsed, they must equal the JSON's exactly.
    assert [(v["id"], float(v["share"])) for v in page["videos"]] == \
        [(str(v["id"]), v["share"]) for v in wanted["videos"]], text
    assert [v["text"] for v in page["videos"]] == \
        [f"{v['share'] * 100:.1f} %" for v in wanted["videos"]], text
    # Each video by its title from the videos file, linked where it has a url; else by its id.
    assert [(v["name"], v["link"]) for v in page["videos"]] == \
        [(v.get("title", f"video {v['id']}"), v.get("url")) for v in wanted["videos"]], text
    if text == "mus":
        assert {"title" in v for v in wanted["videos"]} == {True, False}  # both kinds shown
    return wanted


@pytest.mark.parametrize("word", ["music", "musci", "helcopter", "cathedral", "funny c",
                                  "mincraft", "funy cat vidoes", "mincrfat"])
def test_every_keystroke_shows_what_the_api_answers(page, browser, service, word):
    for end in range(1, len(word) + 1):
        page.send_keys(word[end - 1])
        wanted = check_page(browser, service, word[:end])
    page_now = shown(browser)["suggestions"]
    terms = [s["term"] for s in page_now]
    # Whatever is offered matches what was typed somewhere, and the page marks it.
    assert terms and all(s["marks"] for s in page_now), word
    marked = {s["term"]: [s["term"][a:b] for a, b in s["marks"]] for s in page_now}
    if word in ("musci", "helcopter"):  # slips past every prefix: still what was meant first
        assert terms[0] == {"musci": "music", "helcopter": "helicopter"}[word]
    if word == "funny c":  # the log's noise was merged away: the query once, no slip of it
        assert terms[0] == "funny cat videos"
        assert not set(terms) & {slip.lower() for slip in NOISY["funny cat videos"][1]}
    if word == "mincraft":
        assert terms[0] == "minecraft"
    if word == "cathedral":  # found from its second word, past a character beyond U+FFFF
        assert marked["cathedral"] == ["cathedral"]
        assert marked["🎻 cathedral concerts"] == ["cathedral"]
    if word == "funy cat vidoes":  # two slips: offered as a completion or as a correction
        assert "funny cat videos" in terms
    if word == "mincrfat":  # past every completion's budget: corrected as a whole
        assert terms[0] == "minecraft" and {s["kind"] for s in page_now} == {"correction"}
        assert shown(browser)["titles"][0] == "Did you mean"
    if word == "music":
        page.send_keys(Keys.ARROW_DOWN + Keys.ARROW_DOWN)  # a highlighted suggestion, as in use
        SCREENSHOT.parent.mkdir(exist_ok=True)
        browser.save_screenshot(str(SCREENSHOT))


def test_fast_typing_ends_on_the_last_text(page, browser, service):
    # Keystrokes sent at once overtake their answers: late answers to older texts must be
    # dropped, leaving the page on the last text's.
    page.send_keys("mushroo")
    check_page(browser, service, "mushroo")
    page.send_keys(Keys.BACKSPACE * 5 + "ic")
    check_page(browser, service, "muic")


def test_arrow_keys_enter_and_escape(page, browser, service):
    page.send_keys("ca")
    wanted = check_page(browser, service, "ca")
    terms = [s["term"] for s in wanted["suggestions"]]
    assert len(terms) >= 3
    moves = [(Keys.ARROW_DOWN, 0), (Keys.ARROW_DOWN, 1), (Keys.ARROW_DOWN, 2), (Keys.ARROW_UP, 1)]
    for key, active in moves:
        page.send_keys(key)
        assert shown(browser)["active"] == active
        assert browser.find_element(By.CSS_SELECTOR, "#suggestions li.active") \
            .get_attribute("data-term") == terms[active]
    page.send_keys(Keys.ENTER)
    assert page.get_attribute("value") == terms[1]
    check_page(browser, service, terms[1])
    assert shown(browser)["active"] == -1

    page.send_keys(Keys.ESCAPE)
    assert page.get_attribute("value") == ""
    settle(browser, "")
    assert shown(browser) == {"suggestions": [], "videos": [], "active": -1,
                              "titles": ["Suggestions", "Top videos"]}


def test_narrow_screens_stack_and_enter_searches_what_was_typed(page, browser, service):
    browser.set_window_size(360, 740)
    try:
        page.send_keys("ca")
        check_page(browser, service, "ca")
        layout = browser.execute_script("""
            const box = (id) => document.getElementById(id).getBoundingClientRect();
            return {overflow: document.documentElement.scrollWidth > window.innerWidth,
                    below: box('videos').top >= box('suggestions').bottom};""")
        assert layout == {"overflow": False, "below": True}
    finally:
        browser.set_window_size(1100, 820)
    page.send_keys("t videos")  # no completion chosen: Enter goes to the site's search
    page.send_keys(Keys.ENTER)
    WebDriverWait(browser, 10).until(lambda d: "/healthz" in d.current_url)
    assert urllib.parse.parse_qs(urllib.parse.urlparse(browser.current_url).query) == \
        {"q": ["cat videos"]}


def test_an_unreachable_service_says_so_plainly(page, browser, service):
    browser.execute_script("window.fetch = () => Promise.reject(new TypeError('Failed to fetch'));")
    page.send_keys("m")
    settle(browser, "m")
    assert "cannot be reached" in browser.find_element(By.ID, "status").text


def test_a_refused_text_says_so(page, browser, service):
    # Longer than the service takes (256 characters by default): the page reports the error
    # instead of showing lists for some other text.
    text = "m" * 257
    browser.execute_script("const box = document.getElementById('q'); box.value = arguments[0];"
                           "box.dispatchEvent(new Event('input'));", text)
    settle(browser, text)
    assert shown(browser)["suggestions"] == [] and shown(browser)["videos"] == []
    assert "longer than" in browser.find_element(By.ID, "status").text


def test_the_index_chosen_answers(page, browser, service):
    from selenium.webdriver.support.ui import Select

    choice = Select(browser.find_element(By.ID, "index"))
    assert [o.text for o in choice.options] == ["main", "reversed"]
    assert choice.first_selected_option.text == "main"
    page.send_keys("h")
    check_page(browser, service, "h")
    choice.select_by_visible_text("reversed")  # asks again, of the other index
    wanted = check_page(browser, service, "h", index="reversed")
    assert wanted != expected(service, "h") and wanted["suggestions"]
