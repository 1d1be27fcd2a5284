#include "writer/progress_terminal.h"

#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <utility>

#include "writer/progress_format.h"

namespace brivane {
namespace {

constexpr const char* kGreen = "\x1b[32m";
constexpr const char* kCyan = "\x1b[36m";
constexpr const char* kBlue = "\x1b[34m";
constexpr const char* kReset = "\x1b[0m";

constexpr std::string_view kSpinnerFrames[] = {"⠁", "⠂", "⠄", "⡀", "⢀", "⠠", "⠐", "⠈"};
constexpr std::string_view kSpinnerDoneFrame = " ";
constexpr char kBarFilled = '=';
constexpr char kBarHead = '>';
constexpr char kBarEmpty = '-';

struct CodePoint {
  char32_t value;
  std::size_t length;  // bytes consumed
  bool valid;
};

CodePoint decode_utf8(std::string_view s, std::size_t i) {
  const auto b0 = static_cast<unsigned char>(s[i]);
  if (b0 < 0x80) return {b0, 1, true};
  std::size_t len;
  char32_t cp;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    len = 2, cp = b0 & 0x1F;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    len = 3, cp = b0 & 0x0F;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    len = 4, cp = b0 & 0x07;
  } else {
    return {0xFFFD, 1, false};
  }
  if (i + len > s.size()) return {0xFFFD, 1, false};
  for (std::size_t k = 1; k < len; ++k) {
    const auto b = static_cast<unsigned char>(s[i + k]);
    if ((b & 0xC0) != 0x80) return {0xFFFD, 1, false};
    cp = (cp << 6) | (b & 0x3F);
  }
  const bool overlong = (len == 3 && cp < 0x800) || (len == 4 && cp < 0x10000);
  if (overlong || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return {0xFFFD, 1, false};
  return {cp, len, true};
}

bool is_control(char32_t cp) { return cp < 0x20 || (cp >= 0x7F && cp < 0xA0); }

bool in_ranges(char32_t cp, const std::pair<char32_t, char32_t>* ranges, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) {
    if (cp >= ranges[i].first && cp <= ranges[i].second) return true;
  }
  return false;
}

// Enough of the East Asian width and combining tables for names and
// messages; anything else takes one column.
std::size_t columns_of(char32_t cp) {
  static constexpr std::pair<char32_t, char32_t> kZero[] = {
      {0x0300, 0x036F}, {0x0483, 0x0489}, {0x0591, 0x05BD}, {0x0610, 0x061A}, {0x064B, 0x065F},
      {0x1AB0, 0x1AFF}, {0x1DC0, 0x1DFF}, {0x200B, 0x200F}, {0x20D0, 0x20FF}, {0xFE00, 0xFE0F},
      {0xFE20, 0xFE2F}, {0xE0100, 0xE01EF},
  };
  static constexpr std::pair<char32_t, char32_t> kWide[] = {
      {0x1100, 0x115F}, {0x2E80, 0x303E},   {0x3041, 0x33FF},   {0x3400, 0x4DBF},  {0x4E00, 0x9FFF},
      {0xA000, 0xA4CF}, {0xAC00, 0xD7A3},   {0xF900, 0xFAFF},   {0xFE30, 0xFE4F},  {0xFF00, 0xFF60},
      {0xFFE0, 0xFFE6}, {0x1F300, 0x1F64F}, {0x1F900, 0x1F9FF}, {0x20000, 0x2FFFD}, {0x30000, 0x3FFFD},
  };
  if (in_ranges(cp, kZero, std::size(kZero))) return 0;
  if (in_ranges(cp, kWide, std::size(kWide))) return 2;
  return 1;
}

// Builds one line within a column budget, colouring segments.
class LineBuilder {
 public:
  explicit LineBuilder(std::size_t width) : budget_(width) {}

  void text(std::string_view s, const char* colour = nullptr) {
    bool coloured = false;
    for (std::size_t i = 0; i < s.size() && budget_ > 0;) {
      const CodePoint cp = decode_utf8(s, i);
      const bool control = is_control(cp.value);
      const std::size_t cols = control ? 1 : columns_of(cp.value);
      if (cols > budget_) {
        budget_ = 0;
        break;
      }
      if (colour != nullptr && !coloured) {
        out_ += colour;
        coloured = true;
      }
      if (control) {
        out_ += '?';
      } else if (!cp.valid) {
        out_ += "\xEF\xBF\xBD";
      } else {
        out_.append(s, i, cp.length);
      }
      budget_ -= cols;
      i += cp.length;
    }
    if (coloured) out_ += kReset;
  }

  void repeat(char ch, std::size_t n, const char* colour) {
    n = std::min(n, budget_);
    if (n == 0) return;
    out_ += colour;
    out_.append(n, ch);
    out_ += kReset;
    budget_ -= n;
  }

  std::string take() { return std::move(out_); }

 private:
  std::string out_;
  std::size_t budget_;
};

void append_decimal(std::string& out, std::uint64_t value) {
  char digits[24];
  const auto r = std::to_chars(digits, digits + sizeof digits, value);
  out.append(digits, r.ptr);
}

void write_all(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return;
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
}

void append_cursor_up(std::string& out, std::size_t rows) {
  if (rows == 0) return;
  out += "\x1b[";
  append_decimal(out, rows);
  out += 'A';
}

}  // namespace

std::size_t display_columns(std::string_view utf8) {
  std::size_t total = 0;
  for (std::size_t i = 0; i < utf8.size();) {
    const CodePoint cp = decode_utf8(utf8, i);
    total += is_control(cp.value) ? 1 : columns_of(cp.value);
    i += cp.length;
  }
  return total;
}

std::string render_progress_line(const ProgressLineState& line, std::size_t width) {
  LineBuilder b(width);
  if (line.kind == ProgressLineKind::spinner) {
    const std::size_t frames = std::size(kSpinnerFrames);
    b.text(line.done ? kSpinnerDoneFrame : kSpinnerFrames[line.tick % frames], kGreen);
    b.text(" ");
    b.text(line.prefix);
    b.text(" ");
    b.text(line.message);
    return b.take();
  }
  std::string rest = " ";
  rest += line.prefix;
  rest += ' ';
  append_decimal(rest, line.pos);
  rest += '/';
  append_decimal(rest, line.len);
  rest += ' ';
  rest += line.message;
  const std::size_t rest_columns = display_columns(rest);
  const std::size_t bar = width > rest_columns ? width - rest_columns : 0;
  // An empty bar has nothing left to do: it shows full.
  const double fraction =
      line.len == 0 ? 1.0 : std::min(1.0, static_cast<double>(line.pos) / static_cast<double>(line.len));
  const double fill = fraction * static_cast<double>(bar);
  const auto filled = std::min(bar, static_cast<std::size_t>(fill));
  const std::size_t head = fill > 0 && filled < bar ? 1 : 0;
  std::string done(filled, kBarFilled);
  done.append(head, kBarHead);
  b.text(done, kCyan);
  b.repeat(kBarEmpty, bar - filled - head, kBlue);
  b.text(rest);
  return b.take();
}

std::size_t terminal_columns(int fd) {
  struct winsize ws {};
  if (::ioctl(fd, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0) return ws.ws_col;
  return 80;
}

ProgressTerminal::ProgressTerminal(int fd) : fd_(fd), drawing_(::isatty(fd) == 1) {}

ProgressTerminal::~ProgressTerminal() {
  if (ticker_.joinable()) {
    ticker_.request_stop();
    ticker_.join();
  }
}

bool ProgressTerminal::ticking() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return ticker_.joinable();
}

std::uint64_t ProgressTerminal::add_line(ProgressLineState initial) {
  std::lock_guard<std::mutex> lock(mutex_);
  const std::uint64_t id = next_id_++;
  initial.done = false;
  entries_.push_back(Entry{id, std::move(initial)});
  request_draw_locked(Clock::now());
  return id;
}

ProgressTerminal::Entry* ProgressTerminal::find_locked(std::uint64_t id) {
  for (Entry& e : entries_) {
    if (e.id == id) return &e;
  }
  return nullptr;
}

template <class Change>
void ProgressTerminal::update(std::uint64_t id, Change&& change) {
  std::lock_guard<std::mutex> lock(mutex_);
  Entry* e = find_locked(id);
  if (e == nullptr || e->state.done) return;
  change(e->state);
  request_draw_locked(Clock::now());
}

void ProgressTerminal::enable_steady_tick(std::uint64_t id, Clock::duration interval) {
  std::lock_guard<std::mutex> lock(mutex_);
  Entry* e = find_locked(id);
  if (e == nullptr || e->state.done || interval <= Clock::duration::zero()) return;
  e->tick_interval = interval;
  e->next_tick = Clock::now() + interval;
  start_ticker_locked();
  wake_ticker_locked();
}

void ProgressTerminal::end_line(std::uint64_t id, bool clear, const std::string_view* final_message) {
  std::jthread idle_ticker;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    Entry* e = find_locked(id);
    if (e == nullptr) return;
    if (clear) {
      entries_.erase(entries_.begin() + (e - entries_.data()));
    } else {
      if (final_message != nullptr) e->state.message.assign(*final_message);
      e->state.done = true;
      e->tick_interval = Clock::duration::zero();
    }
    // Final states are always drawn, whatever the rate limit says.
    draw_locked(Clock::now());
    const bool live = std::any_of(entries_.begin(), entries_.end(), [](const Entry& x) { return !x.state.done; });
    if (!live) idle_ticker = std::move(ticker_);
  }
  // idle_ticker is stopped and joined here, outside the lock it needs to exit.
}

std::optional<ProgressLineState> ProgressTerminal::snapshot(std::uint64_t id) const {
  std::lock_guard<std::mutex> lock(mutex_);
  for (const Entry& e : entries_) {
    if (e.id == id) return e.state;
  }
  return std::nullopt;
}

void ProgressTerminal::request_draw_locked(Clock::time_point now) {
  if (!drawing_) return;
  const bool was_dirty = std::exchange(dirty_, true);
  if (now - last_draw_ >= kMinRedrawInterval) {
    draw_locked(now);
  } else if (!was_dirty) {
    // Too soon: the ticker draws it once the interval has passed.
    start_ticker_locked();
    wake_ticker_locked();
  }
}

void ProgressTerminal::draw_locked(Clock::time_point now) {
  auto is_done = [](const Entry& e) { return e.state.done; };
  if (!drawing_) {
    entries_.erase(std::remove_if(entries_.begin(), entries_.end(), is_done), entries_.end());
    return;
  }
  const std::size_t width = terminal_columns(fd_);
  std::string out;
  append_cursor_up(out, rows_on_screen_);
  std::size_t rows = 0;
  auto emit = [&](const Entry& e) {
    out += "\r\x1b[2K";
    out += render_progress_line(e.state, width);
    out += '\n';
    ++rows;
  };
  for (const Entry& e : entries_) {
    if (is_done(e)) emit(e);
  }
  const std::size_t done_rows = rows;
  for (const Entry& e : entries_) {
    if (!is_done(e)) emit(e);
  }
  entries_.erase(std::remove_if(entries_.begin(), entries_.end(), is_done), entries_.end());
  for (std::size_t i = rows; i < rows_on_screen_; ++i) out += "\r\x1b[2K\n";
  if (rows_on_screen_ > rows) append_cursor_up(out, rows_on_screen_ - rows);
  rows_on_screen_ = rows - done_rows;
  write_all(fd_, out);
  dirty_ = false;
  last_draw_ = now;
}

void ProgressTerminal::wake_ticker_locked() {
  wake_pending_ = true;
  wake_.notify_all();
}

void ProgressTerminal::start_ticker_locked() {
  if (!drawing_ || ticker_.joinable()) return;
  // The ticker takes no signals: they stay with the threads that handle them.
  sigset_t all, previous;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &previous);
  try {
    ticker_ = std::jthread([this](std::stop_token stop) {
      pthread_setname_np(pthread_self(), "brivane-ticker");
      run_ticker(std::move(stop));
    });
  } catch (...) {
    // No thread, no animation; updates still draw.
  }
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

std::optional<ProgressTerminal::Clock::time_point> ProgressTerminal::next_wake_locked() const {
  std::optional<Clock::time_point> next;
  auto consider = [&](Clock::time_point t) {
    if (!next || t < *next) next = t;
  };
  for (const Entry& e : entries_) {
    if (!e.state.done && e.tick_interval > Clock::duration::zero()) consider(e.next_tick);
  }
  if (dirty_) consider(last_draw_ + kMinRedrawInterval);
  return next;
}

void ProgressTerminal::run_ticker(std::stop_token stop) {
  std::unique_lock<std::mutex> lock(mutex_);
  while (!stop.stop_requested()) {
    wake_pending_ = false;
    const auto deadline = next_wake_locked();
    auto woken = [this] { return wake_pending_; };
    if (deadline) {
      wake_.wait_until(lock, stop, *deadline, woken);
    } else {
      wake_.wait(lock, stop, woken);
    }
    if (stop.stop_requested()) break;
    const auto now = Clock::now();
    for (Entry& e : entries_) {
      if (e.state.done || e.tick_interval <= Clock::duration::zero() || now < e.next_tick) continue;
      ++e.state.tick;
      e.next_tick += e.tick_interval;
      if (e.next_tick <= now) e.next_tick = now + e.tick_interval;
      dirty_ = true;
    }
    if (dirty_ && now - last_draw_ >= kMinRedrawInterval) draw_locked(now);
  }
}

ProgressLine::ProgressLine(std::shared_ptr<ProgressTerminal> terminal, ProgressLineState initial)
    : terminal_(std::move(terminal)), id_(terminal_->add_line(std::move(initial))) {}

ProgressLine::~ProgressLine() { release(false); }

ProgressLine::ProgressLine(ProgressLine&& other) noexcept
    : terminal_(std::move(other.terminal_)), id_(std::exchange(other.id_, 0)) {}

ProgressLine& ProgressLine::operator=(ProgressLine&& other) noexcept {
  if (this != &other) {
    release(false);
    terminal_ = std::move(other.terminal_);
    id_ = std::exchange(other.id_, 0);
  }
  return *this;
}

void ProgressLine::release(bool clear, const std::string_view* final_message) {
  if (terminal_) terminal_->end_line(id_, clear, final_message);
}

void ProgressLine::set_prefix(std::string_view prefix) {
  if (terminal_) terminal_->update(id_, [&](ProgressLineState& s) { s.prefix.assign(prefix); });
}

void ProgressLine::set_message(std::string_view message) {
  if (terminal_) terminal_->update(id_, [&](ProgressLineState& s) { s.message.assign(message); });
}

void ProgressLine::set_length(std::uint64_t len) {
  if (terminal_) terminal_->update(id_, [&](ProgressLineState& s) { s.len = len; });
}

void ProgressLine::inc(std::uint64_t delta) {
  if (terminal_) terminal_->update(id_, [&](ProgressLineState& s) { s.pos = saturating_increment(s.pos, delta); });
}

void ProgressLine::inc_with_message(std::uint64_t delta, std::string_view message) {
  if (!terminal_) return;
  terminal_->update(id_, [&](ProgressLineState& s) {
    s.pos = saturating_increment(s.pos, delta);
    s.message.assign(message);
  });
}

void ProgressLine::enable_steady_tick(std::chrono::milliseconds interval) {
  if (terminal_) terminal_->enable_steady_tick(id_, interval);
}

void ProgressLine::finish() { release(false); }

void ProgressLine::finish_with_message(std::string_view message) { release(false, &message); }

void ProgressLine::finish_and_clear() { release(true); }

std::optional<ProgressLineState> ProgressLine::state() const {
  if (!terminal_) return std::nullopt;
  return terminal_->snapshot(id_);
}

}  // namespace brivane
