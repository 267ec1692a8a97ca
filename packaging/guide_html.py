"""Turns the operator's guide (Markdown) into one HTML file with its pictures
inside, so that the packages carry a single page that opens from any folder.

    /usr/bin/python3 packaging/guide_html.py docs/guide.md OUT.html VERSION

Run with Debian's Python: it has python3-markdown."""

import base64
import html
import os
import re
import sys

import markdown

STYLE = """
body { font-family: Segoe UI, Tahoma, sans-serif; max-width: 54em; margin: 2em auto; padding: 0 1em;
       line-height: 1.45; color: #1b1b1b; }
h1, h2, h3 { line-height: 1.2; }
h2 { border-bottom: 1px solid #ccc; padding-bottom: .2em; margin-top: 2em; }
code, pre { font-family: Consolas, monospace; background: #f3f3f3; }
pre { padding: .6em; overflow-x: auto; }
table { border-collapse: collapse; }
th, td { border: 1px solid #ccc; padding: .25em .6em; text-align: left; vertical-align: top; }
img { max-width: 100%; border: 1px solid #ddd; }
.note { background: #fff7d6; border-left: 4px solid #e0b000; padding: .4em .8em; }
"""


def inline_images(body, base):
    """Replaces every local PNG reference with its bytes as a data URI; a
    missing picture is an error, not a broken image in the package."""

    def data_uri(match):
        src = match.group(2)
        if re.match(r"^[a-z]+:", src):
            return match.group(0)
        path = os.path.join(base, html.unescape(src))
        try:
            with open(path, "rb") as f:
                data = base64.b64encode(f.read()).decode("ascii")
        except OSError as e:
            sys.exit("the guide's picture %s cannot be read (%s); scripts/guide-shots.sh makes them"
                     % (src, e.strerror))
        return '%sdata:image/png;base64,%s%s' % (match.group(1), data, match.group(3))

    return re.sub(r'(<img[^>]*\ssrc=")([^"]+)(")', data_uri, body)


def main():
    if len(sys.argv) != 4:
        sys.exit("usage: guide_html.py GUIDE.md OUT.html VERSION")
    source, out, version = sys.argv[1:]
    with open(source, encoding="utf-8") as f:
        text = f.read()
    body = markdown.markdown(text, extensions=["tables", "fenced_code", "toc", "sane_lists"])
    body = inline_images(body, os.path.dirname(os.path.abspath(source)))
    title = "Daveridur %s: operator's guide" % html.escape(version)
    page = ('<!DOCTYPE html>\n<html lang="en">\n<head>\n<meta charset="utf-8">\n<title>%s</title>\n'
            '<style>%s</style>\n</head>\n<body>\n%s\n</body>\n</html>\n') % (title, STYLE, body)
    tmp = out + ".tmp"
    with open(tmp, "w", encoding="utf-8", newline="\r\n") as f:
        f.write(page)
    os.replace(tmp, out)


if __name__ == "__main__":
    main()
