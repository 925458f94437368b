#!/usr/bin/env bash
# Applies the layout that scripts/lint.sh checks: ruff format for the
# Python, clang-format for the C++. Lint findings are left to a person (or to
# an explicit `ruff check --fix`).
source "$(dirname "${BASH_SOURCE[0]}")/lint-tools.sh"

"$LINT/bin/ruff" format --no-cache
cpp_sources | xargs -0 "$LINT/bin/clang-format" -i
