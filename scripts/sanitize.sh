#!/usr/bin/env bash
# Builds the compiled modules with AddressSanitizer and UndefinedBehaviorSanitizer into a venv
# of their own (build/sanitize), then runs the C++ unit tests and the whole pytest suite under
# them. Extra arguments go to pytest (`scripts/sanitize.sh tests/test_headers.py -x`).
#
# The interpreter is not instrumented, so the ASan runtime is preloaded into it. Python objects
# are allocated with malloc (PYTHONMALLOC=malloc) so that ASan sees each one: with the
# interpreter's own small-object allocator a freed object would stay addressable and a
# use-after-free would go unnoticed. Leak detection is off because the interpreter keeps memory
# until exit by design; leaks are the refcount tests' and the soak's business.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
dir=$root/build/sanitize
venv=$dir/venv
jobs=${SANITIZE_JOBS:-2}

libasan=$(gcc -print-file-name=libasan.so)
if [[ ! -e "$libasan" ]]; then
  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq libasan8 libubsan1
fi

# -O1 with debug information and without NDEBUG: readable reports, and the assertions run too.
flags="-O1 -g -fno-omit-frame-pointer"
echo "== building the sanitized modules in $dir"
BUILD_JOBS=$jobs scripts/venv.sh "$venv" "$dir/modules" -C cmake.build-type=RelWithDebInfo \
  -C cmake.define.QUENMARK_SANITIZE=ON -C cmake.define.CMAKE_CXX_FLAGS_RELWITHDEBINFO="$flags" \
  -C cmake.define.CMAKE_C_FLAGS_RELWITHDEBINFO="$flags"
nice -n 10 cmake -S . -B "$dir/native-tests" -G Ninja -DCMAKE_MAKE_PROGRAM="$venv/bin/ninja" \
  -DPython_EXECUTABLE="$venv/bin/python" -DQUENMARK_BUILD_TESTS=ON -DQUENMARK_SANITIZE=ON \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="$flags" >/dev/null
nice -n 10 cmake --build "$dir/native-tests" -j"$jobs" --target qmk_core_tests

export ASAN_OPTIONS="detect_leaks=0:allocator_may_return_null=1:abort_on_error=1:strict_init_order=1:${ASAN_OPTIONS:-}"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:${UBSAN_OPTIONS:-}"
export PYTHONMALLOC=malloc

# The modules must say they were built with the sanitizers, or this run would prove nothing.
for module in "$venv"/lib/python3*/site-packages/quenmark/*.so; do
  nm -D "$module" | grep __asan_report >/dev/null || { echo "$module is not instrumented" >&2; exit 1; }
done

echo "== C++ unit tests"
ctest --test-dir "$dir/native-tests" --output-on-failure
echo "== pytest under ASan and UBSan"
LD_PRELOAD=$libasan "$venv/bin/pytest" -q -p no:cacheprovider "$@"
