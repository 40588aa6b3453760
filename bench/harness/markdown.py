"""Markdown as the report writes it."""


def table(header, rows):
    """A Markdown table, and the blank line after it."""
    return ["| " + " | ".join(header) + " |", "|" + "---|" * len(header),
            *("| " + " | ".join(str(cell) for cell in row) + " |" for row in rows), ""]
