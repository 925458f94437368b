# Deliberate misuses, for tests/test_typing.py. A line ending in a comment
# "flag: CHECKER[, CHECKER]" must be reported by each checker named there,
# and every other line by none. This file is only type-checked, never run.
import asyncio
from collections.abc import Mapping, Sequence

import tessarin

config = tessarin.ModelConfig("encoder", "1.0.0")
builder = tessarin.ModelConfigBuilder().name("encoder").version("1.0.0")
graph = tessarin.BuildGraph()
node = tessarin.GraphNode(tessarin.NodeId(1), "encoder", config)
ctx = tessarin.BuildContext(tessarin.NullBackend.cpu(), tessarin.InMemoryTraceSink())
pipeline = tessarin.BuildPipeline.standard()

# Accepted: the value alias is covariant, so typed containers pass.
widths: list[int] = [512, 2048]
rates: dict[str, float] = {"dropout": 0.1}
nested: Mapping[str, Sequence[tuple[int, str]]] = {"pairs": [(1, "a")]}
config.with_param("widths", widths).with_param("rates", rates).with_param("nested", nested)
builder.param("tags", frozenset({"a", "b"})).param("none", None).param("flag", True)
node.with_metadata("owner", {"team": ["vision", 3, 1.5, None]})

# Bad parameter values.
config.with_param("x", object())  # flag: mypy, pyright
config.with_param("x", 1j)  # flag: mypy, pyright
builder.param("x", {1: "int key"})  # flag: mypy, pyright
node.with_metadata("x", [b"ok", object()])  # flag: mypy, pyright

# Wrong argument types.
config.with_param(1, 2)  # flag: mypy, pyright
tessarin.ModelConfig("encoder", 1)  # flag: mypy, pyright
graph.add_node(config, "encoder")  # flag: mypy, pyright
graph.add_edge(1, 2)  # flag: mypy, pyright
tessarin.TraceEvent("id", "message", level=3)  # flag: mypy, pyright
tessarin.NameValidator().validate("encoder")  # flag: mypy, pyright

# The arguments of execute swapped.
pipeline.execute(graph, ctx)  # flag: mypy, pyright

# Levels define equality without a hash: they cannot be dict keys or set
# members. Only pyright knows that an unhashable type is refused here.
counts = {tessarin.TraceLevel.Info: 0}  # flag: pyright


async def main() -> int:
    future = pipeline.execute_async(ctx, graph)
    # create_task needs a coroutine; the future must be awaited inside one.
    asyncio.create_task(future)  # flag: mypy, pyright
    result: tessarin.BuildGraph = await future
    return result.stable_hash()  # flag: mypy, pyright
