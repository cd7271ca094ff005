"""Private package index for tests (see index.py)."""
