#!/bin/sh
# Runs a test program with umockdev's preload library, as umockdev-wrapper
# does. Under AddressSanitizer that library comes before the sanitizer's
# runtime in the load order, which the sanitizer refuses unless told that
# this is intended.
ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}verify_asan_link_order=0"
# ThreadSanitizer cannot see the locking inside the uninstrumented libraries
# the test bed brings along. The path is absolute: the programs the tests
# start run in other directories.
here=$(cd "$(dirname "$0")" && pwd)
TSAN_OPTIONS="${TSAN_OPTIONS:+$TSAN_OPTIONS:}suppressions=$here/tsan-umockdev.supp"
export ASAN_OPTIONS TSAN_OPTIONS
exec umockdev-wrapper "$@"
