#pragma once

#include <atomic>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace oq::events {

// How verbose an event is; a threshold lets through every level at or below it. Off lets none.
enum class Level : std::uint8_t { Off = 0, Error, Warn, Info, Debug, Trace };

// Whether the sink wants the events of a call site: not asked yet, never, it depends on the
// moment (asked each time), or always.
enum class Interest : std::uint8_t { Unknown, Never, Sometimes, Always };

// A fixed call site: where the event comes from and what it always says, and the sink's interest
// in it once known. Call sites are `constinit` globals, so that the interest can be kept.
struct Site {
  std::string_view target;  // the engine unit, e.g. "ostrel_quorvane_core::compiler"
  Level level;
  std::string_view message;  // the fixed message
  std::string_view file;     // the source unit
  std::uint32_t line;        // the event's number, which identifies it
  mutable std::atomic<Interest> interest{Interest::Unknown};
};

// One named field of an event, already rendered as text. A field is plain text unless `quoted`
// says its value was written through quote_string (or is built of such pieces), so that a sink
// writing fields into one line knows which values still need escaping.
struct Field {
  std::string_view name;
  std::string value;
  bool quoted = false;
};

// Receives the events that pass the threshold. Implementations never throw and never change
// anything the engine computes.
class Sink {
 public:
  virtual ~Sink() = default;
  // Whether the sink wants events of `site` now; asked before any field is rendered.
  virtual bool enabled(const Site& site) = 0;
  // The sink's lasting interest in `site`, asked once per call site; Sometimes defers to
  // `enabled` at every event.
  virtual Interest interest(const Site& /*site*/) { return Interest::Sometimes; }
  // One event with its fields, in call-site order.
  virtual void event(const Site& site, std::span<const Field> fields) = 0;
  // Whether the sink wants spans entered and left; asked before any span field is rendered.
  virtual bool wants_spans() const { return false; }
  // A span of `site` (its message is the span's name) is entered with `fields`, then left.
  virtual void enter(const Site& /*site*/, std::span<const Field> /*fields*/) {}
  virtual void exit(const Site& /*site*/) {}
};

namespace detail {
extern std::atomic<Level> g_threshold;
Sink* sink();
}  // namespace detail

// Installs `sink` (which must live for the rest of the process) with `threshold`, once per process.
// False, with nothing changed, when a sink is already installed.
bool install(Sink* sink, Level threshold);

// Whether an event of `site` passes the threshold: one relaxed atomic load.
inline bool passes(const Site& site) {
  return site.level <= detail::g_threshold.load(std::memory_order_relaxed);
}

// Whether the sink wants the event of `site` now, asking its lasting interest only once.
inline bool wanted(Sink& sink, const Site& site) {
  Interest interest = site.interest.load(std::memory_order_relaxed);
  if (interest == Interest::Unknown) {
    interest = sink.interest(site);
    if (interest != Interest::Sometimes) site.interest.store(interest, std::memory_order_relaxed);
  }
  if (interest == Interest::Sometimes) return sink.enabled(site);
  return interest == Interest::Always;
}

// Emits an event of `site`. `fields()` returns a container of Field and runs only when the
// event passes the threshold and the sink wants it.
template <class MakeFields>
void emit(const Site& site, MakeFields&& fields) {
  if (!passes(site)) return;
  Sink* sink = detail::sink();
  if (!sink || !wanted(*sink, site)) return;
  const auto made = fields();
  sink->event(site, std::span<const Field>(made.data(), made.size()));
}

// A named region around a call, entered on construction and left on destruction. `fields()` runs
// only when the span passes the threshold and the sink wants spans.
class Span {
 public:
  template <class MakeFields>
  Span(const Site& site, MakeFields&& fields) : site_(site) {
    if (!passes(site)) return;
    Sink* sink = detail::sink();
    if (!sink || !sink->wants_spans()) return;
    const auto made = fields();
    sink->enter(site, std::span<const Field>(made.data(), made.size()));
    sink_ = sink;
  }
  Span(const Span&) = delete;
  Span& operator=(const Span&) = delete;
  ~Span() {
    if (sink_) sink_->exit(site_);
  }

 private:
  const Site& site_;
  Sink* sink_ = nullptr;
};

}  // namespace oq::events
