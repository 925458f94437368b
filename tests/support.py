"""Helpers shared by the test modules."""

import collections.abc
import os

import pytest

# scripts/test.sh sets this for the run against the AddressSanitizer build.
UNDER_ASAN = os.environ.get("TESSARIN_SANITIZER") == "address"

# Under emulation (scripts/aarch64.sh sets it to 4) everything runs many times
# slower: the limits on how long a correct run may take are multiplied by it.
TIME_SCALE = float(os.environ.get("TESSARIN_TEST_TIME_SCALE", "1"))


def not_under_asan(reason):
    """Skips a test that cannot work in the AddressSanitizer build."""
    return pytest.mark.skipif(UNDER_ASAN, reason="AddressSanitizer build: " + reason)


class Hook:
    """A registered Sequence whose __len__ runs a callback: converting it
    runs user code in the middle of a call, which is how re-entrant use of
    an object is provoked."""

    def __init__(self, callback):
        self.callback = callback

    def __len__(self):
        self.callback()
        return 0

    def __getitem__(self, i):
        raise IndexError


collections.abc.Sequence.register(Hook)
