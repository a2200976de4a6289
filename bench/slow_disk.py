"""The slow-disk mode of bench/run.py: cold runs on storage that takes milliseconds per read but
serves many reads at once.

slowdisk.cpp, a FUSE file system, serves an ext4 image whose every read it delays by a set time,
serving at most DEPTH reads at once (writes undelayed). The image is attached to a loop device
with direct I/O, so that no cache sits between ext4 and the delay, and mounted afresh at the
program's mount point for every run, so that every run starts cold. Each shape's ext4 is made and
filled once and restored before every run. For each shape, delay and depth it times the program
with its read-ahead, without it (--read-ahead 0) and `find -depth`, and prints the reads that
reached the device, their measured time, and the device's limit: reads x time per read / depth.
After each of the program's runs it checks the tree (by a plain loop mount of the image), the log
and the statistics file, which must be the same with and without the read-ahead.

Needs root, /dev/fuse, the fuse3 library (Debian: libfuse3-dev fuse3), losetup, mkfs.ext4.
"""
import hashlib
import os
import shutil
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))

# (fanouts of the folder levels, entries); the rest of the entries are files in the deepest
# folders: wide is 518 folders of about 100 entries, small 4,851 folders of about 10.
SHAPES = {
    'wide': ([517], 50_000),
    'small': ([50, 96], 50_000),
}
CONFIGS = [(8, 16), (8, 4), (8, 1), (0, 16)]  # (delay in ms, depth)
TOOLS = ('read-ahead', 'no read-ahead', 'find')
IMAGE_MB = 256


def sh(cmd, **kw):
    return subprocess.run(cmd, check=True, **kw)


def out(cmd):
    return sh(cmd, capture_output=True, text=True).stdout.strip()


def digest(*parts):
    h = hashlib.sha256()
    for part in parts:
        h.update(part)
        h.update(b'\0')
    return h.hexdigest()[:16]


class SlowDisk:
    def __init__(self, bench, args):
        self.bench = bench
        self.args = args
        self.dir = os.path.join(bench.work, 'slow')
        self.fuse = os.path.join(self.dir, 'fuse')
        self.check = os.path.join(self.dir, 'check')
        self.image = os.path.join(self.dir, 'image')
        self.control = os.path.join(self.fuse, 'control')
        self.daemon = None
        self.loop = None

    @staticmethod
    def need():
        if os.geteuid() != 0:
            sys.exit('bench: --slow-disk needs root (FUSE, loop devices, mounts)')
        if not os.path.exists('/dev/fuse'):
            sys.exit('bench: --slow-disk needs /dev/fuse')
        for tool, package in (('losetup', 'mount'), ('mkfs.ext4', 'e2fsprogs'),
                              ('pkg-config', 'pkgconf'), ('fusermount3', 'fuse3')):
            if shutil.which(tool) is None:
                sys.exit(f'bench: {tool} is missing (Debian package: {package})')
        if subprocess.run(['pkg-config', '--exists', 'fuse3']).returncode != 0:
            sys.exit('bench: the fuse3 library is missing (Debian package: libfuse3-dev)')

    def prepare(self):
        self.tear_down()
        os.makedirs(self.fuse, exist_ok=True)
        os.makedirs(self.check, exist_ok=True)
        cxx = os.environ.get('CXX', 'c++')
        flags = out(['pkg-config', '--cflags', 'fuse3']).split()
        libs = out(['pkg-config', '--libs', 'fuse3']).split()
        self.slowdisk = os.path.join(self.bench.build, 'slowdisk')
        sh([cxx, '-O2', '-std=c++20', *flags, '-o', self.slowdisk,
            os.path.join(HERE, 'slowdisk.cpp'), *libs])
        with open(self.image, 'wb') as f:
            f.truncate(IMAGE_MB << 20)
        self.daemon = subprocess.Popen([self.slowdisk, self.image, self.fuse])
        for _ in range(100):
            if os.path.exists(self.control):
                return
            time.sleep(0.05)
        sys.exit('bench: the slow disk did not come up')

    def tear_down(self):
        """Undoes whatever an earlier run, even one that was killed, left mounted or attached."""
        for path in (self.bench.mount, self.check):
            if os.path.ismount(path):
                subprocess.run(['umount', path])
        for image in [self.image, os.path.join(self.fuse, 'image')] + [
                os.path.join(self.dir, f'{shape}.img') for shape in SHAPES]:
            if os.path.exists(image):
                found = subprocess.run(['losetup', '-j', image], capture_output=True, text=True)
                for line in found.stdout.splitlines():
                    subprocess.run(['losetup', '-d', line.split(':')[0]])
        if os.path.ismount(self.fuse):
            subprocess.run(['fusermount3', '-u', self.fuse])
        if self.daemon is not None:
            self.daemon.wait()
            self.daemon = None

    def set_device(self, delay_ms, depth):
        with open(self.control, 'w') as f:
            f.write(f'{delay_ms * 1000} {depth}\n')

    def counters(self):
        with open(self.control) as f:
            words = f.read().split()
        values = dict(zip(words[::2], (int(w) for w in words[1::2])))
        return values['reads'], values['busy_ns']

    def make_template(self, shape):
        """The shape's ext4, made and filled once, with a plain loop device."""
        path = os.path.join(self.dir, f'{shape}.img')
        fanouts, entries = SHAPES[shape]
        fanouts = [max(int(fanouts[0] * self.args.scale), 1)] + fanouts[1:]
        entries = max(int(entries * self.args.scale), 1)
        with open(path, 'wb') as f:
            f.truncate(IMAGE_MB << 20)
        sh(['mkfs.ext4', '-q', '-F', '-b', '4096', '-N', str(entries + 20000),
            '-E', 'lazy_itable_init=0,lazy_journal_init=0', path])
        os.makedirs(self.bench.mount, exist_ok=True)
        sh(['mount', '-o', 'loop', path, self.bench.mount])
        try:
            os.rmdir(os.path.join(self.bench.mount, 'lost+found'))
            words = out([self.bench.gentree, 'levels', self.bench.mount, str(entries),
                         ','.join(str(f) for f in fanouts), '30', str(self.args.seed)]).split()
        finally:
            sh(['umount', self.bench.mount])
        counts = {k: int(v) for k, v in zip(words[::2], words[1::2])}
        self.bench.counts[shape] = counts
        print(f'slow disk {shape}: {counts}', flush=True)
        return path

    def command(self, tool):
        if tool == 'find':
            return ['find', self.bench.mount, '-depth']
        return [self.bench.program] + (['--read-ahead', '0'] if tool == 'no read-ahead' else [])

    def timed(self, tool, shape, template, delay_ms, depth):
        """One cold run: (seconds, reads, busy ns, result digest or None)."""
        sh(['cp', '--sparse=always', template, self.image])
        if os.path.lexists(self.bench.records):
            shutil.rmtree(self.bench.records)
        os.mkdir(self.bench.records)
        self.set_device(delay_ms, depth)
        self.loop = out(['losetup', '-f', '--show', '--direct-io=on',
                         os.path.join(self.fuse, 'image')])
        dio = os.path.join('/sys/block', os.path.basename(self.loop), 'loop', 'dio')
        with open(dio) as f:
            if f.read().strip() != '1':
                sys.exit('bench: the loop device would not take direct I/O')
        try:
            sh(['mount', self.loop, self.bench.mount])
            try:
                self.set_device(delay_ms, depth)  # count from here: the mount's reads aside
                started = time.perf_counter()
                child = subprocess.run(self.command(tool), cwd=self.bench.build,
                                       stdout=subprocess.PIPE)
                seconds = time.perf_counter() - started
                reads, busy = self.counters()
            finally:
                sh(['umount', self.bench.mount])
        finally:
            sh(['losetup', '-d', self.loop])
            self.loop = None
        if child.returncode != 0:
            sys.exit(f'bench: {tool} failed on {shape}')
        if tool == 'find':
            return seconds, reads, busy, None
        self.bench.check_report(shape, child.stdout)
        return seconds, reads, busy, self.result()

    def result(self):
        """What a run left: every path on the image, the log and the statistics file."""
        sh(['mount', '-o', 'ro,noload,loop', self.image, self.check])
        try:
            paths = []
            for top, dirs, files in os.walk(self.check.encode()):
                rel = os.path.relpath(top, self.check.encode())
                paths += [os.path.join(rel, n) for n in dirs + files]
        finally:
            sh(['umount', self.check])
        paths.sort()
        records = [open(os.path.join(self.bench.records, name), 'rb').read()
                   for name in ('convert.log', 'runstats.txt')]
        return digest(b'\n'.join(paths), *records)

    def shape(self, shape):
        template = self.make_template(shape)
        rows = []
        for delay_ms, depth in CONFIGS:
            runs = {t: [] for t in TOOLS}
            for i in range(self.args.runs):
                for tool in TOOLS[i % len(TOOLS):] + TOOLS[:i % len(TOOLS)]:
                    runs[tool].append(self.timed(tool, shape, template, delay_ms, depth))
            rows.append(self.report(shape, delay_ms, depth, runs))
        os.unlink(template)
        return rows

    def report(self, shape, delay_ms, depth, runs):
        print(f'\n{shape}, {delay_ms} ms, depth {depth}: medians of {self.args.runs}')
        print(f'  {"":14} {"seconds":>8} {"reads":>7} {"ms/read":>8} {"limit s":>8} '
              f'{"/limit":>7}  runs')
        row = dict(shape=shape, delay=delay_ms, depth=depth)
        for tool in TOOLS:
            seconds = statistics.median(r[0] for r in runs[tool])
            reads = statistics.median(r[1] for r in runs[tool])
            per_read = sum(r[2] for r in runs[tool]) / max(sum(r[1] for r in runs[tool]), 1)
            limit = reads * per_read / 1e9 / depth
            row[tool] = dict(seconds=seconds, reads=reads, ms=per_read / 1e6, limit=limit)
            each = ' '.join(f'{r[0]:.3f}' for r in runs[tool])
            print(f'  {tool:14} {seconds:8.3f} {reads:7.0f} {per_read / 1e6:8.3f} '
                  f'{limit:8.3f} {over_limit(seconds, limit, delay_ms):>7}  {each}')
        results = {r[3] for tool in TOOLS[:2] for r in runs[tool]}
        row['same'] = len(results) == 1
        gain = row['no read-ahead']['seconds'] / row['read-ahead']['seconds']
        print(f'  without / with read-ahead: {gain:.2f}; same tree, log and statistics with '
              f'and without: {"yes" if row["same"] else "NO"}', flush=True)
        if not row['same']:
            sys.exit('bench: the runs with and without read-ahead left different results')
        return row


def over_limit(seconds, limit, delay_ms):
    """Seconds over the device's limit; none at 0 ms, where the limit is the FUSE round trip,
    which the time per read leaves out."""
    return f'{seconds / limit:.2f}' if delay_ms and limit else '-'


def summary(rows):
    print('\n| tree, delay, depth | find -depth | without read-ahead | with read-ahead | gain '
          '| reads | ms/read | device limit | with / limit |')
    print('| --- | --- | --- | --- | --- | --- | --- | --- | --- |')
    for row in rows:
        with_ra, without, find = row['read-ahead'], row['no read-ahead'], row['find']
        print(f'| {row["shape"]}, {row["delay"]} ms, {row["depth"]} | {find["seconds"]:.3f} s '
              f'| {without["seconds"]:.3f} s | {with_ra["seconds"]:.3f} s '
              f'| {without["seconds"] / with_ra["seconds"]:.2f}x | {with_ra["reads"]:.0f} '
              f'| {with_ra["ms"]:.2f} | {with_ra["limit"]:.3f} s '
              f'| {over_limit(with_ra["seconds"], with_ra["limit"], row["delay"])} |')


def run(bench, args):
    SlowDisk.need()
    disk = SlowDisk(bench, args)
    disk.prepare()
    rows = []
    try:
        for shape in args.shapes.split(','):
            rows += disk.shape(shape)
    finally:
        disk.tear_down()
        for name in os.listdir(disk.dir):
            path = os.path.join(disk.dir, name)
            if os.path.isfile(path):
                os.unlink(path)
    summary(rows)
