#!/usr/bin/env bash
# Reports why a test cannot run here and exits with ctest's skip code.
echo "SKIPPED: $1" >&2
exit 77
