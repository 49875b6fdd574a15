// The server's one event loop: epoll over a table of descriptors with their
// handlers, one one-shot timer (timerfd), any number of interval timers and
// a stop flag. SIGTERM and SIGINT
// arrive as events too (signalfd), so no code runs in signal context.
//
// Everything runs on the thread that calls Run, one event at a time. A
// handler may add or remove descriptors, its own included: a removed entry
// is kept alive until the current batch of events is finished, and events
// for it that are still in the batch are dropped, so nothing is freed inside
// its own callback.
#ifndef ZT_NET_EVENT_LOOP_H_
#define ZT_NET_EVENT_LOOP_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

namespace zt {

class EventLoop {
 public:
  // Receives the epoll event bits (EPOLLIN, EPOLLOUT, EPOLLERR, EPOLLHUP).
  using Handler = std::function<void(uint32_t events)>;

  EventLoop() = default;
  EventLoop(const EventLoop&) = delete;
  EventLoop& operator=(const EventLoop&) = delete;
  virtual ~EventLoop();

  // Creates the epoll instance and the timer. 0 on failure (errno tells).
  int Open();
  void Close();
  bool is_open() const { return epoll_ >= 0; }

  int Add(int fd, uint32_t events, Handler handler);
  int Modify(int fd, uint32_t events);
  void Remove(int fd);

  // The one timer: Arm replaces any pending expiry; firing disarms it.
  void SetTimerHandler(std::function<void()> handler) { on_timer_ = std::move(handler); }
  // Each call is a syscall: callers that run often check timer_armed first.
  int ArmTimer(int milliseconds);
  void DisarmTimer();
  bool timer_armed() const { return timer_armed_; }

  // An interval timer: handler runs every milliseconds (> 0) until the loop
  // closes. Returns its descriptor, or -1 on failure (errno tells). Used for
  // housekeeping that must run whether or not requests arrive; the retry
  // timer above stays separate because it is armed and disarmed per run.
  int AddInterval(int milliseconds, std::function<void()> handler);
  // Stops and closes an interval timer that AddInterval returned.
  void RemoveInterval(int fd);

  // Blocks SIGTERM and SIGINT for the process and delivers them through the
  // loop: on_stop runs, then the loop stops. Call before starting threads.
  int WatchStopSignals(std::function<void()> on_stop);

  // Blocks signo for the process and runs handler on the loop each time it
  // arrives (SIGUSR1: a backup). Returns the signalfd's descriptor, or -1.
  int WatchSignal(int signo, std::function<void()> handler);

  // Background work in slices: step runs once per pass of the loop, after
  // the events of that pass (so between two processing runs), for as long
  // as it returns true. While any step is pending the loop does not sleep.
  void Post(std::function<bool()> step) { steps_.push_back(std::move(step)); }
  bool has_steps() const { return !steps_.empty(); }

  // Handles events until Stop (or a stop signal).
  void Run();
  void Stop() { stop_ = true; }

 private:
  struct Entry {
    int fd;
    Handler handler;
  };
  void OnStopSignal();
  void OnTimer();

  int epoll_ = -1;
  int timer_ = -1;
  int signals_ = -1;
  bool timer_armed_ = false;
  bool stop_ = false;
  std::function<void()> on_timer_;
  std::function<void()> on_stop_;
  std::unordered_map<int, std::unique_ptr<Entry>> entries_;
  std::vector<std::unique_ptr<Entry>> removed_;  // freed after the batch
  std::vector<int> intervals_;                    // closed with the loop
  std::vector<int> watched_signals_;              // signalfds of WatchSignal
  std::vector<std::function<bool()>> steps_;
};

}  // namespace zt

#endif  // ZT_NET_EVENT_LOOP_H_
