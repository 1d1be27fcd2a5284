"""Type stubs for _brivane_internal, created by _brivane at import."""

class InternalFault(BaseException):
    """Raised when native code called from Python fails unrecoverably."""
