"""The installed distribution: one version, and the stubs ship with it."""

import importlib.metadata

import tessarin


def test_version_comes_from_the_package_metadata():
    # pyproject.toml is the one source: the build passes it into the module.
    assert tessarin.__version__ == importlib.metadata.version("tessarin")


def test_distribution_ships_the_stubs_and_declares_typing():
    files = {str(f) for f in importlib.metadata.files("tessarin")}
    assert "tessarin-stubs/__init__.pyi" in files
    assert "Typing :: Typed" in importlib.metadata.metadata("tessarin").get_all("Classifier")
