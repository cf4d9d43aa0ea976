#!/usr/bin/env python3
"""Turns what scripts/bench.sh measured into a table on standard output, the same table as
markdown, and a bar chart (time and peak memory of every command).

Goals held against the numbers:
  verified conversion of the .gz (--zip, --zlib): at most 1.2x igzip -t, at least 2x faster than pigz -t
  verified conversion of the binary set's .gz (--zip, --zlib): at most 1.2x igzip -t of it
  verified conversion of the BGZF file (--zip): at least 1.6x faster than igzip -t of it
  verified conversion of the cat of two .gz files (--zip): at most 1.2x igzip -t of it, as for one member
  --no-verify ZIP to GZIP: at most 1.5x cp
  peak RSS of every quorvexa job: at most 16 MiB
  many small files: under 100 us per file (the median of one run on all of them, over their number)
"""
import argparse
import json
import statistics
import sys

IGZIP_LIMIT = 1.2
BGZF_SPEEDUP = 1.6
CAT_LIMIT = IGZIP_LIMIT  # at the pace of one member
PIGZ_SPEEDUP = 2.0
CP_LIMIT = 1.5
RSS_LIMIT_MIB = 16.0
PER_FILE_LIMIT_US = 100.0

# Roles whose command reads data.tar.gz or data.zip (the same 300 MB of data): their times compare
# with igzip -t. A PNG and many small files are other data.
SAME_DATA = {'verified', 'no-sync', 'verified-zip', 'no-verify-zip-gzip', 'no-verify', 'cp', 'igzip', 'pigz', 'reference'}
NO_VERIFY = {'no-verify-zip-gzip', 'no-verify'}
BIN_SET = {'verified-bin', 'igzip-bin'}  # bin.tar.gz: compare with igzip -t of it
# Files of several members: each role compares with igzip -t of its own file.
OWN_IGZIP = {'verified-bgzf': 'igzip-bgzf', 'igzip-bgzf': 'igzip-bgzf', 'verified-cat': 'igzip-cat',
             'igzip-cat': 'igzip-cat'}


def load(args):
    with open(args.rss) as f:
        rss = [line.rstrip('\n').split('\t') for line in f if line.strip()]
    with open(args.machine) as f:
        machine = json.load(f)
    # Each hyperfine run (a round) timed every command in the same order; their runs are pooled.
    times = [[] for _ in rss]
    for path in args.hyperfine:
        with open(path) as f:
            results = json.load(f)['results']
        if len(results) != len(rss):
            sys.exit(f'bench-report: {path} has {len(results)} timings for {len(rss)} commands')
        for pooled, result in zip(times, results):
            pooled.extend(result['times'])
    machine['rounds'] = len(args.hyperfine)
    rows = []
    for pooled, (name, role, kib) in zip(times, rss):
        rows.append({'name': name, 'role': role, 'median': statistics.median(pooled), 'min': min(pooled),
                     'max': max(pooled), 'runs': len(pooled), 'rss_mib': int(kib) / 1024})
    machine['runs'] = min(row['runs'] for row in rows)
    return rows, machine


def one(rows, role):
    found = [row for row in rows if row['role'] == role]
    if len(found) != 1:
        sys.exit(f'bench-report: expected one {role} command, found {len(found)}')
    return found[0]


def verdict(ok):
    return 'PASS' if ok else 'FAIL'


def evaluate(rows, machine):
    igzip, pigz, cp, igzip_bin = one(rows, 'igzip'), one(rows, 'pigz'), one(rows, 'cp'), one(rows, 'igzip-bin')
    for row in rows:
        row['x_igzip'] = row['median'] / igzip['median'] if row['role'] in SAME_DATA else None
        if row['role'] in BIN_SET:
            row['x_igzip'] = row['median'] / igzip_bin['median']
        if row['role'] in OWN_IGZIP:
            row['x_igzip'] = row['median'] / one(rows, OWN_IGZIP[row['role']])['median']
        row['x_cp'] = row['median'] / cp['median'] if row['role'] in NO_VERIFY | {'cp'} else None
    # Many small files compare with cp of the same files: the cost of creating them at all.
    small, small_cp = one(rows, 'small'), one(rows, 'small-cp')
    small['x_cp'] = small['median'] / small_cp['median']
    small_cp['x_cp'] = 1.0
    goals = []
    for row in rows:
        if row['role'] == 'verified':
            goals.append((f'`{row["name"]}` at most {IGZIP_LIMIT}x `igzip -t`',
                          f'{row["x_igzip"]:.2f}x', row['x_igzip'] <= IGZIP_LIMIT))
            speedup = pigz['median'] / row['median']
            goals.append((f'`{row["name"]}` at least {PIGZ_SPEEDUP:g}x faster than `pigz -t`',
                          f'{speedup:.2f}x faster', speedup >= PIGZ_SPEEDUP))
        if row['role'] == 'verified-bin':
            goals.append((f'`{row["name"]}` at most {IGZIP_LIMIT}x `igzip -t bin.tar.gz`',
                          f'{row["x_igzip"]:.2f}x', row['x_igzip'] <= IGZIP_LIMIT))
        if row['role'] == 'verified-bgzf':
            speedup = 1 / row['x_igzip']
            goals.append((f'`{row["name"]}` at least {BGZF_SPEEDUP:g}x faster than `igzip -t data.bgz`',
                          f'{speedup:.2f}x faster', speedup >= BGZF_SPEEDUP))
        if row['role'] == 'verified-cat':
            goals.append((f'`{row["name"]}` at most {CAT_LIMIT:.1f}x `igzip -t cat.tar.gz`',
                          f'{row["x_igzip"]:.2f}x', row['x_igzip'] <= CAT_LIMIT))
    no_verify = one(rows, 'no-verify-zip-gzip')
    goals.append((f'`{no_verify["name"]}` at most {CP_LIMIT}x `cp`',
                  f'{no_verify["x_cp"]:.2f}x', no_verify['x_cp'] <= CP_LIMIT))
    ours = [row for row in rows if row['name'].startswith('quorvexa')]
    largest = max(ours, key=lambda row: row['rss_mib'])
    goals.append((f'peak RSS at most {RSS_LIMIT_MIB:g} MiB, every quorvexa job ({len(ours)})',
                  f'largest {largest["rss_mib"]:.1f} MiB (`{largest["name"]}`)',
                  largest['rss_mib'] <= RSS_LIMIT_MIB))
    per_file = small['median'] / machine['small_files'] * 1e6
    cp_per_file = small_cp['median'] / machine['small_files'] * 1e6
    goals.append((f'{machine["small_files"]} small .gz files in one run: under {PER_FILE_LIMIT_US:g} µs per file',
                  f'{per_file:.0f} µs per file (`cp` of them: {cp_per_file:.0f} µs)', per_file < PER_FILE_LIMIT_US))
    return goals


def cells(row):
    ratio = lambda value: '–' if value is None else f'{value:.2f}x'
    return [f'`{row["name"]}`', f'{row["median"]:.3f}', ratio(row['x_igzip']), ratio(row['x_cp']),
            f'{row["rss_mib"]:.1f}']


HEADER = ['Command', 'Median s', 'vs igzip -t', 'vs cp', 'Peak RSS MiB']
GOAL_HEADER = ['Goal', 'Measured', 'Result']
RATIO_NOTE = ('Medians of all runs of all rounds. Ratios are of medians: the 300 MB rows against '
              '`igzip -t data.tar.gz`, the binary set\'s against `igzip -t bin.tar.gz`; the BGZF and cat rows against `igzip -t` of the same file; the `--no-verify` rows against `cp data.zip`, the small files '
              'against `cp` of the same files.')


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
        if row['name'].startswith('quorvexa'):
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
