# Sourced by the scripts: sets PYTHON to a CPython 3.13 interpreter, honouring
# a PYTHON given by the caller.
find_python() {
  local candidate
  for candidate in "${PYTHON:-}" python3.13 "$HOME/.pyenv/versions/3.13.0/bin/python3.13" \
      /usr/local/bin/python3.13 /usr/bin/python3.13; do
    [ -n "$candidate" ] || continue
    if command -v "$candidate" >/dev/null 2>&1 &&
       "$candidate" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 13))' 2>/dev/null; then
      PYTHON=$(command -v "$candidate")
      return 0
    fi
  done
  if command -v pyenv >/dev/null 2>&1; then
    candidate=$(PYENV_VERSION=3.13.0 pyenv which python3.13 2>/dev/null || true)
    if [ -n "$candidate" ]; then PYTHON=$candidate; return 0; fi
  fi
  echo "no Python 3.13 interpreter found; set PYTHON" >&2
  return 1
}
find_python
export PYTHON
