"""What a Python user pays for a query: zarnu's `evaluate` against the same query written by hand in Python
and against the tools a Python user would pick instead (JMESPath, jq's Python binding), on two shapes of
Python objects: one account of 2,000 orders holding 5,028 products, and a catalogue of 2,000 wide records (a
dozen fields of mixed types, nested arrays, non-ASCII text). Every tool takes the Python document and gives
Python objects back. Prints the time of each and the ratios measured in the same run.

With --json MB, it then times JSON text: `evaluate_json` against json.loads, orjson and pysimdjson followed by
the same query in Python, on MB megabytes of records, and the throughput of `evaluate_json`,
`evaluate_document` and `evaluate` from 8 threads against one thread.

Each query's `evaluate` is also timed with mimalloc preloaded in a worker process (benchmarks/ceiling.py)
and shown as a ratio to that allocator ceiling.

Run: PYTHONPATH=build/python python3 benchmarks/bench_python.py [--repeat N] [--orders N] [--json MB]
"""

import argparse
import json
import random
import sys
import threading
import time

import zarnu
from ceiling import WORKER_FLAG, Ceiling, best_time, ratio_text, serve

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


CITIES = ["Zürich", "Kraków", "São Paulo", "東京", "Αθήνα", "Reykjavík", "Montréal", "İstanbul"]
WORDS = ["rouge", "grün", "синий", "amarillo", "café", "naïve", "smörgåsbord", "piñata", "日本", "crème"]


def catalogue(records):
    """A catalogue of wide records: a dozen fields each (ints, floats, booleans, null, non-ASCII strings, a
    nested record, arrays of strings, of numbers and of records)."""
    values = random.Random(19)
    items = []
    for i in range(records):
        items.append({
            "id": 10000 + i,
            "name": f"{values.choice(WORDS)} {values.choice(WORDS)} №{i}",
            "price": round(values.uniform(1, 80), 2),
            "inStock": values.random() < 0.7,
            "discount": None if values.random() < 0.5 else round(values.uniform(0.05, 0.4), 2),
            "tags": [values.choice(WORDS) for _ in range(values.randint(1, 5))],
            "ratings": [values.randint(1, 5) for _ in range(values.randint(0, 6))],
            "maker": {"name": f"Maker {values.randint(1, 90)}", "city": values.choice(CITIES),
                      "founded": values.randint(1850, 2020)},
            "stock": [{"city": values.choice(CITIES), "count": values.randint(0, 500)}
                      for _ in range(values.randint(1, 3))],
            "weight": round(values.uniform(0.1, 25.0), 3),
            "sku": f"SK-{i * 7919 % 1000003:07d}",
            "description": " ".join(values.choice(WORDS) for _ in range(values.randint(3, 12))),
        })
    return {"catalogue": {"title": "Frühjahr", "items": items}}


QUERIES_CATALOGUE = [
    {
        "name": "path",
        "zarnu": "catalogue.items.price",
        "python": lambda doc: [r["price"] for r in doc["catalogue"]["items"]],
        "jmespath": "catalogue.items[].price",
        "jq": "[.catalogue.items[].price]",
    },
    {
        "name": "filter",
        "zarnu": "catalogue.items[price > 30].name",
        "python": lambda doc: [r["name"] for r in doc["catalogue"]["items"] if r["price"] > 30],
        "jmespath": "catalogue.items[?price > `30`].name",
        "jq": "[.catalogue.items[] | select(.price > 30) | .name]",
    },
    {
        "name": "object constructor",
        "zarnu": 'catalogue.items.{"id": sku, "first": stock[0].city}',
        "python": lambda doc: [
            {"id": r["sku"], "first": r["stock"][0]["city"]} for r in doc["catalogue"]["items"]
        ],
        "jmespath": "catalogue.items[].{id: sku, first: stock[0].city}",
        "jq": "[.catalogue.items[] | {id: .sku, first: .stock[0].city}]",
    },
]

# How much slower than the hand-written Python each kind of query may be.
GOALS = {"path": 1.5, "filter": 2.0, "object constructor": 2.0}

# Each data shape: how it is made (from the --orders count) and the queries run over it.
SHAPES = {"account": (account, QUERIES), "catalogue": (catalogue, QUERIES_CATALOGUE)}


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


def records_text(megabytes):
    """JSON text of invoice-like records, about `megabytes` long."""
    values = random.Random(11)
    records = []
    size = 0
    while size < megabytes << 20:
        record = {
            "id": len(records),
            "number": f"INV-{len(records):07d}",
            "status": values.choice(["paid", "open", "overdue"]),
            "customer": {"id": values.randint(1, 700), "name": f"Customer {values.randint(1, 700)}",
                         "country": values.choice(["DE", "FR", "US", "JP", "BR"])},
            "total": round(values.uniform(10, 5000), 2),
            "lines": [{"sku": f"SKU-{values.randint(1, 300)}", "quantity": values.randint(1, 9),
                       "price": round(values.uniform(1, 500), 2)} for _ in range(values.randint(1, 4))],
        }
        records.append(record)
        size += len(json.dumps(record)) + 2
    return json.dumps({"invoices": records})


def throughput(run, threads, seconds=2.0):
    """Calls of `run` per second, from `threads` threads together."""
    counts = [0] * threads
    stop = time.perf_counter() + seconds

    def loop(k):
        while time.perf_counter() < stop:
            run()
            counts[k] += 1

    workers = [threading.Thread(target=loop, args=(k,)) for k in range(threads)]
    start = time.perf_counter()
    for w in workers:
        w.start()
    for w in workers:
        w.join()
    return sum(counts) / (time.perf_counter() - start)


def json_section(megabytes, repeat):
    text = records_text(megabytes)
    source = "invoices[total > 2500].number"
    by_hand = lambda doc: [r["number"] for r in doc["invoices"] if r["total"] > 2500]
    expression = zarnu.Expression(source)
    tools = {"zarnu evaluate_json": lambda: json.loads(expression.evaluate_json(text)),
             "json.loads + Python": lambda: by_hand(json.loads(text))}
    try:
        import orjson
        tools["orjson + Python"] = lambda: by_hand(orjson.loads(text))
    except ImportError:
        pass
    try:
        import simdjson
        parser = simdjson.Parser()
        tools["pysimdjson + Python"] = lambda: by_hand(parser.parse(text.encode()).as_dict())
    except ImportError:
        pass
    expected = by_hand(json.loads(text))
    for name, run in tools.items():
        if run() != expected:
            raise SystemExit(f"{name} gives another result")
    times = {name: best_time(run, repeat) for name, run in tools.items()}
    print(f"\n{len(text) / 2**20:.0f} MB of JSON records: {source}")
    for name, seconds in times.items():
        ratio = "" if name.startswith("zarnu") else f"   {name} / zarnu = {seconds / times['zarnu evaluate_json']:6.2f}"
        print(f"  {name:22} {seconds * 1e3:9.1f} ms{ratio}")

    small = records_text(2)
    document = zarnu.Document.from_json(small)
    objects = json.loads(small)
    print("\nthroughput from 8 threads / one thread (2 MB of records):")
    for name, run in [("evaluate_json", lambda: expression.evaluate_json(small)),
                      ("evaluate_document", lambda: expression.evaluate_document(document)),
                      ("evaluate", lambda: expression.evaluate(objects)),
                      # The same query written in Python: how far the interpreter itself scales.
                      ("hand-written Python", lambda: by_hand(objects))]:
        one = throughput(run, 1)
        eight = throughput(run, 8)
        print(f"  {name:19} {one:8.0f}/s   8 threads {eight:8.0f}/s   ratio {eight / one:5.2f}")


def main():
    worker = WORKER_FLAG in sys.argv
    if worker:
        sys.argv.remove(WORKER_FLAG)
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=50)
    parser.add_argument("--orders", type=int, default=2000)
    parser.add_argument("--json", type=int, default=0, metavar="MB")
    arguments = parser.parse_args()
    docs = {shape: make(arguments.orders) for shape, (make, queries) in SHAPES.items()}
    steps = {f"{shape}, {query['name']}": runners(query, docs[shape])["zarnu"]
             for shape, (make, queries) in SHAPES.items() for query in queries}
    if worker:
        return serve(steps)
    ceiling = Ceiling(sys.argv)
    products = sum(len(o["Product"]) for o in docs["account"]["Account"]["Order"])
    print(f"zarnu {zarnu.__version__}, Python {sys.version.split()[0]}, {arguments.orders} orders, "
          f"{products} products, {arguments.orders} catalogue records, best of {arguments.repeat} runs")
    print(f"  ({ceiling.note})")
    for missing, name in [(jmespath, "jmespath"), (jq, "jq")]:
        if missing is None:
            print(f"  ({name} is not installed: `make bench` installs it)")
    targets_met = True
    for shape, (make, queries) in SHAPES.items():
        doc = docs[shape]
        for query in queries:
            tools = runners(query, doc)
            expected = tools["python"]()
            for name, run in tools.items():
                if run() != expected:
                    raise SystemExit(f"{name} gives another result for the {query['name']} query")
            step = f"{shape}, {query['name']}"
            here, limit = ceiling.pair(step, steps[step], arguments.repeat)
            times = {name: here if name == "zarnu" else best_time(run, arguments.repeat) for name, run in tools.items()}
            print(f"\n{step}: {query['zarnu']}")
            for name, seconds in times.items():
                ratio = ratio_text(here, limit) if name == "zarnu" else f"   zarnu / {name} = {times['zarnu'] / seconds:6.2f}"
                print(f"  {name:9} {seconds * 1e3:9.3f} ms{ratio}")
            if times["zarnu"] > GOALS[query["name"]] * times["python"]:
                targets_met = False
            if "jmespath" in times and times["jmespath"] < 5 * times["zarnu"]:
                targets_met = False
    print("\ntargets (paths within 1.5x of Python, filters and constructors within 2x, and 5x faster than "
          "JMESPath on every query):",
          "met" if targets_met else "not met")
    ceiling.close()
    if arguments.json:
        json_section(arguments.json, max(3, arguments.repeat // 10))


if __name__ == "__main__":
    main()
