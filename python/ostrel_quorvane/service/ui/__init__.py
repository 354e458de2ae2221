"""The decision log in a browser: read-only pages under /ui/, rendered on the server, for the
people who read the log rather than call the API. Served only by a service with a store."""

from ostrel_quorvane.service.ui.pages import Pages

__all__ = ["Pages"]
