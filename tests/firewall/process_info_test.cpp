// The executable's path and the computer name from the real platform.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "platform/process_info.h"

namespace {

#ifdef _WIN32
const char* const kProgram = "firewall_process_info_test.exe";
#else
const char* const kProgram = "firewall_process_info_test";
#endif

TEST(ProcessInfoTest, ExecutablePathNamesThisProgram) {
    char path[260];
    std::memset(path, 'x', sizeof path);
    const std::size_t length = ReadExecutablePathText(path, sizeof path);
    ASSERT_GT(length, 0u);
    EXPECT_EQ(std::strlen(path), length);
    const std::string text(path);
    ASSERT_GE(text.size(), std::strlen(kProgram));
    EXPECT_EQ(text.substr(text.size() - std::strlen(kProgram)), kProgram) << text;
    // A full path, not a bare name.
    EXPECT_GT(text.size(), std::strlen(kProgram));
}

TEST(ProcessInfoTest, APathThatDoesNotFitIsNotHandedOutCutOff) {
    char full[260];
    const std::size_t length = ReadExecutablePathText(full, sizeof full);
    ASSERT_GT(length, 4u);
    for (const std::size_t size : {std::size_t{1}, std::size_t{4}, length, length + 1}) {
        SCOPED_TRACE(size);
        char area[260];
        std::memset(area, 'x', sizeof area);
        const std::size_t got = ReadExecutablePathText(area, size);
        if (size > length) {
            EXPECT_EQ(got, length);
            EXPECT_STREQ(area, full);
        } else {
            EXPECT_EQ(got, 0u);
            EXPECT_EQ(area[0], '\0');
        }
    }
    EXPECT_EQ(ReadExecutablePathText(full, 0), 0u);
}

TEST(ProcessInfoTest, ComputerNameIsReadable) {
    std::u16string name;
    ASSERT_TRUE(ReadComputerNameText(&name));
    EXPECT_FALSE(name.empty());
    EXPECT_EQ(name.find(u'\0'), std::u16string::npos);
#ifdef _WIN32
    EXPECT_LE(name.size(), 15u);
#endif
}

}  // namespace
