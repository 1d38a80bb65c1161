#!/usr/bin/env bash
# The end-to-end tests, and the in-process fault sweep, under valgrind's
# memcheck: the library, the test code and pcsc-lite's client side in the
# test process (the token daemons run as they are). Any error or definite
# leak fails. Needs a pcscd with the vpcd readers (scripts/with-pcscd.sh).
set -uo pipefail

build=${1:?usage: memcheck.sh BUILD}
status=0
for binary in e2e_tests fault_e2e_tests fault_tests; do
	echo "memcheck: $binary"
	valgrind --tool=memcheck --error-exitcode=99 --leak-check=full \
		--errors-for-leak-kinds=definite --track-origins=yes --quiet \
		"$build/tests/$binary" || status=1
done
exit $status
