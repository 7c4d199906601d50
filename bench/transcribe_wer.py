#!/usr/bin/env python3
"""Word error rate of a transcript against a reference, both as plain words.

  transcribe_wer.py REFERENCE HYPOTHESIS

Each file holds words separated by white space; case is ignored. Prints
"errors reference_words wer" where errors is the least number of substitutions,
deletions and insertions that turn the reference into the hypothesis.
"""
import sys


def words(path):
    with open(path, encoding="utf-8") as text:
        return text.read().lower().split()


def edit_distance(reference, hypothesis):
    previous = list(range(len(hypothesis) + 1))
    for i, expected in enumerate(reference, 1):
        current = [i] + [0] * len(hypothesis)
        for j, heard in enumerate(hypothesis, 1):
            current[j] = min(previous[j] + 1, current[j - 1] + 1,
                             previous[j - 1] + (expected != heard))
        previous = current
    return previous[-1]


def main():
    reference, hypothesis = words(sys.argv[1]), words(sys.argv[2])
    errors = edit_distance(reference, hypothesis)
    print(f"{errors} {len(reference)} {errors / max(len(reference), 1):.4f}")


if __name__ == "__main__":
    main()
