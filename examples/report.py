"""A small report generator: the kind of script whose imports tarnwick maps.

Try:  tarnwick-graph examples/report.py
"""

import argparse
import csv
import json
from collections import Counter
from pathlib import Path


def summarise(rows):
    return Counter(row["category"] for row in rows)


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("table", type=Path)
    args = parser.parse_args()
    with args.table.open(newline="") as f:
        rows = list(csv.DictReader(f))
    print(json.dumps(summarise(rows), indent=2))


if __name__ == "__main__":
    main()
