"""What an audit costs next to the plain evaluation, and what compiling an expression costs from Python.

Audits run a filter over 2,000 orders held as Python objects at each level ("off", "decisions", "full", and
"full" within a small node limit) and print their time and their ratio to `evaluate` of the same query in
the same run. `evaluate_document` on the converted orders shows the evaluation without reading Python
objects. `evaluate` takes its direct road for this query; the general road, which an audit follows node by
node, is timed beside it and the audits are measured against both. Then `Expression(source)` for a
200-character expression, discarded at once and kept alive.

Run: PYTHONPATH=build/python python3 benchmarks/bench_audit.py [--repeat N] [--orders N]
"""

import argparse
import os
import random
import time

import zarnu

FILTER = "Account.Order.Product[Price > 30].SKU"
MAP = "$map(Account.Order, function($o){ $count($o.Product) > 2 ? $o.OrderID : null })"
SOURCE = (
    'Account.Order[OrderID != "x"].Product[Price > 30 and Quantity >= 2].{"name": $uppercase($."Product Name"), '
    '"total": Price * Quantity, "f": function($x){ $x * 2 }(Price)}^(>total)[[0..9]]'
)


def orders(count):
    rng = random.Random(11)
    products = []
    for k in range(count):
        products.append(
            [
                {
                    "Product Name": f"Item {k}-{j}",
                    "ProductID": 1000 * k + j,
                    "SKU": f"{rng.randrange(10**7):07d}",
                    "Description": {"Colour": rng.choice(["Red", "Blue", "Black"]), "Weight": rng.uniform(0.1, 2)},
                    "Price": round(rng.uniform(5, 60), 2),
                    "Quantity": rng.randrange(1, 5),
                }
                for j in range(rng.randrange(1, 5))
            ]
        )
    order = [{"OrderID": f"order{k}", "Product": p} for k, p in enumerate(products)]
    return {"Account": {"Name": "Firefly", "Order": order}}


def best(run, repeat):
    """The fastest of `repeat` runs, in seconds."""
    times = []
    for _ in range(repeat):
        started = time.perf_counter()
        run()
        times.append(time.perf_counter() - started)
    return min(times)


def audits(doc, repeat):
    print(f"audit of {FILTER!r} over {len(doc['Account']['Order'])} orders")
    expression = zarnu.Expression(FILTER)
    plain = best(lambda: expression.evaluate(doc), repeat)
    # `evaluate` runs this query over Python objects directly; an audit follows every node of the general
    # evaluation, so that evaluation (the direct road switched off for this Expression) is its own measure.
    os.environ["ZARNU_DIRECT"] = "0"
    general_expression = zarnu.Expression(FILTER)
    del os.environ["ZARNU_DIRECT"]
    general = best(lambda: general_expression.evaluate(doc), repeat)
    document = zarnu.Document(doc)
    rows = [("evaluate", plain), ("evaluate, general road", general),
            ("evaluate_document", best(lambda: expression.evaluate_document(document), repeat))]
    for level in ("off", "decisions", "full"):
        rows.append((f"audit {level}", best(lambda: expression.evaluate_with_audit(doc, level=level), repeat)))
    small = {"max_nodes": 10}
    bounded = best(lambda: expression.evaluate_with_audit(doc, level="full", limits=small), repeat)
    rows.append(("audit full, max_nodes 10", bounded))
    mapped = zarnu.Expression(MAP)
    map_plain = best(lambda: mapped.evaluate(doc), repeat)
    map_full = best(lambda: mapped.evaluate_with_audit(doc, level="full", limits=small), repeat)
    for name, seconds in rows:
        print(f"  {name:28} {seconds * 1e3:9.3f} ms  {seconds / plain:7.1f}x evaluate"
              f"  {seconds / general:7.1f}x the general road")
    print(f"  $map, audit full, max_nodes 10 {map_full * 1e3:7.3f} ms  {map_full / map_plain:7.1f}x its evaluate")


def construction(repeat):
    count = 5000
    per_call = best(lambda: [zarnu.Expression(SOURCE) for _ in range(count)], repeat) / count
    kept = []
    per_kept = best(lambda: kept.extend(zarnu.Expression(SOURCE) for _ in range(count)), repeat) / count
    print(f"Expression(source), {len(SOURCE)} characters")
    print(f"  discarded at once {per_call * 1e6:8.2f} us")
    print(f"  kept alive        {per_kept * 1e6:8.2f} us")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--repeat", type=int, default=15)
    parser.add_argument("--orders", type=int, default=2000)
    args = parser.parse_args()
    audits(orders(args.orders), args.repeat)
    construction(max(3, args.repeat // 3))


if __name__ == "__main__":
    main()
