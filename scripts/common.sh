# Shared by the check scripts: sourced, not run.

# Appends the build tools the scripts need to the caller's `missing` array.
need_build_tools() {
  command -v ninja >/dev/null || missing+=(ninja-build)
  command -v cmake >/dev/null || missing+=(cmake)
}

# The browser the page tests (tests/python/test_html.py) drive, if missing.
need_browser() {
  command -v chromium >/dev/null || missing+=(chromium)
}

# Installs the Debian packages named, if any (`apt-get update` once first).
install_missing() {
  [ $# -gt 0 ] || return 0
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$@"
}

# What the Python suite needs, pinned: stubtest's checks grow from release to
# release, and the reference-count runs (tests/python/conftest.py) lean on
# pytest's runner; a new version should arrive by a change, not by a run.
# Playwright drives Debian's chromium in the page tests (its own browser
# download is not used); import-linter: tests/python/test_check.py compares
# its verdicts with ours.
test_packages=("pytest==9.2.0" "mypy==2.4.1" "playwright==1.65.3" "import-linter==2.17")
