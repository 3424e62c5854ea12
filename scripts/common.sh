# Shell functions shared by the CI scripts (sourced, not run).

# The interpreter of a version ("3.6"), or failure when it is not here.
find_python() {
    local want=$1 candidate
    for candidate in "python$want" /root/.pyenv/versions/"$want".*/bin/python"$want" \
                     "$HOME"/.pyenv/versions/"$want".*/bin/python"$want"; do
        # A pyenv shim exists for every version but runs only the selected ones.
        if command -v "$candidate" >/dev/null 2>&1 && "$candidate" -c "import sys" >/dev/null 2>&1; then
            command -v "$candidate"
            return 0
        fi
    done
    return 1
}

# A fresh virtual environment at $2 for interpreter $1, with a pip that can
# pick the releases that still support 3.6.
fresh_venv() {
    local py=$1 venv=$2
    rm -rf "$venv"
    "$py" -m venv "$venv"
    if ! "$venv/bin/python" -c "import sys; sys.exit(sys.version_info < (3, 7))"; then
        "$venv/bin/python" -m pip install -q "pip>=21,<22" 2>&1 | grep -v "is ignored" || true
    fi
}

# A copy of the working tree without build artefacts at $1: setuptools
# reuses the object files under build/ whatever the flags, so every build
# with its own flags starts from a clean copy.
clean_copy() {
    local dest=$1
    rm -rf "$dest"
    mkdir -p "$dest"
    tar -C "$ROOT" --exclude=./build --exclude='./.venv*' --exclude=./.hypothesis \
        --exclude='./src/*.egg-info' --exclude='*.so' --exclude=__pycache__ --exclude=./dist \
        -cf - . | tar -C "$dest" -xf -
}

# pip install quietly, keeping pip's real errors.  Python 3.7 to 3.9 ask
# PyPI's own index only: a machine's local mirror of wheels and file indexes
# tells no release's Python versions, and there the newest releases (made for
# 3.10 and later) send pip's resolver back through every older one for hours.
quiet_pip() {
    local venv=$1
    shift
    local -a plain=()
    if "$venv/bin/python" -c "import sys; sys.exit(not (3, 7) <= sys.version_info < (3, 10))"; then
        plain=(env -u PIP_FIND_LINKS -u PIP_EXTRA_INDEX_URL -u PIP_INDEX_URL PIP_CONFIG_FILE=/dev/null)
    fi
    ${plain[@]+"${plain[@]}"} "$venv/bin/python" -m pip install -q "$@" 2>&1 | grep -v "is ignored" || true
    return "${PIPESTATUS[0]}"
}
