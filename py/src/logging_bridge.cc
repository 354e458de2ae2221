// init_tracing() and the bridge it installs: engine events become records of Python's logging.
//
// A record goes to the logger named after the event's target ("::" becomes "."), at the Python
// level of the event, with the call site's file and line. Its message is the event's fixed
// message followed by each field as " name=value"; text that came from the caller is shown quoted
// (notes, token id lists, membership reasons) or escaped (ids, fingerprints), so that no value can
// end the line or pass for another field. Each target's logger is looked up once, at the target's
// first event, and kept for the life of the process; whether it is enabled for an event's level
// is asked at every event, from the logger's own cache of that answer, so that a level set at any
// time takes effect at the next event. An exception raised inside logging goes to the
// interpreter's unraisable hook and never changes what the engine computes.
#include <atomic>
#include <climits>
#include <map>
#include <memory>
#include <string>

#include "errors.h"
#include "guard.h"
#include "object.h"
#include "oq/events.h"
#include "oq/open_table.h"
#include "oq/quote.h"
#include "params.h"
#include "ref.h"
#include "types.h"

namespace oqpy {

namespace {

using oq::events::Field;
using oq::events::Level;
using oq::events::Site;

int python_level(Level level) {
  switch (level) {
    case Level::Error:
      return 40;
    case Level::Warn:
      return 30;
    case Level::Info:
      return 20;
    case Level::Debug:
      return 10;
    case Level::Trace:
      return 5;
    case Level::Off:
      break;
  }
  return INT_MAX;
}

std::string logger_name(std::string_view target) {
  std::string name;
  name.reserve(target.size());
  for (std::size_t i = 0; i < target.size(); ++i) {
    if (target.compare(i, 2, "::") == 0) {
      name += '.';
      ++i;
    } else {
      name += target[i];
    }
  }
  return name;
}

// Keeps the exception pending on entry (if any) aside while Python code runs, and reports any
// exception that code raises as unraisable.
class PythonCall {
 public:
  PythonCall() { PyErr_Fetch(&type_, &value_, &traceback_); }
  ~PythonCall() { PyErr_Restore(type_, value_, traceback_); }
  PythonCall(const PythonCall&) = delete;
  PythonCall& operator=(const PythonCall&) = delete;
  // Reports the exception just raised, if any, with `where` as its context.
  static void report(PyObject* where) {
    if (PyErr_Occurred()) PyErr_WriteUnraisable(where);
  }

 private:
  PyObject* type_ = nullptr;
  PyObject* value_ = nullptr;
  PyObject* traceback_ = nullptr;
};

class Bridge final : public oq::events::Sink {
 public:
  explicit Bridge(Ref logging) : logging_(std::move(logging)) {}

  // Whether the target's logger is enabled for the event's level now. Python's loggers keep
  // their answers in a dict that setting any level empties; an answer found there costs one
  // lookup, and a missing one is asked for, which fills it again.
  bool enabled(const Site& site) noexcept override {
    const int level = python_level(site.level);
    if (level < kThreshold) return false;
    try {
      const Target* target = target_of(site);
      if (!target) return false;
      if (target->answers) {
        Ref key = Ref::steal(PyLong_FromLong(level));
        if (!key) return declined();
        PyObject* answer = PyDict_GetItemWithError(target->answers.get(), key.get());
        if (answer == Py_True) return true;
        if (answer == Py_False) return false;
        if (PyErr_Occurred()) return declined();
      }
      PythonCall call;
      Ref answer =
          Ref::steal(PyObject_CallMethod(target->logger.get(), "isEnabledFor", "i", level));
      const int enabled = answer ? PyObject_IsTrue(answer.get()) : -1;
      PythonCall::report(target->logger.get());
      return enabled == 1;
    } catch (...) {
      return false;  // a record that cannot be prepared is dropped
    }
  }

  void event(const Site& site, std::span<const Field> fields) noexcept override {
    try {
      const Target* target = target_of(site);
      if (!target) return;
      std::string message(site.message);
      for (const Field& field : fields) {
        message += ' ';
        message += field.name;
        message += '=';
        if (field.quoted) {
          message += field.value;
        } else {
          oq::append_unquoted(message, field.value);
        }
      }
      PythonCall call;
      forward(*target, site, message);
      PythonCall::report(target->logger.get());
    } catch (...) {
      // Dropping the record is the only safe answer to a failure while building it.
    }
  }

 private:
  static constexpr int kThreshold = 10;  // DEBUG: TRACE records never reach Python

  struct Target {
    std::string name;
    Ref logger;
    Ref answers;  // the logger's dict of levels to whether it is enabled; null if it has none
  };
  // Targets by name; a target once filed is never replaced or dropped, and filing another never
  // moves it, so a pointer to one stays good.
  using Cache = std::map<std::string, std::unique_ptr<const Target>, std::less<>>;

  // An unexpected failure while reading an answer: reported, and the event dropped.
  bool declined() {
    PyErr_WriteUnraisable(logging_.get());
    return false;
  }

  // The target of `site`'s events, kept by the site's address after its first event so that
  // finding it costs a lookup of a pointer; null when Python refused to provide it.
  const Target* target_of(const Site& site) {
    if (const auto* slot = by_site_.find(&site)) return slot->value;
    const Target* target = lookup(site.target);
    if (target) by_site_.insert(&site, target);
    return target;
  }

  // The cached target, found on its first event; null when Python refused to provide it.
  const Target* lookup(std::string_view target_name) {
    if (auto found = cache_.find(target_name); found != cache_.end()) return found->second.get();
    auto target = std::make_unique<Target>();
    target->name = logger_name(target_name);
    {
      PythonCall call;
      if (!resolve(*target)) {
        PythonCall::report(logging_.get());
        return nullptr;
      }
    }
    // Python ran while the target was resolved: another thread, or a compilation inside a
    // logging call, may have filed the same target meanwhile, and that one is kept.
    if (auto found = cache_.find(target_name); found != cache_.end()) return found->second.get();
    return cache_.emplace(std::string(target_name), std::move(target)).first->second.get();
  }

  bool resolve(Target& target) {
    target.logger =
        Ref::steal(PyObject_CallMethod(logging_.get(), "getLogger", "s", target.name.c_str()));
    if (!target.logger) return false;
    // The cached answers are the logger's own only when its class decides as Logger does; any
    // other class is asked through its isEnabledFor at every event.
    Ref own = Ref::steal(PyObject_GetAttrString(
        reinterpret_cast<PyObject*>(Py_TYPE(target.logger.get())), "isEnabledFor"));
    Ref logger_class = Ref::steal(PyObject_GetAttrString(logging_.get(), "Logger"));
    Ref standard = logger_class
                       ? Ref::steal(PyObject_GetAttrString(logger_class.get(), "isEnabledFor"))
                       : Ref();
    Ref answers = Ref::steal(PyObject_GetAttrString(target.logger.get(), "_cache"));
    if (own && standard && own.get() == standard.get() && answers &&
        PyDict_CheckExact(answers.get())) {
      target.answers = std::move(answers);
    }
    PyErr_Clear();
    return true;
  }

  static void forward(const Target& target, const Site& site, const std::string& message) {
    Ref text = Ref::steal(new_str(message));
    if (!text) return;
    Ref args = Ref::steal(PyTuple_New(0));
    if (!args) return;
    Ref record = Ref::steal(PyObject_CallMethod(
        target.logger.get(), "makeRecord", "siNIOOO", target.name.c_str(), python_level(site.level),
        PyUnicode_FromStringAndSize(site.file.data(), static_cast<Py_ssize_t>(site.file.size())),
        static_cast<unsigned>(site.line), text.get(), args.get(), Py_None));
    if (!record) return;
    Ref handled = Ref::steal(PyObject_CallMethod(target.logger.get(), "handle", "O", record.get()));
  }

  Ref logging_;
  Cache cache_;
  oq::OpenTable<oq::AddressKeys<const Target*>> by_site_;
};

// The bridge init_tracing installed, if any; it lives for the rest of the process.
std::atomic<Bridge*> g_bridge{nullptr};

constexpr const char kInitTracingDoc[] =
    "init_tracing()\n--\n\n"
    "Route the engine's events into Python's `logging` hierarchy.\n\n"
    "After calling this, `debug!` / `info!` / `warn!` / `error!` events emitted\n"
    "by quorvane-core appear as records on the `quorvane` Python logger at the\n"
    "corresponding level.  Safe to call multiple times; subsequent calls are\n"
    "no-ops.";

PyObject* init_tracing(PyObject*, PyObject*) {
  Ref logging = Ref::steal(PyImport_ImportModule("logging"));
  if (!logging) {
    const TakenError error = TakenError::take();
    Ref rendering = Ref::steal(PyObject_Repr(error.value ? error.value.get() : Py_None));
    if (!rendering) return nullptr;
    const char* text = PyUnicode_AsUTF8(rendering.get());
    if (!text) return nullptr;
    return raise_panic(std::string("Failed to initialize python logging: ") + text);
  }
  auto bridge = std::make_unique<Bridge>(std::move(logging));
  // The installed bridge lives for the rest of the process; a later one is dropped unused.
  Bridge* expected = nullptr;
  if (g_bridge.compare_exchange_strong(expected, bridge.get(), std::memory_order_acq_rel)) {
    bridge.release();
  }
  Py_RETURN_NONE;
}

PyMethodDef kInitTracingFunction = {"init_tracing", guarded<init_tracing>, METH_NOARGS,
                                    kInitTracingDoc};

}  // namespace

oq::events::Sink* tracing_sink() { return g_bridge.load(std::memory_order_acquire); }

PyObject* init_tracing_function(PyObject* module) {
  return new_function(&kInitTracingFunction, module);
}

}  // namespace oqpy
