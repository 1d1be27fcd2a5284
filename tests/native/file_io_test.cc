#include "cache/file_io.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "cache/sha256.h"

namespace brivane {
namespace {

namespace fs = std::filesystem;

class TempDir : public ::testing::Test {
 protected:
  void SetUp() override {
    char templ[] = "/tmp/brivane_file_io_XXXXXX";
    ASSERT_NE(::mkdtemp(templ), nullptr);
    dir_ = templ;
  }
  void TearDown() override { fs::remove_all(dir_); }
  fs::path dir_;
};

std::string as_text(const std::vector<std::uint8_t>& bytes) { return {bytes.begin(), bytes.end()}; }

using BufferedFileWriterTest = TempDir;

TEST_F(BufferedFileWriterTest, MixedSmallAndLargeWritesKeepTheirOrder) {
  // Small writes fill the buffer; a large one must first push out what is
  // buffered. With the default buffer and with one beyond the direct-write size.
  for (std::size_t buffer : {BufferedFileWriter::kBufferSize, std::size_t{1} << 20}) {
    std::string expected;
    auto writer = BufferedFileWriter::create(dir_ / "f", buffer);
    ASSERT_TRUE(writer.ok());
    for (std::size_t size : {std::size_t{10}, std::size_t{8000}, std::size_t{500}, std::size_t{20000}, std::size_t{1},
                             std::size_t{8192}, std::size_t{0}, std::size_t{3}, std::size_t{70000},
                             std::size_t{65536}, std::size_t{65535}, std::size_t{2000000}, std::size_t{7}}) {
      std::string piece(size, static_cast<char>('a' + expected.size() % 26));
      expected += piece;
      ASSERT_TRUE(writer->write(piece.data(), piece.size()).ok());
    }
    ASSERT_TRUE(writer->close().ok());
    auto content = read_whole_file(dir_ / "f");
    ASSERT_TRUE(content.ok());
    EXPECT_EQ(as_text(*content), expected) << buffer;
  }
}

TEST_F(BufferedFileWriterTest, DestructorWritesOutTheBufferAndCreateTruncates) {
  {
    auto writer = BufferedFileWriter::create(dir_ / "f");
    ASSERT_TRUE(writer.ok());
    ASSERT_TRUE(writer->write("a long first version", 20).ok());
  }
  {
    auto writer = BufferedFileWriter::create(dir_ / "f");
    ASSERT_TRUE(writer.ok());
    BufferedFileWriter moved = std::move(writer.value());
    ASSERT_TRUE(moved.write("short", 5).ok());
  }
  EXPECT_EQ(as_text(read_whole_file(dir_ / "f").value()), "short");
}

TEST_F(BufferedFileWriterTest, CreatesWithMode0666BeforeUmask) {
  mode_t old = ::umask(022);
  auto writer = BufferedFileWriter::create(dir_ / "f");
  ::umask(old);
  ASSERT_TRUE(writer.ok());
  struct stat st {};
  ASSERT_EQ(::stat((dir_ / "f").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644u);
}

TEST_F(BufferedFileWriterTest, FailuresAreIoWithTheOsText) {
  auto writer = BufferedFileWriter::create(dir_ / "missing" / "f");
  ASSERT_FALSE(writer.ok());
  EXPECT_EQ(writer.error().kind(), ErrorKind::Io);
  EXPECT_EQ(writer.error().payload(), "No such file or directory (os error 2)");

  auto full = BufferedFileWriter::create("/dev/full");
  ASSERT_TRUE(full.ok());
  ASSERT_TRUE(full->write("x", 1).ok());  // still buffered
  Status closed = full->close();
  ASSERT_FALSE(closed.ok());
  EXPECT_EQ(closed.error().payload(), "No space left on device (os error 28)");
}

using ReadWholeFileTest = TempDir;

TEST_F(ReadWholeFileTest, MissingFileIsIo) {
  auto content = read_whole_file(dir_ / "nothing");
  ASSERT_FALSE(content.ok());
  EXPECT_EQ(content.error().kind(), ErrorKind::Io);
}

using PathExistsTest = TempDir;

TEST_F(PathExistsTest, FollowsSymbolicLinks) {
  fs::create_symlink(dir_ / "target", dir_ / "link");
  EXPECT_FALSE(path_exists(dir_ / "link"));  // dangling
  ASSERT_TRUE(BufferedFileWriter::create(dir_ / "target").value().close().ok());
  EXPECT_TRUE(path_exists(dir_ / "link"));
  EXPECT_TRUE(path_exists(dir_));
}

TEST(PathText, ReplacesEachInvalidSequenceWithOneReplacementCharacter) {
  const std::string r = "\xEF\xBF\xBD";
  struct Case {
    std::string bytes;
    std::string text;
  } cases[] = {
      {"/tmp/caf\xC3\xA9/\xF0\x9F\x98\x80", "/tmp/caf\xC3\xA9/\xF0\x9F\x98\x80"},  // valid stays as is
      {"a\xFF" "b", "a" + r + "b"},
      {"\xC3", r},                                // truncated at the end
      {"\xE2\x82" "x", r + "x"},                 // truncated 3-byte sequence: one replacement
      {"\xC0\xAF", r + r},                        // overlong lead byte
      {"\xED\xA0\x80", r + r + r},                // surrogate
      {"\xF4\x90\x80\x80", r + r + r + r},        // above U+10FFFF
      {"\xF0\x9F\x98", r},                        // truncated 4-byte sequence
      {"\x80\x80", r + r},                        // lone continuation bytes
  };
  for (const auto& c : cases) EXPECT_EQ(path_text(fs::path(c.bytes)), c.text) << c.bytes;
}

TEST(Sha256, KnownVectors) {
  Sha256 empty;
  EXPECT_EQ(empty.hex_digest(), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  Sha256 abc;
  abc.update("a", 1);
  abc.update("bc", 2);
  EXPECT_EQ(abc.hex_digest(), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  // After a digest the state starts over.
  abc.update("abc", 3);
  EXPECT_EQ(abc.hex_digest(), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

using Sha256FileTest = TempDir;

TEST_F(Sha256FileTest, HashesFilesSpanningSeveralPieces) {
  // One million 'a': the classic vector, 16 pieces of 64 KiB rounded up.
  std::string data(1000000, 'a');
  auto writer = BufferedFileWriter::create(dir_ / "f");
  ASSERT_TRUE(writer->write(data.data(), data.size()).ok());
  ASSERT_TRUE(writer->close().ok());
  auto digest = sha256_file(dir_ / "f");
  ASSERT_TRUE(digest.ok());
  EXPECT_EQ(*digest, "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");

  auto missing = sha256_file(dir_ / "missing");
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.error().kind(), ErrorKind::Io);
}

}  // namespace
}  // namespace brivane
