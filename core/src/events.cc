#include "events.h"

namespace oq::events {

namespace detail {

std::atomic<Level> g_threshold{Level::Off};

namespace {
std::atomic<Sink*> g_sink{nullptr};
}  // namespace

Sink* sink() { return g_sink.load(std::memory_order_acquire); }

}  // namespace detail

bool install(Sink* sink, Level threshold) {
  Sink* expected = nullptr;
  if (!detail::g_sink.compare_exchange_strong(expected, sink, std::memory_order_acq_rel)) {
    return false;
  }
  detail::g_threshold.store(threshold, std::memory_order_release);
  return true;
}

}  // namespace oq::events
