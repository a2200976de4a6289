#!/usr/bin/env python3
"""Times mac2cp850 over generated trees against itself with its read-ahead off, `find -depth`, a
floor that only lists and renames (floor.cpp) and the script an administrator would write
(admin_rename.py).

    python3 bench/run.py                 # every shape at full size, 5 runs each
    python3 bench/run.py --quick         # small trees, 3 runs: a check that it all works
    python3 bench/run.py --shapes wide,clean --runs 7
    python3 bench/run.py --shapes wide --tools mac2cp850,cp932 --runs 9
    python3 bench/run.py --slow-disk     # cold runs on a simulated slow disk (root; slow_disk.py)
    python3 bench/run.py --slow-disk --quick
    python3 bench/run.py --undo          # the undo after a run, and --list over ten runs
    python3 bench/run.py --undo --before-undo OTHER/mac2cp850-undo

Needs cmake, a C++ compiler, python3, GNU find, time and strace (Debian: apt-get install cmake
g++ python3 findutils time strace). The trees live in --workdir (default bench/out/ in the source tree),
which must be on the file system the figures are meant for (ext4, not tmpfs); they are removed
at the end. Every timed run meets a fresh copy of its tree, made beforehand with new folders and
its files hard-linked to a template generated once: on ext4, creating a big tree right after
deleting one is far slower, as freed inodes are not reused at once.

The program is a build of its own, whose built-in mount point and record folder lie in the work
folder, like the test build's. Peak memory is the maximum resident set that time(1) reports;
system calls per entry come from a separate run under `strace -c -f`.

With --undo, each size of UNDO_SIZES is run, then taken back by mac2cp850-undo, each timed with
its peak memory; --before-undo times another build of the undo (with the same built-in paths)
on a second run of each size. Last, `mac2cp850-undo --list` reads a journal of ten runs of the
middle size: the journal of one, ten times over under ten ids.
"""
import argparse
import os
import re
import shutil
import statistics
import subprocess
import sys
import time

import slow_disk

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.dirname(HERE)
TABLE = os.path.join(SOURCE, 'data', 'mac2cp850.tab')

# entries: every entry below the top folder, folders included.
SHAPES = {
    'wide': dict(entries=1_000_000, per_folder=1000),
    'clean': dict(entries=1_000_000, per_folder=1000),  # wide after one run: no escape left
    'flat': dict(entries=200_000, per_folder=200_000),
    'deep': dict(levels=1500),
}
# no-readahead: the program with its read-ahead off, to show that on a warm volume the
# read-ahead costs nothing. to-utf8: the program decoding through iconv to UTF-8 instead of the
# table, on the wide tree only (the clean one holds what the table kept, which it would decode).
# dry-run: the dry run's listing through a pipe, as `mac2cp850 -n | grep` reads it, on the wide
# tree only: what showing names safely on a terminal must not cost where there is none.
# cp932: `--from CP932 --to UTF-8` over a tree of the same shape whose escaped names are
# Japanese, as a cap server in CP932 stores them: each name decoded whole, beside the table's
# escape by escape.
# --undo: escaped names in UNDO_FOLDERS folders, every name escaped.
UNDO_SIZES = (250_000, 1_000_000, 2_000_000)
UNDO_FOLDERS = 2_500
TOOLS = ('mac2cp850', 'no-readahead', 'to-utf8', 'cp932', 'dry-run', 'find', 'floor', 'python')
PROGRAMS = ('mac2cp850', 'no-readahead', 'to-utf8', 'cp932', 'dry-run')
WIDE_ONLY = ('to-utf8', 'cp932', 'dry-run')
JAPANESE = '-cp932'  # the suffix of a shape's tree with Japanese names


def sh(cmd, **kw):
    return subprocess.run(cmd, check=True, **kw)


def need(tool, package):
    if shutil.which(tool) is None:
        sys.exit(f'bench: {tool} is missing (Debian package: {package})')


class Bench:
    def __init__(self, args):
        self.args = args
        self.work = os.path.abspath(args.workdir)
        self.build = os.path.join(self.work, 'build')
        self.mount = os.path.join(self.work, 'mount')
        self.records = os.path.join(self.work, 'records')
        self.templates = os.path.join(self.work, 'templates')
        self.program = os.path.join(self.build, 'mac2cp850')
        self.undo = os.path.join(self.build, 'mac2cp850-undo')
        self.gentree = os.path.join(self.build, 'gentree')
        self.floor = os.path.join(self.build, 'floor')
        self.counts = {}

    def prepare(self):
        os.makedirs(self.work, exist_ok=True)
        fs = subprocess.run(['findmnt', '-n', '-o', 'FSTYPE', '-T', self.work],
                            capture_output=True, text=True).stdout.strip()
        print(f'work folder {self.work} on {fs}')
        if fs == 'tmpfs':
            print('bench: warning: tmpfs, not the file system of a volume')
        self.clean_trees()
        sh(['cmake', '-S', SOURCE, '-B', self.build, '-DBUILD_TESTING=OFF',
            f'-DMAC2CP850_MOUNTPOINT={self.mount}', f'-DMAC2CP850_RECORD_DIR={self.records}'],
           stdout=subprocess.DEVNULL)
        sh(['cmake', '--build', self.build, '-j2', '--target', 'mac2cp850', 'mac2cp850-undo'],
           stdout=subprocess.DEVNULL)
        cxx = os.environ.get('CXX', 'c++')
        for name in ('gentree', 'floor'):
            sh([cxx, '-O2', '-std=c++20', '-o', os.path.join(self.build, name),
                os.path.join(HERE, name + '.cpp')])

    def clean_trees(self):
        for path in (self.mount, self.records, self.templates):
            if os.path.ismount(path):
                sys.exit(f'bench: {path} is still mounted; not removing it')
            if os.path.lexists(path):
                sh(['rm', '-rf', path])

    def template(self, shape):
        path = os.path.join(self.templates, shape)
        if shape in self.counts:
            return path
        os.makedirs(self.templates, exist_ok=True)
        scale, seed = self.args.scale, str(self.args.seed)
        started = time.perf_counter()
        if shape == 'clean':
            # The wide tree as a second run meets it: the program has converted it once.
            self.copy(self.template('wide'))
            sh([self.program], cwd=self.build, stdout=subprocess.DEVNULL)
            os.rename(self.mount, path)
            wide = self.counts['wide']
            self.counts[shape] = dict(wide, escaped=0)
        else:
            base = shape.removesuffix(JAPANESE)
            cmd = [self.gentree] + (['--cp932'] if base != shape else [])
            if base == 'deep':
                cmd += ['deep', path, str(SHAPES[base]['levels']), '30', seed]
            else:
                entries = max(int(SHAPES[base]['entries'] * scale), 1)
                per_folder = min(SHAPES[base]['per_folder'], entries)
                cmd += ['tree', path, str(entries), str(per_folder), '30', seed]
            words = sh(cmd, capture_output=True, text=True).stdout.split()
            self.counts[shape] = {k: int(v) for k, v in zip(words[::2], words[1::2])}
        print(f'template {shape}: {self.counts[shape]} '
              f'({time.perf_counter() - started:.1f} s)', flush=True)
        return path

    def copy(self, template):
        if os.path.lexists(self.mount):
            sh(['rm', '-rf', self.mount])
        sh([self.gentree, 'copy', template, self.mount])
        if os.path.lexists(self.records):
            sh(['rm', '-rf', self.records])
        os.mkdir(self.records)
        # The copy's dirty folders, and the removal's before it, reach the disk now rather than
        # in the middle of the timed run.
        os.sync()

    def command(self, tool):
        if tool == 'mac2cp850':
            return [self.program]
        if tool == 'no-readahead':
            return [self.program, '--read-ahead', '0']
        if tool == 'to-utf8':
            return [self.program, '--to', 'UTF-8']
        if tool == 'cp932':
            return [self.program, '--from', 'CP932', '--to', 'UTF-8']
        if tool == 'dry-run':
            return [self.program, '--dry-run']
        if tool == 'find':
            return ['find', self.mount, '-depth']
        if tool == 'floor':
            return [self.floor, self.mount, TABLE]
        return [sys.executable, os.path.join(HERE, 'admin_rename.py'), self.mount, TABLE,
                os.path.join(self.records, 'admin.log')]

    def timed(self, tool, shape):
        """One timed run on a fresh copy: (seconds, peak resident MiB)."""
        if tool == 'cp932':
            shape += JAPANESE
        self.copy(self.template(shape))
        peak_file = os.path.join(self.work, 'peak.txt')
        # Through time(1): a child forked from this script would count the script's own
        # memory as its peak.
        started = time.perf_counter()
        child = subprocess.run(['/usr/bin/time', '-f', '%M', '-o', peak_file] +
                               self.command(tool), cwd=self.build, stdout=subprocess.PIPE
                               if tool in PROGRAMS else subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL if tool == 'dry-run' else None)
        seconds = time.perf_counter() - started
        if child.returncode != 0:
            sys.exit(f'bench: {tool} failed on {shape}')
        with open(peak_file) as f:
            peak_kib = int(f.read().split()[-1])
        if tool in PROGRAMS:
            self.check_report(shape, child.stdout)
        return seconds, peak_kib / 1024

    def measured(self, cmd, out):
        """cmd through time(1), its output into file `out`: (seconds, peak MiB, last line)."""
        peak_file = os.path.join(self.work, 'peak.txt')
        started = time.perf_counter()
        with open(out, 'wb') as f:
            child = subprocess.run(['/usr/bin/time', '-f', '%M', '-o', peak_file] + cmd,
                                   cwd=self.build, stdout=f)
        seconds = time.perf_counter() - started
        with open(out, 'rb') as f:
            last = f.read().splitlines()[-1].decode(errors='replace')
        if child.returncode != 0:
            sys.exit(f'bench: {cmd[0]} failed: {last}')
        with open(peak_file) as f:
            return seconds, int(f.read().split()[-1]) / 1024, last

    def undo_size(self, names, undo):
        """A run over a fresh tree of `names` escaped names, then `undo`: both measured."""
        shape = f'undo-{names}'
        path = os.path.join(self.templates, shape)
        if shape not in self.counts:
            os.makedirs(self.templates, exist_ok=True)
            words = sh([self.gentree, 'tree', path, str(names + UNDO_FOLDERS),
                        str((names + UNDO_FOLDERS) // UNDO_FOLDERS), '100',
                        str(self.args.seed)], capture_output=True, text=True).stdout.split()
            self.counts[shape] = {k: int(v) for k, v in zip(words[::2], words[1::2])}
        self.copy(path)
        out = os.path.join(self.work, 'out.txt')
        run = self.measured([self.program], out)
        back = self.measured([undo], out)
        if not back[2].startswith(f'{self.counts[shape]["escaped"]} reverted, 0 already'):
            sys.exit(f'bench: undo after {names} names: {back[2]}')
        return run, back

    def undo_bench(self):
        print(f'\nundo: every name escaped, in {UNDO_FOLDERS} folders')
        print(f'  {"names":>9} {"run s":>7} {"run MiB":>8} {"undo s":>7} {"undo MiB":>9}'
              f' {"journal MB":>11}')
        before = {}
        for names in UNDO_SIZES:
            names = max(int(names * self.args.scale), UNDO_FOLDERS)
            run, back = self.undo_size(names, self.undo)
            journal = os.path.join(self.records, 'convert.journal')
            size = os.path.getsize(journal) / 1e6
            print(f'  {names:9} {run[0]:7.2f} {run[1]:8.1f} {back[0]:7.2f} {back[1]:9.1f}'
                  f' {size:11.1f}', flush=True)
            if names == max(int(UNDO_SIZES[1] * self.args.scale), UNDO_FOLDERS):
                with open(journal, 'rb') as f:
                    one_run = f.read()
            if self.args.before_undo:
                before[names] = self.undo_size(names, self.args.before_undo)[1]
            sh(['rm', '-rf', os.path.join(self.templates, f'undo-{names}'), self.mount])
        for names, back in before.items():
            print(f'  before: {names:9} names: undo {back[0]:.2f} s, {back[1]:.1f} MiB')
        # Ten runs of the middle size, each under an id of its own.
        run_id = one_run.split(b'\n', 1)[0].split(b' ')[2]
        with open(os.path.join(self.records, 'convert.journal'), 'wb') as f:
            for n in range(10):
                f.write(one_run.replace(run_id, run_id[:-1] + b'%x' % n))
        size = os.path.getsize(os.path.join(self.records, 'convert.journal')) / 1e6
        seconds, mib, _ = self.measured([self.undo, '--list'], os.path.join(self.work, 'out.txt'))
        print(f'  --list over ten runs ({size:.0f} MB): {seconds:.2f} s, {mib:.1f} MiB')

    def check_report(self, shape, out):
        """The program's closing counts must be the tree's."""
        got = [int(n) for n in re.findall(
            rb'(?:Checked folders|Checked files|Conversions done): *(\d+)', out)]
        c = self.counts[shape]
        if got != [c['folders'], c['entries'], c['escaped']]:
            sys.exit(f'bench: {shape}: report {got}, tree {c}')

    def syscalls(self, tool, shape):
        self.copy(self.template(shape))
        trace = os.path.join(self.work, 'strace.txt')
        sh(['strace', '-c', '-f', '-o', trace] + self.command(tool), cwd=self.build,
           stdout=subprocess.DEVNULL)
        with open(trace) as f:
            total = [line.split() for line in f if line.rstrip().endswith(' total')]
        return int(total[-1][3])

    def shape(self, shape):
        tools = [t for t in self.args.tools.split(',') if not (shape == 'deep' and t == 'python')
                 and (shape == 'wide' or t not in WIDE_ONLY)]
        times = {t: [] for t in tools}
        peak = {t: 0.0 for t in tools}
        self.template(shape)
        for i in range(self.args.runs):
            # Rotated, so that no tool always runs right after the same other one.
            for tool in tools[i % len(tools):] + tools[:i % len(tools)]:
                seconds, mib = self.timed(tool, shape)
                times[tool].append(seconds)
                peak[tool] = max(peak[tool], mib)
        calls = {}
        if not self.args.no_strace:
            for tool in {'mac2cp850', 'floor', 'find'} & set(tools):
                calls[tool] = self.syscalls(tool, shape)
        sh(['rm', '-rf', self.mount])
        return dict(times=times, peak=peak, calls=calls)

    def report(self, shape, result):
        entries = self.counts[shape]['entries']
        median = {t: statistics.median(v) for t, v in result['times'].items()}
        # The columns that compare with find and the floor, where they ran.
        find, floor = median.get('find', float('nan')), median.get('floor', float('nan'))
        print(f'\n{shape}: {entries} entries, {self.counts[shape]["folders"]} folders, '
              f'{self.counts[shape]["escaped"]} escaped; medians of {self.args.runs} runs')
        print(f'  {"":12} {"median s":>9} {"entries/s":>11} {"/find":>6} {"/floor":>7} '
              f'{"peak MiB":>9} {"calls/entry":>12}  runs')
        for tool, m in median.items():
            calls = result['calls'].get(tool)
            per_entry = f'{calls / entries:.4f}' if calls is not None else '-'
            runs = ' '.join(f'{t:.3f}' for t in result['times'][tool])
            print(f'  {tool:12} {m:9.3f} {entries / m:11.0f} {m / find:6.2f} '
                  f'{m / floor:7.2f} {result["peak"][tool]:9.1f} {per_entry:>12}'
                  f'  {runs}')
        for tool, base in (('python', 'mac2cp850'), ('mac2cp850', 'no-readahead'),
                           ('to-utf8', 'mac2cp850'), ('dry-run', 'find'), ('cp932', 'mac2cp850')):
            if tool in median and base in median:
                print(f'  {tool} / {base}: {median[tool] / median[base]:.3f}')
        if 'cp932' in median:
            print(f'  cp932: --from CP932 --to UTF-8 over the same shape with '
                  f'{self.counts[shape + JAPANESE]["escaped"]} Japanese names')
        if shape == 'clean' and 'mac2cp850' in result['calls']:
            required = (entries // 11 + self.counts[shape]['folders'] // 11) / entries
            print(f'  system calls per entry beyond the statistics rewrites: '
                  f'{result["calls"]["mac2cp850"] / entries - required:.4f}')
        sys.stdout.flush()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split('\n\n')[0])
    parser.add_argument('--shapes', help='default: clean,wide,flat,deep; wide,small with '
                        '--slow-disk')
    parser.add_argument('--runs', type=int)
    parser.add_argument('--tools', default=','.join(TOOLS),
                        help=f'default: {",".join(TOOLS)}; mac2cp850 is needed for cp932\'s '
                        'ratio')
    parser.add_argument('--scale', type=float, help='fraction of the full entry counts')
    parser.add_argument('--quick', action='store_true',
                        help='--scale 0.02 --runs 3; --scale 0.1 --runs 1 with --slow-disk')
    parser.add_argument('--seed', type=int, default=1)
    parser.add_argument('--workdir', default=os.path.join(HERE, 'out'))
    parser.add_argument('--no-strace', action='store_true')
    parser.add_argument('--undo', action='store_true',
                        help=f'the undo after runs of {", ".join(map(str, UNDO_SIZES))} names')
    parser.add_argument('--before-undo', help='with --undo: another build of the undo to time')
    parser.add_argument('--slow-disk', action='store_true',
                        help='cold runs on a simulated slow disk, with and without read-ahead')
    args = parser.parse_args()
    if args.slow_disk:
        known = slow_disk.SHAPES
        args.shapes = args.shapes or ','.join(known)
        args.runs = args.runs or (1 if args.quick else 3)
        args.scale = args.scale or (0.1 if args.quick else 1.0)
    else:
        known = SHAPES
        args.shapes = args.shapes or 'clean,wide,flat,deep'
        args.runs = args.runs or (3 if args.quick else 5)
        args.scale = args.scale or (0.02 if args.quick else 1.0)
    shapes = args.shapes.split(',')
    for shape in shapes:
        if shape not in known:
            sys.exit(f'bench: no shape {shape}; shapes: {", ".join(known)}')
    for tool in args.tools.split(','):
        if tool not in TOOLS:
            sys.exit(f'bench: no tool {tool}; tools: {", ".join(TOOLS)}')
    for tool, package in (('cmake', 'cmake'), ('find', 'findutils'),
                          (os.environ.get('CXX', 'c++'), 'g++')):
        need(tool, package)
    if not os.access('/usr/bin/time', os.X_OK):
        sys.exit('bench: /usr/bin/time is missing (Debian package: time)')
    if not args.no_strace and not args.slow_disk:
        need('strace', 'strace')

    bench = Bench(args)
    bench.prepare()
    if args.undo:
        try:
            bench.undo_bench()
        finally:
            bench.clean_trees()
        return
    if args.slow_disk:
        try:
            slow_disk.run(bench, args)
        finally:
            bench.clean_trees()
        return
    try:
        for shape in shapes:
            bench.report(shape, bench.shape(shape))
    finally:
        bench.clean_trees()


if __name__ == '__main__':
    main()
