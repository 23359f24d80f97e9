"""Debian's headless Chromium for the page tests, leaving nothing behind.

Chromium and its driver put profiles and scratch folders
(org.chromium.Chromium.*) in the temp directory and never remove them;
here they go into one folder of the browser's own, removed when it quits."""
import os
import shutil
import tempfile

FLAGS = ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage")


class Browser:
    def __init__(self, width, height, capabilities=None):
        from selenium import webdriver
        from selenium.webdriver.chrome.service import Service
        self.dir = tempfile.mkdtemp(prefix="rfprobe-chromium-")
        opts = webdriver.ChromeOptions()
        for a in FLAGS + ("--window-size=%d,%d" % (width, height), "--user-data-dir=" + self.dir + "/profile"):
            opts.add_argument(a)
        for k, v in (capabilities or {}).items():
            opts.set_capability(k, v)
        env = dict(os.environ, TMPDIR=self.dir)
        try:
            self.driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver", env=env), options=opts)
        except BaseException:
            shutil.rmtree(self.dir, ignore_errors=True)
            raise

    def quit(self):
        try:
            self.driver.quit()
        finally:
            shutil.rmtree(self.dir, ignore_errors=True)
