"""Objects shared between threads: a call that meets another thread's access
waits for it; a thread never waits on itself.

tessarin._access_waiters(obj), a private count of the threads waiting for
obj right now, lets a test go on exactly when a thread waits, without
sleeping. A test that would deadlock fails by a join timeout instead.
"""

import collections
import threading
import time

import tessarin
from tessarin import ModelConfig

LIMIT = 10  # seconds, for every join and every spin


def spin_until(condition):
    deadline = time.monotonic() + LIMIT
    while not condition():
        assert time.monotonic() < deadline, "timed out"


def test_readers_and_writers_wait_for_a_conversion_on_another_thread():
    config = ModelConfig("c", "1")
    readers, writers, rounds = 3, 3, 20
    inside = threading.Event()
    states, failures = [], []

    class Held(collections.UserDict):
        # A Python-level mapping: its conversion calls keys(), which lets
        # every other thread make its first call and wait for this one.
        def keys(self):
            inside.set()
            spin_until(lambda: tessarin._access_waiters(config) == readers + writers)
            return super().keys()

    converted = {"a": 1, "b": [2, 3]}

    def thread(body):
        def run():
            try:
                body()
            except BaseException as e:
                failures.append(e)

        return threading.Thread(target=run, daemon=True)

    def read():
        assert inside.wait(LIMIT)
        states.extend(config.params for _ in range(rounds))

    def write(w):
        assert inside.wait(LIMIT)
        states.extend(config.with_param(f"w{w}.{i}", i).params for i in range(rounds))

    threads = [thread(lambda: states.append(config.with_param("m", Held(converted)).params))]
    threads += [thread(read) for _ in range(readers)]
    threads += [thread(lambda w=w: write(w)) for w in range(writers)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(LIMIT)
    assert not any(t.is_alive() for t in threads)
    assert failures == []

    # As if the calls had run one at a time: every state seen (a read, or
    # the copy a write returns) contains the one before it.
    assert len(states) == 1 + (readers + writers) * rounds
    states.sort(key=len)
    for before, after in zip(states, states[1:]):
        assert before.items() <= after.items()
    written = {f"w{w}.{i}": i for w in range(writers) for i in range(rounds)}
    assert config.params == states[-1] == {"m": converted, **written}


def test_nested_read_goes_ahead_of_a_waiting_writer():
    config = ModelConfig("c", "1").with_param("a", 1)
    seen, armed = [], [True]
    writer = threading.Thread(target=lambda: seen.append(config.with_param("b", 2).params), daemon=True)

    class Meta(type):
        # The name of a wrong argument's type, looked up for param()'s
        # TypeError while param() holds shared access to the configuration.
        @property
        def __name__(cls):
            if armed and armed.pop():
                writer.start()
                spin_until(lambda: tessarin._access_waiters(config) == 1)
                seen.append(config.params)
            return "Key"

    class Key(metaclass=Meta):
        pass

    def read():
        try:
            config.param(Key())
        except TypeError as e:
            seen.append(str(e))

    reader = threading.Thread(target=read, daemon=True)
    reader.start()
    reader.join(LIMIT)
    writer.join(LIMIT)
    assert not reader.is_alive() and not writer.is_alive()
    assert seen == [{"a": 1}, "param() argument 'key' must be str, not Key", {"a": 1, "b": 2}]
