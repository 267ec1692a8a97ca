#!/usr/bin/env python3
"""The fleet playbook (ansible/examples/fleet.yml) run from a control node
over SSH against two site hosts, each on a LAN of its own with its own
simulated cards; everything built inside the private network:

    control (10.70.1.1, 10.70.2.1)
      |-- site-a (10.70.1.2, sshd) -- LAN 10.71.1.0/24 -- cards .11 .12 .13
      `-- site-b (10.70.2.2, sshd) -- LAN 10.72.1.0/24 -- cards .21 .22

Each box is a network namespace; the site hosts run their own sshd, the
control node reaches them with a key the test makes, the cards' password
comes from an Ansible Vault file. Three runs of the playbook:

  1. --check: each site's plan, no write request to any card;
  2. the run: every card applied, site-a's before site-b's, both reports
     on the control node, the summary;
  3. site-a's first card comes back with its old version: site-a fails
     with the halt line (the card and why), site-b gets no write request, site-a's report
     still comes back.

Then two runs of one task on site-a: a card entry that looks like an
option fails the task with its name and nothing is sent (the card runs
the image's version: "--force" would have re-flashed it); a run the
operator stops (SIGINT to the tool once its first slow card is sending) is
reported as a stop with the cards it kept from starting.

Beside the network, the upgrade module and the summary callback are fed
the same rows by a stand-in for the tool on the control node: a card sent
whose check had not answered (verdict "checking") is neither changed nor
applied, one sent by a run without checks ("sent") is both, and rows from
a tool before the verdict are judged as the tool reads such a report. The
collection's verdict table is compared with the tool's source.

During every run every process's arguments (/proc/*/cmdline) are read:
the password must never be among them, and daveridur-cli must be seen
running in the site hosts' namespaces. ansible-doc must render both
modules and the callback, their documented options must be their
argument_spec, and a bad option must get Ansible's refusal.

    scripts/netns-run.sh python3 tests/net/ansible/fleet_test.py DAVERIDUR_CLI

Needs the real root (sshd's privilege separation); exits 77 (skipped)
without it. About 50 s. DAVERIDUR_TEST_SHOW=1 prints each playbook's output."""

import csv
import json
import os
import secrets
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
from collections import Counter

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
import harness  # noqa: E402

SKIPPED = 77

SITES = {
    # name: (control's address, site's address, LAN prefix, card hosts, waves)
    "site-a": ("10.70.1.1", "10.70.1.2", "10.71.1", (11, 12, 13), [1, "100%"]),
    "site-b": ("10.70.2.1", "10.70.2.2", "10.72.1", (21, 22), ["100%"]),
}
USER = "ops"
# Made here, written only to files: it must never show in a command line.
PASSWORD = "Fleet-" + secrets.token_hex(8)
# The cards come back with the image's version a second after the upload.
GOOD = "fw=1.00 restart=1 restart_fw=1.05"
# Back after 11 s with the old version: the check says not applied
# (quiet at the 5 s and 10 s queries, the old version at 15 s).
OLD_VERSION = "fw=1.00 restart=11"
# Already at the image's version: only a forced run sends it the image.
CURRENT = "fw=1.05"
# 40 ms to store each of the image's ~118 blocks: sending for about 5 s.
SLOW = GOOD + " ack_delay=40"


def check(name, expected, actual):
    return harness.check(name, expected, actual, echo=True)


def run(*cmd, **kw):
    return subprocess.run(list(cmd), check=True, **kw)


class Namespace:
    """A network namespace held open by a sleeping process."""

    def __init__(self):
        own = os.readlink("/proc/self/ns/net")
        self.holder = subprocess.Popen(["unshare", "--net", "sleep", "600"])
        for _ in range(200):
            try:
                if os.readlink("/proc/%d/ns/net" % self.holder.pid) != own:
                    break
            except OSError:
                pass
            time.sleep(0.01)
        self.pid = self.holder.pid
        self.ident = os.readlink("/proc/%d/ns/net" % self.pid)
        self.enter = ["nsenter", "--net=/proc/%d/ns/net" % self.pid]
        self.sh("ip", "link", "set", "lo", "up")

    def sh(self, *cmd):
        run(*(self.enter + list(cmd)))


def link(a, name_a, b, name_b):
    run("ip", "link", "add", name_a, "type", "veth", "peer", "name", name_b)
    run("ip", "link", "set", name_a, "netns", str(a.pid))
    run("ip", "link", "set", name_b, "netns", str(b.pid))


def address(ns, dev, cidr):
    ns.sh("ip", "addr", "add", cidr, "brd", "+", "dev", dev)
    ns.sh("ip", "link", "set", dev, "up")


class Cards(harness.Cardsim):
    """The cardsim of one site's LAN and its record."""

    def __init__(self, ns, work, prefix, hosts, native):
        self.prefix = prefix
        self.ips = ["%s.%d" % (prefix, h) for h in hosts]
        super().__init__(native, work, self.conf_of({}), "--broadcast-address", prefix + ".255",
                         prefix=ns.enter, name="cardsim of " + prefix)

    def conf_of(self, special):
        return "".join("ip=%s %s user=%s password=%s\n" % (ip, special.get(ip, GOOD), USER, PASSWORD)
                       for ip in self.ips)

    def reconfigure(self, special):
        super().reconfigure(self.conf_of(special))

    def written_to(self, since):
        return sorted({f["ip"] for f in self.records("wrq", since=since)})

    def uploaded(self, since):
        """The cards that took a whole upload, with the account it came with."""
        return sorted((f["ip"], f.get("user"), f.get("password") == PASSWORD)
                      for f in self.records("upload", since=since, status="ok"))


class Sampler(threading.Thread):
    """Reads every process's arguments until stopped: any with the password,
    and when and in which network namespace daveridur-cli upgrade ran."""

    def __init__(self):
        super().__init__(daemon=True)
        self.leaks, self.upgrades, self.stopped = [], [], False
        self.lock = threading.Lock()

    def run(self):
        secret = PASSWORD.encode()
        while not self.stopped:
            for pid in os.listdir("/proc"):
                if not pid.isdigit():
                    continue
                try:
                    with open("/proc/%s/cmdline" % pid, "rb") as f:
                        args = f.read()
                    if secret in args:
                        with self.lock:
                            self.leaks.append(args.replace(b"\0", b" ").decode(errors="replace"))
                    words = args.split(b"\0")
                    if words and words[0].endswith(b"daveridur-cli") and b"upgrade" in words:
                        ns = os.readlink("/proc/%s/ns/net" % pid)
                        with self.lock:
                            self.upgrades.append((time.monotonic(), ns, b"--json" in words))
                except OSError:
                    pass
            time.sleep(0.05)

    def take(self):
        with self.lock:
            leaks, upgrades = self.leaks, self.upgrades
            self.leaks, self.upgrades = [], []
        return leaks, upgrades


def ssh_config(site_dir, listen, keys):
    return "\n".join([
        "Port 22", "ListenAddress " + listen,
        "HostKey " + os.path.join(site_dir, "ssh_host_ed25519_key"),
        "PidFile " + os.path.join(site_dir, "sshd.pid"),
        "AuthorizedKeysFile " + os.path.join(keys, "authorized_keys"),
        "PermitRootLogin prohibit-password", "PasswordAuthentication no",
        "KbdInteractiveAuthentication no", "UsePAM no", "StrictModes no",
        "PrintMotd no", "PrintLastLog no", "Subsystem sftp internal-sftp",
        "LogLevel ERROR", ""])


def ansible_python():
    """The Python that runs Ansible (its modules import ansible)."""
    with open(shutil.which("ansible-doc")) as f:
        first = f.readline()
    return first[2:].split()[0] if first.startswith("#!") else sys.executable


def options_drift(module):
    """Where a module's DOCUMENTATION options and its argument_spec differ."""
    import yaml
    doc = yaml.safe_load(module.DOCUMENTATION)["options"]
    declared = module.argument_spec()
    drift = sorted(set(doc) ^ set(declared))
    for name in sorted(set(doc) & set(declared)):
        for key, unset in (("type", "str"), ("required", False), ("default", None),
                           ("choices", None), ("elements", None), ("aliases", None)):
            if doc[name].get(key, unset) != declared[name].get(key, unset):
                drift.append((name, key, doc[name].get(key, unset), declared[name].get(key, unset)))
    return drift


def verdict_drift(source):
    """Where the collection's verdict table, and its verdicts of rows from
    before the verdict column, differ from the tool's: upgrade/record/verdict.cpp's
    table, and verdict_of without checks (a card not started without its
    message, as a kept report's) of results.cpp's result and verified words."""
    import re
    from ansible_collections.daveridur.fleet.plugins.module_utils import verdict
    with open(os.path.join(source, "upgrade/record/verdict.cpp")) as f:
        cpp = f.read()
    with open(os.path.join(source, "upgrade/record/results.cpp")) as f:
        results = f.read()
    table = [(w, f == "true", r == "true", b == "true") for w, f, r, b in re.findall(
        r'\{Verdict::\w+, "(\w+)", "[^"]*",\s*(true|false),\s*(true|false),\s*(true|false)\}', cpp)]
    # verdict_of: each run of case labels takes the verdict of the first
    # plain return after it; for "checks ? a : b" the one without checks.
    judged, labels = {}, []
    body = cpp[cpp.index("Verdict verdict_of("):cpp.index("RunVerdicts run_verdicts(")]
    for line in body.split("\n"):
        line = line.strip()
        labels += re.findall(r"case CardOutcome::(\w+):", line)
        if line.startswith("return") and labels:
            judged.update((label, re.findall(r"Verdict::(\w+)", line)[-1]) for label in labels)
            labels = []
    words = {(r, v): judged.get(o) for o, r, v in re.findall(
        r'\{CardOutcome::(\w+), [^,]+, "(\w*)", "(\w*)",', results)}
    ours = [tuple(v) for v in verdict.VERDICTS]
    drift = [("table", t, o) for t, o in zip(table, ours) if t != o]
    if len(table) != len(ours) or not table:
        drift.append(("table rows", len(table), len(ours)))
    for key in sorted(set(words) | set(verdict.WORDS_VERDICTS)):
        if words.get(key) != verdict.WORDS_VERDICTS.get(key):
            drift.append(("words",) + key + (words.get(key), verdict.WORDS_VERDICTS.get(key)))
    return drift


def stand_in_rows(work, env):
    """The upgrade task on the control node, with a stand-in for the tool
    that prints the given rows and exits with the given status, one host a
    case: the summary callback's JSON (what it counted, and what the module
    returned: changed, failed and msg) as a Popen to wait for."""
    def row(ip, result, verified, verdict=None, message="OK."):
        r = {"ip": ip, "result": result, "message": message, "verified": verified, "wave": 1}
        if verdict:
            r["verdict"] = verdict
        return r
    cases = {
        # A card sent whose check had not answered when the run ended.
        "checking": (1, [row("10.69.0.141", "ok", None, "checking")]),
        # A card sent by a run that checks nothing.
        "sent": (0, [row("10.69.0.141", "ok", None, "sent")]),
        # A tool from before the verdict: the rows' words alone.
        # A rerun on cards already current: nothing sent, nothing changed.
        "current": (0, [row("10.69.0.141", "skipped_version", None, "current",
                            message="Skipped : version 1.05 .")]),
        "before-verdicts": (1, [row("10.69.0.141", "ok", None),
                                row("10.69.0.142", "ok", "no_answer"),
                                row("10.69.0.143", "not_started", None,
                                    message="Not started : rollout halted ."),
                                row("10.69.0.144", "skipped_version", None,
                                    message="Skipped : version 1.05 .")]),
    }
    hosts = {}
    for name, (rc, rows) in cases.items():
        tool = os.path.join(work, "stand-in", name, "daveridur-cli")
        os.makedirs(os.path.dirname(tool))
        # The summary as the tool counts the same rows.
        summary = {"cards": len(rows), "exit_status": rc,
                   "results": Counter(r["verified"] or r["result"] for r in rows),
                   "verdicts": Counter(r["verdict"] for r in rows if "verdict" in r)}
        with open(tool + ".out", "w") as f:
            f.write("".join(json.dumps(r) + "\n" for r in rows + [{"summary": summary}]))
        with open(tool, "w") as f:
            # The inventory's first host finishes last: the summary still lists it first.
            f.write('#!/bin/sh\n%scat "$0.out"\nexit %d\n' % ("sleep 2\n" if name == "checking" else "", rc))
        os.chmod(tool, 0o755)
        hosts[name] = {"ansible_connection": "local", "ansible_python_interpreter": "/usr/bin/python3",
                       "stand_in": tool, "stand_in_cards": [r["ip"] for r in rows]}
    inventory, book = (os.path.join(work, "stand-in", f) for f in ("hosts.yml", "upgrade.yml"))
    with open(inventory, "w") as f:
        json.dump({"fake": {"hosts": hosts}}, f)
    with open(book, "w") as f:
        json.dump([{"hosts": "fake", "gather_facts": False, "tasks": [{"daveridur.fleet.upgrade": {
            "image": "/nowhere/fw.bin", "cards": "{{ stand_in_cards }}", "cli": "{{ stand_in }}"}}]}],
            f)
    summary = os.path.join(work, "stand-in", "summary.json")
    return subprocess.Popen(["ansible-playbook", "-i", inventory, book],
                            env=dict(env, DAVERIDUR_FLEET_SUMMARY_JSON=summary), cwd=work,
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True), summary


def main():
    cli = os.path.abspath(sys.argv[1])
    native = os.environ["DAVERIDUR_BIN"]
    source = os.environ["DAVERIDUR_SOURCE"]
    # Refuses to go on (exit 3) unless this runs in the private network.
    guard = subprocess.run(["bash", "-c", 'source "$1"', "_",
                            os.path.join(source, "scripts/require-private-net.sh")])
    if guard.returncode:
        sys.exit(guard.returncode)
    with open("/proc/self/uid_map") as f:
        if f.read().split() != ["0", "0", "4294967295"]:
            print("skipped: sshd needs the real root (run the test command as root)")
            sys.exit(SKIPPED)
    work = tempfile.mkdtemp(prefix="daveridur-ansible.")
    os.chmod(work, 0o755)
    namespaces = []
    try:
        body(cli, native, source, work, namespaces)
    finally:
        # Every process left in the test's namespaces (sshd and its sessions,
        # the SSH masters Ansible keeps, cardsim), then the holders.
        idents = {ns.ident for ns in namespaces}
        for pid in os.listdir("/proc"):
            try:
                if pid.isdigit() and int(pid) != os.getpid() and \
                        os.readlink("/proc/%s/ns/net" % pid) in idents:
                    os.kill(int(pid), signal.SIGTERM)
            except OSError:
                pass
        for ns in namespaces:
            ns.holder.wait(timeout=10)
        shutil.rmtree(work, ignore_errors=True)
    sys.exit(harness.finish())


def body(cli, native, source, work, namespaces):
    examples = os.path.join(source, "ansible", "examples")
    collections = os.path.join(work, "collections")
    home = os.path.join(work, "home")
    os.makedirs(home)
    env = dict(os.environ, HOME=home, ANSIBLE_CONFIG=os.path.join(examples, "ansible.cfg"),
               ANSIBLE_COLLECTIONS_PATH=collections, ANSIBLE_NOCOLOR="1",
               ANSIBLE_LOCAL_TEMP=os.path.join(home, "tmp"),
               DAVERIDUR_FLEET_SUMMARY_JSON=os.path.join(work, "summary.json"),
               DAVERIDUR_FLEET_CLI=cli,
               DAVERIDUR_FLEET_HTML=os.path.join(work, "reports", "fleet.html"))
    env.pop("ANSIBLE_VAULT_PASSWORD_FILE", None)

    # The collection as the README installs it, and what ansible-doc shows,
    # while the network is built.
    run("ansible-galaxy", "collection", "install", os.path.join(source, "ansible/daveridur/fleet"),
        "-p", collections, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    docs = subprocess.Popen(
        ["ansible-doc", "daveridur.fleet.discover", "daveridur.fleet.upgrade"], env=env,
        stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    callback_doc = subprocess.Popen(
        ["ansible-doc", "-t", "callback", "daveridur.fleet.fleet_summary"], env=env,
        stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    refused = subprocess.Popen(
        ["ansible", "localhost", "-i", "localhost,", "-c", "local", "-m", "daveridur.fleet.upgrade",
         "-a", json.dumps({"image": "/nowhere.bin", "parallel": "many"})],
        env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)

    stand_in, stand_in_summary = stand_in_rows(work, env)

    # Each module's options as its DOCUMENTATION gives them, the way
    # ansible-test's validate-modules compares them; the verdicts as the tool has them.
    drift = subprocess.run([ansible_python(), os.path.abspath(__file__), "--drift", collections,
                            source], stdout=subprocess.PIPE, text=True)
    drift = json.loads(drift.stdout or "{}")
    check("the modules' documented options are their argument_spec",
          {"discover": [], "upgrade": []}, drift.get("options"))
    check("the collection's verdicts are the tool's: words, rules, rows before the verdict",
          [], drift.get("verdicts"))

    # The module and the callback, fed the same rows.
    out = stand_in.communicate(timeout=100)[0]
    try:
        with open(stand_in_summary) as f:
            fed = {s["site"]: s for s in json.load(f)["sites"]}
    except (OSError, ValueError, KeyError):
        fed = {}
    check("the summary lists the sites in the inventory's order, not the order they finished in",
          ["checking", "sent", "current", "before-verdicts"], list(fed))
    ok = check("the same rows: the module's changed and msg, the callback's counts "
               "(state, changed, applied, failed, not started, skipped, msg)", {
                   "checking": ("failed", False, 0, 1, 0, 0, "1 card failed: 10.69.0.141 checking: OK."),
                   "sent": ("done", True, 1, 0, 0, 0, None),
                   "current": ("done", False, 0, 0, 0, 1, None),
                   "before-verdicts": ("failed", True, 1, 1, 1, 1,
                                       "1 card failed: 10.69.0.142 no answer after: OK.")},
               {n: (s.get("state"), s.get("changed"), s.get("applied"), s.get("failed"),
                    s.get("not_started"), s.get("skipped"), s.get("msg")) for n, s in fed.items()})
    if not ok:
        print(out[-6000:])

    # The network.
    control = Namespace()
    namespaces.append(control)
    keys = os.path.join(work, "keys")
    os.makedirs(keys)
    run("ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-f", os.path.join(keys, "id_ed25519"))
    shutil.copy(os.path.join(keys, "id_ed25519.pub"), os.path.join(keys, "authorized_keys"))
    os.makedirs("/run/sshd", mode=0o755, exist_ok=True)  # sshd's privilege separation
    known_hosts = []
    cards, sites = {}, {}
    for i, (name, (control_ip, site_ip, prefix, hosts, _)) in enumerate(sorted(SITES.items())):
        site, lan = Namespace(), Namespace()
        namespaces += [site, lan]
        sites[name] = site
        link(control, "c%d" % i, site, "up%d" % i)
        address(control, "c%d" % i, control_ip + "/30")
        address(site, "up%d" % i, site_ip + "/30")
        link(site, "lan%d" % i, lan, "cards%d" % i)
        address(site, "lan%d" % i, prefix + ".1/24")
        site.sh("ip", "route", "add", "default", "dev", "lan%d" % i)
        for h in hosts:
            lan.sh("ip", "addr", "add", "%s.%d/24" % (prefix, h), "brd", "+", "dev", "cards%d" % i)
        lan.sh("ip", "link", "set", "cards%d" % i, "up")
        lan.sh("ip", "route", "add", "default", "dev", "cards%d" % i)
        site_dir = os.path.join(work, name)
        os.makedirs(site_dir)
        cards[name] = Cards(lan, site_dir, prefix, hosts, native)
        run("ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-f",
            os.path.join(site_dir, "ssh_host_ed25519_key"))
        with open(os.path.join(site_dir, "ssh_host_ed25519_key.pub")) as f:
            known_hosts.append("%s %s" % (site_ip, " ".join(f.read().split()[:2])))
        with open(os.path.join(site_dir, "sshd_config"), "w") as f:
            f.write(ssh_config(site_dir, site_ip, keys))
        subprocess.Popen(site.enter + ["/usr/sbin/sshd", "-D", "-e", "-f",
                                       os.path.join(site_dir, "sshd_config")],
                         stderr=open(os.path.join(site_dir, "sshd.log"), "w"))
    with open(os.path.join(keys, "known_hosts"), "w") as f:
        f.write("\n".join(known_hosts) + "\n")

    # The inventory: the example's group variables (the vault's mapping),
    # the password in a vault, each site's own settings as host variables.
    inventory = os.path.join(work, "inventory")
    group_vars = os.path.join(inventory, "group_vars", "sites")
    os.makedirs(group_vars)
    shutil.copy(os.path.join(examples, "inventory/group_vars/sites/vars.yml"), group_vars)
    vault_pass = os.path.join(work, "vault-pass")
    with open(vault_pass, "w") as f:
        f.write(secrets.token_hex(16) + "\n")
    vault = os.path.join(group_vars, "vault.yml")
    with open(vault, "w") as f:
        f.write("vault_daveridur_password: %s\n" % PASSWORD)
    run("ansible-vault", "encrypt", "--vault-password-file", vault_pass, vault, env=env,
        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    with open(vault) as f:
        sealed = f.read()
    check("the vault file is encrypted", (True, False),
          (sealed.startswith("$ANSIBLE_VAULT"), PASSWORD in sealed))
    image = os.path.join(work, "fw.bin")
    run(os.path.join(native, "tools/mkimage/mkimage"), image, "--version", "1.05", "--date",
        "07042020", "--size", "60000", stdout=subprocess.DEVNULL)
    reports = os.path.join(work, "reports")
    ssh_args = "-o UserKnownHostsFile=%s -o GlobalKnownHostsFile=/dev/null -o StrictHostKeyChecking=yes" % \
        os.path.join(keys, "known_hosts")
    lines = ["sites:", "  hosts:"]
    for name, (_, site_ip, _, _, waves) in sorted(SITES.items()):
        host = {
            "ansible_host": site_ip, "ansible_user": "root",
            "ansible_ssh_private_key_file": os.path.join(keys, "id_ed25519"),
            "ansible_ssh_common_args": ssh_args,
            "ansible_python_interpreter": "/usr/bin/python3",
            "ansible_remote_tmp": os.path.join(work, name, "remote-tmp"),
            "daveridur_cli": cli, "daveridur_image": image, "daveridur_waves": waves,
            "daveridur_discover_wait": 500,
            # Cards applied after 5 answers a second apart, not 30 s.
            "daveridur_settle": 1,
            "daveridur_site_report": os.path.join(work, name, "report.csv"),
            "daveridur_reports_dir": reports,
        }
        lines.append("    %s:" % name)
        lines += ["      %s: %s" % (k, json.dumps(v)) for k, v in host.items()]
    with open(os.path.join(inventory, "hosts.yml"), "w") as f:
        f.write("\n".join(lines) + "\n")

    # What ansible-doc showed, and the refusal, meanwhile.
    out = docs.communicate(timeout=60)[0]
    check("ansible-doc renders both modules: options, examples, return values",
          (0, True, True, True, True, True),
          (docs.returncode, "> DAVERIDUR.FLEET.DISCOVER" in out, "> DAVERIDUR.FLEET.UPGRADE" in out,
           "= image" in out and "- password" in out and "- waves" in out,
           out.count("EXAMPLES:") == 2, out.count("RETURN VALUES:") == 2))
    out = callback_doc.communicate(timeout=60)[0]
    check("ansible-doc renders the summary callback", (0, True),
          (callback_doc.returncode, "json_file" in out))
    out = refused.communicate(timeout=60)[0]
    check("a bad option gets Ansible's own refusal", (True, True),
          ("FAILED" in out, "argument 'parallel' is of type <class 'str'> and we were unable to "
                            "convert to int" in out))

    for name, (_, site_ip, _, _, _) in sorted(SITES.items()):
        for _ in range(100):
            probe = subprocess.run(control.enter + [
                "ssh", "-i", os.path.join(keys, "id_ed25519")] + ssh_args.split() + [
                "-o", "BatchMode=yes", "-o", "ConnectTimeout=2", "root@" + site_ip, "true"],
                stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
            if probe.returncode == 0:
                break
            time.sleep(0.1)
        if not check("the control node logs in to %s over SSH" % name, 0, probe.returncode):
            print(probe.stderr, open(os.path.join(work, name, "sshd.log")).read())
            return

    sampler = Sampler()
    sampler.start()

    def playbook(*extra, book=os.path.join(examples, "fleet.yml"), name=None, during=None):
        """The playbook run from the control node; during(), when given, runs
        while it does."""
        name = name or " ".join(extra) or "run"
        if os.path.exists(env["DAVERIDUR_FLEET_SUMMARY_JSON"]):
            os.remove(env["DAVERIDUR_FLEET_SUMMARY_JSON"])
        marks = {n: c.mark() for n, c in cards.items()}
        started = time.monotonic()
        proc = subprocess.Popen(control.enter + [
            "ansible-playbook", "-i", inventory, "--vault-password-file", vault_pass, book] +
            list(extra), env=env, cwd=work, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
            text=True)
        if during:
            during(marks)
        out = proc.communicate(timeout=100)[0]
        p = subprocess.CompletedProcess(proc.args, proc.returncode, out)
        print("     playbook %s: exit %d in %.1f s" % (name, p.returncode,
                                                   time.monotonic() - started), flush=True)
        try:
            with open(env["DAVERIDUR_FLEET_SUMMARY_JSON"]) as f:
                summary = json.load(f)
        except (OSError, ValueError):
            summary = {}
        if os.environ.get("DAVERIDUR_TEST_SHOW"):
            print(p.stdout if "-vvv" not in extra else p.stdout[-5000:])
        leaks, upgrades = sampler.take()
        check("%s: the password in no process's arguments" % name, [], leaks)
        check("%s: the password nowhere in Ansible's output" % name, False, PASSWORD in p.stdout)
        return p, marks, {s["site"]: s for s in summary.get("sites", [])}, upgrades

    def show(p):
        print(p.stdout[-6000:])

    def fleet_page():
        """The fleet page's reports (site: cards) and its sites without one."""
        try:
            with open(os.path.join(reports, "fleet.html"), encoding="utf-8") as f:
                html = f.read()
            os.remove(os.path.join(reports, "fleet.html"))
        except OSError:
            return None
        head = '<script type="application/json" id="report-data">'
        data = json.loads(html[html.index(head) + len(head):html.index("</script>", html.index(head))])
        return ({r["site"]: r["cards_count"] for r in data["reports"]},
                [(m["site"], m["what"]) for m in data["sites_without_report"]])

    def report_rows(name):
        path = os.path.join(reports, name + ".csv")
        if not os.path.exists(path):
            return None
        with open(path, newline="") as f:
            # The report pads the last cell of each row with blanks (its slot
            # in the file): the verdict without them.
            return {r["ip"]: (r["result"], r["verified"], r["verdict"].rstrip(" "))
                    for r in csv.DictReader(f)}

    # 1. Check mode: the plan, nothing sent.
    p, marks, summary, upgrades = playbook("--check")
    ok = check("check mode: exit 0", 0, p.returncode)
    check("check mode: no write request to any card", {"site-a": [], "site-b": []},
          {n: c.written_to(marks[n]) for n, c in cards.items()})
    check("check mode: each site found its own LAN's cards, and its plan",
          {"site-a": (3, 3, "plan: 3 cards in 2 waves (1, 2); stops after the first failure"),
           "site-b": (2, 2, "plan: 2 cards in 1 wave (2); stops after the first failure")},
          {n: (s.get("found"), s.get("would_send"), s.get("plan_summary")) for n, s in summary.items()})
    check("check mode: no report fetched", False, os.path.exists(reports))
    check("check mode: the summary printed at the end", True,
          "sites: 2 planned, 0 failed, 0 not started (2 in all)" in p.stdout and
          "cards: 5 would be sent" in p.stdout)
    if not ok:
        show(p)

    # 2. The run: every card applied, site by site, both reports back.
    p, marks, summary, upgrades = playbook()
    ok = check("run: exit 0", 0, p.returncode)
    for name, c in sorted(cards.items()):
        check("run: %s's cards took the image with the vault's account" % name,
              [(ip, USER, True) for ip in c.ips], c.uploaded(marks[name]))
        check("run: %s's report on the control node, every card applied" % name,
              {ip: ("ok", "applied", "applied") for ip in c.ips}, report_rows(name))
    check("run: the summary per site (state, changed, applied, failed, not started)",
          {"site-a": ("done", True, 3, 0, 0), "site-b": ("done", True, 2, 0, 0)},
          {n: (s.get("state"), s.get("changed"), s.get("applied"), s.get("failed"),
               s.get("not_started")) for n, s in summary.items()})
    check("run: the fleet page on the control node, both sites' reports", ({"site-a": 3, "site-b": 2}, []),
          fleet_page())
    check("run: the summary printed at the end", True,
          "sites: 2 done, 0 failed, 0 not started (2 in all)" in p.stdout and
          "cards: 5 applied, 0 failed, 0 not started, 0 skipped" in p.stdout)
    # Other tests' namespaces are none of this test's business.
    others = {os.readlink("/proc/self/ns/net"), control.ident} | \
        {ns.ident for ns in namespaces} - {s.ident for s in sites.values()}
    where = [(t, n, j) for t, ns, j in upgrades for n, s in sites.items() if s.ident == ns]
    check("run: daveridur-cli upgrade --json ran on both site hosts, and nowhere else of this test",
          ({"site-a", "site-b"}, True, 0),
          ({n for _, n, _ in where}, all(j for _, _, j in where),
           sum(1 for _, ns, _ in upgrades if ns in others)))
    last_a = max((t for t, n, _ in where if n == "site-a"), default=None)
    first_b = min((t for t, n, _ in where if n == "site-b"), default=None)
    check("run: site-b started after site-a ended (waves of sites)", True,
          last_a is not None and first_b is not None and last_a < first_b)
    if not ok:
        show(p)

    # 3. site-a's first card comes back with its old version; every card
    # is put back at the old version, so site-b would be written to if it ran.
    cards["site-a"].reconfigure({"10.71.1.11": OLD_VERSION})
    cards["site-b"].reconfigure({})
    p, marks, summary, upgrades = playbook("-vvv")
    check("halt: the playbook fails", 2, p.returncode)
    a, b = summary.get("site-a", {}), summary.get("site-b", {})
    check("halt: site-a failed with the halt line as msg (the card and why), nothing applied",
          ("failed", False, 0, 1, 2,
           "Rollout halted in wave 1: 10.71.1.11 not applied (still 1.00); 2 cards not started."),
          (a.get("state"), a.get("changed"), a.get("applied"), a.get("failed"),
           a.get("not_started"), a.get("msg")))
    check("halt: site-b not started, and written to never", ("not started", 2, []),
          (b.get("state"), b.get("found"), cards["site-b"].written_to(marks["site-b"])))
    check("halt: site-a's later waves got no write request", ["10.71.1.11"],
          cards["site-a"].written_to(marks["site-a"]))
    check("halt: site-a's report still came back", {
        "10.71.1.11": ("ok", "not_applied", "not_applied"),
        "10.71.1.12": ("not_started", "", "not_started_halted"),
        "10.71.1.13": ("not_started", "", "not_started_halted")}, report_rows("site-a"))
    check("halt: the fleet page has site-a's report and names site-b, not started",
          ({"site-a": 3}, [("site-b", "not started: 2 cards found")]), fleet_page())
    check("halt: the summary printed at the end", True,
          "sites: 0 done, 1 failed, 1 not started (2 in all)" in p.stdout)
    check("halt: the module's arguments shown (-vvv) with the password masked", True,
          '"password": "VALUE_SPECIFIED_IN_NO_LOG_PARAMETER"' in p.stdout)
    if harness.failures():
        show(p)

    def one_task(name, args):
        """A playbook of one upgrade task on site-a with ARGS, the account and
        the tool as the inventory has them."""
        book = os.path.join(work, name + ".yml")
        task = dict({"image": "{{ daveridur_image }}", "user": "{{ daveridur_user }}",
                     "password": "{{ daveridur_password }}", "cli": "{{ daveridur_cli }}",
                     "settle": "{{ daveridur_settle }}"}, **args)
        with open(book, "w") as f:
            json.dump([{"hosts": "site-a", "gather_facts": False,
                        "tasks": [{"daveridur.fleet.upgrade": task}]}], f)
        return book

    # 4. A card entry that looks like an option: the task fails naming it,
    # the tool never runs, and the card at the image's version is not re-flashed.
    a_ips = cards["site-a"].ips
    cards["site-a"].reconfigure({a_ips[0]: CURRENT})
    p, marks, summary, upgrades = playbook(
        book=one_task("option-entry", {"cards": [a_ips[0], "--force"]}), name="option entry")
    a = summary.get("site-a", {})
    ok = check("option entry: the task fails naming the entry; nothing sent, the tool never ran",
               (2, "failed", True, [], False),
               (p.returncode, a.get("state"), 'cards: "--force" is not a card address' in
                (a.get("msg") or ""), cards["site-a"].written_to(marks["site-a"]),
                any(ns == sites["site-a"].ident for _, ns, _ in upgrades)))
    if not ok:
        show(p)

    # 5. The operator stops the run on the site host (its first Ctrl+C, as
    # SIGINT to the tool) while the first card is sending, one at a time:
    # that card finishes and is checked, the others never start.
    cards["site-a"].reconfigure({a_ips[0]: SLOW})
    stop = {}

    def interrupt_once_sending(marks):
        for _ in range(600):
            if a_ips[0] in cards["site-a"].written_to(marks["site-a"]):
                break
            time.sleep(0.05)
        for pid in os.listdir("/proc"):
            try:
                with open("/proc/%s/cmdline" % pid, "rb") as f:
                    words = f.read().split(b"\0")
                if words[0].endswith(b"daveridur-cli") and b"upgrade" in words and \
                        os.readlink("/proc/%s/ns/net" % pid) == sites["site-a"].ident:
                    os.kill(int(pid), signal.SIGINT)
                    stop["pid"] = pid
                    return
            except (OSError, ValueError):
                pass

    p, marks, summary, upgrades = playbook(
        book=one_task("stopped", {"cards": a_ips, "parallel": 1}), name="stopped",
        during=interrupt_once_sending)
    a = summary.get("site-a", {})
    ok = check("stopped: the task fails as a stop with the cards not started; the first card "
               "applied, the others never written to (exit, state, changed, applied, failed, "
               "not started, msg, written to)",
               (2, "failed", True, 1, 0, 2, "Run stopped by the operator: 2 cards not started",
                [a_ips[0]]),
               (p.returncode, a.get("state"), a.get("changed"), a.get("applied"), a.get("failed"),
                a.get("not_started"), a.get("msg"), cards["site-a"].written_to(marks["site-a"])))
    if not ok:
        print("SIGINT sent to %s" % stop.get("pid"))
        show(p)
    sampler.stopped = True


if __name__ == "__main__":
    if sys.argv[1:2] == ["--drift"]:
        sys.path.insert(0, sys.argv[2])
        from ansible_collections.daveridur.fleet.plugins.modules import discover, upgrade
        print(json.dumps({"options": {"discover": options_drift(discover),
                                      "upgrade": options_drift(upgrade)},
                          "verdicts": verdict_drift(sys.argv[3])}))
    else:
        main()
