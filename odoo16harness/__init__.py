"""Odoo 16 with PostgreSQL 15 for the test suites, benchmarks and scripts of this project (a
development package: the wheel a shop installs carries the routeweave module alone).

- ``runner``: the Odoo source, its Python, a private PostgreSQL cluster, installing and serving
- ``platform``: a test session's or a benchmark's Odoo: template databases, fresh copies,
  servers tied to one database each
- ``rpc``: records of a running server through JSON-RPC, shaped like an Odoo environment
"""
