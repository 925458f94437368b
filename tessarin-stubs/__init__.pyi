from typing import Any, final

__all__ = [
    "ModelConfig",
    "ModelConfigBuilder",
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
    def __new__(cls, name: str, version: str) -> ModelConfig: ...
    @property
    def name(self) -> str: ...
    @property
    def version(self) -> str: ...
    @property
    def params(self) -> dict[str, Any]: ...
    def with_param(self, key: str, value: Any) -> ModelConfig: ...
    def param(self, key: str) -> Any: ...

@final
class ModelConfigBuilder:
    def __new__(cls) -> ModelConfigBuilder: ...
    def name(self, name: str) -> ModelConfigBuilder: ...
    def version(self, version: str) -> ModelConfigBuilder: ...
    def param(self, key: str, value: Any) -> ModelConfigBuilder: ...
    def build(self) -> ModelConfig: ...
