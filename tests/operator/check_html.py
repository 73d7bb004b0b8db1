"""Reads an exported screen page back: exactly one <pre>, whose text with the
tags stripped equals the rows file; prints every (classes, text) run of the
<pre> that carries a class given on the command line, one per line."""
import sys
from html.parser import HTMLParser


class Page(HTMLParser):
    def __init__(self):
        super().__init__(convert_charrefs=True)
        self.pres = 0
        self.inside = False
        self.text = []
        self.classes = []  # the classes of the open spans inside the <pre>
        self.runs = []     # (classes, text) of each piece of text in the <pre>

    def handle_starttag(self, tag, attrs):
        if tag == "pre":
            self.pres += 1
            self.inside = True
        elif tag == "span" and self.inside:
            self.classes.append(dict(attrs).get("class", ""))

    def handle_endtag(self, tag):
        if tag == "pre":
            self.inside = False
        elif tag == "span" and self.inside and self.classes:
            self.classes.pop()

    def handle_data(self, data):
        if self.inside:
            self.text.append(data)
            self.runs.append((" ".join(self.classes).split(), data))


def main():
    html_path, rows_path, wanted = sys.argv[1], sys.argv[2], sys.argv[3:]
    page = Page()
    with open(html_path, encoding="utf-8") as f:
        page.feed(f.read())
    with open(rows_path, encoding="utf-8") as f:
        rows = f.read()
    if page.pres != 1:
        print(f"{page.pres} <pre> elements")
        return 1
    if "".join(page.text) != rows:
        print("the <pre> text is not the rows")
        return 1
    for classes, text in page.runs:
        if any(w in classes for w in wanted):
            print(" ".join(sorted(classes)) + "|" + text)
    return 0


sys.exit(main())
