#!/usr/bin/env bash
# Sets up everything a fresh Debian machine needs and runs the project's jobs:
#   tools/dev.sh setup   system packages, a CPython 3.13 virtual environment, the built module
#   tools/dev.sh test    the C++ tests of the core (ctest) and the Python tests (pytest)
#   tools/dev.sh demo    the main job: build an index from a real vocabulary and report on it
#   tools/dev.sh bench   the benchmark scripts, with the peer libraries they compare against
#   tools/dev.sh bench-report   the performance report with plots, in docs/performance.md
#   tools/dev.sh sanitize   the core tests and the Python tests with ASan and UBSan, leaks checked
#                           (tests marked no_sanitizer, which reach no native code of their own, left out)
#   tools/dev.sh valgrind   a representative workload under valgrind memcheck
#   tools/dev.sh fuzz-python   the generated hostile-input tests with many more examples
#   tools/dev.sh armhf   the core's tests cross-compiled for 32-bit ARM, run under qemu-user
#   tools/dev.sh dist    a wheel and an sdist in dist/, the wheel tried in a fresh environment and
#                        installed in .venv, where the other jobs use it
#   tools/dev.sh fuzz [SECONDS]   the stored-index reader under libFuzzer with ASan and UBSan
#   tools/dev.sh test-spark   click counts by the PySpark example in local mode, built and compared
#   tools/dev.sh serve [PORT]   the HTTP service and its search page on an index of a generated
#                               click log (demo/build_index.py), with its videos' titles
#   tools/dev.sh test-browser   the search page in headless Chromium (Selenium) against the service
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
venv="$root/.venv"
# The base packages every job needs; a job names its own on top of them.
base_apt_packages=(libgtest-dev wamerican-insane clang-format libxxhash-dev)
pip_packages=(scikit-build-core nanobind ninja pytest pytest-xdist numpy hypothesis wordfreq mypy duckdb pyarrow polars pandas
  starlette uvicorn httptools uvloop httpx prometheus_client)

say() { printf '== %s\n' "$*" >&2; }

install_system_packages() {
  local missing=() pkg
  for pkg in "${base_apt_packages[@]}" "$@"; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" ||
      missing+=("$pkg")
  done
  command -v cmake >/dev/null || missing+=(cmake)
  command -v g++ >/dev/null || missing+=(g++)
  [ ${#missing[@]} -eq 0 ] && return
  say "installing system packages: ${missing[*]}"
  local sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
}

find_python() {
  local candidate
  for candidate in "${TORRELM_PYTHON:-}" python3.13 \
      "$(pyenv root 2>/dev/null)"/versions/3.13*/bin/python3.13 \
      "$HOME"/.pyenv/versions/3.13*/bin/python3.13 /usr/bin/python3.13; do
    [ -n "$candidate" ] || continue
    if command -v "$candidate" >/dev/null 2>&1 &&
        "$candidate" -c 'import sys; sys.exit(sys.version_info < (3, 13))' 2>/dev/null; then
      command -v "$candidate"
      return
    fi
  done
  echo "no CPython 3.13 or later found (set TORRELM_PYTHON)" >&2
  return 1
}

# The system packages, the virtual environment and the Python packages: all but the module.
prepare() {
  install_system_packages "$@"
  if [ ! -x "$venv/bin/python" ]; then
    local python
    python=$(find_python)
    say "creating $venv from $python"
    "$python" -m venv "$venv"
  fi
  "$venv/bin/python" -m pip install -q --disable-pip-version-check "${pip_packages[@]}"
}

# A digest of what the wheel is built from, or nothing outside a git checkout. The module in the
# virtual environment is rebuilt only when it was built from other sources, so that the wheel that
# make dist built and installed is what the later jobs test, without a second build.
module_sources() {
  git -C "$root" rev-parse --is-inside-work-tree >/dev/null 2>&1 || return 0
  # A tracked file deleted in the work tree is a line of the digest too: sha256sum's complaint.
  (cd "$root" && { git ls-files -z -co --exclude-standard -- pyproject.toml CMakeLists.txt cmake src python |
    xargs -0 sha256sum 2>&1 || true; } | sha256sum | cut -d' ' -f1)
}
module_stamp="$venv/torrelm-sources.sha256"

install_module() {
  local sources
  sources=$(module_sources)
  if [ -n "$sources" ] && [ "$(cat "$module_stamp" 2>/dev/null)" = "$sources" ]; then
    say "the module in $venv is built from these sources"
    return
  fi
  rm -f "$module_stamp"
  say "building and installing the module"
  "$venv/bin/python" -m pip install -q --disable-pip-version-check --no-build-isolation \
    -Cbuild.verbose=false "$root"
  [ -z "$sources" ] || echo "$sources" >"$module_stamp"
}

setup() {
  prepare "$@"
  install_module
}

check_format() {
  say "formatting"
  (cd "$root" && git ls-files '*.cpp' '*.hpp' | xargs clang-format --dry-run --Werror)
}

test_cpp() {
  say "C++ tests of the core"
  cmake -S "$root" -B "$root/build/cpp" -G Ninja -DCMAKE_MAKE_PROGRAM="$venv/bin/ninja" \
    -DCMAKE_BUILD_TYPE=Debug -DTORRELM_TESTS=ON -DTORRELM_WERROR=ON >/dev/null
  cmake --build "$root/build/cpp"
  ctest --test-dir "$root/build/cpp" --output-on-failure -j "$(nproc)"
}

test_python() {
  # The stubs of _torrelm are the installed stub package _torrelm-stubs (a plain stub file beside
  # an installed module is not looked at), so both checks read what setup installed.
  say "types: the package and examples under mypy --strict, the stubs against the module"
  (cd "$root" && "$venv/bin/python" -m mypy --strict python/torrelm examples &&
    "$venv/bin/python" -m mypy.stubtest _torrelm --allowlist "$root/tools/stubtest_allowlist.txt")
  say "Python tests of the module and the package"
  (cd "$root" && "$venv/bin/python" -m pytest -q -n "$(nproc)" tests/python)
}

fuzz() {
  local seconds=${1:-60}
  prepare clang libclang-rt-14-dev
  say "building the fuzz targets with clang, ASan and UBSan"
  CXX=clang++ cmake -S "$root" -B "$root/build/fuzz" -G Ninja -DCMAKE_MAKE_PROGRAM="$venv/bin/ninja" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTORRELM_TESTS=OFF -DTORRELM_FUZZ=ON >/dev/null
  cmake --build "$root/build/fuzz"
  local target pids=() failed=0
  # libFuzzer runs one process per target: the two targets fuzz side by side, a core each.
  for target in read_index read_container; do
    mkdir -p "$root/build/fuzz/corpus_$target" "$root/build/fuzz/findings"
    say "fuzzing fuzz_$target for $seconds s (seeds in fuzz/corpus_$target, findings in build/fuzz/findings)"
    # New inputs go to the scratch corpus first; the seeds in the repository stay as they are.
    "$root/build/fuzz/fuzz_$target" -max_total_time="$seconds" -max_len=4096 -timeout=10 \
      -print_final_stats=1 -artifact_prefix="$root/build/fuzz/findings/" \
      "$root/build/fuzz/corpus_$target" "$root/fuzz/corpus_$target" \
      >"$root/build/fuzz/fuzz_$target.log" 2>&1 &
    pids+=($!)
  done
  for target in read_index read_container; do
    wait "${pids[0]}" || failed=1
    pids=("${pids[@]:1}")
    say "fuzz_$target:"
    grep -E "^(#[0-9]+ +(INITED|DONE)|stat::number_of_executed_units|stat::peak_rss|SUMMARY|==[0-9]+== ERROR)" \
      "$root/build/fuzz/fuzz_$target.log" || true
  done
  if [ "$failed" -ne 0 ]; then
    say "fuzzing found a fault: build/fuzz/fuzz_*.log, inputs in build/fuzz/findings"
    return 1
  fi
  say "fuzzing found nothing"
}

dist() {
  prepare
  "$venv/bin/python" -m pip install -q --disable-pip-version-check build
  rm -rf "$root/dist"
  local sources
  sources=$(module_sources)
  say "building the sdist and, from it, the wheel"
  "$venv/bin/python" -m build --outdir "$root/dist" "$root" >/dev/null
  ls -l "$root/dist"
  local fresh
  fresh=$(mktemp -d)
  "$(find_python)" -m venv "$fresh/venv"
  "$fresh/venv/bin/python" -m pip install -q --disable-pip-version-check "$root"/dist/*.whl
  say "running the examples against the installed wheel"
  for example in "$root"/examples/*.py; do
    # The Spark job needs Spark and its logs: make test-spark runs it.
    case "$(basename "$example")" in spark_*) continue ;; esac
    (cd "$fresh" && "$fresh/venv/bin/python" "$example" >/dev/null) || return 1
  done
  say "type-checking a project outside the source tree against the installed wheel"
  "$fresh/venv/bin/python" -m pip install -q --disable-pip-version-check mypy numpy
  mkdir "$fresh/project"
  cat >"$fresh/project/uses_torrelm.py" <<'EOF'
import numpy as np

import _torrelm
import torrelm

index: _torrelm.PrefixSearch = torrelm.PrefixSearch.from_bytes(b"")
terms: list[tuple[str, int, int]] = index.fuzzy_match("a", 1, None)
videos: list[tuple[str, float]] = index.fuzzy_match_video("a", include_prefix_nodes=True)
videos = index.fuzzy_match_video("a", 1, 5, include_prefix_nodes=np.bool_(True))
builder = torrelm.IndexBuilder()
builder.add("a", np.uint32(7), np.int64(3))
torrelm.save(builder.build(video_top_n=np.uint8(2)), "videos.idx")
loaded: torrelm.Index = torrelm.load("videos.idx")
terms = torrelm.Index.from_bytes(memoryview(loaded.to_bytes())).fuzzy_match("a", limit=np.int64(3))
videos = loaded.fuzzy_match_video("a", include_prefix_nodes=np.bool_(False))
EOF
  (cd "$fresh/project" && "$fresh/venv/bin/python" -m mypy --strict uses_torrelm.py) || return 1
  rm -rf "$fresh"
  say "the wheel installs, runs the examples and type-checks"
  say "installing it in $venv too: the other jobs test this build of the module, not one more"
  rm -f "$module_stamp"
  "$venv/bin/python" -m pip install -q --disable-pip-version-check --force-reinstall --no-deps \
    "$root"/dist/*.whl
  [ -z "$sources" ] || echo "$sources" >"$module_stamp"
}

sanitize() {
  prepare
  say "building the core tests and the module with AddressSanitizer and UndefinedBehaviorSanitizer"
  cmake -S "$root" -B "$root/build/asan" -G Ninja -DCMAKE_MAKE_PROGRAM="$venv/bin/ninja" \
    -DCMAKE_BUILD_TYPE=Debug -DTORRELM_MODULE=ON -DTORRELM_TESTS=ON \
    -DTORRELM_SANITIZE="address;undefined" -DPython_EXECUTABLE="$venv/bin/python" >/dev/null
  cmake --build "$root/build/asan"
  ctest --test-dir "$root/build/asan" --output-on-failure -j "$(nproc)"
  local logs="$root/build/asan/reports"
  rm -rf "$logs" && mkdir -p "$logs/whole" "$logs/fast"
  # The sanitized module comes first on the path; the interpreter allocates with malloc so that
  # every allocation is seen; sanitizer runtimes are preloaded since python3 is not built with them.
  # The interpreter's own leftovers at exit would fail every run: leaks are judged from the reports.
  local sanitized=(env TORRELM_SANITIZED=1 PYTHONMALLOC=malloc
    PYTHONPATH="$root/build/asan:$root/python"
    LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libubsan.so)"
    LSAN_OPTIONS="exitcode=0" UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1")
  # A leaked Python object is allocated inside the interpreter, which keeps no frame pointers: only
  # the slow unwinder carries its stack on to the module's frames that made it. It costs some ten
  # times as much on every allocation, so it records the stacks of the leak tests alone (every
  # method of both modules, on success and on its error paths, many times), in pytest without its
  # plugins, whose imports alone take minutes with it. The other tests share both cores with the
  # fast unwinder, whose stacks still reach the module for what its C++ code allocates.
  say "the Python tests against the sanitized module; beside them, the leak tests with whole stacks"
  local whole=0 fast=0 reports=0 pid
  (cd "$root" && "${sanitized[@]}" PYTEST_DISABLE_PLUGIN_AUTOLOAD=1 \
    ASAN_OPTIONS="detect_leaks=1:fast_unwind_on_malloc=0:log_path=$logs/whole/asan" \
    "$venv/bin/python" -m pytest -q -p no:cacheprovider tests/python/test_leaks.py \
    >"$logs/whole.out" 2>&1) &
  pid=$!
  (cd "$root" && "${sanitized[@]}" \
    ASAN_OPTIONS="detect_leaks=1:fast_unwind_on_malloc=1:log_path=$logs/fast/asan" \
    "$venv/bin/python" -m pytest -q -p no:cacheprovider -n "$(nproc)" -m "not no_sanitizer" \
    --ignore=tests/python/test_leaks.py tests/python) || fast=$?
  wait "$pid" || whole=$?
  say "the leak tests with whole stacks:"
  cat "$logs/whole.out"
  "$venv/bin/python" "$root/tools/asan_leaks.py" "$logs/fast" || reports=1
  "$venv/bin/python" "$root/tools/asan_leaks.py" "$logs/whole" || reports=1
  [ "$fast" -eq 0 ] && [ "$whole" -eq 0 ] && [ "$reports" -eq 0 ]
}

case "${1:-}" in
  setup) setup ;;
  test) setup && check_format && test_cpp && test_python ;;
  demo) setup && "$venv/bin/python" "$root/demo/demo.py" "${@:2}" ;;
  bench)
    setup
    install_system_packages wbulgarian wpolish libbenchmark-dev
    # hunspell is one of the spelling peers, not a need: where it does not install, it is n/a.
    install_system_packages hunspell hunspell-en-us || say "hunspell did not install: it is n/a"
    "$venv/bin/python" -m pip install -q --disable-pip-version-check rapidfuzz symspellpy \
      marisa-trie "fast-autocomplete[levenshtein]" "setuptools<81" codespell wordfreq
    # The closed loop of bench_serve.py: wrk is its load generator, granian one of the stacks.
    install_system_packages wrk
    "$venv/bin/python" -m pip install -q --disable-pip-version-check granian
    cmake -S "$root" -B "$root/build/bench" -G Ninja -DCMAKE_MAKE_PROGRAM="$venv/bin/ninja" \
      -DCMAKE_BUILD_TYPE=Release -DTORRELM_TESTS=OFF -DTORRELM_BENCH=ON >/dev/null
    cmake --build "$root/build/bench"
    "$root/build/bench/torrelm_bench_walk" /usr/share/dict/american-english-insane \
      /usr/share/dict/bulgarian /usr/share/dict/polish --benchmark_min_time=0.5
    "$venv/bin/python" "$root/bench/bench_build.py"
    "$venv/bin/python" "$root/bench/bench_bytes.py"
    "$venv/bin/python" "$root/bench/bench_fuzzy.py"
    "$venv/bin/python" "$root/bench/bench_video.py"
    "$venv/bin/python" "$root/bench/bench_ingest.py"
    "$venv/bin/python" "$root/bench/bench_search.py"
    "$venv/bin/python" "$root/bench/bench_quality.py"
    "$venv/bin/python" "$root/bench/bench_budget.py"
    "$venv/bin/python" "$root/bench/bench_typeahead.py"
    "$venv/bin/python" "$root/bench/bench_serve.py" --only closed --closed 16 --closed 64
    ;;
  bench-report)
    setup
    install_system_packages wbulgarian wpolish
    install_system_packages hunspell hunspell-en-us || say "hunspell did not install: it is n/a"
    # fast-autocomplete imports pkg_resources, which setuptools 81 and later no longer ship.
    "$venv/bin/python" -m pip install -q --disable-pip-version-check rapidfuzz symspellpy matplotlib \
      marisa-trie "fast-autocomplete[levenshtein]" "setuptools<81" codespell wordfreq
    "$venv/bin/python" "$root/bench/report.py" "${@:2}"
    # report.py writes the report afresh; the spelling section goes in after it.
    "$venv/bin/python" "$root/bench/bench_quality.py" --into "$root/docs/performance.md" >/dev/null
    ;;
  fuzz) fuzz "${@:2}" ;;
  dist) dist ;;
  armhf)
    prepare g++-arm-linux-gnueabihf qemu-user googletest
    say "the core and its tests for armhf (32-bit size_t), run under qemu-arm"
    cmake -S "$root" -B "$root/build/armhf" -G Ninja -DCMAKE_MAKE_PROGRAM="$venv/bin/ninja" \
      -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchains/armhf.cmake" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DTORRELM_TESTS=ON -DTORRELM_WERROR=ON >/dev/null
    cmake --build "$root/build/armhf"
    ctest --test-dir "$root/build/armhf" --output-on-failure -j "$(nproc)"
    ;;
  valgrind)
    setup valgrind
    "$venv/bin/python" "$root/tools/valgrind_check.py"
    ;;
  fuzz-python)
    setup
    (cd "$root" && HYPOTHESIS_PROFILE=long "$venv/bin/python" -m pytest -q -p no:cacheprovider \
      tests/python/test_hostile.py --hypothesis-show-statistics)
    ;;
  sanitize) sanitize ;;
  test-spark)
    setup openjdk-17-jre-headless
    "$venv/bin/python" -m pip install -q --disable-pip-version-check pyspark duckdb
    say "the Spark job in local mode, against DuckDB and the command line"
    (cd "$root" && "$venv/bin/python" tools/spark_check.py)
    ;;
  serve)
    setup
    # A folder of its own: an index of the word list that an older make serve left in build/demo
    # is not what this serves.
    folder="$root/build/demo/clicks"
    if [ ! -f "$folder/videos.idx" ] || [ ! -f "$folder/titles.parquet" ]; then
      say "building the demo's index from a generated click log in $folder (once; delete it to build it again)"
      "$venv/bin/python" "$root/demo/build_index.py" "$folder"
    fi
    say "serving $folder/videos.idx on http://127.0.0.1:${2:-8000}/"
    exec "$venv/bin/python" -m torrelm serve "$folder/videos.idx" --videos "$folder/titles.parquet" \
      --host 127.0.0.1 --port "${2:-8000}"
    ;;
  test-browser)
    setup chromium chromium-driver
    "$venv/bin/python" -m pip install -q --disable-pip-version-check selenium
    say "the search page in headless Chromium against the service (screenshot in docs/page.png)"
    (cd "$root" && "$venv/bin/python" -m pytest -q -p no:cacheprovider tests/browser)
    ;;
  *) echo "usage: $0 setup|test|demo|bench|bench-report|fuzz|fuzz-python|dist|sanitize|valgrind|armhf|test-spark|serve|test-browser" >&2; exit 2 ;;
esac
