"""The decision service: the engine over HTTP, for callers in any language.

``ostrel-quorvane serve`` runs it on an ASGI server; :func:`create_app` (in
:mod:`ostrel_quorvane.service.app`) builds the application for any other. It is stateless apart
from its store, so as many replicas as the load needs can run behind a load balancer, all sharing
one PostgreSQL store. The service's packages are an extra: ``pip install
'ostrel-quorvane[service]'``; the command-line tool does not need them for anything else.
"""
