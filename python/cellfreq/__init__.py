from ._core import run, version, Failure  # placeholder until the package lands
