#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "writer/destination.h"

namespace brivane {
namespace {

namespace fs = std::filesystem;

class WriterDestination : public ::testing::Test {
 protected:
  void SetUp() override {
    base_ = fs::temp_directory_path() / ("brv_dest_" + std::to_string(::getpid()) + "_" +
                                        ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(base_);
    fs::create_directories(base_);
  }
  void TearDown() override {
    std::error_code ec;
    fs::permissions(base_, fs::perms::owner_all, fs::perm_options::add, ec);
    fs::remove_all(base_, ec);
  }
  static void touch(const fs::path& path) { std::ofstream(path) << "x"; }

  fs::path base_;
};

TEST(WriterJoinPath, AddsOneSeparatorOnlyWhenNeeded) {
  EXPECT_EQ(join_path("b", "n"), "b/n");
  EXPECT_EQ(join_path("b/", "n"), "b/n");
  EXPECT_EQ(join_path("", "n"), "n");
  EXPECT_EQ(join_path("/", "n"), "/n");
  EXPECT_EQ(join_path("b", "n/"), "b/n/");
}

TEST_F(WriterDestination, FreshSourceIsStagedUnderTmp) {
  for (bool reuse : {false, true}) {
    DestinationPlan plan = prepare_destination(base_.string(), "a", reuse, true);
    ASSERT_TRUE(std::holds_alternative<StagedDestination>(plan));
    const auto& staged = std::get<StagedDestination>(plan);
    EXPECT_EQ(staged.destination, base_ / "a");
    EXPECT_EQ(staged.staging, base_ / "tmp" / "a");
  }
  EXPECT_FALSE(fs::exists(base_ / "tmp"));  // nothing is created before writing
}

TEST_F(WriterDestination, ExistingDestinationIsRefusedWithoutReuse) {
  fs::create_directories(base_ / "a");
  DestinationPlan plan = prepare_destination(base_.string(), "a", false, false);
  ASSERT_TRUE(std::holds_alternative<SourceResult>(plan));
  const auto& result = std::get<SourceResult>(plan);
  EXPECT_FALSE(result.success);
  EXPECT_EQ(result.name, "a");
  EXPECT_EQ(result.detail, "cache path already exists: " + (base_ / "a").string());
  EXPECT_FALSE(fs::exists(base_ / "tmp"));
}

TEST_F(WriterDestination, ReuseWithoutValidationTrustsAnything) {
  touch(base_ / "a");  // not even a directory
  DestinationPlan plan = prepare_destination(base_.string(), "a", true, false);
  ASSERT_TRUE(std::holds_alternative<SourceResult>(plan));
  const auto& result = std::get<SourceResult>(plan);
  EXPECT_TRUE(result.success);
  EXPECT_EQ(result.detail, (base_ / "a").string());
  EXPECT_TRUE(fs::is_regular_file(base_ / "a"));
}

TEST_F(WriterDestination, ReuseWithValidationRefusesABrokenCacheAndLeavesIt) {
  fs::create_directories(base_ / "a");
  touch(base_ / "a" / "junk");
  DestinationPlan plan = prepare_destination(base_.string(), "a", true, true);
  ASSERT_TRUE(std::holds_alternative<SourceResult>(plan));
  EXPECT_FALSE(std::get<SourceResult>(plan).success);
  EXPECT_FALSE(std::get<SourceResult>(plan).detail.empty());
  EXPECT_TRUE(fs::exists(base_ / "a" / "junk"));
}

TEST_F(WriterDestination, StaleStagingIsRemoved) {
  fs::create_directories(base_ / "tmp" / "a" / "shards");
  touch(base_ / "tmp" / "a" / "shards" / "000000.bin");
  fs::create_directories(base_ / "tmp" / "b");
  DestinationPlan plan = prepare_destination(base_.string(), "a", false, false);
  ASSERT_TRUE(std::holds_alternative<StagedDestination>(plan));
  EXPECT_FALSE(fs::exists(base_ / "tmp" / "a"));
  EXPECT_TRUE(fs::exists(base_ / "tmp" / "b"));
}

TEST_F(WriterDestination, StagingSymlinkIsRemovedNotFollowed) {
  fs::create_directories(base_ / "elsewhere");
  touch(base_ / "elsewhere" / "keep");
  fs::create_directories(base_ / "tmp");
  fs::create_directory_symlink(base_ / "elsewhere", base_ / "tmp" / "a");
  ASSERT_TRUE(remove_staging(base_ / "tmp" / "a").ok());
  EXPECT_FALSE(fs::exists(fs::symlink_status(base_ / "tmp" / "a")));
  EXPECT_TRUE(fs::exists(base_ / "elsewhere" / "keep"));
}

TEST_F(WriterDestination, UnremovableStagingIsAnIoFailure) {
  if (::geteuid() == 0) GTEST_SKIP() << "root ignores directory permissions";
  fs::create_directories(base_ / "tmp" / "a");
  touch(base_ / "tmp" / "a" / "f");
  fs::permissions(base_ / "tmp", fs::perms::owner_read | fs::perms::owner_exec);
  DestinationPlan plan = prepare_destination(base_.string(), "a", false, false);
  fs::permissions(base_ / "tmp", fs::perms::owner_all);
  ASSERT_TRUE(std::holds_alternative<SourceResult>(plan));
  EXPECT_EQ(std::get<SourceResult>(plan).detail.rfind("I/O error: ", 0), 0u) << std::get<SourceResult>(plan).detail;
}

TEST_F(WriterDestination, PublishRenamesOntoNothingOrAnEmptyDirectoryOnly) {
  fs::create_directories(base_ / "tmp" / "a");
  touch(base_ / "tmp" / "a" / "manifest.json");
  ASSERT_TRUE(publish_cache(base_ / "tmp" / "a", base_ / "a").ok());
  EXPECT_TRUE(fs::exists(base_ / "a" / "manifest.json"));
  EXPECT_TRUE(fs::is_empty(base_ / "tmp"));

  fs::create_directories(base_ / "tmp" / "b");
  fs::create_directories(base_ / "b");
  EXPECT_TRUE(publish_cache(base_ / "tmp" / "b", base_ / "b").ok());

  fs::create_directories(base_ / "tmp" / "c");
  fs::create_directories(base_ / "c" / "occupied");
  Status refused = publish_cache(base_ / "tmp" / "c", base_ / "c");
  ASSERT_FALSE(refused.ok());
  EXPECT_EQ(refused.error().kind(), ErrorKind::Io);
  EXPECT_TRUE(fs::exists(base_ / "c" / "occupied"));
}

TEST_F(WriterDestination, TrailingDotAndSlashNameTheSameDirectory) {
  for (std::string name : {"a/.", "b/", "c//./"}) {
    const fs::path staging = join_path((base_ / "tmp").string(), name);
    const fs::path destination = join_path(base_.string(), name);
    fs::create_directories(staging);
    ASSERT_TRUE(publish_cache(staging, destination).ok()) << name;
    EXPECT_TRUE(fs::is_directory(destination)) << name;
    fs::create_directories(staging / "shards");
    ASSERT_TRUE(remove_staging(staging).ok()) << name;
    EXPECT_FALSE(fs::exists(staging)) << name;
  }
}

TEST(WriterCleanupNote, ExtendsTheFailureOnlyWhenCleanupFailed) {
  EXPECT_EQ(with_cleanup_note("boom", ok_status()), "boom");
  EXPECT_EQ(with_cleanup_note("boom", ModuleError::io("Permission denied (os error 13)")),
            "boom; cleanup failed: I/O error: Permission denied (os error 13)");
}

}  // namespace
}  // namespace brivane
