#!/usr/bin/env python3
"""What clients see of a converted volume, through a real Samba server.

    samba_test.py PROGRAM UNDO SOURCE_DIR E2E_DIR

Converts a sample volume (one file per Mac code 0x80..0xFF, and folders with converted names
and files inside) in E2E_DIR/convmount with the test copy of the program, once without and
once with --transliterate, serves it with an smbd of its own on 127.0.0.1 (`unix charset` and
`dos charset` CP850, its configuration, state, lock, cache and private folders in a temporary
folder), and lists it with smbclient in a UTF-8 locale. Every converted name must show as its
Mac character, or the best fit or transliteration that docs/table.md gives for it; exactly the
names that keep an escape show as 8.3 names, since ':' is not allowed in a Windows name.

Then the round trip to UTF-8, for each charset of CHARSETS: an smbd with the cap module and
that `unix charset` receives, through smbclient, the names of its row, each byte above 127 of which
lands on disk as a colon escape; the program converts with --from CHARSET --to UTF-8; an smbd
with the default charsets must list every name as the client wrote it. A second run converts
nothing, and the undo (the test copy of mac2cp850-undo, UNDO) gives back every name on disk.

Last, a typed ':', which keeps its name: a share with the catia module shows it as U+F022, a
plain share as an 8.3 name.

Exits 77 (skipped) when smbd, its cap or catia module or smbclient is missing or the test does
not run as root, unless MAC2CP850_REQUIRE_SAMBA is set, as .ci/run does: then that is a failure.
"""
import contextlib
import ctypes
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

PROGRAM, UNDO, SOURCE, E2E = (os.path.abspath(arg) for arg in sys.argv[1:5])
MOUNT = os.path.join(E2E, "convmount")
RECORDS = os.path.join(E2E, "records")
WORK = os.path.join(E2E, "work")
SKIPPED = 77

failures = []


def expect(cond, what):
    if not cond:
        failures.append(what)
        print("FAILED:", what)


def skip(why):
    if os.environ.get("MAC2CP850_REQUIRE_SAMBA"):
        sys.exit("samba_test: " + why + ", and MAC2CP850_REQUIRE_SAMBA is set")
    print("samba_test: skipped: " + why)
    sys.exit(SKIPPED)


def documented():
    """code -> (best fit, transliteration) as docs/table.md lists them, None where none."""
    rows = {}
    row = re.compile(r"^\| 0x([0-9A-F]{2}) \|[^|]*\|[^|]*\| ([^|]*) \| ([^|]*) \|")
    with open(os.path.join(SOURCE, "docs", "table.md"), encoding="utf-8") as doc:
        for line in doc:
            m = row.match(line)
            if m:
                fit = re.match(r"0x([0-9A-F]{2}) ", m.group(2))
                rep = re.fullmatch(r"`(.+)`", m.group(3))
                rows[int(m.group(1), 16)] = (
                    bytes([int(fit.group(1), 16)]).decode("cp850") if fit else None,
                    rep.group(1) if rep else None)
    return rows


def seen_as(code, docs, transliterate):
    """What a client must see for Mac code `code`, or None for an 8.3 name."""
    char = bytes([code]).decode("mac_roman")
    try:
        if len(char.encode("cp850")) == 1:
            return char
    except UnicodeEncodeError:
        pass
    fit, rep = docs.get(code, (None, None))
    return fit or (rep if transliterate else None)


def sample_name(code):
    return b"%02x :%02x.txt" % (code, code)


# Folders with converted names, each with a file inside: (on disk, as a client sees it).
FOLDERS = [((b"Projekte:8a", "Projekteä"), (b"Men:9f.txt", "Menü.txt")),
           ((b"Preise :db", "Preise EUR"), (b"Caf:8e.txt", "Café.txt"))]


def empty_volume():
    """An empty mount point, no records, and the program's data files in its folder."""
    for path in (MOUNT, RECORDS, WORK):
        shutil.rmtree(path, ignore_errors=True)
        os.makedirs(path)
    for name in ("mac2cp850.tab", "mac2cp850.translit"):
        shutil.copy(os.path.join(SOURCE, "data", name), WORK)


def make_volume():
    empty_volume()
    for code in range(0x80, 0x100):
        # The size tells the code of an entry whatever name a client sees.
        with open(os.path.join(MOUNT.encode(), sample_name(code)), "wb") as f:
            f.write(bytes([code]) * code)
    for (folder, _), (name, _) in FOLDERS:
        os.mkdir(os.path.join(MOUNT.encode(), folder))
        with open(os.path.join(MOUNT.encode(), folder, name), "wb") as f:
            f.write(b"inside " + folder + b"/" + name + b"\n")


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


# What each server adds to its [global] and to its share: the code page 850 view, the producer
# that writes Mac names as colon escapes, and the reader with Samba's default charsets.
CP850_VIEW = ("unix charset = CP850\ndos charset = CP850\n", "read only = yes\n")
READER = ("", "read only = yes\n")


CATIA = ("", "vfs objects = catia\ncatia:mappings = 0x3a:0xf022\nread only = yes\n")


def producer(charset):
    return ("unix charset = %s\n" % charset, "vfs objects = cap\nread only = no\n")


def parent_death_signal():
    """Run in the child before smbd: it gets SIGTERM should this test die first."""
    PR_SET_PDEATHSIG = 1
    ctypes.CDLL(None, use_errno=True).prctl(PR_SET_PDEATHSIG, signal.SIGTERM, 0, 0, 0)


class Server:
    """An smbd of its own that serves MOUNT to guests, with `config`'s additions."""

    def __init__(self, tmp, config):
        self.tmp = tmp
        self.port = free_port()
        for sub in ("private", "state", "lock", "cache", "pid", "ncalrpc", "client"):
            os.mkdir(os.path.join(tmp, sub))
        self.conf = os.path.join(tmp, "smb.conf")
        with open(self.conf, "w", encoding="utf-8") as f:
            f.write(f"""[global]
server role = standalone server
interfaces = 127.0.0.1
bind interfaces only = yes
smb ports = {self.port}
disable netbios = yes
private dir = {tmp}/private
state directory = {tmp}/state
lock directory = {tmp}/lock
cache directory = {tmp}/cache
pid directory = {tmp}/pid
ncalrpc dir = {tmp}/ncalrpc
log file = {tmp}/smbd.log
load printers = no
printcap name = /dev/null
disable spoolss = yes
rpc start on demand helpers = no
map to guest = Bad User
{config[0]}[vol]
path = {MOUNT}
guest ok = yes
guest only = yes
force user = root
{config[1]}""")
        self.client_conf = os.path.join(tmp, "client.conf")
        with open(self.client_conf, "w", encoding="utf-8") as f:
            f.write(f"""[global]
unix charset = UTF-8
dos charset = CP850
private dir = {tmp}/client
state directory = {tmp}/client
lock directory = {tmp}/client
cache directory = {tmp}/client
""")
        self.output = open(os.path.join(tmp, "smbd.out"), "wb")
        # A session of its own: smbd signals its whole process group when it stops.
        self.smbd = subprocess.Popen(
            [SMBD, "--foreground", "--no-process-group", "--debug-stdout",
             "--configfile=" + self.conf],
            stdout=self.output, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL,
            start_new_session=True, preexec_fn=parent_death_signal)
        deadline = time.monotonic() + 30
        while True:
            try:
                socket.create_connection(("127.0.0.1", self.port), timeout=1).close()
                break
            except OSError:
                if self.smbd.poll() is not None or time.monotonic() > deadline:
                    self.stop()
                    sys.exit("samba_test: smbd did not start:\n" + self.log())
                time.sleep(0.1)

    def log(self):
        with open(os.path.join(self.tmp, "smbd.out"), encoding="utf-8",
                  errors="replace") as f:
            return f.read()

    def client(self, commands, refused=0):
        """smbclient's output for `commands`, run in a UTF-8 locale, of which `refused` are
        refused for a name the server's charset can't hold."""
        env = dict(os.environ, LC_ALL="C.UTF-8")
        run = subprocess.run(
            [SMBCLIENT, "--no-pass", "--port", str(self.port),
             "--configfile=" + self.client_conf, "//127.0.0.1/vol",
             "--command", commands.encode("utf-8")],
            env=env, capture_output=True, timeout=60, check=False)
        out = run.stdout.decode("utf-8", errors="replace")
        err = run.stderr.decode("utf-8", errors="replace")
        # Its status is that of the last command only.
        expect((run.returncode == 0 or refused) and
               (out + err).count("NT_STATUS") == (out + err).count(
                   "NT_STATUS_ILLEGAL_CHARACTER") == refused,
               "smbclient %r: status %d: %s %s" % (commands, run.returncode, out, err))
        return out

    def stop(self):
        """Stops smbd by its process id, and reaps the helpers it leaves to this process."""
        self.smbd.send_signal(signal.SIGTERM)
        try:
            self.smbd.wait(timeout=20)
        except subprocess.TimeoutExpired:
            self.smbd.kill()
            self.smbd.wait()
        self.output.close()
        deadline = time.monotonic() + 20
        while time.monotonic() < deadline:
            try:
                if os.waitpid(-1, os.WNOHANG) == (0, 0):
                    time.sleep(0.1)
            except ChildProcessError:
                return
        expect(False, "smbd's helpers still run 20 s after it stopped")


ENTRY = re.compile(r"^  (.*\S)\s+([DAHSRNV]+)\s+(\d+)  \w{3} \w{3} [ \d]\d [\d:]{8} \d{4}$")
EIGHT_DOT_THREE = re.compile(r"^[A-Z0-9_~]{1,8}(\.[A-Z0-9_]{1,3})?$")


def listing(out):
    """(path, is a folder, size) of each entry that smbclient's `ls` shows, `recurse on` too."""
    entries, folder = [], ""
    # Not splitlines(): it would also split at U+0085, U+2028 and U+2029, which names may hold.
    for line in out.split("\n"):
        if line.startswith("\\"):
            folder = line[1:].replace("\\", "/") + "/"
        m = ENTRY.match(line)
        if m and m.group(1) not in (".", ".."):
            entries.append((folder + m.group(1), "D" in m.group(2), int(m.group(3))))
    return entries


def convert_and_look(transliterate, docs):
    """The number of codes a client reads as their character, best fit or transliteration."""
    label = "with --transliterate" if transliterate else "without --transliterate"
    make_volume()
    args = [PROGRAM] + (["--transliterate"] if transliterate else [])
    run = subprocess.run(args, cwd=WORK, capture_output=True, check=False)
    expect(run.returncode == 0, "%s: status %d" % (label, run.returncode))

    tmp = tempfile.mkdtemp(prefix="mac2cp850-samba-")
    server = Server(tmp, CP850_VIEW)
    try:
        top = listing(server.client("ls"))
        folder = FOLDERS[0][0][1]
        inside = listing(server.client('cd "%s"; ls' % folder))
        fetched = []
        for path in (folder + "\\" + FOLDERS[0][1][1], "8a ä.txt"):
            local = os.path.join(tmp, "fetched-%d" % len(fetched))
            server.client('get "%s" "%s"' % (path, local))
            try:
                with open(local, "rb") as f:
                    fetched.append(f.read())
            except FileNotFoundError:
                fetched.append(None)
    finally:
        server.stop()
    shutil.rmtree(tmp)

    readable = 0
    files = [(name, size) for name, is_dir, size in top if not is_dir]
    expect(sorted(size for _, size in files) == list(range(0x80, 0x100)),
           "%s: not one file per code: %s" % (label, files))
    for name, code in files:
        want = seen_as(code, docs, transliterate)
        if want is not None:
            expect(name == "%02x %s.txt" % (code, want),
                   "%s: 0x%02X shows as %r, not as %r" % (label, code, name, want))
            readable += name == "%02x %s.txt" % (code, want)
        else:
            expect(EIGHT_DOT_THREE.match(name) is not None and "~" in name,
                   "%s: 0x%02X keeps its escape but shows as %r" % (label, code, name))

    folders = sorted(name for name, is_dir, _ in top if is_dir)
    # Without the option the second folder keeps its escape, ":db", and shows as an 8.3 name.
    want = sorted(seen for (_, seen), _ in FOLDERS[:2 if transliterate else 1])
    short = [name for name in folders if name not in want]
    expect(len(folders) == len(FOLDERS) and all(name in folders for name in want) and
           all(EIGHT_DOT_THREE.match(name) for name in short),
           "%s: folders %r, expected %r and an 8.3 name for the rest" % (label, folders, want))
    expect([name for name, _, _ in inside] == [FOLDERS[0][1][1]],
           "%s: %s holds %r" % (label, folder, inside))
    want_bytes = [b"inside Projekte:8a/Men:9f.txt\n", bytes([0x8A]) * 0x8A]
    expect(fetched == want_bytes, "%s: files read back differ: %r" % (label, fetched))
    print("%s: %d of 128 codes readable" % (label, readable))
    return readable


def mac(charset, codec, refused):
    """A Mac charset's row: a file per character above 127, and those of `refused` codes."""
    names = ["%02x %s.txt" % (code, bytes([code]).decode(codec)) for code in range(0x80, 0x100)]
    return charset, names, {names[code - 0x80] for code in refused}


KANJI40 = "漢字仮名交混文書資料報告会議議事録予算決算計画設計仕様試験結果一覧管理台帳写真画"
HANZI40 = "中文簡體字資料報告會議記錄預算決算計劃設計規格測試結果一覽管理台帳照片圖像聲音視頻"
HANGUL40 = "가나다라마바사아자차카타파하" * 2 + "갂갵똠뷁뛟뤨뭬뵈꺍뀨뉴둬"
JAPANESE = ["共有.txt", "ソフト表.doc", "ｶﾀｶﾅ.txt", "ﾊﾟｰﾄ ｶﾞｲﾄﾞ.txt", "資料/", "資料/表計算/",
            "資料/表計算/ソ十.xls"]
# (charset as iconv and Samba name it, names its client writes, a folder's ending in '/', and any
# that glibc can't encode, which the server refuses); docs/testing.md says what they cover.
CHARSETS = [mac("MACINTOSH", "mac_roman", {0xC6, 0xF0}),
            mac("MAC-CENTRALEUROPE", "mac_latin2", set()),
            mac("MACCYRILLIC", "mac_cyrillic", {0xFF}),
            ("CP932", JAPANESE + ["能力十.txt", "ポ倒.txt", "ミ円.txt", "ァ院.txt", "ア.txt", "ヂ.txt",
                                  KANJI40 + ".txt", "①ⅰ∵髙.txt", "x\u3000y.txt", "～－―∥￠￡￢.txt"]),
            ("EUC-JP", JAPANESE + ["Café.txt", "〜.txt", "～.txt", KANJI40 + ".txt"]),
            ("CP949", ["한국어.txt", "갂갵.txt", "똠방각하.txt", "自料.txt", "ソ表.txt", "자료/",
                       "자료/보고서/", "자료/보고서/갂.hwp", HANGUL40 + ".txt"]),
            ("GBK", ["乗丂.txt", "亅倈.txt", "亊倊.txt", "〡傽.txt", "中文.txt", "简体字.txt",
                     "€.txt", "丄.txt", "乤.txt", "资料/", "资料/报告/", "资料/报告/乗.doc",
                     HANZI40 + ".txt"]),
            ("BIG5-HKSCS", ["許功蓋.txt", "吜咽.txt", "吘品.txt", "一世.txt", "香港.txt", "㘘.txt",
                            "資料/", "資料/報告/", "資料/報告/許.doc", HANZI40 + ".txt"]),
            ("UTF-8", JAPANESE + ["한국어.txt", "中文.txt", "Café.txt", "😀.txt", KANJI40[:27] + ".txt"])]


@contextlib.contextmanager
def serving(config):
    """A Server with `config`, stopped and its folder removed whatever happens."""
    tmp = tempfile.mkdtemp(prefix="mac2cp850-samba-")
    try:
        server = Server(tmp, config)
        try:
            yield server
        finally:
            server.stop()
    finally:
        shutil.rmtree(tmp)


def on_disk():
    """path -> size of each entry below MOUNT (of a folder: -1), the path as bytes."""
    top = MOUNT.encode()
    return {os.path.relpath(os.path.join(folder, name), top):
            -1 if name in folders else os.lstat(os.path.join(folder, name)).st_size
            for folder, folders, files in os.walk(top) for name in folders + files}


def run(label, program, args):
    """The standard output of the test copy `program` run with `args`, its status checked."""
    done = subprocess.run([program] + args, cwd=WORK, capture_output=True, timeout=120,
                          check=False)
    expect(done.returncode == 0, "%s: %s %s: status %d: %r" % (
        label, os.path.basename(program), " ".join(args), done.returncode, done.stderr))
    return done.stdout


def round_trip(charset, names, refused=()):
    """`names` a `charset` client writes, converted to UTF-8, read back, converted again, undone."""
    empty_volume()
    def listed(server):  # path -> size (of a folder: -1) of each entry `server` lists
        return {path: -1 if is_folder else size
                for path, is_folder, size in listing(server.client("recurse on; ls"))}
    # The size of a file tells which name it was written with, whatever name it shows.
    written = {name.rstrip("/"): -1 if name.endswith("/") else i + 1
               for i, name in enumerate(names) if name not in refused}
    with serving(producer(charset)) as server:
        commands = []
        for i, name in enumerate(names):
            remote = name.rstrip("/").replace("/", "\\")
            local = os.path.join(server.tmp, str(i))
            with open(local, "wb") as f:
                f.write(b"x" * (i + 1))
            commands.append('mkdir "%s"' % remote if name.endswith("/") else
                            'put "%s" "%s"' % (local, remote))
        server.client("; ".join(commands), len(refused))
        by_cap = listed(server)
    before = on_disk()
    encoded = subprocess.run(["iconv", "-f", "UTF-8", "-t", charset], check=True,
                             input="\n".join(written).encode(), capture_output=True).stdout
    escaped = re.sub(rb"[\x80-\xff]", lambda m: b":%02x" % m.group()[0], encoded).split(b"\n")
    expect(before == dict(zip(escaped, written.values())),
           "%s: not the names iconv gives, every byte above 127 escaped: %r" % (charset, before))

    options = ["--from", charset, "--to", "UTF-8"]
    first = run(charset, PROGRAM, options)
    expect(b"\r\nConversions done: %d\r\n" % len(before) in first,
           "%s: first run: %r" % (charset, first))
    with serving(READER) as server:
        after = listed(server)
    expect(by_cap == written == after, "%s: as written %r, cap server %r, after %r" % (
        charset, written, by_cap, after))
    same = set(written.items()) & set(by_cap.items()) & set(after.items())
    print("%s: %d of %d names listed as written by the cap server and after" % (
        charset, len(same), len(written)))

    second = run(charset, PROGRAM, options)
    expect(b"\r\nConversions done: 0\r\n" in second, "%s: second run: %r" % (charset, second))
    # The second run, which renamed nothing, is the last one: the conversion is the one before.
    run(charset, UNDO, ["--run", "2"])
    expect(on_disk() == before, "%s: after the undo: %r" % (charset, on_disk()))


def colon_view():
    """A typed ':' shows as U+F022 through catia, as an 8.3 name without it."""
    empty_volume()
    with open(os.path.join(MOUNT, "Meeting 10:30.txt"), "wb") as f:
        f.write(b"agenda\n")
    for config, want in ((CATIA, "Meeting 10\uf02230.txt"), (READER, None)):
        with serving(config) as server:
            seen = listing(server.client("ls"))
        expect(len(seen) == 1 and (seen[0][0] == want if want else
                                   EIGHT_DOT_THREE.match(seen[0][0]) and "~" in seen[0][0]),
               "a typed ':' lists as %r" % seen)


def main():
    global SMBD, SMBCLIENT
    SMBD = shutil.which("smbd") or shutil.which("smbd", path="/usr/sbin:/sbin")
    SMBCLIENT = shutil.which("smbclient")
    if SMBD is None or SMBCLIENT is None:
        skip("smbd or smbclient is not installed (Debian: apt-get install samba smbclient)")
    built = subprocess.run([SMBD, "-b"], capture_output=True, text=True, check=False).stdout
    modules = re.search(r"^\s*MODULESDIR: (.*)$", built, re.M)
    if modules is None or not all(os.path.exists(os.path.join(modules.group(1), "vfs", module))
                                  for module in ("cap.so", "catia.so")):
        skip("smbd has no cap or catia module (Debian: apt-get install samba-vfs-modules)")
    if os.geteuid() != 0:
        skip("smbd needs root to serve the volume as root")
    # smbd's helpers outlive it for a moment; as their reaper this test waits for them.
    PR_SET_CHILD_SUBREAPER = 36
    ctypes.CDLL(None, use_errno=True).prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0)

    docs = documented()
    without = convert_and_look(False, docs)
    expect(without == 88, "without --transliterate: %d readable, expected 88" % without)
    with_option = convert_and_look(True, docs)
    expect(with_option >= 100,
           "with --transliterate: %d readable, expected at least 100" % with_option)
    for row in CHARSETS:
        round_trip(*row)
    colon_view()
    if failures:
        sys.exit("samba_test: %d failures" % len(failures))
    for path in (MOUNT, RECORDS, WORK):
        shutil.rmtree(path, ignore_errors=True)


if __name__ == "__main__":
    main()
