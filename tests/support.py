"""Helpers shared by the test modules."""

import collections.abc


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
