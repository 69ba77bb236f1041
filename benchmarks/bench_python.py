"""What a Python user pays for a query: zarnu's `evaluate` against the same query written by hand in Python
and against the tools a Python user would pick instead (JMESPath, jq's Python binding), on one document of
10,000 invoice-like records held as Python objects. Every tool takes the Python document and gives Python
objects back. Prints the time of each and zarnu's ratio to it (below 1: zarnu is faster).

Run: PYTHONPATH=build/python python3 benchmarks/bench_python.py [--repeat N] [--records N]
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

COUNTRIES = ["DE", "FR", "US", "JP", "BR"]
STATUSES = ["paid", "open", "overdue"]


def invoices(count):
    random.seed(7)
    return {
        "invoices": [
            {
                "id": i,
                "number": f"INV-{i:06d}",
                "date": f"2024-{1 + i % 12:02d}-{1 + i % 28:02d}",
                "status": random.choice(STATUSES),
                "customer": {"id": i % 700, "name": f"Customer {i % 700}", "country": random.choice(COUNTRIES)},
                "total": round(random.uniform(10, 5000), 2),
                "currency": "EUR",
                "lines": [
                    {"sku": f"SKU-{(i + j) % 300}", "quantity": 1 + j, "price": round(9.99 * (1 + j), 2)}
                    for j in range(3)
                ],
            }
            for i in range(count)
        ]
    }


# Each query in every tool's language, and by hand.
QUERIES = [
    {
        "name": "path",
        "zarnu": "invoices.customer.name",
        "python": lambda doc: [r["customer"]["name"] for r in doc["invoices"]],
        "jmespath": "invoices[].customer.name",
        "jq": "[.invoices[].customer.name]",
    },
    {
        "name": "filter",
        "zarnu": "invoices[total > 2500].number",
        "python": lambda doc: [r["number"] for r in doc["invoices"] if r["total"] > 2500],
        "jmespath": "invoices[?total > `2500`].number",
        "jq": "[.invoices[] | select(.total > 2500) | .number]",
    },
    {
        "name": "object constructor",
        "zarnu": 'invoices.{"number": number, "customer": customer.name, "total": total}',
        "python": lambda doc: [
            {"number": r["number"], "customer": r["customer"]["name"], "total": r["total"]} for r in doc["invoices"]
        ],
        "jmespath": "invoices[].{number: number, customer: customer.name, total: total}",
        "jq": "[.invoices[] | {number: .number, customer: .customer.name, total: .total}]",
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
    parser.add_argument("--repeat", type=int, default=15)
    parser.add_argument("--records", type=int, default=10000)
    arguments = parser.parse_args()
    doc = invoices(arguments.records)
    print(f"zarnu {zarnu.__version__}, Python {sys.version.split()[0]}, {arguments.records} records, "
          f"best of {arguments.repeat} runs")
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
        if query["name"] == "path" and times["zarnu"] > 2 * times["python"]:
            targets_met = False
        if any(times["zarnu"] >= times[name] for name in ("jmespath", "jq") if name in times):
            targets_met = False
    print("\ntargets (path within 2x of Python; faster than JMESPath and jq on every query):",
          "met" if targets_met else "not met")


if __name__ == "__main__":
    main()
