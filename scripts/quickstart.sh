#!/usr/bin/env bash
# Builds the module into .venv and runs the quick start.
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"
install_requirements "scikit-build-core>=0.10" "cmake>=3.18" ninja
build_module
exec "$VPY" examples/quickstart.py
