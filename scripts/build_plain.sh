# shellcheck shell=bash
# Sourced by the tour and the exercises: the real programs, built as the
# tour builds them.
#   build_plain TARGET...   TARGET built in build/plain, the tree set up first
#                           when it is new: without the tests, so that
#                           GoogleTest is not needed (scripts/test.sh turns
#                           them on in the same tree); CMake's words on
#                           standard output and error
build_plain() {
    : "${root:?set by the script that sources this}"
    # CMake reads the presets from the directory it runs in: the root.
    (
        cd "$root" &&
            { [ -f build/plain/CMakeCache.txt ] || cmake --preset plain -DBUILD_TESTING=OFF; } &&
            cmake --build --preset plain --target "$@" -j "$(nproc)"
    )
}
