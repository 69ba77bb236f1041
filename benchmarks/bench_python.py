"""What a Python user pays for a query: zarnu's `evaluate` against the same query written by hand in Python
and against the tools a Python user would pick instead (JMESPath, jq's Python binding), on one account of
2,000 orders holding 5,028 products, all Python objects. Every tool takes the Python document and gives
Python objects back. Prints the time of each and the ratios measured in the same run.

Run: PYTHONPATH=build/python python3 benchmarks/bench_python.py [--repeat N] [--orders N]
"""

import argparse
import random
import sys
import time

import zarnu

try:
    import jmespath
except ImportError:
    jmespath = None
try:
    import jq
except ImportError:
    jq = None

COLOURS = ["Purple", "Orange", "Black", "White", "Green"]


def account(orders):
    """An account whose orders hold one to four products each (5,028 products for 2,000 orders)."""
    counts = random.Random(72)
    values = random.Random(7)
    product_id = 0
    order_list = []
    for i in range(orders):
        products = []
        for _ in range(counts.randint(1, 4)):
            product_id += 1
            products.append({
                "Product Name": f"Product {product_id % 500}",
                "ProductID": 800000 + product_id,
                "SKU": f"{1000000 + product_id * 37 % 900000:07d}",
                "Description": {
                    "Colour": values.choice(COLOURS),
                    "Width": values.randint(100, 400),
                    "Height": values.randint(100, 400),
                    "Depth": values.randint(100, 400),
                    "Weight": round(values.uniform(0.1, 2.0), 2),
                },
                "Price": round(values.uniform(5, 120), 2),
                "Quantity": values.randint(1, 5),
            })
        order_list.append({"OrderID": f"order{103 + i}", "Product": products})
    return {"Account": {"Account Name": "Firefly", "Order": order_list}}


# Each query in every tool's language, and by hand.
QUERIES = [
    {
        "name": "path",
        "zarnu": "Account.Order.Product.Price",
        "python": lambda doc: [p["Price"] for o in doc["Account"]["Order"] for p in o["Product"]],
        "jmespath": "Account.Order[].Product[].Price",
        "jq": "[.Account.Order[].Product[].Price]",
    },
    {
        "name": "filter",
        "zarnu": "Account.Order.Product[Price > 30].SKU",
        "python": lambda doc: [
            p["SKU"] for o in doc["Account"]["Order"] for p in o["Product"] if p["Price"] > 30
        ],
        "jmespath": "Account.Order[].Product[?Price > `30`][].SKU",
        "jq": "[.Account.Order[].Product[] | select(.Price > 30) | .SKU]",
    },
    {
        "name": "object constructor",
        "zarnu": 'Account.Order.{"id": OrderID, "first": Product[0].SKU}',
        "python": lambda doc: [
            {"id": o["OrderID"], "first": o["Product"][0]["SKU"]} for o in doc["Account"]["Order"]
        ],
        "jmespath": "Account.Order[].{id: OrderID, first: Product[0].SKU}",
        "jq": "[.Account.Order[] | {id: .OrderID, first: .Product[0].SKU}]",
    },
]


def best_time(run, repeat):
    """The fastest of `repeat` runs, in seconds (the least disturbed by the rest of the machine)."""
    best = float("inf")
    for _ in range(repeat):
        start = time.perf_counter()
        run()
        best = min(best, time.perf_counter() - start)
    return best


def runners(query, doc):
    """The tools that are available, each as a function of no arguments giving the query's result."""
    expression = zarnu.Expression(query["zarnu"])
    tools = {
        "zarnu": lambda: expression.evaluate(doc),
        "python": lambda: query["python"](doc),
    }
    if jmespath:
        compiled = jmespath.compile(query["jmespath"])
        tools["jmespath"] = lambda: compiled.search(doc)
    if jq:
        program = jq.compile(query["jq"])
        tools["jq"] = lambda: program.input_value(doc).first()
    return tools


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=50)
    parser.add_argument("--orders", type=int, default=2000)
    arguments = parser.parse_args()
    doc = account(arguments.orders)
    products = sum(len(o["Product"]) for o in doc["Account"]["Order"])
    print(f"zarnu {zarnu.__version__}, Python {sys.version.split()[0]}, {arguments.orders} orders, "
          f"{products} products, best of {arguments.repeat} runs")
    for missing, name in [(jmespath, "jmespath"), (jq, "jq")]:
        if missing is None:
            print(f"  ({name} is not installed: `make bench` installs it)")
    targets_met = True
    for query in QUERIES:
        tools = runners(query, doc)
        expected = tools["python"]()
        for name, run in tools.items():
            if run() != expected:
                raise SystemExit(f"{name} gives another result for the {query['name']} query")
        times = {name: best_time(run, arguments.repeat) for name, run in tools.items()}
        print(f"\n{query['name']}: {query['zarnu']}")
        for name, seconds in times.items():
            ratio = "" if name == "zarnu" else f"   zarnu / {name} = {times['zarnu'] / seconds:6.2f}"
            print(f"  {name:9} {seconds * 1e3:9.3f} ms{ratio}")
        if times["zarnu"] > 2 * times["python"]:
            targets_met = False
        if "jmespath" in times and times["jmespath"] < 5 * times["zarnu"]:
            targets_met = False
    print("\ntargets (within 2x of Python and 5x faster than JMESPath on every query):",
          "met" if targets_met else "not met")


if __name__ == "__main__":
    main()
