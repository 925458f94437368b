"""Daemon threads still inside the module when the interpreter exits.

Up to 3.13, CPython ends such a thread with a forced unwind as soon as it asks
for the interpreter lock again, wherever it is: here, in the middle of a
conversion that calls back into Python for every item, and between reads of
a big graph. Every native frame on the way must let that unwind pass; a
swallowed unwind or a noexcept frame aborts the process.
"""

import subprocess
import sys

CHILD = r"""
import collections.abc, gc, threading, time, tessarin

class Items(collections.abc.Sequence):
    # Not a list: each item is fetched through Python code, so the thread
    # keeps handing the interpreter lock over while deep in the conversion.
    def __len__(self):
        return 10**7
    def __getitem__(self, i):
        if i >= 10**7:
            raise IndexError(i)
        return i

config = tessarin.ModelConfig("layer", "1.0.0").with_param("w", list(range(1000)))
graph = tessarin.BuildGraph()
for i in range(1000):
    graph.add_node("n%d" % i, config)

ready = threading.Barrier(6)

def convert():
    ready.wait()
    while True:
        tessarin.ModelConfig("c", "1").with_param("k", Items())

def read_nodes():
    ready.wait()
    while True:
        assert len(graph.nodes) == 1000

class Linger:
    # Collected by the interpreter's last garbage collection, once it is
    # finalizing: the pause hands the lock over, and every daemon thread
    # that takes it then is ended where it stands.
    def __del__(self, sleep=time.sleep):
        sleep(0.2)

gc.disable()  # so that only the final collection finds the cycle
linger = Linger()
linger.cycle = linger
del linger

for target in (convert, convert, convert, read_nodes, read_nodes):
    threading.Thread(target=target, daemon=True).start()
ready.wait()
time.sleep(0.2)
print("main thread ends", flush=True)
"""


def test_daemon_threads_inside_the_module_at_exit():
    outcomes = []
    for _ in range(3):
        children = [
            subprocess.Popen([sys.executable, "-c", CHILD], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
            for _ in range(5)
        ]
        for child in children:
            try:
                out, err = child.communicate(timeout=120)
            except subprocess.TimeoutExpired:
                child.kill()
                out, err = child.communicate()
                err = "timed out\n" + err
            outcomes.append((child.returncode, out, err))
    assert outcomes == [(0, "main thread ends\n", "")] * 15
