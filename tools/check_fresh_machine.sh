#!/usr/bin/env bash
# Fails when the machine can see something that a fresh machine does not have and
# that could make the build or the tests pass here only: the headers of the
# project's native dependencies, visible to the plain system compiler. The build
# and the tests' probes must find them through the project's own set-up (the
# pinned wheels), never through a hand install. (Python packages are covered by
# the release checks, which run the suite in fresh venvs.)
set -euo pipefail
status=0
for header in mimalloc.h mimalloc-new-delete.h; do
    if echo "#include <$header>" | ${CXX:-g++} -x c++ -fsyntax-only - 2>/dev/null; then
        where=$(echo "#include <$header>" | ${CXX:-g++} -x c++ -M - 2>/dev/null | tr ' \\' '\n\n' | grep "$header" | head -1)
        echo "check_fresh_machine: <$header> is visible to the system compiler ($where);" \
             "a fresh machine does not have it, so a build or probe may pass here only" >&2
        status=1
    fi
done
[ $status = 0 ] && echo "check_fresh_machine: no hand-installed dependency headers visible"
exit $status
