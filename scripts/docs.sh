#!/usr/bin/env bash
# Generates the API reference from the installed headers, with the README as its
# main page, into build-docs/ (or $ZENTOR_DOCS_DIR): open docs/html/index.html
# there. Fails when Doxygen warns (a public name without documentation, or a
# comment it cannot read), so that the reference stays complete.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
docs_dir=${ZENTOR_DOCS_DIR:-$root/build-docs}

ZENTOR_WITH_DOCS_TOOLS=1 "$root/scripts/install-deps.sh"
# The library's configuration alone: the version and the installed headers
# come from it, and nothing needs compiling.
cmake -S "$root" -B "$docs_dir" -DZENTOR_BUILD_DOCS=ON \
  -DZENTOR_BUILD_TESTS=OFF -DZENTOR_BUILD_DEMO=OFF -DZENTOR_BUILD_BENCHMARKS=OFF >/dev/null
if ! cmake --build "$docs_dir" --target zentor_docs; then
  echo "docs: Doxygen warned (above); document what it names" >&2
  exit 1
fi
echo "API reference: $docs_dir/docs/html/index.html"
