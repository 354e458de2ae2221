// _read_request, _read_chain and _read_time: request and chain documents read natively from
// their bytes, for the package's file readers.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <optional>
#include <string>

#include "document.h"
#include "errors.h"
#include "guard.h"
#include "object.h"
#include "oq/request_reader.h"
#include "params.h"
#include "reading.h"
#include "types.h"

namespace oqpy {

namespace {

bool to_size(PyObject* obj, std::uint64_t& out) { return to_index(obj, out); }

PyObject* wtf8(const std::string& text) {
  return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "surrogatepass");
}

// (False, (kind, path, detail)): kind is "format", "engine" or "inline".
PyObject* fault_result(const oq::ReadFault& fault) {
  Ref path = Ref::steal(wtf8(fault.path));
  Ref detail = Ref::steal(wtf8(fault.detail));
  if (!path || !detail) return nullptr;
  const char* kind = fault.kind == oq::ReadFault::Kind::Engine   ? "engine"
                     : fault.kind == oq::ReadFault::Kind::Inline ? "inline"
                                                                 : "format";
  return Py_BuildValue("(O(sOO))", Py_False, kind, path.get(), detail.get());
}

template <class Read>
auto reading(const Document& document, Read&& read) {
  if (!document.releasable()) return read();
  decltype(read()) result;
  Py_BEGIN_ALLOW_THREADS result = read();
  Py_END_ALLOW_THREADS return result;
}

PyObject* runtime_tuple(const oq::RequestRuntime& runtime) {
  Ref now = runtime.now ? Ref::steal(PyFloat_FromDouble(*runtime.now)) : Ref::borrow(Py_None);
  Ref fingerprint = runtime.context_fingerprint ? Ref::steal(new_str(*runtime.context_fingerprint))
                                                : Ref::borrow(Py_None);
  Ref states = Ref::borrow(Py_None);
  if (const auto& read = runtime.negative_control_states) {
    states = Ref::steal(list_of(read->size(), [&](std::size_t i) -> PyObject* {
      Ref id = Ref::steal(new_str((*read)[i].first));
      Ref status = Ref::steal(new_str(oq::negative_control_status_name((*read)[i].second)));
      return id && status ? PyTuple_Pack(2, id.get(), status.get()) : nullptr;
    }));
  }
  if (!now || !fingerprint || !states) return nullptr;
  return Py_BuildValue("(OOOO)", now.get(), fingerprint.get(), states.get(),
                       runtime.strict_mode ? Py_True : Py_False);
}

constexpr auto kReadRequest = signature(
    "_read_request()", Callable::Function,
    "_read_request(data, chain=None, root=\"$\", size=None, inline_chain=True)\n--\n\n"
    "Reads a request document from `data` (bytes-like or str; with `size`, its first `size`\n"
    "bytes, the rest being padding the reader may read). Returns (True, (context, chain,\n"
    "runtime, fingerprint)) where chain is the document's own chain or None, fingerprint the\n"
    "one the context is used under, and runtime None or\n"
    "(now, context_fingerprint, [(token_id, status name)] or None, strict_mode); or\n"
    "(False, (kind, path, detail)) with kind \"format\", \"engine\" or \"inline\". With "
    "inline_chain\n"
    "false, a chain section in the request is refused unread.",
    Param{"data"}, Param{"chain", Policy::OrNone}, Param{"root", Policy::OrValue, "\"$\""},
    Param{"size", Policy::OrNone}, Param{"inline_chain", Policy::OrValue, "True"});

PyObject* read_request(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  Args<kReadRequest> a;
  std::shared_ptr<const oq::PermissionChain> chain;
  std::string root = "$";
  std::optional<std::uint64_t> size;
  bool inline_chain = true;
  Document document;
  if (!a.bind(args, nargs, kwnames) || !a.get(1, chain, to_chain) || !a.get(2, root, to_text) ||
      !a.get_optional(3, size, to_size) || !a.get(4, inline_chain, to_bool)) {
    return nullptr;
  }
  if (!document.open(a[0], size)) return a.failed(0);
  const auto policy = inline_chain ? oq::InlineChain::Read : oq::InlineChain::Refuse;
  auto read = reading(document,
                      [&] { return oq::read_request(document.json(), chain.get(), root, policy); });
  if (!read) return fault_result(read.error());
  Ref context = Ref::steal(new_context(read->context));
  Ref own = read->chain ? Ref::steal(new_chain(std::move(read->chain))) : Ref::borrow(Py_None);
  Ref runtime = read->runtime ? Ref::steal(runtime_tuple(*read->runtime)) : Ref::borrow(Py_None);
  Ref fingerprint = Ref::steal(new_str(read->context->context_fingerprint()));
  if (!context || !own || !runtime || !fingerprint) return nullptr;
  return Py_BuildValue("(O(OOOO))", Py_True, context.get(), own.get(), runtime.get(),
                       fingerprint.get());
}

constexpr auto kReadChain = signature(
    "_read_chain()", Callable::Function,
    "_read_chain(data, root=\"$\", size=None)\n--\n\n"
    "Reads a chain document as _read_request reads a request: (True, chain) or\n"
    "(False, (kind, path, detail)).",
    Param{"data"}, Param{"root", Policy::OrValue, "\"$\""}, Param{"size", Policy::OrNone});

PyObject* read_chain(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  Args<kReadChain> a;
  std::string root = "$";
  std::optional<std::uint64_t> size;
  Document document;
  if (!a.bind(args, nargs, kwnames) || !a.get(1, root, to_text) ||
      !a.get_optional(2, size, to_size)) {
    return nullptr;
  }
  if (!document.open(a[0], size)) return a.failed(0);
  auto read = reading(document, [&] { return oq::read_chain(document.json(), root); });
  if (!read) return fault_result(read.error());
  Ref chain = Ref::steal(new_chain(std::move(*read)));
  if (!chain) return nullptr;
  return Py_BuildValue("(OO)", Py_True, chain.get());
}

constexpr auto kReadTime =
    signature("_read_time()", Callable::Function,
              "_read_time(data, root=\"$\")\n--\n\n"
              "Reads one time from the JSON text `data`: Unix seconds or RFC 3339 text with a UTC\n"
              "offset. Returns (True, seconds) or (False, (kind, path, detail)).",
              Param{"data"}, Param{"root", Policy::OrValue, "\"$\""});

PyObject* read_time(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  Args<kReadTime> a;
  std::string root = "$";
  Document document;
  if (!a.bind(args, nargs, kwnames) || !a.get(1, root, to_text)) return nullptr;
  if (!document.open(a[0], std::nullopt)) return a.failed(0);
  const auto read = oq::read_time(document.json(), root);
  if (!read) return fault_result(read.error());
  return Py_BuildValue("(Od)", Py_True, *read);
}

constexpr auto kReadMembers =
    signature("_read_members()", Callable::Function,
              "_read_members(data, names)\n--\n\n"
              "The texts of the members `names` of the JSON object `data`, as bytes, in that\n"
              "order: (True, [text, ...]), or (False, (kind, path, detail)) for a document that\n"
              "is not strict JSON, not an object, or lacks one of them or holds another.",
              Param{"data"}, Param{"names"});

PyObject* read_members(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  Args<kReadMembers> a;
  Document document;
  std::vector<std::string> names;
  if (!a.bind(args, nargs, kwnames) || !a.get(1, names, to_text_list)) return nullptr;
  if (!document.open(a[0], std::nullopt)) return a.failed(0);
  const std::vector<std::string_view> views(names.begin(), names.end());
  const auto read = oq::read_members(document.json(), views);
  if (!read) return fault_result(read.error());
  Ref texts = Ref::steal(list_of(read->size(), [&](std::size_t i) -> PyObject* {
    const std::string_view text = (*read)[i];
    return PyBytes_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
  }));
  if (!texts) return nullptr;
  return Py_BuildValue("(OO)", Py_True, texts.get());
}

constexpr auto kCheckJson =
    signature("_check_json()", Callable::Function,
              "_check_json(data)\n--\n\n"
              "The first fault a strict reader finds in the JSON document `data`, as (kind, path,\n"
              "detail), or None for a well-formed document.",
              Param{"data"});

PyObject* check_json(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  Args<kCheckJson> a;
  Document document;
  if (!a.bind(args, nargs, kwnames)) return nullptr;
  if (!document.open(a[0], std::nullopt)) return a.failed(0);
  const auto fault = reading(document, [&] { return oq::check_json(document.json()); });
  if (!fault) Py_RETURN_NONE;
  Ref result = Ref::steal(fault_result(*fault));
  if (!result) return nullptr;
  return Py_NewRef(PyTuple_GET_ITEM(result.get(), 1));
}

// ----- files -----

// A file descriptor, closed when it goes out of scope.
class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  ~Descriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const { return fd_; }

 private:
  int fd_;
};

std::string unreadable(int error) {
  return "expected a readable UTF-8 file (" + std::string(std::strerror(error)) + ")";
}

std::optional<std::string> not_regular(mode_t mode) {
  if (S_ISREG(mode)) return std::nullopt;
  const char* kind = S_ISDIR(mode)    ? "a directory"
                     : S_ISFIFO(mode) ? "a FIFO"
                     : S_ISSOCK(mode) ? "a socket"
                                      : "a device";
  return "expected a regular file, not " + std::string(kind);
}

std::string too_large(std::uint64_t limit) {
  const std::string digits = std::to_string(limit);
  std::string grouped;
  for (std::size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) grouped.push_back(',');
    grouped.push_back(digits[i]);
  }
  return "expected at most " + grouped + " bytes (" + std::to_string(limit >> 20) + " MiB)";
}

// Reads from `fd` into `buffer` from `size` on, until the end of the file or the buffer is full.
// Returns the error number of a failed read, or 0.
int read_into(int fd, char* buffer, std::size_t capacity, std::size_t& size) {
  while (size < capacity) {
    const ssize_t count = ::read(fd, buffer + size, capacity - size);
    if (count < 0 && errno == EINTR) continue;
    if (count < 0) return errno;
    if (count == 0) break;
    size += static_cast<std::size_t>(count);
  }
  return 0;
}

constexpr auto kReadFile = signature(
    "_read_file()", Callable::Function,
    "_read_file(path, limit, padding)\n--\n\n"
    "The bytes of the regular file at `path`, at most `limit` of them, with `padding` zero bytes\n"
    "after them: (True, (data, size)) with the document the first `size` bytes of `data`; or\n"
    "(False, (\"format\", \"$\", detail)) for a file that is missing, unreadable, not a regular\n"
    "file (it is never read: it could block or never end) or too large.",
    Param{"path"}, Param{"limit"}, Param{"padding"});

PyObject* read_file(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  Args<kReadFile> a;
  std::uint64_t limit = 0, padding = 0;
  if (!a.bind(args, nargs, kwnames) || !a.get(1, limit, to_index) || !a.get(2, padding, to_index)) {
    return nullptr;
  }
  // Bounds that keep every size below computed in range.
  if (limit > (std::uint64_t{1} << 40) || padding > (std::uint64_t{1} << 20)) {
    PyErr_SetString(PyExc_ValueError, "limit must be at most 2**40 and padding at most 2**20");
    return nullptr;
  }
  PyObject* encoded = nullptr;
  if (!PyUnicode_FSConverter(a[0], &encoded)) return a.failed(0);
  Ref path = Ref::steal(encoded);
  const auto refuse = [](std::string detail) {
    return fault_result(oq::ReadFault{oq::ReadFault::Kind::Format, "$", std::move(detail)});
  };
  int fd = -1;
  struct stat status {};
  int error = 0;
  Py_BEGIN_ALLOW_THREADS
      // Opened without waiting, so that a FIFO does not block for a writer; what was opened is then
      // checked, not the name, which could change in between.
      fd = ::open(PyBytes_AS_STRING(path.get()), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0 || ::fstat(fd, &status) != 0) error = errno;
  Py_END_ALLOW_THREADS const Descriptor file(fd);
  if (error) return refuse(unreadable(error));
  if (auto kind = not_regular(status.st_mode)) return refuse(std::move(*kind));
  // One byte more than measured, to see a file that grew since.
  std::size_t capacity =
      std::min<std::uint64_t>(static_cast<std::uint64_t>(status.st_size), limit) + 1;
  PyObject* raw = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(capacity + padding));
  if (!raw) return nullptr;
  std::size_t size = 0;
  for (;;) {
    char* buffer = PyBytes_AS_STRING(raw);
    Py_BEGIN_ALLOW_THREADS error = read_into(file.get(), buffer, capacity, size);
    Py_END_ALLOW_THREADS if (error || size < capacity || size > limit) break;
    capacity = std::min<std::size_t>(capacity * 2, limit + 1);
    if (_PyBytes_Resize(&raw, static_cast<Py_ssize_t>(capacity + padding)) < 0) return nullptr;
  }
  Ref data = Ref::steal(raw);
  if (error) return refuse(unreadable(error));
  if (size > limit) return refuse(too_large(limit));
  std::memset(PyBytes_AS_STRING(data.get()) + size, 0,
              static_cast<std::size_t>(PyBytes_GET_SIZE(data.get())) - size);
  return Py_BuildValue("(O(On))", Py_True, data.get(), static_cast<Py_ssize_t>(size));
}

PyMethodDef kReadFileFunction = {"_read_file", as_cfunction(guarded<read_file>), kFastFlags,
                                 kReadFile.doc};
PyMethodDef kReadMembersFunction = {"_read_members", as_cfunction(guarded<read_members>),
                                    kFastFlags, kReadMembers.doc};
PyMethodDef kCheckJsonFunction = {"_check_json", as_cfunction(guarded<check_json>), kFastFlags,
                                  kCheckJson.doc};
PyMethodDef kReadRequestFunction = {"_read_request", as_cfunction(guarded<read_request>),
                                    kFastFlags, kReadRequest.doc};
PyMethodDef kReadChainFunction = {"_read_chain", as_cfunction(guarded<read_chain>), kFastFlags,
                                  kReadChain.doc};
PyMethodDef kReadTimeFunction = {"_read_time", as_cfunction(guarded<read_time>), kFastFlags,
                                 kReadTime.doc};

}  // namespace

PyObject* read_request_function(PyObject* module) {
  return new_function(&kReadRequestFunction, module);
}
PyObject* read_chain_function(PyObject* module) {
  return new_function(&kReadChainFunction, module);
}
PyObject* read_time_function(PyObject* module) { return new_function(&kReadTimeFunction, module); }
PyObject* read_members_function(PyObject* module) {
  return new_function(&kReadMembersFunction, module);
}
PyObject* check_json_function(PyObject* module) {
  return new_function(&kCheckJsonFunction, module);
}
PyObject* read_file_function(PyObject* module) { return new_function(&kReadFileFunction, module); }

}  // namespace oqpy
