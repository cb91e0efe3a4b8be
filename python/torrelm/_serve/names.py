"""The names of the indexes a service serves: shared by its options and its holders, and so at
the bottom of the service's modules."""

import re

# The name of the one index of a service given a bare path.
DEFAULT_NAME = "default"
# Index names: safe in a query string, a metric label and a folder name; never "." or "..".
INDEX_NAME = re.compile(r"[A-Za-z0-9][A-Za-z0-9_.-]{0,63}")
