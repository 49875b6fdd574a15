#include "net/request_queue.h"

#include "net/frame.h"

namespace zt {

size_t RequestQueue::TextLengthAt(size_t at) const {
  const size_t end = buffer_.find(kEtx, at);
  assert(end != std::string::npos);
  return end - at;
}

void RequestQueue::push_back(std::string_view text) {
  assert(text.find(kEtx) == std::string_view::npos);
  buffer_.append(text);
  buffer_.push_back(kEtx);
  if (count_++ == 0) front_length_ = text.size();
}

void RequestQueue::pop_front() {
  assert(count_ > 0);
  if (--count_ == 0) {
    clear();
    return;
  }
  head_ += front_length_ + 1;
  if (head_ * 2 >= buffer_.size()) {
    buffer_.erase(0, head_);
    head_ = 0;
  }
  front_length_ = TextLengthAt(head_);
}

void RequestQueue::clear() {
  if (buffer_.capacity() > kRetainedQueueCapacity) {
    std::string().swap(buffer_);
  } else {
    buffer_.clear();
  }
  head_ = 0;
  front_length_ = 0;
  count_ = 0;
}

}  // namespace zt
