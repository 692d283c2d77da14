#!/usr/bin/env bash
# Runs every CTest test under valgrind memcheck: no memory error and no definitely lost block
# is accepted (possibly lost and still reachable blocks, which Qt's caches produce, are not
# errors). Builds a Debug tree of its own in $VALGRIND_BUILD_DIR (default build-valgrind).
#
#   scripts/valgrind.sh                  every test
#   scripts/valgrind.sh tst_jobs tst_queue only the tests named (regular expressions)
#
# Tests that only drive other programs through cmake (tst_package) are skipped.
# scripts/valgrind.supp holds the few suppressions that Qt's own code needs.
set -euo pipefail
# QRegularExpression's JIT code (PCRE2) reads its own uninitialised scratch data, which memcheck
# cannot follow; the interpreter gives the same matches.
export QT_ENABLE_REGEXP_JIT=0
cd "$(dirname "$0")/.."
root=$PWD
build=${VALGRIND_BUILD_DIR:-build-valgrind}

# An existing build tree (CI passes the one it has just tested) is reused as configured.
if [[ -f "$build/CMakeCache.txt" ]]; then
    cmake -S . -B "$build" >/dev/null
else
    cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Debug >/dev/null
fi
cmake --build "$build" -j2 >/dev/null
build=$(cd "$build" && pwd)
mkdir -p "$build/valgrind"

# Each test as JSON: name, command line, environment, working directory.
ctest --test-dir "$build" --show-only=json-v1 >"$build/valgrind/tests.json"
python3 - "$build/valgrind/tests.json" "$@" >"$build/valgrind/tests.txt" <<'PY'
import json, re, sys
tests = json.load(open(sys.argv[1]))["tests"]
only = sys.argv[2:]
for t in tests:
    name, command = t["name"], t.get("command") or []
    if only and not any(re.search(p, name) for p in only):
        continue
    if not command:
        continue
    # A cmake script that runs one of our programs (-DPROGRAM=...) runs it under valgrind;
    # one that only drives cmake (tst_package) is skipped.
    if command[0].endswith("cmake") and not any(a.startswith("-DPROGRAM=") for a in command):
        continue
    props = {p["name"]: p["value"] for p in t.get("properties", [])}
    env = props.get("ENVIRONMENT", [])
    cwd = props.get("WORKING_DIRECTORY", "")
    print(json.dumps({"name": name, "command": command, "env": env, "cwd": cwd}))
PY

run_one() {
    python3 - "$1" "$root" "$build" <<'PY'
import json, os, subprocess, sys
t = json.loads(sys.argv[1])
root, build = sys.argv[2], sys.argv[3]
env = dict(os.environ)
for kv in t["env"]:
    k, _, v = kv.partition("=")
    env[k] = v
log = os.path.join(build, "valgrind", t["name"] + ".log")
valgrind = ["valgrind", "--tool=memcheck", "--error-exitcode=99", "--leak-check=full",
            "--show-leak-kinds=definite", "--errors-for-leak-kinds=definite", "--num-callers=40",
            "--suppressions=" + os.path.join(root, "scripts", "valgrind.supp"),
            "--gen-suppressions=all", "--log-file=" + log]
command = t["command"]
if command[0].endswith("cmake"):
    # The script checks the program's exit code and output: valgrind wraps the program only.
    wrapper = os.path.join(build, "valgrind", t["name"] + ".sh")
    program = next(a for a in command if a.startswith("-DPROGRAM="))[len("-DPROGRAM="):]
    with open(wrapper, "w") as f:
        f.write("#!/bin/sh\nexec " + " ".join("'%s'" % a for a in valgrind + [program]) + ' "$@"\n')
    os.chmod(wrapper, 0o755)
    cmd = [a if not a.startswith("-DPROGRAM=") else "-DPROGRAM=" + wrapper for a in command]
else:
    cmd = valgrind + command
rc = subprocess.run(cmd, env=env, cwd=t["cwd"] or None, stdout=subprocess.DEVNULL,
                    stderr=subprocess.DEVNULL).returncode
summary = [l.split("== ", 1)[-1].strip() for l in open(log) if "ERROR SUMMARY" in l or "definitely lost:" in l] if os.path.exists(log) else ["no valgrind log"]
print(("PASS " if rc == 0 else "FAIL ") + t["name"] + (" (exit %d) " % rc if rc else " ") + "; ".join(summary[-2:]), flush=True)
sys.exit(1 if rc else 0)
PY
}
export -f run_one
export root build

failed=0
while IFS= read -r test; do
    printf '%s\0' "$test"
done <"$build/valgrind/tests.txt" | xargs -0 -P 2 -I{} bash -c 'run_one "$1"' _ {} || failed=1

passed=$(grep -c . "$build/valgrind/tests.txt" || true)
if [[ $failed -ne 0 ]]; then
    echo "valgrind: memory errors or definite leaks; logs in $build/valgrind/" >&2
    exit 1
fi
echo "valgrind: $passed tests clean"
