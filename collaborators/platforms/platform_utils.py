"""Platform helpers."""

import threading


def Lock():
    """Return a new plain (non-reentrant) lock, usable in a `with` block."""
    return threading.Lock()
