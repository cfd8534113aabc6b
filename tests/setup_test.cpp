// The set-up step, driven with a stand-in for apt-get that says what the
// real one would, step by step: each step held until the test has seen what
// the script made of the one before.
#include "harness.h"

#include <sys/stat.h>
#include <unistd.h>

namespace {

class Setup : public TempDirTest {
protected:
    // A bin directory with the machine's tools that the scripts use, and
    // stand-ins (true) for the commands given.
    void make_bin(std::initializer_list<const char*> stand_ins)
    {
        ASSERT_EQ(mkdir(path("bin").c_str(), 0755), 0);
        for (const char* tool : {"bash", "sh", "env", "id", "dirname", "mktemp", "rm", "cat", "grep", "sed", "sleep",
                                 "ln", "true"})
            link(tool, tool);
        // mawk where there is one: Debian's awk, which reads a pipe in blocks.
        link(access("/usr/bin/mawk", X_OK) == 0 ? "mawk" : "awk", "awk");
        for (const char* command : stand_ins)
            link("true", command);
    }
    void link(const std::string& tool, const std::string& as)
    {
        std::string real = "/usr/bin/" + tool;
        if (access(real.c_str(), X_OK) != 0)
            real = "/bin/" + tool;
        ASSERT_EQ(symlink(real.c_str(), path("bin/" + as).c_str()), 0) << tool;
    }
    // A stand-in; in its body, "hold NAME" waits (a minute at most) until
    // the test lets it go on with let_go(NAME).
    void fake(const std::string& name, const std::string& body)
    {
        write_file(path("bin/" + name), "#!/bin/sh\nhold() { i=0; while [ ! -e " + path("") +
                                            "\"$1\" ] && [ $i -lt 600 ]; do sleep 0.1; i=$((i + 1)); done; }\n" +
                                            body + "\n");
        ASSERT_EQ(chmod(path("bin/" + name).c_str(), 0755), 0);
    }
    void let_go(const std::string& name) { write_file(path(name), ""); }
    void start_setup(const char* what)
    {
        start_piped(run, "/bin/bash", {"PATH=" + path("bin"), "CI=true"},
                    {std::string(SOURCE_DIR) + "/scripts/setup.sh", what});
    }
    Piped run;
};

// What apt-get says it installed but is still not to be found is named,
// and the set-up fails.
TEST_F(Setup, SaysWhatIsStillMissingAfterInstalling)
{
    make_bin({"g++", "gcc", "make", "cmake", "git"});
    fake("apt-get", "exit 0");  // installs nothing
    start_setup("what-if");
    finish(run, 60);
    expect_exit(run.end, 1);
    EXPECT_NE(run.err_text.find("setup: apt-get ended well, yet strace still cannot be found here"),
              std::string::npos)
        << run.err_text;
    EXPECT_EQ(run.out_text.find("installed"), std::string::npos) << run.out_text;
}

// Each line of apt-get's progress shows while apt-get is still at that
// step, whatever awk the machine has.
TEST_F(Setup, ShowsEachStepOfTheInstallAsItComes)
{
    make_bin({"g++", "gcc", "make", "cmake", "git"});
    fake("apt-get", "case \"$*\" in *Status-Fd=3*\" install \"*)\n"
                    "  echo dlstatus:1:20.5:Retrieving file 1 of 1 >&3; hold downloaded\n"
                    "  echo pmstatus:strace:amd64:60:Installing strace:amd64 >&3; hold installed\n"
                    "  ln -s /bin/true " +
                        path("bin/strace") + " ;;\nesac");
    start_setup("what-if");
    EXPECT_TRUE(wait_output(run, "setup: downloading:  20%  Retrieving file 1 of 1\n", 30)) << run.out_text;
    let_go("downloaded");
    EXPECT_TRUE(wait_output(run, "setup: installing:  60%  Installing strace:amd64\n", 30)) << run.out_text;
    let_go("installed");
    finish(run, 60);
    expect_exit(run.end, 0);
    EXPECT_NE(run.out_text.find("\nsetup: installed strace\n"), std::string::npos) << run.out_text;
}

}  // namespace
