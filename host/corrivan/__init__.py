"""A small pipeline host: keeps a table of compiled ops and runs them on payload dicts.

Op modules register themselves at import through the capsule ``_register_op_capsule``.
"""

from corrivan._host import _register_op_capsule, call, ops, registrations, run

__all__ = ["call", "run", "ops", "registrations"]
