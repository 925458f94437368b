# Type stubs for the native module. The docstrings are the module's own,
# copied in by tools/gen_api_reference.py (run it after changing a docstring
# or a signature here; a test fails while this file is stale).
import asyncio
from collections.abc import Mapping, Sequence
from collections.abc import Set as AbstractSet
from typing import Any, ClassVar, SupportsIndex, TypeAlias, final

# What a parameter or metadata value may be: JSON-like data, nested to any
# depth (the module refuses more than 255 levels at run time). The
# containers are the read-only abstract types, so that list[int] and
# dict[str, float] are accepted (an alias built on list and dict would be
# invariant and reject them). Sets are stored as lists. The price of
# Sequence: bytes and bytearray pass the checker, since they are sequences
# of ints, but the module refuses both at run time with ValueError.
# For type checkers only: `from tessarin import ParamValue` works under
# typing.TYPE_CHECKING or in annotations, not at run time.
ParamValue: TypeAlias = (
    None
    | bool
    | int
    | float
    | str
    | Sequence[ParamValue]
    | Mapping[str, ParamValue]
    | AbstractSet[ParamValue]
)

__all__ = [
    "ModelConfig",
    "ModelConfigBuilder",
    "NodeId",
    "GraphNode",
    "BuildGraph",
    "NullBackend",
    "TraceLevel",
    "TraceEvent",
    "InMemoryTraceSink",
    "BuildContext",
    "BuildPipeline",
    "ValidationError",
    "NameValidator",
    "VersionValidator",
    "CompositeValidator",
    "__version__",
    "HAS_BURN",
    "HAS_CUBECL",
    "HAS_LUMENARC",
    "HAS_CUDA",
    "HAS_VANTOR_ACCEL",
]

__version__: str
HAS_BURN: bool
HAS_CUBECL: bool
HAS_LUMENARC: bool
HAS_CUDA: bool
HAS_VANTOR_ACCEL: bool

@final
class ModelConfig:
    """Type-safe configuration for AI model components.

    A configuration holds the name, semantic version and parameters of a
    model component. Parameters are stored in a sorted map so that identical
    configurations produce identical hashes.

    Example:
        >>> config = ModelConfig("encoder", "1.0.0")
        >>> config = config.with_param("d_model", 512)
        >>> config = config.with_param("n_heads", 8)
        >>> config.param("d_model")
        512

    Attributes:
        name (str): Component name.
        version (str): Semantic version string.
        params (dict): Configuration parameters as a dictionary.
    """
    def __new__(cls, name: str, version: str) -> ModelConfig: ...
    @property
    def name(self) -> str:
        """Component name."""
    @property
    def version(self) -> str:
        """Semantic version string."""
    @property
    def params(self) -> dict[str, Any]:
        """Configuration parameters as a dictionary."""
    def with_param(self, key: str, value: ParamValue) -> ModelConfig:
        """Add or update a parameter.

        Returns self for method chaining. Parameters are stored in sorted order
        for deterministic hashing.

        Args:
            key: Parameter name.
            value: Parameter value (any JSON-serializable Python object).

        Returns:
            Self with the parameter added.

        Example:
            >>> config = config.with_param("hidden_size", 768)

        Behaviour:
            Returns a separate copy, not self, and changes the receiver too: after
            `b = a.with_param("k", 1)` both hold `k`, `b is not a`, and `b == a` is
            False (`==` compares identity). To derive variants from one base without
            changing it, use `ModelConfigBuilder`. "JSON-serializable" means JSON-like
            here: dict keys must be `str` (an `int` key is refused, where `json.dumps`
            would turn it into a string), tuples and sets are stored as lists, and NaN
            and the infinities as `None`.
        """
    def param(self, key: str) -> Any:
        """Get a parameter value by key.

        Args:
            key: Parameter name to retrieve.

        Returns:
            The parameter value, or None if not found.

        Example:
            >>> config.param("hidden_size")
            768
        """

@final
class ModelConfigBuilder:
    """Builder for constructing ModelConfig incrementally.

    Use this when you need to construct a config in multiple steps or when
    configuration values come from different sources.

    Example:
        >>> builder = ModelConfigBuilder()
        >>> builder = builder.name("encoder")
        >>> builder = builder.version("1.0.0")
        >>> builder = builder.param("d_model", 512)
        >>> config = builder.build()
    """
    def __new__(cls) -> ModelConfigBuilder: ...
    def name(self, name: str) -> ModelConfigBuilder:
        """Set the component name.

        Args:
            name: Component name.

        Returns:
            Builder with name set.
        """
    def version(self, version: str) -> ModelConfigBuilder:
        """Set the semantic version.

        Args:
            version: Semantic version string.

        Returns:
            Builder with version set.
        """
    def param(self, key: str, value: ParamValue) -> ModelConfigBuilder:
        """Add a configuration parameter.

        Args:
            key: Parameter name.
            value: Parameter value.

        Returns:
            Builder with parameter added.
        """
    def build(self) -> ModelConfig:
        """Build the final ModelConfig.

        Returns:
            ModelConfig with all builder values.

        Raises:
            ValueError: If name or version is not set.
        """

@final
class NodeId:
    """Unique identifier for a graph node.

    Node identifiers are assigned sequentially when nodes are added to a
    graph. They are hashable and can be used as dictionary keys.

    Example:
        >>> node_id = graph.add_node("encoder", config)
        >>> int(node_id)
        1
    """
    def __new__(cls, value: SupportsIndex) -> NodeId: ...
    @property
    def value(self) -> int:
        """Numeric value of this identifier."""
    def __int__(self) -> int: ...
    def __hash__(self) -> int: ...
    def __eq__(self, value: object, /) -> bool: ...
    def __ne__(self, value: object, /) -> bool: ...

@final
class GraphNode:
    """A node in the build graph representing a model component.

    Each node contains:
    - A unique identifier (NodeId)
    - A human-readable name
    - A ModelConfig with parameters
    - Optional metadata for custom annotations

    Example:
        >>> node = GraphNode(NodeId(0), "encoder", config)
        >>> node.name
        'encoder'
        >>> node = node.with_metadata("layer_type", "attention")

    Behaviour:
        The example's `NodeId(0)` is no identifier a graph hands out:
        `BuildGraph.add_node` numbers nodes 1, 2, 3, ... in insertion order. A
        `GraphNode` built by hand belongs to no graph; `add_node` takes a name and
        a configuration, not a node.
    """
    def __new__(cls, id: NodeId, name: str, config: ModelConfig) -> GraphNode: ...
    @property
    def id(self) -> NodeId:
        """Node identifier."""
    @property
    def name(self) -> str:
        """Human-readable component name."""
    @property
    def config(self) -> ModelConfig:
        """Model configuration for this component."""
    @property
    def metadata(self) -> dict[str, Any]:
        """Custom metadata as a dictionary."""
    def with_metadata(self, key: str, value: ParamValue) -> GraphNode:
        """Add metadata to this node.

        Metadata can store arbitrary annotations like optimization hints,
        layer types, or debugging information.

        Args:
            key: Metadata key.
            value: Any JSON-serializable value.

        Returns:
            Self with metadata added.

        Behaviour:
            Returns a separate copy, not self, and changes the receiver too: both then
            hold the key, and `==` between them is False (identity). A node read from
            `BuildGraph.nodes` is a copy: annotating it never reaches the graph, whose
            own nodes carry no metadata.
        """

@final
class BuildGraph:
    """Directed acyclic graph representing model architecture.

    The graph stores nodes (model components) and directed edges (data flow
    between components).

    The graph supports deterministic hashing: the same architecture built the
    same way always produces the same hash. This matters for reproducible
    builds, cache validation and audit trails.

    Example:
        >>> graph = BuildGraph()
        >>> encoder = graph.add_node("encoder", encoder_config)
        >>> decoder = graph.add_node("decoder", decoder_config)
        >>> graph.add_edge(encoder, decoder)
        >>> print(graph.stable_hash())

    Attributes:
        nodes (list): All GraphNode objects in the graph.
        edges (list): All edges as (from_id, to_id) tuples.

    Behaviour:
        Nothing checks that the graph is acyclic: `add_edge` accepts cycles,
        self-loops, repeated edges and identifiers that belong to no node. Keeping
        the graph a DAG is up to the caller.
    """
    def __new__(cls) -> BuildGraph: ...
    def add_node(self, name: str, config: ModelConfig) -> NodeId:
        """Add a node to the graph.

        Args:
            name: Human-readable component name.
            config: ModelConfig for this component.

        Returns:
            NodeId for the new node, usable in add_edge().

        Example:
            >>> node_id = graph.add_node("encoder", config)
        """
    def add_edge(self, from_id: NodeId, to_id: NodeId) -> None:
        """Add a directed edge between nodes.

        Edges represent data flow from source to target. The graph must remain
        acyclic; keeping it so is the caller's duty, nothing checks it.

        Args:
            from_id: Source node (data producer).
            to_id: Target node (data consumer).

        Example:
            >>> graph.add_edge(encoder_id, decoder_id)
        """
    @property
    def nodes(self) -> list[GraphNode]:
        """All nodes in the graph."""
    @property
    def edges(self) -> list[tuple[NodeId, NodeId]]:
        """All edges as (source, target) pairs."""
    def node_count(self) -> int:
        """Number of nodes in the graph."""
    def edge_count(self) -> int:
        """Number of edges in the graph."""
    def stable_hash(self) -> str:
        """Compute deterministic SHA-256 hash of the graph.

        The hash is computed over canonicalized node and edge data: the same
        nodes and edges added in the same order give the same hash in every
        process and on every platform.

        Returns:
            64-character hexadecimal hash string.

        Example:
            >>> len(graph.stable_hash())
            64
        """
    def __len__(self) -> int: ...
    def __bool__(self) -> bool: ...

@final
class NullBackend:
    """Reference backend for testing and development.

    NullBackend performs no actual computation. It is meant for:
        - unit testing pipeline logic without GPU dependencies;
        - validating graph construction and configuration;
        - development without real hardware.

    Production GPU support comes from the backends of the Burn or CubeCL
    integrations when those features are enabled.

    Example:
        >>> backend = NullBackend.cpu()
        >>> backend.name
        'null'
        >>> backend.device
        'cpu'

    Attributes:
        name (str): Backend name, always "null".
        device (str): Device identifier, such as "cpu".

    Behaviour:
        This build has no other backend: there is no Burn or CubeCL backend, every
        `HAS_*` flag is False, and `BuildContext` accepts a `NullBackend` only.
    """
    def __new__(cls, device: str) -> NullBackend: ...
    @staticmethod
    def cpu() -> NullBackend:
        """Create a CPU-targeted NullBackend.

        Returns:
            NullBackend configured for CPU.

        Example:
            >>> backend = NullBackend.cpu()
        """
    @property
    def name(self) -> str:
        """Backend name."""
    @property
    def device(self) -> str:
        """Device identifier."""

@final
class TraceLevel:
    """Severity level for trace events.

    Levels:
        Debug: Detailed diagnostic information
        Info: Normal operational events
        Warn: Potentially problematic situations
        Error: Failures that may require attention

    Example:
        >>> event = TraceEvent("model.init", "Initializing encoder", TraceLevel.Info)
        >>> event.level
        TraceLevel.Info
    """
    Debug: ClassVar[TraceLevel]
    Info: ClassVar[TraceLevel]
    Warn: ClassVar[TraceLevel]
    Error: ClassVar[TraceLevel]
    def __int__(self) -> int: ...
    def __eq__(self, value: object, /) -> bool: ...
    def __ne__(self, value: object, /) -> bool: ...
    __hash__: ClassVar[None]  # type: ignore[assignment]

@final
class TraceEvent:
    """Structured trace event with timestamp and metadata.

    A trace event records one thing that happened during model construction:
    an identifier for filtering and grouping (for example
    "stage.validation.start"), a human-readable message, a severity level,
    optional distributed-tracing identifiers and the wall-clock time at which
    the event was created. Without a level, an event is Info.

    Example:
        >>> event = TraceEvent("model.init", "Initializing encoder")
        >>> event.level
        TraceLevel.Info
        >>> debug = TraceEvent("model.init", "Loading weights", level=TraceLevel.Debug)

    Attributes:
        id (str): Event identifier.
        message (str): Human-readable message.
        level (TraceLevel): Severity level.
        span_id (str | None): Optional span ID for distributed tracing.
        trace_id (str | None): Optional trace ID for distributed tracing.
        timestamp_secs (float): Unix timestamp when event was created.
    """
    def __new__(
        cls,
        id: str,
        message: str,
        level: TraceLevel | None = None,
        span_id: str | None = None,
        trace_id: str | None = None,
    ) -> TraceEvent: ...
    @property
    def id(self) -> str:
        """Event identifier."""
    @property
    def message(self) -> str:
        """Human-readable message."""
    @property
    def level(self) -> TraceLevel:
        """Severity level."""
    @property
    def span_id(self) -> str | None:
        """Optional span ID for distributed tracing."""
    @property
    def trace_id(self) -> str | None:
        """Optional trace ID for distributed tracing."""
    @property
    def timestamp_secs(self) -> float:
        """Unix timestamp (seconds since epoch)."""

@final
class InMemoryTraceSink:
    """In-memory storage for trace events.

    Collects trace events during pipeline execution for later analysis. The
    sink is thread-safe and can be shared across pipeline stages: every
    BuildContext made from it records into the same list.

    Keeping events in memory:
        - lets tests assert on exactly what a pipeline recorded;
        - lets a run be inspected afterwards without any logging setup;
        - keeps the complete history together for export (for example to JSON).

    In production, forward the events to your observability system after the
    pipeline completes.

    Example:
        >>> sink = InMemoryTraceSink()
        >>> sink.record(TraceEvent("test", "hello"))
        >>> len(sink)
        1
        >>> for event in sink.events():
        ...     print(event.message)
        hello

    Behaviour:
        No method exports or clears the events. Write `sink.events()` out yourself
        (`id`, `message`, `int(level)`, `timestamp_secs`). A sink only grows, so
        give each run a sink of its own when memory matters.
    """
    def __new__(cls) -> InMemoryTraceSink: ...
    def record(self, event: TraceEvent) -> None:
        """Record a trace event.

        Args:
            event: TraceEvent to record.
        """
    def events(self) -> list[TraceEvent]:
        """Get all recorded events.

        Returns:
            List of all TraceEvents in recording order.
        """
    def __len__(self) -> int: ...

@final
class BuildContext:
    """Execution context holding backend and trace sink.

    A context bundles the execution environment of a pipeline run:
        - backend: hardware target (CPU, GPU, ...);
        - trace sink: destination for diagnostic events.

    Keeping the context apart from the pipeline lets one pipeline definition
    run on different hardware or with different logging configurations
    without change.

    Example:
        >>> sink = InMemoryTraceSink()
        >>> ctx = BuildContext(NullBackend.cpu(), sink)
        >>> # or, when the events are not needed:
        >>> ctx = BuildContext.with_null_backend()
    """
    def __new__(cls, backend: NullBackend, trace: InMemoryTraceSink) -> BuildContext: ...
    @staticmethod
    def with_null_backend() -> BuildContext:
        """Create a context with NullBackend and in-memory trace sink.

        Convenience constructor for testing and development.

        Returns:
            BuildContext configured for CPU testing.

        Example:
            >>> ctx = BuildContext.with_null_backend()

        Behaviour:
            The context has no readable trace sink: a context offers no way to read
            events back, so what runs record in it is discarded. To see a run's
            events, make an `InMemoryTraceSink` and pass it to
            `BuildContext(NullBackend.cpu(), sink)`.
        """

@final
class BuildPipeline:
    """Pipeline for executing build stages on a graph.

    Common stages:
        - validation: Check configuration correctness
        - hashing: Compute deterministic graph hash

    Why pipelines:
        - Composability: stages combine into reusable build recipes
        - Observability: every stage records trace events
        - Consistency: the same stages run the same way everywhere

    Example:
        >>> pipeline = BuildPipeline.standard()
        >>> result = pipeline.execute(ctx, graph)
        >>> print(result.stable_hash())

    Presets:
        - standard(): validation and hashing
        - for_training(): same as standard() for now
        - for_inference(): hashing only

    Behaviour:
        The "validation" stage only requires the graph to have at least one node:
        it runs no validator and reads no configuration. Check names and versions
        with `CompositeValidator` before building.
    """
    def __new__(cls) -> BuildPipeline: ...
    @staticmethod
    def standard() -> BuildPipeline:
        """Standard pipeline with validation and hashing.

        Recommended for most use cases.

        Returns:
            BuildPipeline configured with [validation, hashing] stages.
        """
    @staticmethod
    def for_training() -> BuildPipeline:
        """Pipeline optimized for training workflows.

        Currently identical to standard(); may later gain training-specific stages.

        Returns:
            BuildPipeline configured for training.
        """
    @staticmethod
    def for_inference() -> BuildPipeline:
        """Minimal pipeline for inference.

        Skips validation for faster builds.

        Returns:
            BuildPipeline with the [hashing] stage only.
        """
    def with_stage(self, name: str) -> BuildPipeline:
        """Add a stage to the pipeline.

        Args:
            name: Stage name ("validation" or "hashing").

        Returns:
            New pipeline with the stage appended.

        Example:
            >>> pipeline = BuildPipeline().with_stage("validation")

        Behaviour:
            Any name is accepted, not only "validation" and "hashing"; the match is
            exact and case-sensitive. A name the pipeline does not know is skipped at
            run time with a `Warn` event with the id `stage.NAME` and the message
            `Unknown stage 'NAME' skipped`.
        """
    def execute(self, ctx: BuildContext, graph: BuildGraph) -> BuildGraph:
        """Execute the pipeline synchronously.

        Args:
            ctx: BuildContext with backend and trace sink.
            graph: BuildGraph to process.

        Returns:
            The processed BuildGraph. Stages may modify the graph or validate it.

        Raises:
            RuntimeError: If any stage fails.

        Behaviour:
            No stage modifies the graph: the result is a new `BuildGraph` with the
            input's nodes, edges and fingerprint, and the input is never changed.
        """
    def execute_async(self, ctx: BuildContext, graph: BuildGraph) -> asyncio.Future[BuildGraph]:
        """Execute the pipeline asynchronously.

        Async version of execute() for integration with asyncio. Yields between
        stages to allow other coroutines to run.

        Args:
            ctx: BuildContext with backend and trace sink.
            graph: BuildGraph to process.

        Returns:
            Awaitable that resolves to the processed BuildGraph.

        Example:
            >>> result = await pipeline.execute_async(ctx, graph)

        Behaviour:
            The stages run on a process-wide pool of native threads without the
            interpreter lock: the event loop stays free for the whole run, not only
            between stages. The result is an `asyncio.Future`, not a coroutine: await
            it or pass it to `asyncio.gather` or `asyncio.wait_for`, but wrap it in a
            coroutine for `create_task`. Its events differ from a synchronous run's:
            `pipeline.async.start`, the stages' own events, `pipeline.async.complete`,
            and no `stage.NAME.start` events.
        """
    def __len__(self) -> int: ...

@final
class ValidationError:
    """Validation error describing what failed and why.

    Each error names the configuration field that failed validation and
    carries a human-readable message explaining the problem.

    Example:
        >>> for err in validator.validate(config):
        ...     print(f"{err.field}: {err.message}")

    Attributes:
        field (str): Name of the invalid field.
        message (str): Error description.
    """
    def __new__(cls, field: str, message: str) -> ValidationError: ...
    @property
    def field(self) -> str:
        """Name of the invalid field."""
    @property
    def message(self) -> str:
        """Error description."""

@final
class NameValidator:
    """Validator for model component names.

    Names must be non-empty and may contain only alphanumeric characters,
    underscores and hyphens.

    Example:
        >>> validator = NameValidator()
        >>> validator.validate(ModelConfig("encoder_v2", "1.0.0"))
        []
        >>> validator.validate(ModelConfig("my model", "1.0.0"))[0].field
        'name'
    """
    def __new__(cls) -> NameValidator: ...
    def validate(self, config: ModelConfig) -> list[ValidationError]:
        """Validate a configuration's name field.

        Args:
            config: ModelConfig to validate.

        Returns:
            List of ValidationErrors (empty if valid).
        """

@final
class VersionValidator:
    """Validator for semantic version strings.

    Ensures versions follow semver format: major.minor.patch

    Accepts: "1.0.0", "2.1.3", "0.1.0-alpha"
    Rejects: "1.0", "v1.0.0", "latest"

    Example:
        >>> validator = VersionValidator()
        >>> validator.validate(ModelConfig("encoder", "1.0.0"))
        []
        >>> validator.validate(ModelConfig("encoder", "latest"))[0].field
        'version'

    Behaviour:
        "0.1.0-alpha" is rejected, not accepted: the rule reads the first three
        dot-separated pieces as unsigned 32-bit numbers (a leading `+` allowed)
        and ignores everything after the third dot. So "1.2.3-rc.1" fails while
        "1.2.3.beta" and "1.2.3.4" pass: it is not a SemVer check.
    """
    def __new__(cls) -> VersionValidator: ...
    def validate(self, config: ModelConfig) -> list[ValidationError]:
        """Validate a configuration's version field.

        Args:
            config: ModelConfig to validate.

        Returns:
            List of ValidationErrors (empty if valid).
        """

@final
class CompositeValidator:
    """Composite validator combining multiple validation rules.

    Validators are added incrementally in builder style: each with_... call
    returns a new composite with one more rule. All validators run and all
    errors are collected, rather than failing fast on the first error.

    This provides:
        - a single call to validate a configuration,
        - consistent error collection across all rules,
        - an extensible place to add further rules.

    Example:
        >>> validator = (
        ...     CompositeValidator()
        ...     .with_name_validator()
        ...     .with_version_validator()
        ... )
        >>> for err in validator.validate(config):
        ...     print(f"{err.field}: {err.message}")

    Behaviour:
        It holds only the two rules of `with_name_validator` and
        `with_version_validator`; there is no way to add a rule of your own. Run
        your own checks beside it.
    """
    def __new__(cls) -> CompositeValidator: ...
    def with_name_validator(self) -> CompositeValidator:
        """Add name validation.

        Returns:
            New validator with name validation added.
        """
    def with_version_validator(self) -> CompositeValidator:
        """Add version validation.

        Returns:
            New validator with version validation added.
        """
    def validate(self, config: ModelConfig) -> list[ValidationError]:
        """Run all validators on a configuration.

        All validators execute regardless of earlier failures, collecting
        all errors for comprehensive feedback.

        Args:
            config: ModelConfig to validate.

        Returns:
            List of all ValidationErrors (empty if valid).
        """
