"""Walks over unified documents shared by the resource and real-format tests."""


def keys_deep(value):
    """Every mapping key at any depth."""
    if isinstance(value, dict):
        for key, item in value.items():
            yield key
            yield from keys_deep(item)
    elif isinstance(value, list):
        for item in value:
            yield from keys_deep(item)


def texts_deep(value):
    """Every key and every text value, at any depth."""
    yield from keys_deep(value)
    items = value.values() if isinstance(value, dict) else value if isinstance(value, list) else []
    for item in items:
        if isinstance(item, (dict, list)):
            yield from texts_deep(item)
        elif isinstance(item, str):
            yield item
