// Work in slices: long operations written as coroutines that pause where a
// slice of time runs out, so that one thread can serve others between.
//
// An operation whose work grows with a table (a walk of the index or of a
// chain, a sort, an update of many rows) is written as a coroutine
// returning Task<T>. Its loops say `co_await clock.Pause()` where it would
// be safe to stop: the coroutine suspends there once the clock's slice is
// over, and whoever drives it (Job below; the server's dispatcher) resumes
// it in a later slice. A coroutine calls another with `co_await Other(...)`:
// the callee runs at once, and a pause deep inside suspends the whole chain.
//
// What holds between slices is the caller's business: the dispatcher runs
// other clients' requests there, and decides whether what the operation
// has read still stands (protocol/request_processor.h).
//
// The same coroutine runs whole, without ever pausing, under a clock
// made by SliceClock::Whole(): RunWhole is the plain function call that
// tests, tools and benchmarks make.
//
// GCC 12 miscompiles a co_await inside the condition of an if (the
// coroutine traps): await into a variable first, then test it.
//
// Coroutine frames live on the heap. No exception crosses these coroutines
// (the code base does not throw); one that escaped would end the process.
#ifndef ZT_ENGINE_SLICES_H_
#define ZT_ENGINE_SLICES_H_

#include <algorithm>
#include <cassert>
#include <chrono>
#include <coroutine>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <optional>
#include <utility>
#include <vector>

namespace zt {

class SliceClock {
 public:
  using Clock = std::chrono::steady_clock;

  // A clock whose slice never ends.
  static SliceClock Whole() { return SliceClock(); }
  // Slices of this length; zero pauses at every pause point (tests).
  explicit SliceClock(std::chrono::microseconds slice) : slice_(slice), whole_(false) {}

  // Begins a slice now.
  void Start() {
    deadline_ = Clock::now() + slice_;
    countdown_ = 0;
  }
  // Whether the slice is over. The clock is read every kReadEvery calls:
  // a pause point is cheap enough to stand in the innermost loop.
  bool Over() {
    if (whole_) return false;
    if (slice_.count() == 0) return true;
    if (countdown_-- > 0) return false;
    countdown_ = kReadEvery;
    return Clock::now() >= deadline_;
  }

  // The awaitable of a pause point.
  struct Pause_ {
    SliceClock& clock;
    bool await_ready() { return !clock.Over(); }
    void await_suspend(std::coroutine_handle<> paused) { clock.resume_ = paused; }
    void await_resume() {}
  };
  // `co_await clock.Pause()`: suspends when the slice is over.
  Pause_ Pause() { return Pause_{*this}; }

  // Where the suspended chain goes on (the coroutine that paused); taken by
  // the driver.
  std::coroutine_handle<> TakeResumePoint() { return std::exchange(resume_, {}); }

  // What the operation's result depends on, as it goes:
  //   kRestartable  it reads shared data and has changed nothing that a
  //                 fresh start would not redo the same way: the driver
  //                 may start it over when what it read changed meanwhile;
  //   kHolding      it has begun to change things and still reads: the
  //                 driver must keep what it reads from changing until its
  //                 end;
  //   kDetached     it reads nothing shared any more (it works on what it
  //                 read and on its own state): nothing to keep or redo.
  // An operation moves only forward: Detach does not undo Hold.
  enum class Reads { kRestartable, kHolding, kDetached };
  Reads reads() const { return reads_; }
  void Hold() { reads_ = Reads::kHolding; }
  void Detach() {
    if (reads_ == Reads::kRestartable) reads_ = Reads::kDetached;
  }
  // A fresh start of the operation.
  void Restart() {
    reads_ = Reads::kRestartable;
    resume_ = {};
  }

 private:
  static constexpr int kReadEvery = 16;
  SliceClock() = default;

  std::chrono::microseconds slice_{0};
  bool whole_ = true;
  Clock::time_point deadline_{};
  int countdown_ = 0;
  Reads reads_ = Reads::kRestartable;
  std::coroutine_handle<> resume_;
};

template <typename T>
class [[nodiscard]] Task {
 public:
  struct promise_type {
    std::optional<T> value;
    std::coroutine_handle<> continuation;  // the awaiting coroutine, if any

    Task get_return_object() {
      return Task(std::coroutine_handle<promise_type>::from_promise(*this));
    }
    // A task starts when awaited or driven, not when called.
    std::suspend_always initial_suspend() noexcept { return {}; }
    struct FinalAwaiter {
      bool await_ready() noexcept { return false; }
      std::coroutine_handle<> await_suspend(std::coroutine_handle<promise_type> done) noexcept {
        const std::coroutine_handle<> next = done.promise().continuation;
        return next ? next : std::noop_coroutine();
      }
      void await_resume() noexcept {}
    };
    FinalAwaiter final_suspend() noexcept { return {}; }
    void return_value(T v) { value = std::move(v); }
    void unhandled_exception() { std::terminate(); }
  };

  Task(Task&& other) noexcept : handle_(std::exchange(other.handle_, {})) {}
  Task& operator=(Task&& other) noexcept {
    if (this != &other) {
      if (handle_) handle_.destroy();
      handle_ = std::exchange(other.handle_, {});
    }
    return *this;
  }
  Task(const Task&) = delete;
  Task& operator=(const Task&) = delete;
  // Destroying a suspended task destroys its frame, and with it the tasks it
  // was awaiting: an operation given up between slices leaves nothing.
  ~Task() {
    if (handle_) handle_.destroy();
  }

  // Awaited from another coroutine: runs now, the awaiting one goes on when
  // it is done.
  bool await_ready() const noexcept { return false; }
  std::coroutine_handle<> await_suspend(std::coroutine_handle<> awaiting) noexcept {
    handle_.promise().continuation = awaiting;
    return handle_;
  }
  T await_resume() { return std::move(*handle_.promise().value); }

  // For the driver.
  bool done() const { return handle_.done(); }
  std::coroutine_handle<> handle() const { return handle_; }
  T result() {
    assert(done());
    return std::move(*handle_.promise().value);
  }

 private:
  explicit Task(std::coroutine_handle<promise_type> handle) : handle_(handle) {}
  std::coroutine_handle<promise_type> handle_;
};

// Drives one task over slices of a clock.
template <typename T>
class Job {
 public:
  explicit Job(Task<T> task) : task_(std::move(task)) {}

  // Runs one slice; true when the task is done (result() then holds).
  bool Step(SliceClock& clock) {
    clock.Start();
    std::coroutine_handle<> next = clock.TakeResumePoint();
    if (!next) next = task_.handle();
    if (!task_.done()) next.resume();
    return task_.done();
  }
  T result() { return task_.result(); }

 private:
  Task<T> task_;
};

// A stable sort of items by less, pausing between runs and while merging:
// runs of kSortRun items are sorted whole, then merged pairwise (bottom
// up) through a buffer as large as items.
template <typename Items, typename Less>
Task<int> SortInSlices(SliceClock& clock, Items& items, Less less) {
  constexpr size_t kSortRun = 1024;
  constexpr size_t kMergeStep = 256;
  const size_t n = items.size();
  for (size_t lo = 0; lo < n; lo += kSortRun) {
    std::stable_sort(items.begin() + static_cast<std::ptrdiff_t>(lo),
                     items.begin() + static_cast<std::ptrdiff_t>(std::min(n, lo + kSortRun)), less);
    co_await clock.Pause();
  }
  if (n <= kSortRun) co_return 1;
  // Filled as it is merged (a fresh buffer of many megabytes, written at
  // once, would cost its page faults in one step).
  Items merged;
  merged.reserve(n);
  for (size_t width = kSortRun; width < n; width *= 2) {
    merged.clear();
    for (size_t lo = 0; lo < n; lo += 2 * width) {
      const size_t mid = std::min(n, lo + width);
      const size_t hi = std::min(n, lo + 2 * width);
      size_t a = lo;
      size_t b = mid;
      size_t out = lo;
      while (out < hi) {
        // Equal items: the left run's first, which keeps the sort stable.
        if (b >= hi || (a < mid && !less(items[b], items[a]))) {
          merged.push_back(std::move(items[a++]));
        } else {
          merged.push_back(std::move(items[b++]));
        }
        ++out;
        if (out % kMergeStep == 0) co_await clock.Pause();
      }
    }
    items.swap(merged);
  }
  co_return 1;
}

// Runs a task to its end at once: the plain call of a sliced operation.
template <typename T>
T RunWhole(Task<T> task) {
  task.handle().resume();
  assert(task.done());
  return task.result();
}

}  // namespace zt

#endif  // ZT_ENGINE_SLICES_H_
