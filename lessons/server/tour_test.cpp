// server's tour stop: played only where the tour may, into a FIFO of the
// user's own, and by one tour at a time; and its what-if, stopped by Ctrl-C.
#include "tour_test.h"

namespace {

class ServerTour : public Tour {
protected:
    // The kit's server starts only once the file path("go") is there.
    void server_waits()
    {
        ASSERT_EQ(unlink(path("kit/build/plain/bin/server").c_str()), 0);
        write_file(path("kit/build/plain/bin/server"), "#!/bin/sh\nuntil [ -e " + path("go") +
                                                            " ]; do sleep 0.05; done\nexec " + program("server") + "\n");
        ASSERT_EQ(chmod(path("kit/build/plain/bin/server").c_str(), 0755), 0);
    }
};

// On a shared machine another user's FIFO at /tmp/new, which the tour's
// clients cannot write into, skips the server stop with the reason, and the
// tour still ends well. Played in a /tmp of the test's own, by a user who is
// not the FIFO's owner (nobody, when the test runs as root); the build is a
// stand-in, as the stop is skipped before any program runs.
TEST_F(ServerTour, SkipsTheServerStopOnAnotherUsersFifo)
{
    TempDirTest::TearDown();  // the directory is made again inside the new /tmp
    std::string no_private_tmp = enter_private_tmp();
    TempDirTest::SetUp();
    if (!no_private_tmp.empty())
        GTEST_SKIP() << "no /tmp of the test's own to make /tmp/new in (" << no_private_tmp << ")";
    ASSERT_EQ(chmod(dir.c_str(), 0755), 0);
    ASSERT_EQ(mkdir(path("bin").c_str(), 0755), 0);
    fake("cmake", "exit 0");
    // The scripts, copied where nobody can reach them: the clone may be in
    // a home directory of mode 0700.
    for (const char* name : {"tour", "tour/scripts", "tour/lessons", "tour/lessons/server"})
        ASSERT_EQ(mkdir(path(name).c_str(), 0755), 0) << name;
    for (const char* file : {"scripts/tour.sh", "scripts/setup.sh", "scripts/wrap.sh", "scripts/wrap.awk",
                             "scripts/registry.sh", "scripts/record.sh", "scripts/build_plain.sh", "registry.txt",
                             "lessons/server/tour.sh"}) {
        write_file(path("tour/") + file, read_file(std::string(SOURCE_DIR) + "/" + file));
        ASSERT_EQ(chmod((path("tour/") + file).c_str(), 0755), 0);
    }
    std::vector<std::string> as_user = {"/bin/bash"};
    if (geteuid() == 0) {
        ASSERT_EQ(mkfifo("/tmp/new", 0644), 0);  // root's, which nobody may only read
        as_user = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "/bin/bash"};
    } else {
        ASSERT_EQ(mkfifo("/tmp/new", 0444), 0);  // one that its owner may not write into
    }
    std::vector<std::string> args(as_user.begin() + 1, as_user.end());
    args.insert(args.end(), {path("tour/scripts/tour.sh"), "server"});
    run_piped(run, as_user[0], "", 60, {"PATH=" + path("bin") + ":/usr/bin:/bin", "CI=true"}, args);
    expect_exit(run.end, 0);
    // (the lines wrapped where the user's name puts the ends)
    EXPECT_NE(unwrapped(run.out_text).find("(skipped: /tmp/new is a FIFO of "), std::string::npos) << run.out_text;
    EXPECT_NE(unwrapped(run.out_text).find(" root can remove it (rm /tmp/new)"), std::string::npos) << run.out_text;
    EXPECT_EQ(run.err_text, "") << run.err_text;
}

// Two tours reach the server stop together (their servers held back until
// both are there): one runs it, the other finds that one's server reading
// /tmp/new and skips the stop, and neither fails. In a /tmp of the test's own.
TEST_F(ServerTour, OfTwoToursAtOnceOneRunsTheServer)
{
    if (std::string why = private_tmp(); !why.empty())
        GTEST_SKIP() << "no /tmp of the test's own to make /tmp/new in (" << why << ")";
    make_kit();
    server_waits();
    Piped tours[2];
    for (Piped& tour : tours)
        start_kit(tour, "tour.sh", {"server"});
    double deadline = now_seconds() + 60;
    for (Piped& tour : tours)
        while (descendants(tour.pid, "/build/plain/bin/server reader:/tmp/new").empty() && now_seconds() < deadline)
            read_output(tour, 0.05);
    ASSERT_LT(now_seconds(), deadline) << "not both at the server stop:\n" << tours[0].out_text << tours[1].out_text;
    write_file(path("go"), "");
    int ran = 0, skipped = 0;
    for (Piped& tour : tours) {
        finish(tour, 90);
        expect_exit(tour.end, 0);
        ran += tour.out_text.find("(25 bytes are read as 20") != std::string::npos;
        skipped += tour.out_text.find("(skipped: a server is already reading /tmp/new") != std::string::npos;
    }
    EXPECT_EQ(ran, 1) << tours[0].out_text << tours[1].out_text;
    EXPECT_EQ(skipped, 1) << tours[0].out_text << tours[1].out_text;
}

// Root's tour writes only into a FIFO of its own at /tmp/new. In a /tmp of
// the test's own, without the sticky bit (so the kernel's protection of
// links there does not apply), nobody swaps /tmp/new for a link to a file of
// root's once the tour's server has it open: a FIFO of nobody's, and one the
// server made. The file stays as it was.
TEST_F(ServerTour, WritesOnlyIntoAFifoOfItsOwn)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root: to act as a second user (nobody) in a /tmp of the test's own";
    if (std::string why = private_tmp(); !why.empty())
        GTEST_SKIP() << "no /tmp of the test's own to make /tmp/new in (" << why << ")";
    ASSERT_EQ(chmod("/tmp", 0777), 0);
    ASSERT_EQ(chmod(dir.c_str(), 0755), 0);
    make_kit();
    write_file(path("victim"), "root's own\n");
    for (bool nobodys : {true, false}) {
        SCOPED_TRACE(nobodys ? "a FIFO of nobody's" : "the server's FIFO");
        unlink("/tmp/new");
        if (nobodys) {
            ASSERT_EQ(mkfifo("/tmp/new", 0666), 0);
            ASSERT_EQ(chmod("/tmp/new", 0666), 0);
            ASSERT_EQ(chown("/tmp/new", 65534, 65534), 0);
        }
        Piped tour;
        start_kit(tour, "tour.sh", {"server"});
        double deadline = now_seconds() + 60;
        while (!has_ended(tour) && !has_open(tour.pid, "/tmp/new") && now_seconds() < deadline)
            read_output(tour, 0.02);
        bool opened = !has_ended(tour) && now_seconds() < deadline;
        if (opened) {
            Piped swap;
            run_piped(swap, "/usr/bin/setpriv", "", 20, {},
                      {"--reuid=65534", "--regid=65534", "--clear-groups", "/bin/sh", "-c",
                       "ln -s " + path("victim") + " /tmp/new.swap && mv -T /tmp/new.swap /tmp/new"});
            expect_exit(swap.end, 0);
        }
        finish(tour, 90);
        EXPECT_EQ(read_file(path("victim")), "root's own\n") << tour.out_text;
        if (nobodys)
            EXPECT_NE(tour.out_text.find("(skipped: /tmp/new is a FIFO of nobody's"), std::string::npos)
                << tour.out_text;
        else
            EXPECT_TRUE(opened) << "the server never opened its FIFO:\n" << tour.out_text;
    }
}

// Ctrl-C as the what-if begins its run under a time limit ends the run and
// the what-if at once, with status 130, and leaves no process behind.
TEST_F(ServerTour, CtrlCEndsTheWhatIfsRunUnderATimeLimit)
{
    make_kit();
    expect_ctrl_c_ends_the_what_if("what_if.sh", {"show", "server--no-flush"}, "/changed-server--no-flush/");
}

}  // namespace
