#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "writer/destination_check.h"
#include "writer/source_name.h"

namespace brivane {
namespace {

std::string describe(std::string_view path) {
  std::string out;
  for (const PathComponent& part : path_components(path)) {
    switch (part.kind) {
      case PathComponentKind::Root: out += "[/]"; break;
      case PathComponentKind::CurDir: out += "[.]"; break;
      case PathComponentKind::ParentDir: out += "[..]"; break;
      case PathComponentKind::Normal: out += "[" + std::string(part.text) + "]"; break;
    }
  }
  return out;
}

TEST(WriterSourceName, SplitsLikePosixPaths) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"", ""},
      {"a", "[a]"},
      {"a/", "[a]"},
      {"a//", "[a]"},
      {"a/.", "[a]"},
      {"a/./b", "[a][b]"},
      {"./a", "[.][a]"},
      {".", "[.]"},
      {"..", "[..]"},
      {"a/../b", "[a][..][b]"},
      {"/a", "[/][a]"},
      {"//a//b/", "[/][a][b]"},
      {"/./a", "[/][a]"},
      {"...", "[...]"},
      {".a", "[.a]"},
  };
  for (const auto& [path, expected] : cases) EXPECT_EQ(describe(path), expected) << path;
}

TEST(WriterSourceName, AcceptsOnlyOnePlainSegment) {
  for (std::string name : {"a", "a/", "a//", "a/.", "tmp", ".hidden", "a b", "\xff"}) {
    EXPECT_TRUE(check_source_name(name).ok()) << name;
  }
  Status empty = check_source_name("");
  ASSERT_FALSE(empty.ok());
  EXPECT_EQ(empty.error().kind(), ErrorKind::InvalidArgument);
  EXPECT_EQ(empty.error().text(), "CacheSource.name must not be empty");
  for (std::string name : {"a/b", "/a", "/", ".", "..", "./a", "../a", "a/..", "./"}) {
    Status refused = check_source_name(name);
    ASSERT_FALSE(refused.ok()) << name;
    EXPECT_EQ(refused.error().text(), "CacheSource.name must be a plain path segment") << name;
  }
}

TEST(WriterDestinationSet, EqualComponentsAreDuplicates) {
  DestinationSet seen;
  ASSERT_TRUE(seen.add("base", "a").ok());
  ASSERT_TRUE(seen.add("base", "A").ok());  // bytes compared exactly
  ASSERT_TRUE(seen.add("base", "b").ok());
  Status repeat = seen.add("base", "a/");
  ASSERT_FALSE(repeat.ok());
  EXPECT_EQ(repeat.error().kind(), ErrorKind::InvalidArgument);
  EXPECT_EQ(repeat.error().text(), "duplicate generated cache path: base/a/");
  EXPECT_EQ(seen.add("base//", "b/.").error().text(), "duplicate generated cache path: base//b/.");
}

TEST(WriterDestinationSet, EmptyBaseUsesTheNameItself) {
  DestinationSet seen;
  ASSERT_TRUE(seen.add("", "a").ok());
  // "./a" starts with a current-directory component, so it differs from "a".
  EXPECT_TRUE(seen.add(".", "a").ok());
  EXPECT_EQ(seen.add("", "a/").error().text(), "duplicate generated cache path: a/");
}

}  // namespace
}  // namespace brivane
