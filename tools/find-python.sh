# The interpreter tools/dev and tools/fuzz build with; sourced by both, with $root set.
#
#   kamo_find_python TOOL GROUP [MODULE...]
#
# Sets py to the absolute path of KAMO_PYTHON (default: `python`, else `python3`, on PATH) and
# puts that interpreter's scripts folder first on PATH, where pip puts cmake and ninja, active
# virtual environment or not. Fails, saying how to install the dependency group GROUP of
# pyproject.toml, when the interpreter cannot import a MODULE or cmake or ninja is not found.
# Installs nothing itself.
kamo_find_python() {
    local tool=$1 group=$2
    shift 2
    py=${KAMO_PYTHON:-$(command -v python || command -v python3 || true)}
    py=$(command -v "$py" || true)
    [ -n "$py" ] || { echo "$tool: no python found; set KAMO_PYTHON" >&2; exit 2; }
    py=$("$py" -c 'import sys; print(sys.executable)')  # absolute, for CMake and after cd
    local scripts missing=() module program
    scripts=$("$py" -c 'import sysconfig; print(sysconfig.get_path("scripts"))')
    export PATH="$scripts:$PATH"
    for module in "$@"; do
        "$py" -c "import $module" 2>/dev/null || missing+=("$module (in $py)")
    done
    for program in cmake ninja; do
        command -v "$program" >/dev/null || missing+=("$program")
    done
    if [ ${#missing[@]} -gt 0 ]; then
        # Dependency groups need pip 25.1 or newer; a new virtual environment's pip is often older.
        echo "$tool: missing ${missing[*]}; install the build tools (without building the package) with:" >&2
        echo "  $py -m pip install -U 'pip>=25.1' && $py -m pip install --group '$root/pyproject.toml:$group'" >&2
        exit 2
    fi
}
