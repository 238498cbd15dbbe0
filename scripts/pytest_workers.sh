# Sourced by the scripts: pytest_workers PY prints the pytest options that
# spread the tests over PYTEST_WORKERS processes (default 2) when
# pytest-xdist is installed, and nothing otherwise (or when it is 0).
pytest_workers() {
  local workers=${PYTEST_WORKERS:-2}
  if [ "$workers" != 0 ] && "$1" -c 'import xdist' 2>/dev/null; then
    echo "-n $workers"
  fi
}
