"""Quenlo SDK: clients for the VELM data-pipeline engine.

The REST client is the compiled module :mod:`quenlo.sdk.velm_api`; the engine simulator for tests and
demonstrations is :mod:`quenlo.sdk.simulator` (install the ``simulator`` extra).
"""

__version__ = "0.1.0"
