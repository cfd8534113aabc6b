// Every program must run on a machine that has libc and nothing else.
#include "harness.h"

#include <cstdio>
#include <cstring>

TEST(Dependencies, EveryProgramNeedsLibcAlone)
{
    char list[] = PROGRAMS;
    for (char* name = strtok(list, ","); name != nullptr; name = strtok(nullptr, ",")) {
        SCOPED_TRACE(name);
        std::string command = "readelf -d '" + program(name) + "'";
        FILE* pipe = popen(command.c_str(), "r");
        ASSERT_NE(pipe, nullptr);
        std::vector<std::string> needed;
        char line[512];
        bool dynamic = false;
        while (fgets(line, sizeof line, pipe) != nullptr) {
            dynamic |= strstr(line, "Dynamic section") != nullptr;
            const char* lib = strstr(line, "(NEEDED)");
            if (lib == nullptr)
                continue;
            const char* open = strchr(lib, '[');
            const char* close = open ? strchr(open, ']') : nullptr;
            EXPECT_NE(close, nullptr) << line;
            if (close != nullptr)
                needed.emplace_back(open + 1, close);
        }
        EXPECT_EQ(pclose(pipe), 0);
        EXPECT_TRUE(dynamic);
        EXPECT_EQ(needed, std::vector<std::string>{"libc.so.6"});
    }
}
