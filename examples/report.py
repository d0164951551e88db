"""A small report job: sales read from CSV, summed up with statistics,
written as JSON. Its time goes mostly into the standard library; try

    python -m spantree examples/report.py

to see which of its own functions spent it."""

import csv
import io
import json
import random
import statistics
from fractions import Fraction


def make_sales(count, seed=7):
    rng = random.Random(seed)
    out = io.StringIO()
    writer = csv.writer(out)
    writer.writerow(["region", "product", "amount"])
    for _ in range(count):
        writer.writerow([rng.choice("NESW"), f"p{rng.randrange(40)}", f"{rng.uniform(1, 500):.2f}"])
    return out.getvalue()


def parse_row(row):
    region = row["region"].strip().upper()
    if region not in ("N", "E", "S", "W"):
        raise ValueError(f"unknown region {region!r}")
    whole, _, cents = row["amount"].partition(".")
    return region, row["product"].strip(), Fraction(int(whole) * 100 + int(cents), 100)


def read_sales(text):
    return [parse_row(row) for row in csv.DictReader(io.StringIO(text))]


def by_region(sales):
    regions = {}
    for region, _, amount in sales:
        regions.setdefault(region, []).append(amount)
    return regions


def summarize(regions):
    return {region: {"sales": len(amounts), "mean": float(statistics.mean(amounts)),
                     "median": float(statistics.median(amounts)), "stdev": float(statistics.stdev(amounts))}
            for region, amounts in sorted(regions.items())}


def top_products(sales, n=3):
    totals = {}
    for _, product, amount in sales:
        totals[product] = totals.get(product, 0) + amount
    return sorted(totals, key=lambda product: -totals[product])[:n]


def main():
    sales = read_sales(make_sales(4000))
    report = {"regions": summarize(by_region(sales)), "top": top_products(sales)}
    text = json.dumps(report, indent=2)
    assert json.loads(text) == report
    print(f"{len(sales)} sales in {len(report['regions'])} regions; top products {', '.join(report['top'])}")


if __name__ == "__main__":
    main()
