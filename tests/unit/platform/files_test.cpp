// Files written whole: never through a planted link, never over another
// run's file, nothing left behind.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <set>
#include <string>

#include "platform/files.h"

namespace {

class Files : public testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/daveridur-files-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    victim_ = dir_ + "/victim";
    ASSERT_TRUE(write_file_whole(victim_, "precious", nullptr));
  }
  void TearDown() override {
    std::string command = "rm -rf '" + dir_ + "'";
    ASSERT_EQ(std::system(command.c_str()), 0);
  }
  std::string read(const std::string& path) {
    std::string text;
    read_file_text(path, 1 << 20, &text, nullptr);
    return text;
  }
  std::set<std::string> names() {
    std::set<std::string> out;
    DIR* d = opendir(dir_.c_str());
    while (dirent* e = readdir(d))
      if (e->d_name[0] != '.' || (std::string(e->d_name) != "." && std::string(e->d_name) != ".."))
        out.insert(e->d_name);
    closedir(d);
    return out;
  }
  std::string dir_, victim_;
};

// Every name a writer of report.csv has used or might (the fixed temporary
// names of old, the target itself) points at the victim.
TEST_F(Files, PlantedLinksAreReplacedNeverFollowed) {
  const std::string target = dir_ + "/report.csv";
  for (const char* name : {"report.csv", "report.csv.tmp", "report.csv.new", ".report.csv.tmp"})
    ASSERT_EQ(symlink(victim_.c_str(), (dir_ + "/" + name).c_str()), 0);
  std::string reason;
  ASSERT_TRUE(write_file_whole(target, "a,b\r\n", &reason)) << reason;
  EXPECT_EQ(read(victim_), "precious");
  struct stat st;
  ASSERT_EQ(lstat(target.c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(read(target), "a,b\r\n");
  // Only the planted names and the file: no temporary left behind.
  EXPECT_EQ(names(), (std::set<std::string>{"victim", "report.csv", "report.csv.tmp",
                                            "report.csv.new", ".report.csv.tmp"}));
}

TEST_F(Files, NewFileNeverReplacesAnother) {
  const std::string taken_link = dir_ + "/2000-01-01_000000.csv";
  ASSERT_EQ(symlink((dir_ + "/absent").c_str(), taken_link.c_str()), 0);  // dangling
  bool taken = false;
  std::string reason;
  EXPECT_FALSE(write_file_new(taken_link, "x", &reason, &taken));
  EXPECT_TRUE(taken);
  EXPECT_FALSE(write_file_new(victim_, "x", &reason, &taken));
  EXPECT_TRUE(taken);
  EXPECT_EQ(read(victim_), "precious");
  EXPECT_NE(access((dir_ + "/absent").c_str(), F_OK), 0);
  ASSERT_TRUE(write_file_new(dir_ + "/fresh.csv", "y", &reason, &taken)) << reason;
  EXPECT_FALSE(taken);
  EXPECT_EQ(read(dir_ + "/fresh.csv"), "y");
  EXPECT_EQ(names(), (std::set<std::string>{"victim", "2000-01-01_000000.csv", "fresh.csv"}));
}

TEST_F(Files, FailuresSayWhyAndLeaveNothing) {
  std::string reason;
  EXPECT_FALSE(write_file_whole(dir_ + "/missing/report.csv", "x", &reason));
  EXPECT_NE(reason.find("No such file or directory"), std::string::npos) << reason;
  // A folder in the way of the rename: the temporary goes again.
  ASSERT_EQ(mkdir((dir_ + "/busy").c_str(), 0700), 0);
  ASSERT_TRUE(write_file_whole(dir_ + "/busy/inside", "x", nullptr));
  EXPECT_FALSE(write_file_whole(dir_ + "/busy", "x", &reason));
  EXPECT_EQ(reason.rfind("cannot replace " + dir_ + "/busy: ", 0), 0u) << reason;
  EXPECT_EQ(names(), (std::set<std::string>{"victim", "busy"}));
}

}  // namespace
