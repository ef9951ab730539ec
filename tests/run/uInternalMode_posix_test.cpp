#include <stdlib.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <optional>

#include "run/uInternalMode.h"

namespace {

// Sets an environment variable for one test and puts the old value back.
class TEnvVar {
 public:
  TEnvVar(const char* name, const std::string& value) : FName(name) {
    if (const char* old = getenv(name)) FOld = old;
    setenv(name, value.c_str(), 1);
  }
  ~TEnvVar() {
    if (FOld) {
      setenv(FName, FOld->c_str(), 1);
    } else {
      unsetenv(FName);
    }
  }

 private:
  const char* FName;
  std::optional<std::string> FOld;
};

TEST(InternalModeTest, OnOnlyWhenTheUsersFileHolds8147) {
  const std::filesystem::path root = std::filesystem::temp_directory_path() / "pellory_intern_test";
  std::filesystem::remove_all(root);
  std::filesystem::create_directories(root / "xdg" / "pellory");
  std::filesystem::create_directories(root / "home" / ".config" / "pellory");
  TEnvVar xdg("XDG_CONFIG_HOME", (root / "xdg").string());
  TEnvVar home("HOME", (root / "home").string());
  const auto file = root / "xdg" / "pellory" / "intern";

  EXPECT_FALSE(ReadInternalMode());  // no file
  for (const char* text : {"8147", "8147\n", "8147\r\n"}) {
    std::ofstream(file, std::ios::binary) << text;
    EXPECT_TRUE(ReadInternalMode()) << text;
  }
  for (const char* text : {"8148", " 8147", "8147 ", "81470", "", "0x1FD3"}) {
    std::ofstream(file, std::ios::binary) << text;
    EXPECT_FALSE(ReadInternalMode()) << text;
  }

  // Without XDG_CONFIG_HOME (or with a relative one) the file lives under ~/.config.
  std::ofstream(root / "home" / ".config" / "pellory" / "intern") << "8147\n";
  std::ofstream(file) << "0";
  EXPECT_FALSE(ReadInternalMode());
  {
    TEnvVar relative("XDG_CONFIG_HOME", "xdg");
    EXPECT_TRUE(ReadInternalMode());
  }
  unsetenv("XDG_CONFIG_HOME");
  EXPECT_TRUE(ReadInternalMode());
  std::filesystem::remove_all(root);
}

}  // namespace
