"""The release packages as an operator meets them, under Wine: the installer
made from the Windows build installs silently (also when the firewall rules
cannot be added), the installed program opens its main window, the uninstall
entry carries the version, the silent uninstall takes away everything it put
in place and nothing of the operator's; the zip's programs run from an
unpacked folder. Runs inside scripts/netns-run.sh scripts/wine-run.sh."""

import glob
import os
import struct
import subprocess
import sys
import tempfile
import time
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "../../e2e"))

from scene import MAIN_CLASS, Tally, build_dirs  # noqa: E402
from uidrive import Driver, start, unmanaged_windows, wait_until, wine_env, wine_loader, windows_path  # noqa: E402

UNINSTALL_KEY = r"HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\Daveridur"
SETTINGS_KEY = r"HKLM\Software\Duzavod\Daveridur"
CONFIRM = "Daveridur -- Confirmation"
QUIT, IDYES = 2, 6

t = Tally()


def shot(driver, hwnd, name):
    """A picture for people to look at, beside the other tests' screenshots."""
    folder = os.environ.get("DAVERIDUR_SHOTS")
    if folder and hwnd:
        os.makedirs(folder, exist_ok=True)
        driver.shot_png(hwnd, os.path.join(folder, name + ".png"))


def read_version(windows_build):
    values = {}
    with open(os.path.join(windows_build, "generated/version.env")) as f:
        for line in f:
            key, sep, value = line.strip().partition("=")
            if sep and not key.startswith("#"):
                values[key] = value.strip('"')
    return values


def wine(*args, env=None, timeout=120):
    return subprocess.run([wine_loader(), *args], env=env or wine_env(), capture_output=True, text=True,
                          errors="replace", timeout=timeout)


def registry_values(key):
    """The values of a key as name -> text, or None when the key is missing."""
    out = wine("reg", "query", key)
    if out.returncode != 0:
        return None
    values = {}
    for line in out.stdout.splitlines():
        parts = line.strip().split(None, 2)
        if len(parts) >= 2 and parts[1].startswith("REG_"):
            values[parts[0]] = parts[2] if len(parts) == 3 else ""
    return values


def unix_path(prefix, windows):
    """A C: path of the prefix as a path of this machine."""
    return os.path.join(prefix, "drive_c", windows[3:].replace("\\", "/"))


def run_program(driver, exe, caption, name, while_open=None):
    """Starts a program, checks that its main window opens with the caption,
    runs while_open meanwhile, and quits it as an operator would; True when it
    ended."""
    program = start(exe)
    main = driver.find(caption, 60000)
    t.true("%s: main window with the caption of this version" % name, main)
    if not main:
        # Whatever opened, if anything, for the failure message.
        print("windows of class %s: %r" % (MAIN_CLASS, driver.findall("class:" + MAIN_CLASS)))
        program.kill()
        return False
    shot(driver, main, "package-" + name.replace(" ", "-"))
    if while_open:
        while_open()
    quit_button = next((c["hwnd"] for c in driver.children(main) if c["id"] == QUIT and c["parent"] == main), None)
    driver.click(quit_button)
    box = driver.msgbox(CONFIRM, 10000)
    if box:
        driver.answer(box["hwnd"], IDYES)
    try:
        program.wait(timeout=20)
        return True
    except subprocess.TimeoutExpired:
        program.kill()
        t.true("%s: ends on Quit" % name, False)
        return False


def interactive_install(driver, setup, v, env):
    """The installer's pages as an operator clicks through them; returns the
    texts of the Next button it pressed and the text of the message box that
    showed on the way (None when none did)."""
    title = "Daveridur %s Setup" % v  # the window's caption ends in a blank
    proc = subprocess.Popen([wine_loader(), setup], env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL)
    pressed, box_text = [], None
    try:
        window = driver.find("prefix:" + title, 60000)
        if not window:
            return pressed, box_text

        def next_button(text):
            def ready():
                for c in driver.children(window):
                    if c["id"] == 1 and c["parent"] == window and c["enabled"] and c["text"].replace("&", "") == text:
                        return c["hwnd"]
                return None
            return wait_until(ready, 30, interval=0.2)

        for text in ("I Agree", "Install"):
            button = next_button(text)
            if text == "I Agree":
                shot(driver, window, "package-installer-licence")
            if not button:
                return pressed, box_text
            pressed.append(text)
            driver.click(button)
        box = driver.msgbox("*", 60000)
        if box and box["title"].startswith(title):
            box_text = box["text"]
            shot(driver, box["hwnd"], "package-installer-firewall-failure")
            driver.answer(box["hwnd"], 1)
        for text in ("Next >", "Finish"):
            button = next_button(text)
            if not button:
                return pressed, box_text
            pressed.append(text)
            driver.click(button)
        proc.wait(timeout=30)
        return pressed, box_text
    finally:
        if proc.poll() is None:
            proc.kill()


def cli_check(cli, cli_here, image, name):
    """The command-line program (cli, as Wine names it; cli_here, as this
    machine does) reads a sample image, when this tree builds it."""
    if not os.path.exists(cli_here):
        print("SKIPPED %s: no daveridur-cli.exe in this build, its check was not run" % name, flush=True)
        return
    out = wine(cli, "check", windows_path(image), timeout=120)
    t.check("%s: check exits 0" % name, 0, out.returncode)
    t.true("%s: check shows the image's version" % name, "1.05" in out.stdout)


def resource_version(path):
    """The version resource of a program: its numeric file version and its
    ProductVersion text."""
    data = open(path, "rb").read()
    fixed = data.find(struct.pack("<I", 0xFEEF04BD))
    if fixed < 0:
        return None
    ms, ls = struct.unpack("<II", data[fixed + 8:fixed + 16])
    key = "ProductVersion\0".encode("utf-16-le")
    at = data.find(key)
    text = None
    if at >= 0:
        at += len(key)
        at += at % 4  # the value starts on a 32-bit boundary
        end = data.find(b"\0\0", at)
        while end >= 0 and (end - at) % 2:
            end = data.find(b"\0\0", end + 1)
        text = data[at:end].decode("utf-16-le")
    return (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF), text


def lnk_points_to(path, target):
    """A shortcut holds its target's path, as ANSI or UTF-16 text."""
    with open(path, "rb") as f:
        data = f.read().lower()
    target = target.lower()
    return target.encode("latin-1") in data or target.encode("utf-16-le") in data


def main():
    source, native, windows = build_dirs()
    version = read_version(windows)
    v = version["DAVERIDUR_VERSION"]
    caption = "Daveridur -- Duravore MX-2 SNMP/WEB Card Firmware Upgrade Utility  %s (Build %s)" % (
        v, version["DAVERIDUR_BUILD"])
    prefix = os.environ["WINEPREFIX"]
    work = tempfile.mkdtemp(prefix="daveridur-package.")
    dist = os.path.join(work, "dist")

    # The packages, from the Windows build as it stands.
    made = subprocess.run([os.path.join(source, "scripts/package.sh"), "--prebuilt", windows,
                           "--prebuilt-native", native, "--out", dist],
                          capture_output=True, text=True)
    if made.returncode != 0:
        print(made.stdout + made.stderr)
    t.check("package.sh succeeds", 0, made.returncode)
    setup = os.path.join(dist, "Daveridur-%s-setup.exe" % v)
    zip_path = os.path.join(dist, "Daveridur-%s-win64.zip" % v)
    t.check("packages named by the version", [True, True], [os.path.exists(setup), os.path.exists(zip_path)])
    sums = subprocess.run(["sha256sum", "-c", "SHA256SUMS"], cwd=dist, capture_output=True, text=True)
    t.check("SHA256SUMS holds all three and matches", (0, 3), (sums.returncode, sums.stdout.count(": OK")))
    t.true("the Debian package is among them",
           "daveridur-cli_%s_amd64.deb: OK" % v in sums.stdout)
    if not (os.path.exists(setup) and os.path.exists(zip_path)):
        return t.summary()

    cli_built = os.path.exists(os.path.join(windows, "cli/daveridur-cli.exe")) or bool(
        glob.glob(os.path.join(windows, "**/daveridur-cli.exe"), recursive=True))
    program_names = ["daveridur.exe"] + (["daveridur-cli.exe"] if cli_built else [])
    installed_names = sorted(program_names + ["LICENSE.txt", "guide.html", "uninstall.exe"])

    unmanaged_windows()
    driver = Driver(os.path.join(windows, "tools/uidrive/uidrive.exe"))
    try:
        # Installs where the firewall cannot be asked (netsh will not start):
        # not fatal; the operator is told, and a silent install logs it
        # instead of waiting at a box.
        env = wine_env()
        env["WINEDLLOVERRIDES"] = env.get("WINEDLLOVERRIDES", "") + ";netsh.exe="
        install_dir = r"C:\Program Files\Daveridur"
        here = unix_path(prefix, install_dir)
        log = os.path.join(here, "install.log")

        def failure_logged():
            return os.path.exists(log) and "firewall rules could not be added" in open(log, errors="replace").read()

        pressed, box_text = interactive_install(driver, setup, v, env)
        t.check("installer pages clicked through", ["I Agree", "Install", "Next >", "Finish"], pressed)
        t.true("firewall failure shown", box_text and "Firewall rules for Daveridur could not be added" in box_text)
        t.true("firewall failure logged", failure_logged())
        try:
            out = subprocess.run([wine_loader(), setup, "/S"], env=env, capture_output=True, timeout=120)
            returncode = out.returncode
        except subprocess.TimeoutExpired:
            returncode = "still running: waiting at a box?"
        t.check("silent install without a firewall exits 0", 0, returncode)
        t.true("firewall failure logged by the silent install", failure_logged())

        # Installed again over it, with the firewall at hand.
        out = subprocess.run([wine_loader(), setup, "/S"], env=wine_env(), capture_output=True, timeout=300)
        t.check("silent install again exits 0", 0, out.returncode)
        t.check("installed files", installed_names, sorted(os.listdir(here)) if os.path.isdir(here) else None)

        entry = registry_values(UNINSTALL_KEY) or {}
        t.check("uninstall entry", {
            "DisplayName": "Daveridur", "DisplayVersion": v, "Publisher": version["DAVERIDUR_COMPANY"],
            "DisplayIcon": install_dir + r"\daveridur.exe,0",
            "UninstallString": '"%s\\uninstall.exe"' % install_dir,
            "QuietUninstallString": '"%s\\uninstall.exe" /S' % install_dir,
            "NoModify": "0x1", "NoRepair": "0x1"},
            {k: entry.get(k) for k in ("DisplayName", "DisplayVersion", "Publisher", "DisplayIcon", "UninstallString",
                                       "QuietUninstallString", "NoModify", "NoRepair")})
        t.true("estimated size in KB", int(entry.get("EstimatedSize", "0"), 16) > 100)

        menu = unix_path(prefix, r"C:\ProgramData\Microsoft\Windows\Start Menu\Programs\Daveridur")
        shortcuts = {"Daveridur.lnk": "daveridur.exe", "Daveridur guide.lnk": "guide.html",
                     "Uninstall Daveridur.lnk": "uninstall.exe"}
        t.check("Start-menu shortcuts", {name: True for name in shortcuts},
                {name: os.path.exists(os.path.join(menu, name)) and
                 lnk_points_to(os.path.join(menu, name), install_dir + "\\" + target)
                 for name, target in shortcuts.items()})
        guide = open(os.path.join(here, "guide.html"), encoding="utf-8").read()
        t.true("guide holds its pictures", "data:image/png;base64," in guide and 'src="images/' not in guide)

        t.check("installed program's version resource",
                ((int(version["DAVERIDUR_VERSION_MAJOR"]), int(version["DAVERIDUR_VERSION_MINOR"]),
                  int(version["DAVERIDUR_BUILD"]), 0), v),
                resource_version(os.path.join(here, "daveridur.exe")))
        def install_while_running():
            try:
                out = subprocess.run([wine_loader(), setup, "/S"], env=wine_env(), capture_output=True, timeout=120)
                returncode = out.returncode
            except subprocess.TimeoutExpired:
                returncode = "still running: waiting at a box?"
            t.check("silent install refused while the program runs", 2, returncode)

        run_program(driver, install_dir + r"\daveridur.exe", caption, "installed program", install_while_running)
        image = os.path.join(work, "fw.bin")
        subprocess.run([os.path.join(native, "tools/mkimage/mkimage"), image, "--version", "1.05"], check=True,
                       stdout=subprocess.DEVNULL)
        cli_check(install_dir + r"\daveridur-cli.exe", os.path.join(here, "daveridur-cli.exe"), image,
                  "installed daveridur-cli.exe")

        # What the operator made stays: a setting and a saved report.
        wine("reg", "add", SETTINGS_KEY, "/v", "LastAccount", "/d", "operator", "/f")
        local = glob.glob(os.path.join(prefix, "drive_c/users/*/AppData/Local"))
        report = os.path.join(local[0], "Daveridur/Reports/2026-01-02_030405.csv") if local else None
        if report:
            os.makedirs(os.path.dirname(report), exist_ok=True)
            with open(report, "w") as f:
                f.write("started,ended,ip\n")

        # The silent uninstall as the entry itself says it.
        quiet = entry.get("QuietUninstallString", "")
        uninstaller = quiet.rsplit(" /S", 1)[0].strip('"')
        out = subprocess.run([wine_loader(), uninstaller, "/S"], env=wine_env(), capture_output=True, timeout=300)
        t.check("silent uninstall exits 0", 0, out.returncode)
        # The uninstaller runs on from a copy of itself, so wait for its work.
        gone = wait_until(lambda: not os.path.exists(here) and not os.path.exists(menu) and
                          registry_values(UNINSTALL_KEY) is None, 60, interval=0.5)
        t.check("uninstall leaves nothing of the program",
                (False, False, None),
                (os.path.exists(here), os.path.exists(menu), registry_values(UNINSTALL_KEY)))
        if not gone and os.path.exists(here):
            print("left behind:", os.listdir(here))
        t.check("settings kept", "operator", (registry_values(SETTINGS_KEY) or {}).get("LastAccount"))
        t.true("reports kept", report and os.path.exists(report))

        # The zip, unpacked into a folder of the operator's choosing.
        usb = os.path.join(work, "USB stick")
        with zipfile.ZipFile(zip_path) as z:
            t.check("zip contents", sorted("Daveridur-%s/%s" % (v, n) for n in program_names +
                                           ["LICENSE.txt", "guide.html"]),
                    sorted(n for n in z.namelist() if not n.endswith("/")))
            z.extractall(usb)
        unpacked = os.path.join(usb, "Daveridur-" + v)
        run_program(driver, windows_path(os.path.join(unpacked, "daveridur.exe")), caption, "unpacked program")
        cli = os.path.join(unpacked, "daveridur-cli.exe")
        cli_check(windows_path(cli), cli, image, "unpacked daveridur-cli.exe")
    finally:
        driver.close()
        if not os.environ.get("DAVERIDUR_KEEP_SCENE"):
            subprocess.run(["rm", "-rf", work])
    return t.summary()


if __name__ == "__main__":
    sys.exit(main())
