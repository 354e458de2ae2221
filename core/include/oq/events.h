#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace oq::events {

// How verbose an event is; a threshold lets through every level at or below it. Off lets none.
enum class Level : std::uint8_t { Off = 0, Error, Warn, Info, Debug, Trace };

// A fixed call site: where the event comes from and what it always says. Call sites are
// constants with static storage, so a sink may key what it knows of one by its address.
struct Site {
  std::string_view target;  // the engine unit, e.g. "ostrel_quorvane_core::compiler"
  Level level;
  std::string_view message;  // the fixed message
  std::string_view file;     // the source unit
  std::uint32_t line;        // the event's number, which identifies it
};

// One named field of an event, already rendered as text. A field is plain text unless `quoted`
// says its value was written through quote_string (or is built of such pieces), so that a sink
// writing fields into one line knows which values still need escaping.
struct Field {
  std::string_view name;
  std::string value;
  bool quoted = false;
};

// Receives the events of the calls it is given to, which pass it down to every unit they run:
// compilation and runtime evaluation take an optional sink beside their clock. Implementations
// never throw and never change anything the engine computes.
class Sink {
 public:
  virtual ~Sink() = default;
  // Whether the sink wants the event of `site` now; asked at every event, before any field is
  // rendered, so that a sink can follow a verbosity that changes while the process runs.
  virtual bool enabled(const Site& site) = 0;
  // One event with its fields, in call-site order.
  virtual void event(const Site& site, std::span<const Field> fields) = 0;
  // Whether the sink wants spans entered and left; asked before any span field is rendered.
  virtual bool wants_spans() const { return false; }
  // A span of `site` (its message is the span's name) is entered with `fields`, then left.
  virtual void enter(const Site& /*site*/, std::span<const Field> /*fields*/) {}
  virtual void exit(const Site& /*site*/) {}
};

// Emits an event of `site` to `sink`, if any: without one, observation is off and an event costs
// a test of the pointer. `fields()` returns a container of Field and runs only when the sink wants
// the event.
template <class MakeFields>
void emit(Sink* sink, const Site& site, MakeFields&& fields) {
  if (!sink || !sink->enabled(site)) return;
  const auto made = fields();
  sink->event(site, std::span<const Field>(made.data(), made.size()));
}

// A named region around a call, entered on construction and left on destruction. `fields()` runs
// only when there is a sink and it wants spans.
class Span {
 public:
  template <class MakeFields>
  Span(Sink* sink, const Site& site, MakeFields&& fields) : site_(site) {
    if (!sink || !sink->wants_spans() || !sink->enabled(site)) return;
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
