// DebugPrint / DebugFileLog formats and the wkd_new/wkd_old rotation.

#include <gtest/gtest.h>

#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>

#include "support/Log.h"
#include "support/Platform.h"

namespace {

std::string ReadFile(const std::string &path)
{
    std::ifstream f(path);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

void WriteFile(const std::string &path, const std::string &text)
{
    std::ofstream f(path);
    f << text;
}

class LogDir : public ::testing::Test {
protected:
    std::string dir;
    void SetUp() override
    {
        char tmpl[] = "/tmp/ipcam_log_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
        DebugSetLogDir(dir.c_str());
    }
    void TearDown() override
    {
        unlink((dir + "/wkd_new.log").c_str());
        unlink((dir + "/wkd_old.log").c_str());
        rmdir(dir.c_str());
        DebugSetLogDir(nullptr);
    }
};

}  // namespace

TEST(SupportLog, DebugPrintLineFormatAndCut)
{
    testing::internal::CaptureStderr();
    EXPECT_EQ(DebugPrint("open %s id:%d", "cam", 7), 0);
    DebugPrint("%s", std::string(2000, 'x').c_str());
    std::string out = testing::internal::GetCapturedStderr();
    std::regex re("\\[DEBUG PRINT\\] \\d{4}-\\d{2}-\\d{2} \\d{2}:\\d{2}:\\d{2}  open cam id:7={49}\n"
                  "\\[DEBUG PRINT\\] [^\n]*x");
    EXPECT_TRUE(std::regex_match(out, re)) << out;
    EXPECT_EQ(out.size() - out.find('\n') - 1, 1599u) << "the cut falls inside the message";
}

TEST(SupportLog, CaptureKeepsOnlyTheCallingThreadsMessages)
{
    char buf[24];
    testing::internal::CaptureStderr();
    DebugCaptureStart(buf, sizeof(buf));
    DebugPrint("one ret:%d\n", -5);
    std::thread([] { DebugPrint("other thread"); }).join();
    DebugPrint("two");
    DebugPrint("a line that no longer fits");
    DebugCaptureStop();
    DebugPrint("after");
    testing::internal::GetCapturedStderr();
    // 23 characters fit: "one ret:-5\n" (11), "two\n" (4), 7 of the third and
    // its newline; the terminator takes the last byte.
    EXPECT_STREQ(buf, "one ret:-5\ntwo\na line \n");
}

TEST_F(LogDir, FirstFileLogRotatesBothFiles)
{
    // Without files only the current log is made.
    testing::internal::CaptureStderr();
    DebugFileLog("x.cpp", 5, "hello");
    testing::internal::GetCapturedStderr();
    EXPECT_TRUE(FileExists((dir + "/wkd_new.log").c_str()));
    EXPECT_FALSE(FileExists((dir + "/wkd_old.log").c_str()));
    DebugSetLogDir(dir.c_str());  // the next line is a first one again

    WriteFile(dir + "/wkd_old.log", "very old\n");
    WriteFile(dir + "/wkd_new.log", "previous run\n");
    testing::internal::CaptureStderr();
    EXPECT_EQ(DebugFileLog("src/a.cpp", 42, "stop %d", 3), 0);
    std::string err = testing::internal::GetCapturedStderr();

    EXPECT_EQ(ReadFile(dir + "/wkd_old.log"), "previous run\n");
    std::string now = ReadFile(dir + "/wkd_new.log");
    std::regex re("\\d{4}-\\d{2}-\\d{2} \\d{2}:\\d{2}:\\d{2}:\\d{3}\\[debug\\] src/a\\.cpp:42  stop 3=====\n");
    EXPECT_TRUE(std::regex_match(now, re)) << now;
    EXPECT_EQ(err, now) << "the same line goes to the diagnostic stream";

    // Later lines append and never rotate again.
    testing::internal::CaptureStderr();
    DebugFileLog("b.cpp", 1, "second");
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(ReadFile(dir + "/wkd_old.log"), "previous run\n");
    now = ReadFile(dir + "/wkd_new.log");
    EXPECT_NE(now.find("stop 3=====\n"), std::string::npos);
    EXPECT_NE(now.find("[debug] b.cpp:1  second=====\n"), std::string::npos);

    // A directory that cannot hold the log: the line still reaches stderr.
    DebugSetLogDir("/nonexistent_dir_for_ipcamera_test");
    testing::internal::CaptureStderr();
    EXPECT_EQ(DebugFileLog("x.cpp", 5, "lost"), 0);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("lost====="), std::string::npos);
    DebugSetLogDir(std::string(300, 'd').c_str());
    EXPECT_EQ(DebugFileLog("x.cpp", 5, "too long a directory"), 0);
}

TEST(SupportPlatform, ExeDirAndFiles)
{
    char dir[256];
    ASSERT_EQ(GetExeDir(dir, sizeof(dir)), 0);
    std::string self = std::string(dir) + "/test_support";
    EXPECT_TRUE(FileExists(self.c_str())) << self;

    char tmpl[] = "/tmp/ipcam_dir_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    std::string sub = std::string(tmpl) + "/one";
    EXPECT_EQ(DirCreate(sub.c_str()), 0);
    EXPECT_EQ(DirCreate(sub.c_str()), 0) << "an existing directory is fine";
    EXPECT_EQ(DirCreate((sub + "/a/b").c_str()), -1) << "only one level is created";
    std::string f = sub + "/f";
    WriteFile(f, "x");
    EXPECT_EQ(DirCreate(f.c_str()), -1) << "a file is not a directory";
    EXPECT_EQ(FileDelete(f.c_str()), 0);
    EXPECT_EQ(FileDelete(f.c_str()), -1);
    // Clean-up after a failed write removes regular files only: never the
    // directory, nor a link (or what it points to).
    WriteFile(f, "x");
    std::string link = sub + "/l";
    ASSERT_EQ(symlink(f.c_str(), link.c_str()), 0);
    EXPECT_EQ(FileDeleteRegular(sub.c_str()), -1);
    EXPECT_EQ(FileDeleteRegular(link.c_str()), -1);
    EXPECT_TRUE(FileExists(f.c_str()));
    EXPECT_EQ(FileDeleteRegular(f.c_str()), 0);
    EXPECT_FALSE(FileExists(f.c_str()));
    unlink(link.c_str());
    rmdir(sub.c_str());
    rmdir(tmpl);
}
