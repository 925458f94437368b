#!/usr/bin/env bash
# Checks lint and layout without changing anything: ruff (lint and format)
# over the Python of tests, tools, examples, benchmarks and the stubs, and
# clang-format over src/ and tests/core. Settings: [tool.ruff] in
# pyproject.toml and .clang-format. scripts/format.sh applies the layout.
source "$(dirname "${BASH_SOURCE[0]}")/lint-tools.sh"

status=0
echo "== ruff check =="
"$LINT/bin/ruff" check --no-cache || status=1
echo "== ruff format --check =="
"$LINT/bin/ruff" format --check --no-cache || status=1
echo "== clang-format =="
cpp_sources | xargs -0 "$LINT/bin/clang-format" --dry-run -Werror || status=1
exit $status
