/* echo_server: the loopback floor for bench/compare.sh.
 *
 *   echo_server PORT SECONDS
 *
 * Listens on 127.0.0.1:PORT (0: any free port) and writes back every byte it
 * reads, on each connection, from one thread around one epoll loop: the
 * least any single-threaded server on this machine can do per request.
 * Prints "port N" once listening and exits by itself after SECONDS (at most
 * 3600), or on SIGTERM/SIGINT. A peer that does not read its echoes only
 * slows itself: what cannot be written now is kept (up to 1 MiB, then the
 * connection is closed) and written when the socket is writable again.
 */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#define MAX_EVENTS 64
#define MAX_PENDING (1 << 20)

struct conn {
  int fd;
  char* pending; /* bytes read but not yet written back */
  size_t length;
};

static volatile sig_atomic_t stop;

static void on_signal(int sig) {
  (void)sig;
  stop = 1;
}

static void drop(int epoll, struct conn* c) {
  epoll_ctl(epoll, EPOLL_CTL_DEL, c->fd, NULL);
  close(c->fd);
  free(c->pending);
  free(c);
}

/* Writes what is pending; returns -1 when the connection is broken. */
static int flush_pending(int epoll, struct conn* c) {
  while (c->length > 0) {
    ssize_t n = write(c->fd, c->pending, c->length);
    if (n > 0) {
      memmove(c->pending, c->pending + n, c->length - (size_t)n);
      c->length -= (size_t)n;
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      struct epoll_event ev = {.events = EPOLLIN | EPOLLOUT, .data.ptr = c};
      return epoll_ctl(epoll, EPOLL_CTL_MOD, c->fd, &ev);
    } else {
      return -1;
    }
  }
  struct epoll_event ev = {.events = EPOLLIN, .data.ptr = c};
  return epoll_ctl(epoll, EPOLL_CTL_MOD, c->fd, &ev);
}

/* Reads what has arrived and echoes it; returns -1 to drop the connection. */
static int echo(int epoll, struct conn* c) {
  char buffer[65536];
  for (;;) {
    ssize_t n = read(c->fd, buffer, sizeof buffer);
    if (n == 0) return -1;
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno == EAGAIN || errno == EWOULDBLOCK ? 0 : -1;
    }
    if (c->length == 0) {
      ssize_t w = write(c->fd, buffer, (size_t)n);
      if (w == n) continue;
      if (w < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return -1;
      if (w < 0) w = 0;
      memmove(buffer, buffer + w, (size_t)(n - w));
      n -= w;
    }
    if (c->length + (size_t)n > MAX_PENDING) return -1;
    char* grown = realloc(c->pending, c->length + (size_t)n);
    if (grown == NULL) return -1;
    c->pending = grown;
    memcpy(c->pending + c->length, buffer, (size_t)n);
    c->length += (size_t)n;
    if (flush_pending(epoll, c) < 0) return -1;
  }
}

int main(int argc, char** argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: echo_server PORT SECONDS\n");
    return 2;
  }
  int port = atoi(argv[1]);
  int seconds = atoi(argv[2]);
  if (port < 0 || port > 65535 || seconds < 1 || seconds > 3600) {
    fprintf(stderr, "echo_server: bad port or seconds\n");
    return 2;
  }
  signal(SIGPIPE, SIG_IGN);
  signal(SIGTERM, on_signal);
  signal(SIGINT, on_signal);

  int listener = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  int on = 1;
  setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  struct sockaddr_in address = {.sin_family = AF_INET, .sin_port = htons((uint16_t)port)};
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (listener < 0 || bind(listener, (struct sockaddr*)&address, sizeof address) != 0 ||
      listen(listener, 1024) != 0 ||
      getsockname(listener, (struct sockaddr*)&address, &length) != 0) {
    perror("echo_server: listen");
    return 1;
  }
  printf("port %d\n", ntohs(address.sin_port));
  fflush(stdout);

  int epoll = epoll_create1(EPOLL_CLOEXEC);
  struct epoll_event ev = {.events = EPOLLIN, .data.ptr = NULL};
  epoll_ctl(epoll, EPOLL_CTL_ADD, listener, &ev);
  struct timespec now, end;
  clock_gettime(CLOCK_MONOTONIC, &end);
  end.tv_sec += seconds;

  struct epoll_event events[MAX_EVENTS];
  while (!stop) {
    clock_gettime(CLOCK_MONOTONIC, &now);
    if (now.tv_sec > end.tv_sec || (now.tv_sec == end.tv_sec && now.tv_nsec >= end.tv_nsec)) break;
    int ready = epoll_wait(epoll, events, MAX_EVENTS, 200);
    for (int i = 0; i < ready; ++i) {
      struct conn* c = events[i].data.ptr;
      if (c == NULL) {
        int fd;
        while ((fd = accept4(listener, NULL, NULL, SOCK_NONBLOCK | SOCK_CLOEXEC)) >= 0) {
          setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
          struct conn* added = calloc(1, sizeof *added);
          if (added == NULL) {
            close(fd);
            continue;
          }
          added->fd = fd;
          struct epoll_event ce = {.events = EPOLLIN, .data.ptr = added};
          if (epoll_ctl(epoll, EPOLL_CTL_ADD, fd, &ce) != 0) {
            close(fd);
            free(added);
          }
        }
        continue;
      }
      int broken = (events[i].events & (EPOLLERR | EPOLLHUP)) != 0 && c->length == 0 &&
                   (events[i].events & EPOLLIN) == 0;
      if (!broken && (events[i].events & EPOLLOUT) && flush_pending(epoll, c) < 0) broken = 1;
      if (!broken && (events[i].events & EPOLLIN) && echo(epoll, c) < 0) broken = 1;
      if (broken) drop(epoll, c);
    }
  }
  close(listener);
  close(epoll);
  return 0;
}
