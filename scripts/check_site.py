"""Renders every page of the built documentation site in headless Chromium,
as a reader's browser would (its scripts run), and fails on a page that
does not render: Chromium failing, the page's scripts not run, no main
content, or markup the build left unprocessed (a snippet or a reference
directive shown as text).

    python scripts/check_site.py SITE_DIR        (bash scripts/test docs)
"""

from __future__ import annotations

import shutil
import subprocess
import sys
import tempfile
from concurrent.futures import ThreadPoolExecutor
from html.parser import HTMLParser
from pathlib import Path

# What the pages must show beyond a heading, where it comes from elsewhere:
# the API reference from the docstrings and the stub, the performance page
# and the changelog from their files.
EXPECTED = {
    "api.html": ["korrin.read", "korrin.info", "transcode", "decode_pcm", "g711_expand"],
    "performance.html": ["bench/run.py"],
    "changelog.html": ["0.1.0"],
}
UNPROCESSED = ["--8<--", ":::", "]("]


class MainContent(HTMLParser):
    """The text of the page's main article, its first heading, and whether
    the page's scripts ran (they mark the root element)."""

    def __init__(self):
        super().__init__()
        self.depth = 0  # inside the article: element depth
        self.text: list[str] = []
        self.heading: list[str] = []
        self.in_heading = False
        self.scripted = False

    def handle_starttag(self, tag, attrs):
        classes = (dict(attrs).get("class") or "").split()
        if tag == "html" and "js" in classes:
            self.scripted = True
        if self.depth:
            self.depth += 1
            if tag == "h1" and not self.heading:
                self.in_heading = True
        elif tag == "article" and "md-content__inner" in classes:
            self.depth = 1

    def handle_endtag(self, tag):
        if self.depth:
            self.depth -= 1
            if tag == "h1":
                self.in_heading = False

    def handle_data(self, data):
        if self.depth:
            self.text.append(data)
            if self.in_heading:
                self.heading.append(data)


def render(chromium: str, page: Path) -> str:
    with tempfile.TemporaryDirectory() as profile:
        result = subprocess.run(
            [
                chromium,
                "--headless",
                "--no-sandbox",
                "--disable-gpu",
                "--no-first-run",
                f"--user-data-dir={profile}",
                "--virtual-time-budget=3000",
                "--dump-dom",
                page.as_uri(),
            ],
            capture_output=True,
            text=True,
            timeout=120,
        )
    if result.returncode != 0:
        raise RuntimeError(f"chromium exited with {result.returncode}: {result.stderr[-500:]}")
    return result.stdout


def check(chromium: str, site: Path, page: Path) -> list[str]:
    name = page.relative_to(site).as_posix()
    try:
        dom = render(chromium, page)
    except (RuntimeError, subprocess.TimeoutExpired) as error:
        return [f"{name}: {error}"]
    content = MainContent()
    content.feed(dom)
    text = " ".join("".join(content.text).split())
    problems = []
    if not content.scripted:
        problems.append("the page's scripts did not run")
    if not "".join(content.heading).strip():
        problems.append("no heading in the main content")
    if len(text) < 200:
        problems.append(f"the main content is {len(text)} characters")
    problems += [f"{marker!r} left unprocessed" for marker in UNPROCESSED if marker in text]
    problems += [f"{want!r} missing" for want in EXPECTED.get(name, []) if want not in text]
    return [f"{name}: {problem}" for problem in problems]


def main() -> int:
    if len(sys.argv) != 2:
        print("usage: python scripts/check_site.py SITE_DIR", file=sys.stderr)
        return 2
    site = Path(sys.argv[1]).resolve()
    chromium = shutil.which("chromium") or shutil.which("chromium-browser")
    if chromium is None:
        print("no chromium (Debian: apt-get install chromium; bash scripts/deps docs)", file=sys.stderr)
        return 1
    pages = sorted(p for p in site.rglob("*.html") if p.name != "404.html")
    if not pages:
        print(f"no pages under {site}", file=sys.stderr)
        return 1
    # Two at a time: the machines have two cores.
    with ThreadPoolExecutor(2) as pool:
        problems = [p for found in pool.map(lambda page: check(chromium, site, page), pages) for p in found]
    for problem in problems:
        print(problem, file=sys.stderr)
    if problems:
        return 1
    print(f"{len(pages)} pages rendered in Chromium, each with its content")
    return 0


if __name__ == "__main__":
    sys.exit(main())
