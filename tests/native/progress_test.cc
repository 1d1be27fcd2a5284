#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <limits>
#include <mutex>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "writer/progress.h"
#include "writer/progress_format.h"
#include "writer/progress_terminal.h"

namespace brivane {
namespace {

using namespace std::chrono_literals;

TEST(ProgressFormat, ThroughputMessages) {
  struct Case {
    std::uint64_t items, bytes;
    double elapsed;
    const char* text;
  } cases[] = {
      {1000, 1'000'000, 2.0, "1000 items | 500.0 items/s | 0.5 MB/s"},
      {0, 0, 0.001, "0 items | 0.0 items/s | 0.0 MB/s"},
      {1, 0, 0.001, "1 items | 1000.0 items/s | 0.0 MB/s"},
      {2, 2'000'000, 3.0, "2 items | 0.7 items/s | 0.7 MB/s"},
      {std::numeric_limits<std::uint64_t>::max(), 0, 1.0,
       "18446744073709551615 items | 18446744073709551616.0 items/s | 0.0 MB/s"},
  };
  for (const auto& c : cases) EXPECT_EQ(throughput_message(c.items, c.bytes, c.elapsed), c.text);
  std::string reused = "previous text that is longer than the next one";
  format_throughput_message(reused, 3, 0, 1.0);
  EXPECT_EQ(reused, "3 items | 3.0 items/s | 0.0 MB/s");
}

TEST(ProgressFormat, EtaMessages) {
  struct Case {
    std::uint64_t completed, total;
    double elapsed;
    const char* text;
  } cases[] = {
      {0, 4, 10.0, "ETA --"},
      {0, 0, 10.0, "ETA --"},
      {1, 4, 10.0, "0.1 sources/s | ETA 30s"},
      {1, 4, 100.0, "0.0 sources/s | ETA 5m 00s"},
      {1, 4, 1000.0, "0.0 sources/s | ETA 50m 00s"},
      {1, 4, 2500.0, "0.0 sources/s | ETA 2h 05m"},
      {3, 4, 4.5, "0.7 sources/s | ETA 1s"},  // 1.5 s cut to whole seconds
      {4, 4, 2.0, "2.0 sources/s | ETA 0s"},
      {5, 4, 1.0, "5.0 sources/s | ETA 0s"},  // more finished than listed
  };
  for (const auto& c : cases) EXPECT_EQ(eta_message(c.completed, c.total, c.elapsed), c.text);
}

TEST(ProgressFormat, EtaText) {
  struct Case {
    std::uint64_t seconds;
    const char* text;
  } cases[] = {
      {0, "0s"},         {59, "59s"},       {60, "1m 00s"},     {300, "5m 00s"},        {3599, "59m 59s"},
      {3600, "1h 00m"}, {7500, "2h 05m"}, {360000, "100h 00m"}, {18446744073709551615ull, "5124095576030431h 00m"},
  };
  for (const auto& c : cases) EXPECT_EQ(eta_text(c.seconds), c.text);
}

TEST(ProgressFormat, ElapsedSecondsNeverBelowOneMillisecond) {
  EXPECT_EQ(progress_elapsed_seconds(0ns), 0.001);
  EXPECT_EQ(progress_elapsed_seconds(999us), 0.001);
  EXPECT_EQ(progress_elapsed_seconds(1500us), 0.0015);
  EXPECT_EQ(progress_elapsed_seconds(2s + 5ns), 2.000000005);
  EXPECT_EQ(writing_message("shard-7"), "writing shard-7");
}

ProgressLineState spinner(std::string message, std::uint64_t tick = 0, bool done = false) {
  ProgressLineState s;
  s.kind = ProgressLineKind::spinner;
  s.message = std::move(message);
  s.tick = tick;
  s.done = done;
  return s;
}

ProgressLineState bar(std::uint64_t pos, std::uint64_t len, std::string message = "ETA --") {
  ProgressLineState s;
  s.kind = ProgressLineKind::bar;
  s.prefix = "sources";
  s.message = std::move(message);
  s.pos = pos;
  s.len = len;
  return s;
}

TEST(ProgressRender, Lines) {
  const std::string cyan = "\x1b[36m", blue = "\x1b[34m", green = "\x1b[32m", reset = "\x1b[0m";
  struct Case {
    ProgressLineState line;
    std::size_t width;
    std::string text;
  } cases[] = {
      {spinner("writing a"), 80, green + "⠁" + reset + "  writing a"},
      {spinner("writing a", 9), 80, green + "⠂" + reset + "  writing a"},
      {spinner("3 items", 4, true), 80, green + " " + reset + "  3 items"},
      // " sources 1/4 ETA --" takes 19 of 40 columns; a quarter of the other 21 is 5.25.
      {bar(1, 4), 40, cyan + "=====>" + reset + blue + std::string(15, '-') + reset + " sources 1/4 ETA --"},
      {bar(0, 4), 40, blue + std::string(21, '-') + reset + " sources 0/4 ETA --"},
      {bar(4, 4), 40, cyan + std::string(21, '=') + reset + " sources 4/4 ETA --"},
      {bar(0, 0), 40, cyan + std::string(21, '=') + reset + " sources 0/0 ETA --"},
      // Too narrow: no bar, the text is cut at the width.
      {bar(1, 4), 10, " sources 1"},
      {spinner("writing abcdefgh"), 8, green + "⠁" + reset + "  writi"},
      // Controls never reach the terminal as such.
      {spinner("a\nb\x1b[2J\x7f"), 80, green + "⠁" + reset + "  a?b?[2J?"},
      // A wide character that does not fit is left out whole.
      {spinner("日本"), 6, green + "⠁" + reset + "  日"},
  };
  for (const auto& c : cases) EXPECT_EQ(render_progress_line(c.line, c.width), c.text);
  EXPECT_EQ(display_columns("日本é\xcc\x81x"), 6u);
}

// A terminal that understands what the display writes: text, \r, \n, cursor
// up, line erasure and colours (ignored).
class ScreenModel {
 public:
  explicit ScreenModel(std::size_t width) : width_(width) {}

  void feed(const std::string& bytes) {
    for (std::size_t i = 0; i < bytes.size();) {
      const char ch = bytes[i];
      if (ch == '\r') {
        col_ = 0, ++i;
      } else if (ch == '\n') {
        ++row_, ++i;
      } else if (ch == '\x1b') {
        ASSERT_LT(i + 1, bytes.size());
        ASSERT_EQ(bytes[i + 1], '[');
        std::size_t j = i + 2;
        std::string param;
        while (j < bytes.size() && (std::isdigit(static_cast<unsigned char>(bytes[j])) || bytes[j] == ';')) {
          param += bytes[j++];
        }
        ASSERT_LT(j, bytes.size());
        const int n = param.empty() ? 0 : std::stoi(param);
        switch (bytes[j]) {
          case 'A': row_ -= std::min<std::size_t>(row_, n == 0 ? 1 : n); break;
          case 'K': ASSERT_TRUE(n == 2 || n == 0); line().resize(n == 2 ? 0 : std::min(line().size(), col_)); break;
          case 'm': break;
          default: FAIL() << "unexpected escape " << bytes.substr(i, j - i + 1);
        }
        i = j + 1;
      } else {
        std::size_t len = 1;
        const auto b = static_cast<unsigned char>(ch);
        if (b >= 0xF0) len = 4; else if (b >= 0xE0) len = 3; else if (b >= 0xC0) len = 2;
        ASSERT_LT(col_, width_) << "line longer than the terminal";
        if (line().size() <= col_) line().resize(col_ + 1, " ");
        line()[col_++] = bytes.substr(i, len);
        i += len;
      }
    }
  }

  // Rows as text, trailing blanks trimmed, trailing empty rows dropped.
  std::vector<std::string> rows() const {
    std::vector<std::string> out;
    for (const auto& cells : rows_) {
      std::string text;
      for (const auto& cell : cells) text += cell;
      text.erase(text.find_last_not_of(' ') + 1);
      out.push_back(text);
    }
    while (!out.empty() && out.back().empty()) out.pop_back();
    return out;
  }

 private:
  std::vector<std::string>& line() {
    if (rows_.size() <= row_) rows_.resize(row_ + 1);
    return rows_[row_];
  }

  std::size_t width_;
  std::size_t row_ = 0, col_ = 0;
  std::vector<std::vector<std::string>> rows_;
};

// A pseudo-terminal 60 columns wide whose output is collected until closed.
class ProgressPty : public ::testing::Test {
 protected:
  static constexpr std::size_t kColumns = 60;

  void SetUp() override {
    struct winsize ws {};
    ws.ws_col = kColumns;
    ws.ws_row = 24;
    ASSERT_EQ(::openpty(&master_, &slave_, nullptr, nullptr, &ws), 0);
    reader_ = std::thread([this] {
      char buf[4096];
      for (;;) {
        const ssize_t n = ::read(master_, buf, sizeof buf);
        if (n <= 0) break;
        std::lock_guard<std::mutex> lock(mutex_);
        output_.append(buf, static_cast<std::size_t>(n));
      }
    });
  }

  void TearDown() override {
    close_terminal();
    if (master_ >= 0) ::close(master_);
  }

  // Everything written so far; call once the displays are gone.
  std::string close_terminal() {
    if (slave_ >= 0) {
      ::close(slave_);
      slave_ = -1;
      reader_.join();
    }
    std::lock_guard<std::mutex> lock(mutex_);
    return output_;
  }

  std::string output_so_far() {
    std::lock_guard<std::mutex> lock(mutex_);
    return output_;
  }

  // Waits (at most 10 s) until the output contains `text`.
  bool wait_for(const std::string& text) {
    for (int i = 0; i < 1000; ++i) {
      if (output_so_far().find(text) != std::string::npos) return true;
      std::this_thread::sleep_for(10ms);
    }
    return false;
  }

  std::vector<std::string> screen(const std::string& output) {
    ScreenModel model(kColumns);
    model.feed(output);
    return model.rows();
  }

  int master_ = -1;
  int slave_ = -1;
  std::thread reader_;
  std::mutex mutex_;
  std::string output_;
};

TEST_F(ProgressPty, StandaloneSpinnerAnimatesAndEndsWithThroughput) {
  {
    SourceProgress source(true, "alpha", nullptr, slave_);
    EXPECT_FALSE(source.in_container());
    // The steady tick animates the spinner with no sample written.
    ASSERT_TRUE(wait_for("⠂"));
    for (int i = 0; i < 3; ++i) source.sample_written(1000);
    EXPECT_EQ(source.items(), 3u);
    EXPECT_EQ(source.bytes(), 3000u);
    source.finish();
  }
  const std::string out = close_terminal();
  EXPECT_NE(out.find("\x1b[32m⠁\x1b[0m  writing alpha"), std::string::npos);
  const auto rows = screen(out);
  ASSERT_EQ(rows.size(), 1u) << out;
  EXPECT_TRUE(std::regex_match(rows[0], std::regex(R"(   3 items \| [0-9]+\.[0-9] items/s \| [0-9]+\.[0-9] MB/s)")))
      << rows[0];
}

TEST_F(ProgressPty, ContainerClearsFinishedSpinnersAndKeepsFailedOnes) {
  {
    SourcesProgress overall(true, 3, slave_);
    {
      SourceProgress a(true, "a", &overall, slave_);
      EXPECT_TRUE(a.in_container());
      // Drawn by the ticker even when it came too soon after the bar.
      ASSERT_TRUE(wait_for("writing a"));
      a.sample_written(10);
      a.finish();
      overall.source_finished();
    }
    ASSERT_TRUE(wait_for("sources 1/3"));
    {
      SourceProgress b(true, "b", &overall, slave_);
      // b fails: dropped without finish.
    }
    overall.source_finished();
    {
      SourceProgress c(true, "c", &overall, slave_);
      ASSERT_TRUE(wait_for("writing c"));
      c.finish();
      overall.source_finished();
    }
    overall.finish();
    EXPECT_EQ(overall.completed(), 3u);
  }
  const std::string out = close_terminal();
  EXPECT_NE(out.find("\x1b[36m"), std::string::npos);
  EXPECT_NE(out.find("\x1b[34m-"), std::string::npos);
  EXPECT_NE(out.find(">\x1b[0m"), std::string::npos);  // the head of a partly filled bar
  EXPECT_NE(out.find(" sources 0/3 ETA --"), std::string::npos);
  const auto rows = screen(out);
  ASSERT_EQ(rows.size(), 2u) << out;
  EXPECT_EQ(rows[0], "   writing b");
  EXPECT_TRUE(std::regex_match(rows[1], std::regex(R"(=+ sources 3/3 [0-9]+\.[0-9] sources/s \| ETA 0s)"))) << rows[1];
  EXPECT_EQ(rows[1].size(), kColumns);
}

TEST_F(ProgressPty, EmptyListDrawsAFullBarOfLengthZero) {
  { SourcesProgress overall(true, 0, slave_); }  // finished by its destructor
  const auto rows = screen(close_terminal());
  const std::string tail = " sources 0/0 ETA --";
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0], std::string(kColumns - tail.size(), '=') + tail);
}

TEST_F(ProgressPty, RedrawsAreRateLimited) {
  {
    SourceProgress source(true, "fast", nullptr, slave_);
    for (int i = 0; i < 2000; ++i) source.sample_written(1);
    source.finish();
  }
  const std::string out = close_terminal();
  std::size_t draws = 0;
  for (std::size_t at = out.find("\x1b[2K"); at != std::string::npos; at = out.find("\x1b[2K", at + 1)) ++draws;
  EXPECT_GE(draws, 2u);
  EXPECT_LT(draws, 100u);
  const auto rows = screen(out);
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].rfind("   2000 items | ", 0), 0u) << rows[0];
}

TEST_F(ProgressPty, TickerRunsOnlyWhileALineTicks) {
  auto terminal = std::make_shared<ProgressTerminal>(slave_);
  ASSERT_TRUE(terminal->drawing());
  ProgressLine line(terminal, spinner("x"));
  EXPECT_FALSE(terminal->ticking());
  line.enable_steady_tick(100ms);
  EXPECT_TRUE(terminal->ticking());
  line.finish();
  EXPECT_FALSE(terminal->ticking());
  EXPECT_FALSE(line.state().has_value());
}

TEST_F(ProgressPty, ShowOffDrawsNothingButCounts) {
  {
    SourcesProgress overall(false, 3, slave_);
    EXPECT_EQ(overall.container(), nullptr);
    SourceProgress source(false, "quiet", &overall, slave_);
    source.sample_written(5);
    source.sample_written(7);
    source.finish();
    overall.source_finished();
    EXPECT_EQ(source.items(), 2u);
    EXPECT_EQ(source.bytes(), 12u);
    EXPECT_EQ(overall.completed(), 1u);
    EXPECT_FALSE(overall.bar_state().has_value());
  }
  EXPECT_EQ(close_terminal(), "");
}

TEST(ProgressNoTerminal, NothingIsWrittenAndNoThreadRuns) {
  int fds[2];
  ASSERT_EQ(::pipe2(fds, O_NONBLOCK), 0);
  {
    SourcesProgress overall(true, 2, fds[1]);
    ASSERT_NE(overall.container(), nullptr);
    EXPECT_FALSE(overall.container()->drawing());
    SourceProgress source(true, "piped", &overall, fds[1]);
    EXPECT_FALSE(overall.container()->ticking());
    source.sample_written(std::numeric_limits<std::uint64_t>::max());
    source.sample_written(1);  // saturates
    EXPECT_EQ(source.items(), 2u);
    EXPECT_EQ(source.bytes(), std::numeric_limits<std::uint64_t>::max());
    source.finish();
    overall.source_finished();
    // Hidden, the bar still follows the counters.
    EXPECT_TRUE(std::regex_match(overall.bar_state()->message, std::regex(R"([0-9]+\.[0-9] sources/s \| ETA 0s)")));
    EXPECT_EQ(overall.bar_state()->pos, 1u);
    overall.finish();
  }
  char byte;
  EXPECT_EQ(::read(fds[0], &byte, 1), -1);
  EXPECT_EQ(errno, EAGAIN);
  ::close(fds[0]);
  ::close(fds[1]);
}

}  // namespace
}  // namespace brivane
