# shellcheck shell=bash
# Sourced by scripts/test before its long phases: check_prerequisites NAME
# prints one line for each thing the test run needs and this machine lacks,
# with the Debian package that brings it, and fails if there was one. PYTHON
# must be set (scripts/find_python.sh).
check_prerequisites() {
  local name=$1 missing=0 cxx sanitizer_cxx probe line library
  report_missing() { echo "$name: $1 not found (Debian: $2)" >&2; missing=1; }

  if ! "$PYTHON" -c 'import ensurepip, venv' 2>/dev/null; then
    report_missing "the venv module of $PYTHON" "python3.13-venv"
  fi
  local cmake_version cmake_usable=0
  cmake_version=$(cmake --version 2>/dev/null | sed -n 's/^cmake version \([0-9.]*\).*/\1/p')
  if [ -n "$cmake_version" ] &&
     [ "$(printf '%s\n' 3.20 "$cmake_version" | sort -V | head -n 1)" = 3.20 ]; then
    cmake_usable=1
  else
    report_missing "CMake 3.20 or later" "cmake"
  fi
  cxx=${CXX:-c++}
  if ! command -v "$cxx" >/dev/null 2>&1; then
    case $cxx in *clang*) report_missing "C++ compiler $cxx" "clang" ;;
                 *) report_missing "C++ compiler $cxx" "g++" ;; esac
  elif [ "$cmake_usable" -eq 1 ]; then
    # The project's own lookups, in a throwaway build folder.
    probe=$(mktemp -d)
    local output status=0
    output=$(cmake -S scripts/prerequisites -B "$probe" -DPython_EXECUTABLE="$PYTHON" 2>&1) || status=$?
    rm -rf "$probe"
    while IFS= read -r line; do
      line=${line#-- missing: }
      report_missing "${line%|*}" "${line#*|}"
    done < <(grep '^-- missing: ' <<<"$output" || true)
    if [ "$status" -ne 0 ] && [ "$missing" -eq 0 ]; then
      echo "$name: CMake cannot configure a C++ project with $cxx here:" >&2
      tail -n 5 <<<"$output" >&2
      missing=1
    fi
  fi
  if ! command -v objdump >/dev/null 2>&1 && ! command -v llvm-objdump >/dev/null 2>&1; then
    report_missing "objdump (the fused multiply-add check reads the object code)" "binutils"
  fi
  # The sanitizer run builds with GCC and preloads its runtime (scripts/test_sanitized).
  sanitizer_cxx=$cxx
  if [[ $cxx == *clang* ]] || "$cxx" --version 2>/dev/null | grep -qi clang; then sanitizer_cxx=g++; fi
  if ! command -v "$sanitizer_cxx" >/dev/null 2>&1; then
    report_missing "GCC ($sanitizer_cxx), which builds the sanitizer run" "g++"
  else
    for library in libasan.so libubsan.so; do
      if [ "$("$sanitizer_cxx" -print-file-name="$library")" = "$library" ]; then
        report_missing "GCC's sanitizer runtime ($library)" \
                       "libgcc-$("$sanitizer_cxx" -dumpversion | cut -d. -f1)-dev"
      fi
    done
  fi
  return "$missing"
}
