"""Compiles a few expressions once and evaluates them against an order document held as Python objects."""
import zarnu

order = {
    "id": "order-1042",
    "customer": {"name": "Ada Lovelace", "email": "ada@example.org"},
    "lines": [
        {"sku": "HAT-01", "title": "Bowler hat", "price": 34.45, "quantity": 2},
        {"sku": "CLK-07", "title": "Cloak", "price": 107.99, "quantity": 1},
        {"sku": "UMB-03", "title": "Umbrella", "price": 12.5, "quantity": 4},
    ],
}

queries = {
    "customer": "customer.name",
    "titles": "lines.title",
    "expensive lines": "lines[price > 20].sku",
    "line totals": 'lines.{"sku": sku, "total": price * quantity}',
    "with a binding": 'lines[quantity >= $least].title',
    "order total": '$formatNumber($sum(lines.(price * quantity)), "#,##0.00")',
    "grouped": 'lines{$uppercase($substring(sku, 0, 3)): quantity}',
}

for label, source in queries.items():
    expression = zarnu.Expression(source)
    print(f"{label:16} {source}")
    print(f"{'':16} -> {expression.evaluate(order, {'least': 2})}")

try:
    zarnu.Expression('lines.price + "€"').evaluate(order)
except zarnu.ZarnuError as error:
    print(f"error {error.code} at characters {error.start}..{error.end}: {error}")
