"""Expecting failures, some of which come from documented assertion checks.

The whole suite also runs under ``python -O`` (tests/test_optimized.py).
Assertion checks are skipped there: a malformed input then fails in numpy with
an ordinary exception or returns, and never raises AssertionError or
SystemError, nor crashes.
"""

import sys

import pytest

OPTIMIZED = sys.flags.optimize > 0


def raises(error, call, text=None, from_assertion=None):
    """`call()` raises `error`, whose text is exactly `text` if given; returns the exception.

    `from_assertion`: the error comes from a documented assertion, failing or
    failing to evaluate its condition (by default: when `error` is
    AssertionError).  When assertions are off, the call must then return or
    raise anything but AssertionError or SystemError; the result is None then.
    """
    if from_assertion is None:
        from_assertion = error is AssertionError
    if OPTIMIZED and from_assertion:
        try:
            call()
        except (AssertionError, SystemError):
            raise
        except Exception:
            pass
        return None
    with pytest.raises(error) as raised:
        call()
    if text is not None:
        assert str(raised.value) == text
    return raised.value
