// init_tracing() and the bridge it installs: engine events become records of Python's logging.
//
// A record goes to the logger named after the event's target ("::" becomes "."), at the Python
// level of the event, with the call site's file and line. Its message is the event's fixed
// message followed by each field as " name=value"; text that came from the caller is shown quoted
// (notes, token id lists, membership reasons) or escaped (ids, fingerprints), so that no value can
// end the line or pass for another field. Each target's logger and its most verbose enabled
// level are looked up once, at the target's first event, and kept for the life of the process.
// An exception raised inside logging goes to the interpreter's unraisable hook and never changes
// what the engine computes.
#include <climits>
#include <map>
#include <memory>
#include <string>

#include "errors.h"
#include "events.h"
#include "guard.h"
#include "object.h"
#include "params.h"
#include "quote.h"
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

  bool enabled(const Site& site) noexcept override {
    const int level = python_level(site.level);
    if (level < kThreshold) return false;
    try {
      const auto target = lookup(site.target);
      return target && level >= target->most_verbose;
    } catch (...) {
      return false;  // a record that cannot be prepared is dropped
    }
  }

  // A target's logger and its enabled level are looked up once and kept, so the answer for a
  // call site never changes once Python has given it. Only a target already found answers here;
  // otherwise `enabled` looks it up, once per event, as before any answer was kept.
  oq::events::Interest interest(const Site& site) noexcept override {
    if (python_level(site.level) < kThreshold) return oq::events::Interest::Never;
    const auto found = cache_->find(site.target);
    if (found == cache_->end()) return oq::events::Interest::Sometimes;
    return python_level(site.level) >= found->second->most_verbose ? oq::events::Interest::Always
                                                                   : oq::events::Interest::Never;
  }

  void event(const Site& site, std::span<const Field> fields) noexcept override {
    try {
      const auto target = lookup(site.target);
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
    int most_verbose;  // INT_MAX when the logger enables nothing
  };
  using Cache = std::map<std::string, std::shared_ptr<const Target>, std::less<>>;

  // The cached target, found on its first event; null when Python refused to provide it.
  std::shared_ptr<const Target> lookup(std::string_view target_name) {
    if (auto found = cache_->find(target_name); found != cache_->end()) return found->second;
    auto target = std::make_shared<Target>();
    target->name = logger_name(target_name);
    {
      PythonCall call;
      if (!resolve(*target)) {
        PythonCall::report(logging_.get());
        return nullptr;
      }
    }
    // The cache is replaced whole, so a lookup running inside a logging call never sees it move.
    auto next = std::make_shared<Cache>(*cache_);
    next->insert_or_assign(std::string(target_name), target);
    cache_ = std::move(next);
    return target;
  }

  bool resolve(Target& target) {
    target.logger =
        Ref::steal(PyObject_CallMethod(logging_.get(), "getLogger", "s", target.name.c_str()));
    if (!target.logger) return false;
    target.most_verbose = INT_MAX;
    for (const int level : {5, 10, 20, 30, 40}) {
      Ref answer = Ref::steal(PyObject_CallMethod(target.logger.get(), "isEnabledFor", "i", level));
      if (!answer) return false;
      const int enabled = PyObject_IsTrue(answer.get());
      if (enabled < 0) return false;
      if (enabled) {
        target.most_verbose = level;
        break;
      }
    }
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
  std::shared_ptr<const Cache> cache_ = std::make_shared<const Cache>();
};

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
  if (oq::events::install(bridge.get(), Level::Debug)) bridge.release();
  Py_RETURN_NONE;
}

PyMethodDef kInitTracingFunction = {"init_tracing", guarded<init_tracing>, METH_NOARGS,
                                    kInitTracingDoc};

}  // namespace

PyObject* init_tracing_function(PyObject* module) {
  return new_function(&kInitTracingFunction, module);
}

}  // namespace oqpy
