"""Quick start: describe a model as data and fingerprint it."""

import asyncio

import tessarin

encoder = (
    tessarin.ModelConfig("encoder", "1.0.0")
    .with_param("d_model", 512)
    .with_param("n_heads", 8)
    .with_param("dropout", 0.1)
)
decoder = (
    tessarin.ModelConfigBuilder()
    .name("decoder")
    .version("1.0.0")
    .param("layers", 12)
    .param("activations", ["gelu", "relu"])
    .build()
)
print(encoder)
print(decoder, decoder.params)

graph = tessarin.BuildGraph()
encoder_id = graph.add_node("encoder", encoder)
decoder_id = graph.add_node("decoder", decoder)
graph.add_edge(encoder_id, decoder_id)
print(graph)
# Same on every machine and run within a major version (sets of strings
# depend on the hash seed: pass sorted lists).
print(graph.stable_hash())

# Validate before fingerprinting: problems come back as data.
validator = tessarin.CompositeValidator().with_name_validator().with_version_validator()
for node in graph.nodes:
    print(node, validator.validate(node.config))

# Run the standard pipeline (validation, then hashing) and read its events.
sink = tessarin.InMemoryTraceSink()
ctx = tessarin.BuildContext(tessarin.NullBackend.cpu(), sink)
result = tessarin.BuildPipeline.standard().execute(ctx, graph)
assert result.stable_hash() == graph.stable_hash()
for event in sink.events():
    print(event)

# The same run in the background: the stages run on native worker threads
# while the event loop stays free.
async_sink = tessarin.InMemoryTraceSink()
async_ctx = tessarin.BuildContext(tessarin.NullBackend.cpu(), async_sink)


async def build(pipeline: tessarin.BuildPipeline) -> tessarin.BuildGraph:
    return await pipeline.execute_async(async_ctx, graph)


async_result = asyncio.run(build(tessarin.BuildPipeline.standard()))
assert async_result.stable_hash() == result.stable_hash()
for event in async_sink.events():
    print(event)
