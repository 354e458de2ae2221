"""An authorization-judgment engine.

A request is described as a :class:`ProofContext` and compiled against an ordered,
content-addressed :class:`PermissionChain` into a judgment: one permission level, a step-by-step
derivation of why, and a provenance hash that binds the judgment to the request. The engine is
the extension module ``_ostrel_quorvane``; this package re-exports its names and adds judging as
of a moment (:func:`compile_at`, :func:`compile_static_at`, :func:`compose_at`), the request
file format (:mod:`ostrel_quorvane.request`) and the command-line tool (``ostrel-quorvane``).
Importing it makes every value class picklable (:mod:`ostrel_quorvane.pickling`).
"""

import _ostrel_quorvane
from _ostrel_quorvane import *  # noqa: F403  (the names are listed in the module's __all__)

from ostrel_quorvane import pickling  # noqa: F401  (registers the pickle reducers)
from ostrel_quorvane.asof import compile_at, compile_static_at, compose_at

__version__ = "0.2.0"

__all__ = ["__version__", "compile_at", "compile_static_at", "compose_at"]
__all__ += _ostrel_quorvane.__all__
