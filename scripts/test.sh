#!/usr/bin/env bash
# Runs the whole test suite: installs what is missing, then configures five
# builds and builds them all: the 64-bit build, the 32-bit build, an
# AddressSanitizer+UBSan build and a ThreadSanitizer build, each tested
# through CTest, and a clang build that is only compiled.
set -uo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
mkdir -p "$ROOT/build"
bash scripts/setup.sh || exit 1

JOBS=$(nproc 2>/dev/null || echo 4)

# The 32-bit tests run natively where the kernel runs 32-bit programs, and
# under qemu's user-mode emulation where it doesn't.
X86_FLAGS="-DVOSH_M32=ON"
probe=$(mktemp -d)
echo 'int main(void){return 0;}' > "$probe/p.c"
if gcc -m32 "$probe/p.c" -o "$probe/p" 2>/dev/null && ! "$probe/p" 2>/dev/null; then
  X86_FLAGS="$X86_FLAGS -DCMAKE_CROSSCOMPILING_EMULATOR=$(command -v qemu-i386)"
  echo "32-bit programs run under qemu-i386 on this machine"
fi
rm -rf "$probe"
# name:cmake flags:what to do (build-only builds and checks that the library,
# the players and the tests compile warning-free, without running them again).
configs=(
  "x64:-DVOSH_WERROR=ON:"
  "x86:$X86_FLAGS -DVOSH_WERROR=ON:"
  "asan:-DVOSH_SANITIZE=ON:"
  "tsan:-DVOSH_TSAN=ON:"
  "clang:-DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DVOSH_WERROR=ON:build-only"
)
total_pass=0; total_fail=0; failed_configs=()
for c in "${configs[@]}"; do
  name=${c%%:*}; rest=${c#*:}; flags=${rest%%:*}; mode=${rest#*:}
  dir="$ROOT/build/$name"
  echo "=== $name: configure and build ==="
  if ! cmake -S "$ROOT" -B "$dir" -G Ninja $flags >"$dir.configure.log" 2>&1; then
    mkdir -p "$dir"; cat "$dir.configure.log"; failed_configs+=("$name(configure)"); total_fail=$((total_fail+1)); continue
  fi
  if ! cmake --build "$dir" -j "$JOBS" >"$dir.build.log" 2>&1; then
    tail -n 60 "$dir.build.log"; failed_configs+=("$name(build)"); total_fail=$((total_fail+1)); continue
  fi
  if [ "$mode" = "build-only" ]; then echo "=== $name: built ==="; continue; fi
  echo "=== $name: test ==="
  export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
  export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
  export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1
  (cd "$dir" && ctest -j "$JOBS" --output-on-failure --timeout 600) >"$dir.test.log" 2>&1
  rc=$?
  grep -E '^[0-9]+% tests passed|tests failed|^\s+[0-9]+ - ' "$dir.test.log" | tail -n 40
  p=$(sed -n -E 's/^[0-9]+% tests passed, ([0-9]+) tests failed out of ([0-9]+).*/\2 \1/p' "$dir.test.log" | tail -n1)
  if [ -n "$p" ]; then
    set -- $p; total_pass=$((total_pass + $1 - $2)); total_fail=$((total_fail + $2))
  fi
  if [ $rc -ne 0 ]; then
    grep -B2 -A40 -E 'Failure|ERROR: |runtime error|WARNING: ThreadSanitizer' "$dir.test.log" | head -n 150
    failed_configs+=("$name")
  fi
done
echo
if [ ${#failed_configs[@]} -ne 0 ]; then echo "failed: ${failed_configs[*]}"; fi
echo "${total_pass} passed, ${total_fail} failed"
[ ${#failed_configs[@]} -eq 0 ]
