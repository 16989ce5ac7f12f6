#!/usr/bin/env python3
"""Writes a large synthetic exchange-schedule snapshot for the read benchmark.

The output is deterministic for a given seed and set of options. Its shape
follows real snapshots: 1472 tiles, many phases, mostly short Word32 payloads
to one receiver, some Paired64 payloads, a few repeats and multicasts.

    python3 bench/gen_large_snapshot.py /tmp/large-snapshot.json
    python3 bench/gen_large_snapshot.py --compact --megabytes 150 /tmp/compact.json

The layout is the exporter's (one-space indentation) unless --compact is given.
"""

import argparse
import random
import sys

TILE_COUNT = 1472
MAX_WORDS = 4148
TILE_MEMORY = 0x80000  # bytes addressed per tile


def choose(rng, weighted):
    """One value of [(value, weight), ...]."""
    x = rng.random() * sum(w for _, w in weighted)
    for value, weight in weighted:
        x -= weight
        if x < 0:
            return value
    return weighted[-1][0]


def random_transfer(rng):
    paired = rng.random() < 0.12
    # Mostly a few words, sometimes up to the largest payload.
    if rng.random() < 0.97:
        words = min(MAX_WORDS, 1 + int(rng.expovariate(1 / 24)))
    else:
        words = rng.randint(1, MAX_WORDS)
    align = 8 if paired else 4
    if paired:
        words = max(2, words + (words & 1))
        words = min(words, MAX_WORDS)
    span = words * 4

    def address():
        return rng.randrange(0, TILE_MEMORY - span, align) if span < TILE_MEMORY else 0

    source = rng.randrange(TILE_COUNT)
    repeats = choose(rng, [(1, 80), (2, 15), (3, 5)])
    receivers = choose(rng, [(1, 85), (2, 8), (3, 4), (4, 3)])
    tiles = set()
    while len(tiles) < receivers:
        tile = rng.randrange(TILE_COUNT)
        if tile != source:
            tiles.add(tile)
    return (source, [address() for _ in range(repeats)],
            [(tile, address()) for tile in sorted(tiles, key=lambda _: rng.random())],
            words, "Paired64" if paired else "Word32")


def pretty_transfer(t):
    source, addresses, destinations, words, width = t
    lines = ['    {', f'     "source": {source},', '     "source_addresses": [']
    lines.append(',\n'.join(f'      {a}' for a in addresses))
    lines.append('     ],\n     "destinations": [')
    lines.append(',\n'.join(f'      {{\n       "tile": {tile},\n       "address": {a}\n      }}'
                            for tile, a in destinations))
    lines.append(f'     ],\n     "words": {words},\n     "width": "{width}"\n    }}')
    return '\n'.join(lines)


def compact_transfer(t):
    source, addresses, destinations, words, width = t
    return ('{"source":%d,"source_addresses":[%s],"destinations":[%s],"words":%d,"width":"%s"}'
            % (source, ','.join(map(str, addresses)),
               ','.join('{"tile":%d,"address":%d}' % d for d in destinations), words, width))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument('output', help='path of the snapshot to write')
    parser.add_argument('--megabytes', type=float, default=110, help='approximate size (default 110)')
    parser.add_argument('--phases', type=int, default=64, help='number of phases (default 64)')
    parser.add_argument('--seed', type=int, default=1, help='random seed (default 1)')
    parser.add_argument('--compact', action='store_true', help='no whitespace')
    args = parser.parse_args()

    rng = random.Random(args.seed)
    per_phase = args.megabytes * 1e6 / args.phases
    transfer_text = compact_transfer if args.compact else pretty_transfer
    written = 0
    transfers = 0
    with open(args.output, 'w', encoding='ascii', newline='\n') as out:
        def write(text):
            nonlocal written
            out.write(text)
            written += len(text)

        if args.compact:
            write('{"schema_version":3,"tile_count":%d,"phases":[' % TILE_COUNT)
        else:
            write('{\n "schema_version": 3,\n "tile_count": %d,\n "phases": [\n' % TILE_COUNT)
        for index in range(args.phases):
            phase_id = 2 * index + 1
            if args.compact:
                write('%s{"phase":%d,"transfers":[' % (',' if index else '', phase_id))
            else:
                write('%s  {\n   "phase": %d,\n   "transfers": [\n' % (',\n' if index else '', phase_id))
            # Phases differ in size, as real ones do.
            budget = written + per_phase * rng.uniform(0.5, 1.5) if index + 1 < args.phases \
                else args.megabytes * 1e6
            first = True
            while first or written < budget:
                write(('' if first else (',' if args.compact else ',\n')) + transfer_text(random_transfer(rng)))
                first = False
                transfers += 1
            write(']}' if args.compact else '\n   ]\n  }')
        write(']}' if args.compact else '\n ]\n}')
    print(f'{args.output}: {written / 1e6:.1f} MB, {args.phases} phases, {transfers} transfers', file=sys.stderr)


if __name__ == '__main__':
    main()
