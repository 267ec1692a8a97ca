"""The Debian package of the command-line tool, as an administrator gets it:
its files and fields, lintian without an error, the manual page covering
every command and option the tool's own help lists, and the tool unpacked
into a throwaway root, run from there.

    python3 tests/wine/package/deb_test.py  (DAVERIDUR_SOURCE, DAVERIDUR_BIN)"""

import gzip
import os
import re
import shutil
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "../../e2e"))

from scene import Tally  # noqa: E402

t = Tally()

FILES = ["./usr/bin/daveridur-cli", "./usr/share/doc/daveridur-cli/changelog.gz",
         "./usr/share/doc/daveridur-cli/copyright", "./usr/share/man/man1/daveridur-cli.1.gz"]


def run(*args, **kw):
    return subprocess.run(list(args), capture_output=True, text=True, errors="replace", timeout=300, **kw)


def version_of(native):
    values = {}
    with open(os.path.join(native, "generated/version.env")) as f:
        for line in f:
            key, sep, value = line.strip().partition("=")
            if sep and not key.startswith("#"):
                values[key] = value.strip('"')
    return values


def help_options(tool, *command):
    """The long options the tool's help lists for a command."""
    out = run(tool, *command, "--help").stdout
    return sorted(set(re.findall(r"(--[a-z][a-z-]*)", out)))


def entries(roff, section, pattern):
    """What the tagged paragraphs (.TP, then the tag's line) of a section
    name: the words matching pattern in their tags."""
    text = roff.split(".SH %s\n" % section, 1)[-1].split("\n.SH ", 1)[0]
    tags = re.findall(r"^\.TP\n\.(?:B|BI|BR) (.*)$", text, re.M)
    return {word for tag in tags for word in re.findall(pattern, tag)}


def main():
    source = os.environ["DAVERIDUR_SOURCE"]
    native = os.environ["DAVERIDUR_BIN"]
    v = version_of(native)
    work = tempfile.mkdtemp(prefix="daveridur-deb.")
    try:
        made = run(os.path.join(source, "packaging/build-deb.sh"), native, work)
        t.check("build-deb.sh succeeds", 0, made.returncode)
        if made.returncode:
            print(made.stdout + made.stderr)
            return t.summary()
        deb = os.path.join(work, made.stdout.strip())
        t.check("named by the version", "daveridur-cli_%s_amd64.deb" % v["DAVERIDUR_VERSION"],
                os.path.basename(deb))

        listing = run("dpkg-deb", "-c", deb).stdout.splitlines()
        files = sorted(l.split()[-1] for l in listing if not l.startswith("d"))
        t.check("files: the tool, its page, changelog and licence", sorted(FILES), files)
        t.check("owned by root, the tool executable",
                (True, True), (all(" root/root " in l for l in listing),
                               any(l.startswith("-rwxr-xr-x") and l.endswith("/usr/bin/daveridur-cli")
                                   for l in listing)))
        fields = {k: run("dpkg-deb", "-f", deb, k).stdout.strip() for k in ("Package", "Version", "Depends")}
        t.check("package and version fields", ("daveridur-cli", v["DAVERIDUR_VERSION"]),
                (fields["Package"], fields["Version"]))
        t.true("depends on the C library", "libc6" in fields["Depends"])

        lint = run("lintian", "--fail-on", "error", "--tag-display-limit", "0", deb)
        errors = [l for l in lint.stdout.splitlines() if l.startswith("E:")]
        t.check("lintian: no error", (0, []), (lint.returncode, errors))
        if lint.stdout.strip():
            print("lintian says:\n" + lint.stdout)

        # Unpacked into a throwaway root, the tool runs from there.
        root = os.path.join(work, "root")
        t.check("unpacks", 0, run("dpkg", "-x", deb, root).returncode)
        tool = os.path.join(root, "usr/bin/daveridur-cli")
        shown = run(tool, "--version")
        t.check("--version: the caption's version and build",
                (0, "daveridur-cli %s (Build %s)" % (v["DAVERIDUR_VERSION"], v["DAVERIDUR_BUILD"])),
                (shown.returncode, shown.stdout.strip()))
        helped = run(tool, "--help")
        t.check("--help lists the commands", (0, True),
                (helped.returncode, all(c in helped.stdout for c in ("discover", "check", "upgrade"))))

        # The page renders without warnings and names every command, every
        # option of the tool's help and every exit status.
        page = os.path.join(root, "usr/share/man/man1/daveridur-cli.1.gz")
        rendered = run("man", "--warnings", "-E", "UTF-8", "-l", page, env=dict(os.environ, MANWIDTH="80"))
        t.check("man renders the page without warnings", (0, ""), (rendered.returncode, rendered.stderr.strip()))
        with gzip.open(page, "rt") as f:
            roff = f.read().replace("\\-", "-")
        t.check("every option of the help has its entry on the page", [],
                sorted({o for cmd in ([], ["discover"], ["check"], ["upgrade"], ["report"])
                        for o in help_options(tool, *cmd)}
                       - entries(roff, "OPTIONS", r"--[a-z][a-z-]*")))
        t.check("every command has its entry", set(),
                {"discover", "check", "upgrade", "report"} - entries(roff, "COMMANDS", r"[a-z]+"))
        t.check("every exit status has its entry", set(), {"0", "1", "2", "3"} - entries(roff, '"EXIT STATUS"', r"\d"))
        t.true("the page carries the version", v["DAVERIDUR_VERSION"] in roff.splitlines()[0])
    finally:
        shutil.rmtree(work, ignore_errors=True)
    return t.summary()


if __name__ == "__main__":
    sys.exit(main())
