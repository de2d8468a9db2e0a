// `netobj-agent --new-key FILE`, run as the built program: the key it writes is one the runtime
// accepts, it never replaces or follows what is already at FILE, and any other argument gets the
// usage line. Every file is made in a directory of the test's own, removed afterwards.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "netobj/ClusterKey.h"
#include "tests/support/Program.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test_support::Finished;
using test_support::Invocation;
using test_support::RunToEnd;

constexpr char kUsage[] = "Usage: netobj-agent [--new-key FILE]\n";

std::string Contents(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

class NewKey : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "netobj-new-key-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }

  // The agent with `args`, with no key of its own in the way.
  static Finished Agent(std::vector<std::string> args) {
    return RunToEnd(Invocation{NETOBJ_AGENT_BIN, std::move(args), {"NETOBJ_KEY_FILE="}, {}},
                    10000ms);
  }

  fs::path dir_;
};

TEST_F(NewKey, WritesAKeyTheRuntimeAccepts) {
  const fs::path first = dir_ / "first.key";
  const fs::path second = dir_ / "second.key";
  for (const fs::path& path : {first, second}) {
    Finished run = Agent({"--new-key", path.string()});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.err, "");
    // At most one line, and it names the file.
    EXPECT_LE(std::count(run.out.begin(), run.out.end(), '\n'), 1) << run.out;
    if (!run.out.empty()) {
      EXPECT_NE(run.out.find(path.string()), std::string::npos) << run.out;
    }

    struct stat st {};
    ASSERT_EQ(::lstat(path.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_EQ(st.st_size, static_cast<off_t>(NetObj::kNewKeyBytes));
    NetObj::ClusterKey key;
    ASSERT_NO_THROW(key = NetObj::ReadKeyFile(path.string(), "test"));
    EXPECT_EQ(key.secret.size(), NetObj::kNewKeyBytes);
  }
  // Two keys made one after the other share nothing: the bytes are random, not a constant.
  EXPECT_NE(Contents(first), Contents(second));
}

TEST_F(NewKey, NeverReplacesOrFollowsWhatIsThere) {
  const fs::path key = dir_ / "cluster.key";
  ASSERT_EQ(Agent({"--new-key", key.string()}).status, 0);
  const std::string before = Contents(key);

  Finished again = Agent({"--new-key", key.string()});
  EXPECT_EQ(again.status, 1);
  EXPECT_EQ(again.err, "netobj-agent: refusing to overwrite " + key.string() + ": it exists\n");
  EXPECT_EQ(again.out, "");
  EXPECT_EQ(Contents(key), before);
  EXPECT_EQ(fs::status(key).permissions(), fs::perms::owner_read | fs::perms::owner_write);

  // A link planted where the key goes would have the key written to wherever it points.
  const fs::path link = dir_ / "link.key";
  const fs::path target = dir_ / "elsewhere";
  fs::create_symlink(target, link);
  Finished linked = Agent({"--new-key", link.string()});
  EXPECT_EQ(linked.status, 1);
  EXPECT_EQ(linked.err, "netobj-agent: refusing to overwrite " + link.string() + ": it exists\n");
  EXPECT_FALSE(fs::exists(fs::symlink_status(target)));

  Finished nowhere = Agent({"--new-key", (dir_ / "no such dir" / "cluster.key").string()});
  EXPECT_EQ(nowhere.status, 1);
  EXPECT_EQ(nowhere.err.rfind("netobj-agent: cannot create ", 0), 0u) << nowhere.err;
}

TEST_F(NewKey, OtherArgumentsGetTheUsageLine) {
  const std::string key = (dir_ / "cluster.key").string();
  const std::vector<std::vector<std::string>> cases = {
      {"--new-key"}, {"--new-key", ""},    {"--new-key", key, "extra"}, {"--bogus"},
      {key},         {"--new-key=" + key},
  };
  for (const auto& args : cases) {
    std::string shown;
    for (const auto& a : args) shown += " '" + a + "'";
    Finished run = Agent(args);
    EXPECT_EQ(run.status, 2) << shown;
    EXPECT_EQ(run.err, kUsage) << shown;
    EXPECT_EQ(run.out, "") << shown;
  }
  EXPECT_TRUE(fs::is_empty(dir_)) << "a refused command line made a file";
}

}  // namespace
