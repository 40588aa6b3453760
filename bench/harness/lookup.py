"""Reading the nested results, where any part may be missing or may be an error."""


def value_at(mapping, *keys):
    """mapping[k1][k2]..., or None as soon as a key is missing."""
    for key in keys:
        if not isinstance(mapping, dict) or key not in mapping:
            return None
        mapping = mapping[key]
    return mapping
