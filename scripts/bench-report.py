#!/usr/bin/env python3
"""Turns what scripts/bench.sh measured into a table on standard output, the same table as
markdown, and a bar chart (time and peak memory of every command).

Goals held against the numbers (CPU time is user and system time together):
  verified conversion of the text set's and the binary set's .gz (--zip, --zlib): at most 1.0x
    igzip -t of it in wall time and 1.1x in CPU time; the text set's at least 2x faster than pigz -t
  the same on one core (taskset -c 0): at most 1.1x igzip -t of it
  verified conversion of the BGZF file (--zip): at least 1.6x faster than igzip -t of it, and no
    slower than bgzip -@2 -t
  verified conversion of the cat of two .gz files (--zip): at most 1.0x igzip -t of it
  -t of 1,000,000 empty GZIP members: at most 2x igzip -t of them
  -t and --zlib --no-sync of a PNG of 8-byte IDAT chunks: at most 0.2 s
  --no-verify --no-sync ZIP to GZIP: at most 1.5x cp (which flushes nothing either)
  peak RSS of every quorvexa job: at most 16 MiB, and 1 MiB more per thread more with -T
  many small files: under 100 us per file (the median of one run on all of them, over their number)
  every entry of a zip -9 -r archive of 1,000 files, out to .gz or checked: at least 1.5x faster than
    unzip -t of it (met when either row meets it); those .gz files into one ZIP: at most 2x zip -0
"""
import argparse
import json
import statistics
import sys

IGZIP_LIMIT = 1.0
IGZIP_CPU_LIMIT = 1.1
ONE_CORE_LIMIT = 1.1
BGZF_SPEEDUP = 1.6
CAT_LIMIT = 1.0  # at the pace of one member
EMPTY_MEMBERS_LIMIT = 2.0
IDAT8_LIMIT_S = 0.2
PIGZ_SPEEDUP = 2.0
CP_LIMIT = 1.5
RSS_LIMIT_MIB = 16.0
RSS_PER_THREAD_MIB = 1.0
PER_FILE_LIMIT_US = 100.0
UNZIP_SPEEDUP = 1.5
ZIP_STORED_LIMIT = 2.0

# The igzip -t row each role's times compare with: the one of the same data. Roles that read
# data.tar.gz or data.zip (the same 300 MB) compare with igzip -t data.tar.gz.
SAME_DATA = {'verified', 'no-sync', 'verified-zip', 'no-verify-zip-gzip', 'no-verify-flushed', 'no-verify', 'cp', 'igzip',
             'pigz', 'reference', 'one-core-data'}
IGZIP_OF = {**{role: 'igzip' for role in SAME_DATA}, 'verified-bin': 'igzip-bin', 'igzip-bin': 'igzip-bin',
            'one-core-bin': 'igzip-bin', 'verified-bgzf': 'igzip-bgzf', 'threads-bgzf': 'igzip-bgzf',
            'bgzip-bgzf': 'igzip-bgzf', 'igzip-bgzf': 'igzip-bgzf', 'verified-cat': 'igzip-cat', 'igzip-cat': 'igzip-cat',
            'empty': 'igzip-empty', 'igzip-empty': 'igzip-empty'}
NO_VERIFY = {'no-verify-zip-gzip', 'no-verify-flushed', 'no-verify'}


def load(args):
    with open(args.rss) as f:
        rss = [line.rstrip('\n').split('\t') for line in f if line.strip()]
    with open(args.machine) as f:
        machine = json.load(f)
    # Each hyperfine run (a round) timed every command in the same order; their runs are pooled.
    times = [[] for _ in rss]
    cpus = [[] for _ in rss]
    for path in args.hyperfine:
        with open(path) as f:
            results = json.load(f)['results']
        if len(results) != len(rss):
            sys.exit(f'bench-report: {path} has {len(results)} timings for {len(rss)} commands')
        # hyperfine gives CPU time only as a mean over a round's runs: weighted by their number.
        for pooled, cpu, result in zip(times, cpus, results):
            pooled.extend(result['times'])
            cpu.append((result['user'] + result['system']) * len(result['times']))
    machine['rounds'] = len(args.hyperfine)
    rows = []
    for pooled, cpu, (name, role, kib) in zip(times, cpus, rss):
        rows.append({'name': name, 'role': role, 'median': statistics.median(pooled), 'min': min(pooled),
                     'max': max(pooled), 'runs': len(pooled), 'cpu': sum(cpu) / len(pooled), 'rss_mib': int(kib) / 1024})
    machine['runs'] = min(row['runs'] for row in rows)
    return rows, machine


def one(rows, role):
    found = [row for row in rows if row['role'] == role]
    if len(found) != 1:
        sys.exit(f'bench-report: expected one {role} command, found {len(found)}')
    return found[0]


def verdict(ok):
    return 'PASS' if ok else 'FAIL'


def ours(row):
    return 'quorvexa' in row['name'].split()[:4]


def threads(row):
    words = row['name'].split()
    return int(words[words.index('-T') + 1]) if '-T' in words else 1


def compare(rows):
    cp = one(rows, 'cp')
    for row in rows:
        igzip = one(rows, IGZIP_OF[row['role']]) if row['role'] in IGZIP_OF else None
        row['x_igzip'] = row['median'] / igzip['median'] if igzip else None
        row['x_igzip_cpu'] = row['cpu'] / igzip['cpu'] if igzip else None
        row['x_cp'] = row['median'] / cp['median'] if row['role'] in NO_VERIFY | {'cp'} else None
    # Many small files compare with cp of the same files: the cost of creating them at all.
    small, small_cp = one(rows, 'small'), one(rows, 'small-cp')
    small['x_cp'] = small['median'] / small_cp['median']
    small_cp['x_cp'] = 1.0


def evaluate(rows, machine):
    compare(rows)
    pigz, small, small_cp = one(rows, 'pigz'), one(rows, 'small'), one(rows, 'small-cp')
    goals = []
    at_most = lambda row, ratio, limit, of: goals.append(
        (f'`{row["name"]}` at most {limit:.1f}x {of}', f'{ratio:.2f}x', ratio <= limit))
    for row in rows:
        igzip = f'`{one(rows, IGZIP_OF[row["role"]])["name"]}`' if row['role'] in IGZIP_OF else None
        if row['role'] in ('verified', 'verified-bin'):
            at_most(row, row['x_igzip'], IGZIP_LIMIT, igzip)
            at_most(row, row['x_igzip_cpu'], IGZIP_CPU_LIMIT, f'{igzip} in CPU time')
        if row['role'] == 'verified':
            speedup = pigz['median'] / row['median']
            goals.append((f'`{row["name"]}` at least {PIGZ_SPEEDUP:g}x faster than `pigz -t`',
                          f'{speedup:.2f}x faster', speedup >= PIGZ_SPEEDUP))
        if row['role'] in ('one-core-data', 'one-core-bin'):
            at_most(row, row['x_igzip'], ONE_CORE_LIMIT, igzip)
        if row['role'] == 'verified-bgzf':
            speedup = 1 / row['x_igzip']
            goals.append((f'`{row["name"]}` at least {BGZF_SPEEDUP:g}x faster than {igzip}',
                          f'{speedup:.2f}x faster', speedup >= BGZF_SPEEDUP))
            bgzip = one(rows, 'bgzip-bgzf')
            at_most(row, row['median'] / bgzip['median'], 1.0, f'`{bgzip["name"]}`')
        if row['role'] == 'verified-cat':
            at_most(row, row['x_igzip'], CAT_LIMIT, igzip)
        if row['role'] == 'empty':
            at_most(row, row['x_igzip'], EMPTY_MEMBERS_LIMIT, igzip)
        if row['role'] == 'idat8':
            goals.append((f'`{row["name"]}` at most {IDAT8_LIMIT_S:g} s', f'{row["median"]:.3f} s',
                          row['median'] <= IDAT8_LIMIT_S))
    no_verify = one(rows, 'no-verify-zip-gzip')
    at_most(no_verify, no_verify['x_cp'], CP_LIMIT, '`cp`')
    # With -T, the limit grows by a MiB per thread beyond the first.
    limit = lambda row: RSS_LIMIT_MIB + RSS_PER_THREAD_MIB * (threads(row) - 1)
    jobs = [row for row in rows if ours(row)]
    worst = max(jobs, key=lambda row: row['rss_mib'] - limit(row))
    goals.append((f'peak RSS at most {RSS_LIMIT_MIB:g} MiB (-T N: {RSS_PER_THREAD_MIB:g} MiB more per thread more), '
                  f'every quorvexa job ({len(jobs)})', f'largest against its limit {worst["rss_mib"]:.1f} MiB '
                  f'(`{worst["name"]}`)', worst['rss_mib'] <= limit(worst)))
    per_file = small['median'] / machine['small_files'] * 1e6
    cp_per_file = small_cp['median'] / machine['small_files'] * 1e6
    goals.append((f'{machine["small_files"]} small .gz files in one run: under {PER_FILE_LIMIT_US:g} µs per file',
                  f'{per_file:.0f} µs per file (`cp` of them: {cp_per_file:.0f} µs)', per_file < PER_FILE_LIMIT_US))
    return goals + collection_goals(rows)


def collection_goals(rows):
    unzip, joined, stored = one(rows, 'unzip-test'), one(rows, 'joined-zip'), one(rows, 'zip-stored')
    goals = []
    for row in (one(rows, 'entries-gzip'), one(rows, 'entries-test')):
        speedup = unzip['median'] / row['median']
        goals.append((f'`{row["name"]}` at least {UNZIP_SPEEDUP:g}x faster than `{unzip["name"]}`',
                      f'{speedup:.2f}x faster', speedup >= UNZIP_SPEEDUP))
    ratio = joined['median'] / stored['median']
    goals.append((f'`{joined["name"]}` at most {ZIP_STORED_LIMIT:g}x `{stored["name"]}`', f'{ratio:.2f}x',
                  ratio <= ZIP_STORED_LIMIT))
    return goals


def cells(row):
    ratio = lambda value: '–' if value is None else f'{value:.2f}x'
    return [f'`{row["name"]}`', f'{row["median"]:.3f}', f'{row["cpu"]:.3f}', ratio(row['x_igzip']),
            ratio(row['x_igzip_cpu']), ratio(row['x_cp']), f'{row["rss_mib"]:.1f}']


HEADER = ['Command', 'Median s', 'CPU s', 'vs igzip -t', 'CPU vs igzip -t', 'vs cp', 'Peak RSS MiB']
GOAL_HEADER = ['Goal', 'Measured', 'Result']
RATIO_NOTE = ('Medians of all runs of all rounds; CPU time (user and system) is the mean of all runs. Ratios '
              'are of those: the 300 MB rows against `igzip -t data.tar.gz`, the binary set\'s against `igzip -t '
              'bin.tar.gz`; the BGZF, cat and empty-members rows against `igzip -t` of the same file; the '
              '`--no-verify` rows against `cp data.zip`, the small files against `cp` of the same files.')


def machine_line(machine):
    return (f'{machine["cpu"]}, {machine["cores"]} cores, {machine["os"]}, Linux {machine["kernel"]}; '
            f'{machine["rounds"]} hyperfine rounds, {machine["runs"]} or more runs of each command; '
            f'load average {machine["load_before"]} before the run and {machine["load_after"]} after '
            f'(other work may have been running). Data: data.tar.gz {machine["gz_bytes"] / 1e6:.1f} MB '
            f'({machine["tar_bytes"] / 1e6:.0f} MB of tar, `gzip -9 -n`, ratio '
            f'{machine["tar_bytes"] / machine["gz_bytes"]:.2f}), data.zip {machine["zip_bytes"] / 1e6:.1f} MB; '
            f'bin.tar.gz {machine["bin_gz_bytes"] / 1e6:.1f} MB ({machine["bin_tar_bytes"] / 1e6:.0f} MB of '
            f'packaged binaries, `gzip -6 -n`, ratio {machine["bin_tar_bytes"] / machine["bin_gz_bytes"]:.2f}).')


def markdown(rows, goals, machine):
    lines = ['| ' + ' | '.join(HEADER) + ' |', '|---|' + '---:|' * (len(HEADER) - 1)]
    lines += ['| ' + ' | '.join(cells(row)) + ' |' for row in rows]
    lines += ['', RATIO_NOTE, '', '| ' + ' | '.join(GOAL_HEADER) + ' |', '|---|---|---|']
    lines += [f'| {goal} | {measured} | {verdict(ok)} |' for goal, measured, ok in goals]
    lines += ['', machine_line(machine)]
    return '\n'.join(lines) + '\n'


def plain(rows, goals, machine):
    def table(header, body):
        widths = [max(len(line[i]) for line in [header] + body) for i in range(len(header))]
        fmt = lambda line: '  '.join(cell.ljust(w) if i == 0 else cell.rjust(w)
                                     for i, (cell, w) in enumerate(zip(line, widths))).rstrip()
        return [fmt(header), fmt(['-' * w for w in widths])] + [fmt(line) for line in body]
    strip = lambda text: text.replace('`', '')
    lines = table(HEADER, [[strip(c) for c in cells(row)] for row in rows])
    lines += [strip(RATIO_NOTE), ''] + table(GOAL_HEADER, [[strip(g), strip(m), verdict(ok)] for g, m, ok in goals])
    lines += ['', strip(machine_line(machine))]
    return '\n'.join(lines)


def chart(rows, machine, path):
    import matplotlib
    matplotlib.use('Agg')
    import matplotlib.pyplot as plt

    def colour(row):
        if row['role'] in NO_VERIFY:
            return '#7fb8e0'
        if ours(row):
            return '#1f5f99'
        return '#9a9a9a'

    names = [row['name'] for row in rows][::-1]
    ordered = rows[::-1]
    colours = [colour(row) for row in ordered]
    fig, (left, right) = plt.subplots(1, 2, figsize=(11, 0.42 * len(rows) + 1.6), sharey=True,
                                      width_ratios=[3, 2])
    medians = [row['median'] for row in ordered]
    spread = [[row['median'] - row['min'] for row in ordered], [row['max'] - row['median'] for row in ordered]]
    left.barh(names, medians, color=colours, xerr=spread, error_kw={'ecolor': '#444444', 'capsize': 2, 'lw': 0.8})
    for y, row in enumerate(ordered):
        left.text(row['max'], y, f'  {row["median"]:.2f} s', va='center', fontsize=8)
    left.set_xlabel('median seconds (whiskers: fastest to slowest run)')
    left.set_xlim(0, max(row['max'] for row in rows) * 1.25)
    rss = [row['rss_mib'] for row in ordered]
    right.barh(names, rss, color=colours)
    right.axvline(RSS_LIMIT_MIB, color='#c0392b', lw=1, ls='--')
    right.text(RSS_LIMIT_MIB, len(rows) - 0.4, f' {RSS_LIMIT_MIB:g} MiB goal', color='#c0392b', fontsize=8, va='bottom')
    for y, value in enumerate(rss):
        right.text(value, y, f' {value:.1f}', va='center', fontsize=8)
    right.set_xscale('log')
    right.set_xlim(1, max(rss) * 4)
    right.set_xlabel('peak RSS MiB (log scale)')
    for axis in (left, right):
        axis.tick_params(axis='y', labelsize=8)
        axis.grid(axis='x', color='#e0e0e0', lw=0.6)
        axis.set_axisbelow(True)
    fig.suptitle(f'quorvexa (dark: verified, light: --no-verify) beside igzip, pigz, gzip, libdeflate and cp\n'
                 f'{machine["cpu"]}, {machine["cores"]} cores; 300 MB of tar as gzip -9, and packaged binaries as gzip -6',
                 fontsize=9)
    fig.tight_layout()
    fig.savefig(path, dpi=100, metadata={'Software': None})


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument('--hyperfine', required=True, nargs='+', help="hyperfine's JSON, one file per round")
    for option in ('--rss', '--machine', '--markdown', '--chart'):
        parser.add_argument(option, required=True)
    args = parser.parse_args()
    rows, machine = load(args)
    goals = evaluate(rows, machine)
    print(plain(rows, goals, machine))
    with open(args.markdown, 'w') as f:
        f.write(markdown(rows, goals, machine))
    chart(rows, machine, args.chart)
    print(f'\nWrote {args.markdown} and {args.chart}.')


if __name__ == '__main__':
    main()
