#include "net/event_loop.h"

#include <signal.h>
#include <sys/epoll.h>
#include <sys/signalfd.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>

namespace zt {
namespace {

// Events taken from epoll per wait; more simply wait for the next round.
constexpr int kEventBatch = 64;

}  // namespace

EventLoop::~EventLoop() { Close(); }

int EventLoop::Open() {
  if (epoll_ >= 0) return 1;
  epoll_ = ::epoll_create1(EPOLL_CLOEXEC);
  if (epoll_ < 0) return 0;
  timer_ = ::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
  if (timer_ < 0 || !Add(timer_, EPOLLIN, [this](uint32_t) { OnTimer(); })) {
    const int saved = errno;
    Close();
    errno = saved;
    return 0;
  }
  stop_ = false;
  return 1;
}

void EventLoop::Close() {
  entries_.clear();
  removed_.clear();
  for (int fd : intervals_) ::close(fd);
  intervals_.clear();
  for (int fd : watched_signals_) ::close(fd);
  watched_signals_.clear();
  steps_.clear();
  for (int* fd : {&signals_, &timer_, &epoll_}) {
    if (*fd >= 0) ::close(*fd);
    *fd = -1;
  }
  timer_armed_ = false;
}

int EventLoop::Add(int fd, uint32_t events, Handler handler) {
  epoll_event event{};
  event.events = events;
  event.data.fd = fd;
  if (::epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &event) != 0) return 0;
  entries_[fd] = std::make_unique<Entry>(Entry{fd, std::move(handler)});
  return 1;
}

int EventLoop::Modify(int fd, uint32_t events) {
  epoll_event event{};
  event.events = events;
  event.data.fd = fd;
  return ::epoll_ctl(epoll_, EPOLL_CTL_MOD, fd, &event) == 0 ? 1 : 0;
}

void EventLoop::Remove(int fd) {
  auto found = entries_.find(fd);
  if (found == entries_.end()) return;
  ::epoll_ctl(epoll_, EPOLL_CTL_DEL, fd, nullptr);
  removed_.push_back(std::move(found->second));
  entries_.erase(found);
}

int EventLoop::ArmTimer(int milliseconds) {
  itimerspec when{};
  when.it_value.tv_sec = milliseconds / 1000;
  when.it_value.tv_nsec = static_cast<long>(milliseconds % 1000) * 1000000L;
  if (when.it_value.tv_sec == 0 && when.it_value.tv_nsec == 0) when.it_value.tv_nsec = 1;
  if (::timerfd_settime(timer_, 0, &when, nullptr) != 0) return 0;
  timer_armed_ = true;
  return 1;
}

void EventLoop::DisarmTimer() {
  if (timer_ < 0) return;
  itimerspec off{};
  ::timerfd_settime(timer_, 0, &off, nullptr);
  // A firing that is already queued is read away so it cannot run later;
  // the disarmed timer cannot add another, so one read does it.
  uint64_t expirations;
  static_cast<void>(::read(timer_, &expirations, sizeof expirations));
  timer_armed_ = false;
}

int EventLoop::AddInterval(int milliseconds, std::function<void()> handler) {
  if (milliseconds <= 0) {
    errno = EINVAL;
    return -1;
  }
  const int fd = ::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
  if (fd < 0) return -1;
  itimerspec every{};
  every.it_value.tv_sec = milliseconds / 1000;
  every.it_value.tv_nsec = static_cast<long>(milliseconds % 1000) * 1000000L;
  every.it_interval = every.it_value;
  const bool added =
      ::timerfd_settime(fd, 0, &every, nullptr) == 0 &&
      Add(fd, EPOLLIN, [fd, handler = std::move(handler)](uint32_t) {
        // Missed expirations (a long request) collapse into one call.
        uint64_t expirations = 0;
        if (::read(fd, &expirations, sizeof expirations) > 0) handler();
      });
  if (!added) {
    const int saved = errno;
    ::close(fd);
    errno = saved;
    return -1;
  }
  intervals_.push_back(fd);
  return fd;
}

void EventLoop::RemoveInterval(int fd) {
  for (size_t i = 0; i < intervals_.size(); ++i) {
    if (intervals_[i] != fd) continue;
    Remove(fd);
    ::close(fd);
    intervals_.erase(intervals_.begin() + static_cast<std::ptrdiff_t>(i));
    return;
  }
}

void EventLoop::OnTimer() {
  uint64_t expirations = 0;
  if (::read(timer_, &expirations, sizeof expirations) <= 0) return;  // disarmed meanwhile
  timer_armed_ = false;
  if (on_timer_) on_timer_();
}

int EventLoop::WatchStopSignals(std::function<void()> on_stop) {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  if (::sigprocmask(SIG_BLOCK, &set, nullptr) != 0) return 0;
  signals_ = ::signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
  if (signals_ < 0) return 0;
  on_stop_ = std::move(on_stop);
  return Add(signals_, EPOLLIN, [this](uint32_t) { OnStopSignal(); });
}

void EventLoop::OnStopSignal() {
  signalfd_siginfo info;
  bool stop = false;
  while (::read(signals_, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) stop = true;
  if (!stop) return;
  if (on_stop_) on_stop_();
  stop_ = true;
}

int EventLoop::WatchSignal(int signo, std::function<void()> handler) {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, signo);
  if (::sigprocmask(SIG_BLOCK, &set, nullptr) != 0) return -1;
  const int fd = ::signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
  if (fd < 0) return -1;
  const bool added = Add(fd, EPOLLIN, [fd, handler = std::move(handler)](uint32_t) {
    signalfd_siginfo info;
    bool arrived = false;
    while (::read(fd, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) arrived = true;
    if (arrived) handler();
  });
  if (!added) {
    ::close(fd);
    return -1;
  }
  watched_signals_.push_back(fd);
  return fd;
}

void EventLoop::Run() {
  epoll_event events[kEventBatch];
  while (!stop_) {
    const int n = ::epoll_wait(epoll_, events, kEventBatch, steps_.empty() ? -1 : 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      break;  // the epoll descriptor itself is broken: nothing can be served
    }
    for (int i = 0; i < n && !stop_; ++i) {
      auto found = entries_.find(events[i].data.fd);
      if (found == entries_.end()) continue;  // removed earlier in this batch
      Entry* entry = found->second.get();
      entry->handler(events[i].events);
    }
    removed_.clear();
    // A step may post another; those run from the next pass on.
    for (size_t i = 0, n_steps = steps_.size(); i < n_steps && i < steps_.size() && !stop_;) {
      if (steps_[i]()) {
        ++i;
      } else {
        steps_.erase(steps_.begin() + static_cast<std::ptrdiff_t>(i));
        --n_steps;
      }
    }
  }
}

}  // namespace zt
