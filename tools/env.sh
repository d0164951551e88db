# Shared settings of the project's tools; sourced, not run.
# Sets: top, build_root; use_python sets PY, PYD and python_version.
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
export PYTHONPYCACHEPREFIX="$top/.cache/pycache"
# Where the build variants go; separate roots let several checkouts or
# people build side by side.
build_root=${SPANTREE_BUILD_ROOT:-$top/build}
# The interpreter versions the modules build for, and the one used when none
# is named.
supported_versions=(3.13 3.14 3.15)
default_version=3.14

# use_python VERSION: makes sure the sysroot holds CPython VERSION and sets
#   PY   its release interpreter, or $PYTHON3XX where that is set
#   PYD  its debug interpreter, or $PYTHON3XXD (empty when an own release
#        interpreter is given without a debug one)
use_python() {
  python_version=$1
  "$top/tools/bootstrap" "$python_version" || return
  local override="PYTHON${python_version//./}" debug_override="PYTHON${python_version//./}D"
  if [ -n "${!override:-}" ]; then
    PY=${!override}
    PYD=${!debug_override:-}
  else
    PY="$top/.sysroot/usr/bin/python$python_version"
    PYD="$top/.sysroot/usr/bin/python${python_version}d"
  fi
}

# variant_dir NAME: the build directory of a variant for the current version;
# the default version's builds keep the plain names (build/release, ...).
variant_dir() {
  if [ "$python_version" = "$default_version" ]; then
    echo "$build_root/$1"
  else
    echo "$build_root/$1-$python_version"
  fi
}

# build_variant NAME: configures and builds the modules into variant_dir NAME.
#   release  optimised, for the interpreter PY
#   asan     AddressSanitizer and UndefinedBehaviorSanitizer, for PY
#   debug    against the debug interpreter PYD's own headers (reference counts)
build_variant() {
  local name=$1 python=$PY sanitize=OFF type=RelWithDebInfo dir
  case $name in
    release) ;;
    asan) sanitize=ON ;;
    debug) python=$PYD; type=Debug ;;
    *) echo "unknown build variant: $name" >&2; return 2 ;;
  esac
  [ -n "$python" ] ||
    { echo "no interpreter for the $name build (set PYTHON${python_version//./}D)" >&2; return 2; }
  dir=$(variant_dir "$name")
  local log="$dir.log"
  mkdir -p "$build_root"
  { cmake -S "$top" -B "$dir" -DPython_EXECUTABLE="$python" \
      -DCMAKE_BUILD_TYPE=$type -DSANITIZE=$sanitize &&
    cmake --build "$dir" -j 2; } >"$log" 2>&1 || {
    cat "$log" >&2; echo "build of $name for $python_version failed" >&2; return 1; }
}

# enter_variant NAME: exports what the tests of a build variant run under.
enter_variant() {
  export SPANTREE_BUILD
  SPANTREE_BUILD=$(variant_dir "$1")
  if [ "$1" = debug ]; then VPY=$PYD; else VPY=$PY; fi
  if [ "$1" = asan ]; then
    # The interpreter is not instrumented, so the runtime must come first.
    export LD_PRELOAD="$(g++ -print-file-name=libasan.so)"
    export PYTHONMALLOC=malloc
    export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1
    export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
  fi
}

# A tool that sets python_version before sourcing this file gets that
# version; the others get the default one.
use_python "${python_version:-$default_version}"
