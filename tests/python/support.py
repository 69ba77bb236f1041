"""Helpers shared by the tests: deeply nested data built and measured without recursion."""


def nested(levels, innermost=None):
    """`levels` lists, each the only item of the one outside it; the innermost holds `innermost` if given."""
    value = [] if innermost is None else [innermost]
    for _ in range(levels - 1):
        value = [value]
    return value


def depth(value):
    """How many lists are nested in `value`, each holding at most one item."""
    levels = 0
    while isinstance(value, list):
        levels += 1
        assert len(value) <= 1
        value = value[0] if value else None
    return levels
