#!/usr/bin/env python3
"""Writes synthetic DNA as FASTA files, the same bytes on every run.

Usage: make-dna.py DIR [MEGABYTES]   (default 60)

Each file holds one or more sequences (">name description" and lines of
60, 70 or 80 bases). A sequence is unique stretches (AT-rich, CpG-poor
bases drawn in short words) mixed with what real genomes hold: copies of a
few repeat families at 2 to 25 % divergence, some reversed and complemented,
tandem repeats (microsatellites and longer units, a little mutated), blocks
copied from earlier in the sequence (segmental duplications), runs of N
(gaps of assembly) and a few lone N.
"""
import os
import random
import sys

BASES = "ACGT"
COMPLEMENT = str.maketrans("ACGTN", "TGCAN")


def word_table(rng):
    # Words of 4 bases weighted like a genome: AT-rich, "CG" rare.
    words, weights = [], []
    for i in range(256):
        w = "".join(BASES[(i >> s) & 3] for s in (6, 4, 2, 0))
        weight = 1.0
        for b in w:
            weight *= 0.29 if b in "AT" else 0.21
        weight *= 0.25 ** w.count("CG")
        weight *= rng.uniform(0.7, 1.3)
        words.append(w)
        weights.append(weight)
    return words, weights


def unique(rng, table, n):
    words, weights = table
    return "".join(rng.choices(words, weights, k=n // 4 + 1))[:n]


def mutate(rng, seq, rate):
    s = list(seq)
    for _ in range(int(len(s) * rate)):
        p = rng.randrange(len(s))
        r = rng.random()
        if r < 0.8:
            s[p] = rng.choice(BASES)
        elif r < 0.9:
            s[p] = ""
        else:
            s[p] += rng.choice(BASES)
    return "".join(s)


def sequence(rng, table, families, length):
    parts, size = [], 0
    while size < length:
        r = rng.random()
        if r < 0.45:
            part = unique(rng, table, rng.randint(200, 6000))
        elif r < 0.75:
            family = rng.choice(families)
            start = rng.randrange(len(family) // 2) if rng.random() < 0.5 else 0
            part = mutate(rng, family[start:], rng.uniform(0.02, 0.25))
            if rng.random() < 0.5:
                part = part.translate(COMPLEMENT)[::-1]
        elif r < 0.87:
            unit = unique(rng, table, rng.choice((1, 2, 2, 3, 4, 5, 6, 12, 30, 171)))
            part = mutate(rng, unit * rng.randint(5, 3000 // len(unit) + 5), 0.03)
        elif r < 0.95 and size > 20000:
            joined = "".join(parts[-200:])
            start = rng.randrange(len(joined) - 1000)
            part = mutate(rng, joined[start:start + rng.randint(1000, 15000)], rng.uniform(0.005, 0.05))
        elif r < 0.985:
            part = unique(rng, table, rng.randint(50, 500))
            p = rng.randrange(len(part))
            part = part[:p] + "N" + part[p + 1:]
        else:
            part = "N" * rng.choice((100, 1000, 5000, 10000, 50000))
        parts.append(part)
        size += len(part)
    return "".join(parts)[:length]


def main():
    out = sys.argv[1]
    megabytes = float(sys.argv[2]) if len(sys.argv) > 2 else 60.0
    rng = random.Random(20260214)
    table = word_table(rng)
    families = [unique(rng, table, n) for n in (300, 310, 1000, 2400, 6000, 6200)]
    os.makedirs(out, exist_ok=True)
    # Files of varied size, as a genome's chromosomes and contigs are.
    shares = [0.22, 0.17, 0.14, 0.11, 0.09, 0.07, 0.06, 0.05, 0.04, 0.03, 0.02]
    total = megabytes * 1e6
    for i, share in enumerate(shares):
        width = (60, 70, 80)[i % 3]
        pieces = 1 if share > 0.05 else 1 + i % 4
        with open(os.path.join(out, "chr%02d.fa" % (i + 1)), "w") as f:
            for k in range(pieces):
                bases = int(total * share / pieces * 60 / 61)
                f.write(">chr%d_%d synthetic assembly, %d bp\n" % (i + 1, k + 1, bases))
                seq = sequence(rng, table, families, bases)
                for p in range(0, len(seq), width):
                    f.write(seq[p:p + width])
                    f.write("\n")


if __name__ == "__main__":
    main()
