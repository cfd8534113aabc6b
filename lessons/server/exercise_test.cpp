// server's exercise: a check where some of the server's tests cannot run, and
// a trace that will not run the server in the real /tmp.
#include "exercise_test.h"

namespace {

class ServerExercise : public Exercise {};

// Where user namespaces are refused and the learner is not root, the
// server's tests that take the write permission from the server cannot run:
// the check names them, says why, and is no pass. Made so in a user
// namespace of the test's own, where the test is root and may lower the
// namespaces' limit: to the one namespace then made inside it, where the
// check runs as an ordinary user (uid 1000) and can make none; with a /tmp
// of its own, so that the server's tests leave a learner's /tmp/new alone.
TEST_F(ServerExercise, ACheckWithTestsThatCouldNotRunIsNoPass)
{
    Piped probe;
    run_piped(probe, "/usr/bin/unshare", "", 20, {}, {"--user", "--map-root-user", "/bin/true"});
    if (!probe.end.exited || probe.end.status != 0)
        GTEST_SKIP() << "no user namespace here to lower the limit in: " << probe.err_text;
    exercise({"start", "server"});
    const std::string copy = last_line();
    write_file(copy, real_source("server"));
    // The folders under /tmp that the check uses are kept in the new /tmp.
    const char* script = R"(
        set -e
        tops=() fds=()
        while [ "$1" != -- ]; do
            case $1 in /tmp/?*) rest=${1#/tmp/}; tops+=("/tmp/${rest%%/*}"); exec {fd}<"/tmp/${rest%%/*}"; fds+=("$fd") ;; esac
            shift
        done
        shift
        mount -t tmpfs tmpfs /tmp
        for i in "${!tops[@]}"; do
            mkdir -p "${tops[$i]}"
            mount --no-canonicalize --bind "/proc/self/fd/${fds[$i]}" "${tops[$i]}"
        done
        echo 1 >/proc/sys/user/max_user_namespaces
        exec unshare --user --map-user=1000 --map-group=1000 "$@"
    )";
    run_piped(run, "/usr/bin/unshare", "", 600,
              {"EXERCISES_DIR=" + path("copies"), "EXERCISE_BUILD=" CHECKS_BUILD},
              {"--user", "--map-root-user", "--mount", "/bin/bash", "-c", script, "bash", dir, CHECKS_BUILD,
               SOURCE_DIR, "--", "/bin/bash", std::string(SOURCE_DIR) + "/scripts/exercise.sh", "check", "server",
               "--junit", path("junit.xml"), "--gradescope", path("results.json")});
    expect_exit(run.end, 1);
    EXPECT_NE(run.out_text.find("\u2717 Not every test of server could run here, so this is not a pass."),
              std::string::npos)
        << run.out_text << run.err_text;
    EXPECT_NE(run.out_text.find("\n    Server.WaitsQuietlyWithoutWritePermission (plain build): no user namespace here"),
              std::string::npos)
        << run.out_text;
    EXPECT_EQ(read_file(path("copies/server/.last-check")), "failed\n");
    // The results say so too: a skipped element, and an entry with no point
    // earned, not marked passed, that says why.
    const std::string junit = read_file(path("junit.xml"));
    EXPECT_NE(junit.find("name=\"WaitsQuietlyWithoutWritePermission\" time=\""), std::string::npos) << junit;
    EXPECT_NE(junit.find("<skipped message=\"Could not run here, so it is not counted as passed: no user namespace here"),
              std::string::npos)
        << junit;
    const std::string results = read_file(path("results.json"));
    size_t entry = results.find("\"name\": \"server: Server.WaitsQuietlyWithoutWritePermission (plain build)\"");
    ASSERT_NE(entry, std::string::npos) << results;
    std::string fields = results.substr(entry, results.find('}', entry) - entry);
    EXPECT_NE(fields.find("\"score\": 0,"), std::string::npos) << fields;
    EXPECT_NE(fields.find("\"max_score\": 1,"), std::string::npos) << fields;
    EXPECT_EQ(fields.find("\"status\""), std::string::npos) << fields;
    EXPECT_NE(fields.find("\"output\": \"Could not run here, so it is not counted as passed"), std::string::npos) << fields;
    EXPECT_NE(results.find("could not run (not counted as passed)"), std::string::npos) << results;
}

// The server's tests give it a /tmp of its own, with the FIFO there: run
// again outside the test, the server would read the real /tmp/new, which may
// be a learner's running server's. The trace beside says so, and runs none.
TEST_F(ServerExercise, TraceRunsNoServerInTheRealTmp)
{
    exercise({"start", "server"});
    exercise({"trace", "server"});
    expect_exit(run.end, 1);
    EXPECT_NE(run.err_text.find("with a /tmp of its own (a FIFO there), and such an exchange is not run again"),
              std::string::npos)
        << run.err_text;
    EXPECT_EQ(run.out_text.find("Your copy, run through"), std::string::npos) << run.out_text;
}

}  // namespace
