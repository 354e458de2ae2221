#pragma once

// The bytes of a JSON document argument, held for the whole call.
#include <Python.h>

#include <optional>

#include "oq/request_reader.h"
#include "ref.h"

namespace oqpy {

// Documents at least this long are read with the interpreter released, when their bytes are
// immutable; shorter ones take less time to read than to release and retake it.
constexpr Py_ssize_t kReleaseAbove = 64 << 10;

// The bytes of a document argument: a bytes-like object or a str (read as its UTF-8), held for
// the whole call. With `size`, the document is the first `size` bytes and the rest may be read
// as padding.
class Document {
 public:
  Document() = default;
  Document(const Document&) = delete;
  Document& operator=(const Document&) = delete;
  bool open(PyObject* obj, std::optional<std::uint64_t> size) {
    if (PyUnicode_Check(obj)) {
      Py_ssize_t length = 0;
      const char* text = PyUnicode_AsUTF8AndSize(obj, &length);
      if (!text) {
        // Lone surrogates: passed through, for the reader to refuse as bytes that are not UTF-8.
        PyErr_Clear();
        encoded_ = Ref::steal(PyUnicode_AsEncodedString(obj, "utf-8", "surrogatepass"));
        if (!encoded_) return false;
        obj = encoded_.get();
      } else {
        json_ = oq::JsonBytes{{text, static_cast<std::size_t>(length)}, 0};
        return true;
      }
    }
    if (PyObject_GetBuffer(obj, &view_, PyBUF_SIMPLE) < 0) return false;
    held_ = true;
    immutable_ = PyBytes_Check(obj);
    const auto length = static_cast<std::size_t>(view_.len);
    if (size && *size > length) {
      PyErr_SetString(PyExc_ValueError, "size exceeds the buffer");
      return false;
    }
    json_ = oq::JsonBytes{{static_cast<const char*>(view_.buf), size ? *size : length},
                          size ? length : 0};
    return true;
  }
  ~Document() {
    if (held_) PyBuffer_Release(&view_);
  }
  const oq::JsonBytes& json() const { return json_; }
  // Whether reading may run without the interpreter: nothing can change the bytes meanwhile.
  bool releasable() const { return immutable_ && view_.len >= kReleaseAbove; }

 private:
  Ref encoded_;
  Py_buffer view_{};
  bool held_ = false;
  bool immutable_ = false;
  oq::JsonBytes json_{};
};

}  // namespace oqpy
