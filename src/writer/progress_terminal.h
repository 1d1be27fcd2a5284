// A small multi-line terminal progress display: spinner and bar lines drawn
// with ANSI colours on one file descriptor, redrawn at most 20 times a second,
// spinners animated by one ticker thread. Drawing failures are ignored: the
// display only reports.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace brivane {

enum class ProgressLineKind : std::uint8_t {
  spinner,  // "{spinner:.green} {prefix} {msg}"
  bar,      // "{wide_bar:.cyan/blue} {prefix} {pos}/{len} {msg}" with progress characters "=>-"
};

// Everything one line shows.
struct ProgressLineState {
  ProgressLineKind kind = ProgressLineKind::spinner;
  std::string prefix;
  std::string message;
  std::uint64_t pos = 0;
  std::uint64_t len = 0;
  std::uint64_t tick = 0;  // spinner frame counter
  bool done = false;       // finished: a spinner shows its blank final frame
};

// One line with its ANSI colours, at most `width` columns wide. Control
// characters in the texts show as '?', so no text can move the cursor.
std::string render_progress_line(const ProgressLineState& line, std::size_t width);

// Columns the text takes on a terminal, counted as render_progress_line does.
std::size_t display_columns(std::string_view utf8);

// Columns of the terminal on `fd`, 80 when unknown.
std::size_t terminal_columns(int fd);

class ProgressLine;

// The container of lines drawn together as one block, the cursor kept below
// it. Lines that are done are printed once more above the live ones and then
// left behind in the scrollback.
class ProgressTerminal {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr std::chrono::milliseconds kMinRedrawInterval{50};

  // Draws on `fd` only when it is a terminal; otherwise lines just keep state.
  explicit ProgressTerminal(int fd);
  ~ProgressTerminal();
  ProgressTerminal(const ProgressTerminal&) = delete;
  ProgressTerminal& operator=(const ProgressTerminal&) = delete;

  bool drawing() const { return drawing_; }
  // Whether the ticker thread is running (it runs only while live lines need it).
  bool ticking() const;

 private:
  friend class ProgressLine;
  struct Entry {
    std::uint64_t id;
    ProgressLineState state;
    Clock::duration tick_interval{};  // zero: no steady tick
    Clock::time_point next_tick{};
  };

  std::uint64_t add_line(ProgressLineState initial);
  template <class Change>
  void update(std::uint64_t id, Change&& change);
  void enable_steady_tick(std::uint64_t id, Clock::duration interval);
  void end_line(std::uint64_t id, bool clear, const std::string_view* final_message);
  std::optional<ProgressLineState> snapshot(std::uint64_t id) const;

  Entry* find_locked(std::uint64_t id);
  void request_draw_locked(Clock::time_point now);
  void draw_locked(Clock::time_point now);
  void start_ticker_locked();
  void wake_ticker_locked();
  std::optional<Clock::time_point> next_wake_locked() const;
  void run_ticker(std::stop_token stop);

  const int fd_;
  const bool drawing_;
  mutable std::mutex mutex_;
  std::condition_variable_any wake_;
  bool wake_pending_ = false;  // the ticker must recompute its deadline
  std::vector<Entry> entries_;
  std::uint64_t next_id_ = 1;
  std::size_t rows_on_screen_ = 0;  // live rows drawn above the cursor
  bool dirty_ = false;              // state changed since the last draw
  Clock::time_point last_draw_{};
  std::jthread ticker_;
};

// One line of a ProgressTerminal. Dropping a line that was not finished
// leaves it on screen as it was.
class ProgressLine {
 public:
  // Appends the line below the terminal's others and draws it.
  ProgressLine(std::shared_ptr<ProgressTerminal> terminal, ProgressLineState initial);
  ~ProgressLine();
  ProgressLine(ProgressLine&& other) noexcept;
  ProgressLine& operator=(ProgressLine&& other) noexcept;
  ProgressLine(const ProgressLine&) = delete;
  ProgressLine& operator=(const ProgressLine&) = delete;

  void set_prefix(std::string_view prefix);
  void set_message(std::string_view message);
  void set_length(std::uint64_t len);
  void inc(std::uint64_t delta);
  // inc() and set_message() under one lock with one redraw request.
  void inc_with_message(std::uint64_t delta, std::string_view message);
  // Advances the spinner frame every `interval` from the ticker thread.
  void enable_steady_tick(std::chrono::milliseconds interval);
  // Draws the final state and leaves it on screen.
  void finish();
  void finish_with_message(std::string_view message);
  // Removes the line from the screen.
  void finish_and_clear();

  bool visible() const { return terminal_ && terminal_->drawing(); }
  // What the line shows now; nothing once it has been finished.
  std::optional<ProgressLineState> state() const;
  const std::shared_ptr<ProgressTerminal>& terminal() const { return terminal_; }

 private:
  void release(bool clear, const std::string_view* final_message = nullptr);

  std::shared_ptr<ProgressTerminal> terminal_;
  std::uint64_t id_ = 0;
};

}  // namespace brivane
