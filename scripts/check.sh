#!/usr/bin/env bash
# Builds and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh test

# Formatting is part of the build's contract.
git ls-files '*.cc' '*.h' | xargs clang-format --dry-run --Werror

cmake --preset linux
cmake --build --preset linux -j2
ctest --preset linux
