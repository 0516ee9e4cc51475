#!/usr/bin/python3
"""The sample book exported with quirelle-pack --to-web and read in Debian's Chromium, driven by
selenium, from file:// and from a local web server: the start splash comes and goes, the book's own
toolbar pictures move through the story, a page script's Story.Next moves it, Back goes back,
the contents pane and the bookmarks menu open pages, the text size reaches the page, the Print
menu lists the page's print sections, search finds a word typed with accents, forms open from a
page script and from the toolbar and close from their page, Exit shows the end splash.

    test_web_book.py QUIRELLE_PACK SAMPLE_BOOK_FOLDER
"""
import functools
import http.server
import os
import shutil
import subprocess
import sys
import tempfile
import threading

from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.common.keys import Keys
from selenium.webdriver.support.ui import WebDriverWait

pack, sample = sys.argv[1], sys.argv[2]
work = tempfile.mkdtemp(prefix="quirelle-web-")
site = os.path.join(work, "site")
env = dict(os.environ, ASAN_OPTIONS="detect_leaks=0")
subprocess.run([pack, "--to-web", "--system", os.path.join(sample, "system"), "--content", os.path.join(sample, "content"), "-o", site],
               check=True, env=env)
# The same book packed as a book document first: the site is made from the book file.
document, from_document = os.path.join(work, "sample.qbook"), os.path.join(work, "from-document")
subprocess.run([pack, "--document", "--system", os.path.join(sample, "system"), "--content", os.path.join(sample, "content"), "-o", document],
               check=True, env=env)
subprocess.run([pack, "--to-web", document, "-o", from_document], check=True, env=env)

options = webdriver.ChromeOptions()
options.binary_location = "/usr/bin/chromium"
for argument in ("--headless", "--no-sandbox", "--disable-gpu", "--window-size=1200,800"):
    options.add_argument(argument)
driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
wait = WebDriverWait(driver, 20)


def page_text():
    """The text of the page shown in the book's frame."""
    driver.switch_to.default_content()
    driver.switch_to.frame("q-page")
    try:
        return driver.find_element(By.TAG_NAME, "body").text
    except Exception:
        return ""
    finally:
        driver.switch_to.default_content()


def shows(text):
    wait.until(lambda d: text in page_text(), message="the page never showed " + repr(text))


def button(kind):
    return driver.find_element(By.CSS_SELECTOR, '#q-toolbar .q-button[data-kind="%d"]' % kind)


def walk(url):
    driver.get(url)
    assert driver.title == "A Walk by the River - sample edition, 2026", driver.title
    # The start splash, the book's picture, until its time is up or a click.
    splash = driver.find_element(By.ID, "q-splash-start")
    assert driver.execute_script("return arguments[0].querySelector('img').complete", splash)
    splash.click()
    wait.until(lambda d: not d.find_elements(By.ID, "q-splash-start"))
    shows("This sample book comes with Quirelle")
    # The toolbar is the book's: its pictures, loaded, with their captions.
    pictures = driver.find_elements(By.CSS_SELECTOR, "#q-toolbar .q-button img")
    assert len(pictures) >= 15, len(pictures)
    assert all(driver.execute_script("return arguments[0].naturalWidth", p) == 24 for p in pictures)
    # A page script drives the story through window.external.
    driver.switch_to.frame("q-page")
    driver.find_element(By.XPATH, "//button[contains(., 'Next page')]").click()
    driver.switch_to.default_content()
    shows("The river runs past the old mill")
    # The Print button's list: the page, and the page's print section.
    button(14).click()
    wait.until(lambda d: len(d.find_elements(By.CSS_SELECTOR, ".q-menu button")) == 3)
    assert [b.text for b in driver.find_elements(By.CSS_SELECTOR, ".q-menu button")] == ["Print page", "riverPAGE", "millPage"]
    button(14).click()
    button(5).find_element(By.TAG_NAME, "img").click()  # Next, by its picture
    shows("More about the river")
    button(1).click()  # Back
    shows("The river runs past the old mill")
    button(6).click()  # Last
    wait.until(lambda d: "end" in page_text().lower())
    button(17).click()  # Home
    shows("This sample book comes with Quirelle")
    # The contents pane (F9) opens an entry's page.
    driver.find_element(By.TAG_NAME, "body").send_keys(Keys.F9)
    wait.until(lambda d: d.find_element(By.ID, "q-contents").is_displayed())
    driver.find_element(By.XPATH, "//nav[@id='q-contents']//a[.='The meadow']").click()
    shows("meadow")
    # Its picture, named from the book's root, came from the site.
    driver.switch_to.frame("q-page")
    wait.until(lambda d: d.execute_script("return [...document.images].every((i) => i.complete && i.naturalWidth > 0)"))
    driver.switch_to.default_content()
    # The bookmarks menu, and the text size.
    button(13).click()
    driver.find_element(By.XPATH, "//div[@class='q-menu']/button[contains(., 'The sun')]").click()
    wait.until(lambda d: "sun" in page_text().lower())
    button(11).click()
    driver.find_element(By.XPATH, "//div[@class='q-menu']/button[.='Extra Large']").click()
    driver.switch_to.frame("q-page")
    wait.until(lambda d: d.execute_script("return document.documentElement.style.zoom") == "1.5")
    driver.switch_to.default_content()
    # Search, without regard to case or accents.
    button(12).click()
    box = driver.find_element(By.CSS_SELECTOR, "#q-search input")
    box.send_keys("M\u00c9ADOW")
    box.send_keys(Keys.ENTER)
    wait.until(lambda d: [a.text for a in d.find_elements(By.CSS_SELECTOR, "#q-search li a")] == ["Welcome", "The meadow"])
    driver.find_elements(By.CSS_SELECTOR, "#q-search li a")[1].click()
    shows("meadow")
    driver.find_element(By.TAG_NAME, "body").send_keys(Keys.ESCAPE)  # closes the panel, not the book
    wait.until(lambda d: not d.find_elements(By.ID, "q-search"))
    # A form from a page script, closed with its window's button; About from the toolbar, closed
    # by its page's script.
    button(17).click()
    shows("This sample book comes with Quirelle")
    driver.switch_to.frame("q-page")
    driver.find_element(By.XPATH, "//button[contains(., 'Glossary')]").click()
    driver.switch_to.default_content()
    wait.until(lambda d: d.find_elements(By.CSS_SELECTOR, ".q-form iframe"))
    driver.switch_to.frame(driver.find_element(By.CSS_SELECTOR, ".q-form iframe"))
    wait.until(lambda d: "Glossary" in d.find_element(By.TAG_NAME, "body").text)
    driver.switch_to.default_content()
    driver.find_element(By.CSS_SELECTOR, ".q-form header button").click()
    button(9).click()
    driver.switch_to.frame(driver.find_element(By.CSS_SELECTOR, ".q-form iframe"))
    wait.until(lambda d: d.find_elements(By.XPATH, "//button[.='Close']"))
    driver.find_element(By.XPATH, "//button[.='Close']").click()
    driver.switch_to.default_content()
    wait.until(lambda d: not d.find_elements(By.CSS_SELECTOR, ".q-form"))
    # Exit: the end splash, then the book is closed.
    button(10).click()
    wait.until(lambda d: d.find_elements(By.ID, "q-splash-end"))
    driver.find_element(By.ID, "q-splash-end").click()
    shows("The book is closed.")


try:
    walk("file://" + os.path.join(from_document, "index.html"))
    class Quiet(http.server.SimpleHTTPRequestHandler):
        def log_message(self, *args):
            pass

    handler = functools.partial(Quiet, directory=site)
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    walk("http://127.0.0.1:%d/index.html" % server.server_address[1])
    server.shutdown()
    print("web book: file:// (from a book document) and http:// (from the folders) walked")
finally:
    driver.quit()
    shutil.rmtree(work, ignore_errors=True)
