#!/usr/bin/env bash
# Draws the developer guide's picture of the layers from its source:
#
#   scripts/architecture-picture.sh      # docs/architecture.dot -> docs/images/architecture.svg
#
# The picture is kept in the repository beside its source, so reading the guide needs no
# Graphviz; drawing it again does (Debian package graphviz).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
command -v dot >/dev/null || { echo "architecture-picture: Graphviz's dot is missing (apt-get install graphviz)" >&2; exit 1; }
dot -Tsvg "$root/docs/architecture.dot" -o "$root/docs/images/architecture.svg"
