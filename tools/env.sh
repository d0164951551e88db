# Shared settings of the project's tools; sourced, not run.
# Sets: top, PY (release interpreter), PYD (debug interpreter, may be empty).
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
export PYTHONPYCACHEPREFIX="$top/.cache/pycache"
# Where the build variants go; separate roots let several checkouts or
# people build side by side.
build_root=${SPANTREE_BUILD_ROOT:-$top/build}

"$top/tools/bootstrap"
if [ -n "${PYTHON314:-}" ]; then
  PY=$PYTHON314
  PYD=${PYTHON314D:-}
else
  PY="$top/.sysroot/usr/bin/python3.14"
  PYD="$top/.sysroot/usr/bin/python3.14d"
fi

# build_variant NAME: configures and builds the modules into build/NAME.
#   release  optimised, for the interpreter PY
#   asan     AddressSanitizer and UndefinedBehaviorSanitizer, for PY
#   debug    against the debug interpreter PYD's own headers (reference counts)
build_variant() {
  local name=$1 python=$PY sanitize=OFF type=RelWithDebInfo
  case $name in
    release) ;;
    asan) sanitize=ON ;;
    debug) python=$PYD; type=Debug ;;
    *) echo "unknown build variant: $name" >&2; return 2 ;;
  esac
  [ -n "$python" ] || { echo "no interpreter for the $name build (set PYTHON314D)" >&2; return 2; }
  local log="$build_root/$name.log"
  mkdir -p "$build_root"
  { cmake -S "$top" -B "$build_root/$name" -DPython_EXECUTABLE="$python" \
      -DCMAKE_BUILD_TYPE=$type -DSANITIZE=$sanitize &&
    cmake --build "$build_root/$name" -j 2; } >"$log" 2>&1 || {
    cat "$log" >&2; echo "build of $name failed" >&2; return 1; }
}

# enter_variant NAME: exports what the tests of a build variant run under.
enter_variant() {
  export SPANTREE_BUILD="$build_root/$1"
  if [ "$1" = debug ]; then VPY=$PYD; else VPY=$PY; fi
  if [ "$1" = asan ]; then
    # The interpreter is not instrumented, so the runtime must come first.
    export LD_PRELOAD="$(g++ -print-file-name=libasan.so)"
    export PYTHONMALLOC=malloc
    export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1
    export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
  fi
}
