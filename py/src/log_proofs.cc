// _log_* and _merkle_*: the verifiable log's keys, signed checkpoints, tree and proofs, for the
// package's store and its verifiers. The store reads and writes the subtrees; all hashing and
// proof arithmetic happens here.
#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "convert.h"
#include "guard.h"
#include "object.h"
#include "oq/merkle.h"
#include "oq/note.h"
#include "params.h"
#include "record_rendering.h"
#include "types.h"

namespace oqpy {

namespace {

using oq::merkle::Hash;

// A str as UTF-8, or a bytes-like object's bytes; the view is valid while `obj` lives (bytes
// are read from an immutable `bytes` only, so nothing can change them meanwhile).
bool to_bytes_view(PyObject* obj, std::string_view& out) {
  if (PyUnicode_Check(obj)) return to_text_view(obj, out);
  if (PyBytes_Check(obj)) {
    out = std::string_view(PyBytes_AS_STRING(obj), static_cast<std::size_t>(PyBytes_GET_SIZE(obj)));
    return true;
  }
  return cannot_convert(obj, "str or bytes");
}

bool to_hash(PyObject* obj, Hash& out) {
  if (!PyBytes_Check(obj) || PyBytes_GET_SIZE(obj) != static_cast<Py_ssize_t>(out.size())) {
    PyErr_SetString(PyExc_ValueError, "expected a hash of 32 bytes");
    return false;
  }
  std::memcpy(out.data(), PyBytes_AS_STRING(obj), out.size());
  return true;
}

bool to_hashes(PyObject* obj, std::vector<Hash>& out) { return to_list(obj, out, to_hash); }

PyObject* new_hash(const Hash& hash) {
  return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(hash.data()),
                                   static_cast<Py_ssize_t>(hash.size()));
}

PyObject* new_hash_list(const std::vector<Hash>& hashes) {
  return list_of(hashes.size(), [&](std::size_t i) { return new_hash(hashes[i]); });
}

PyObject* refused(const std::string& why) {
  PyErr_SetString(PyExc_ValueError, why.c_str());
  return nullptr;
}

constexpr auto kKeygen = signature(
    "_log_keygen()", Callable::Function,
    "_log_keygen(name)\n--\n\n"
    "A new Ed25519 key named `name`: (signing key, verifier key) in the note format's forms.\n"
    "ValueError for a name a key cannot have.",
    Param{"name"});

PyObject* keygen(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  Args<kKeygen> a;
  std::string name;
  if (!a.bind(args, nargs, kwnames) || !a.get(0, name, to_text)) return nullptr;
  const auto key = oq::note::generate_key(name);
  if (!key) return refused(key.error());
  Ref signing = Ref::steal(new_str(oq::note::write_key(*key)));
  Ref verifier = Ref::steal(new_str(oq::note::write_key(key->verifier())));
  if (!signing || !verifier) return nullptr;
  return PyTuple_Pack(2, signing.get(), verifier.get());
}

constexpr auto kVerifier =
    signature("_log_verifier()", Callable::Function,
              "_log_verifier(key)\n--\n\n"
              "The verifier key of a signing key, or of a verifier key read back in its own form.\n"
              "ValueError for text that is neither.",
              Param{"key"});

PyObject* verifier(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  Args<kVerifier> a;
  std::string text;
  if (!a.bind(args, nargs, kwnames) || !a.get(0, text, to_text)) return nullptr;
  if (text.starts_with("PRIVATE+KEY+")) {
    const auto key = oq::note::read_signing_key(text);
    if (!key) return refused(key.error());
    return new_str(oq::note::write_key(key->verifier()));
  }
  const auto key = oq::note::read_verifier_key(text);
  if (!key) return refused(key.error());
  return new_str(oq::note::write_key(*key));
}

constexpr auto kSign = signature("_log_sign()", Callable::Function,
                                 "_log_sign(text, key)\n--\n\n"
                                 "The note of `text` signed by the signing key `key`.",
                                 Param{"text"}, Param{"key"});

PyObject* sign(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  Args<kSign> a;
  std::string text, key_text;
  if (!a.bind(args, nargs, kwnames) || !a.get(0, text, to_text) || !a.get(1, key_text, to_text)) {
    return nullptr;
  }
  const auto key = oq::note::read_signing_key(key_text);
  if (!key) return refused(key.error());
  const auto note = oq::note::sign(text, *key);
  if (!note) return refused(note.error());
  return new_str(*note);
}

constexpr auto kOpen = signature(
    "_log_open()", Callable::Function,
    "_log_open(note, keys)\n--\n\n"
    "Checks the signed `note` against the verifier keys `keys`: (its text, the index of the\n"
    "key that signed it). ValueError saying why for a note they do not all accept.",
    Param{"note"}, Param{"keys"});

PyObject* open_note(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  Args<kOpen> a;
  std::string_view note;
  std::vector<std::string> key_texts;
  if (!a.bind(args, nargs, kwnames) || !a.get(0, note, to_text_view) ||
      !a.get(1, key_texts, to_text_list)) {
    return nullptr;
  }
  std::vector<oq::note::VerifierKey> keys;
  for (const std::string& text : key_texts) {
    auto key = oq::note::read_verifier_key(text);
    if (!key) return refused(key.error());
    keys.push_back(std::move(*key));
  }
  const auto opened = oq::note::open(note, keys);
  if (!opened) return refused(opened.error());
  Ref text = Ref::steal(new_str(opened->text));
  if (!text) return nullptr;
  return Py_BuildValue("(On)", text.get(), static_cast<Py_ssize_t>(opened->signer));
}

constexpr auto kCheckpoint = signature(
    "_log_checkpoint()", Callable::Function,
    "_log_checkpoint(origin, size, root)\n--\n\n"
    "A checkpoint's text: the origin, the tree size and the 32-byte root in base64, a line each.",
    Param{"origin"}, Param{"size"}, Param{"root"});

PyObject* checkpoint(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  Args<kCheckpoint> a;
  oq::note::Checkpoint out;
  if (!a.bind(args, nargs, kwnames) || !a.get(0, out.origin, to_text) ||
      !a.get(1, out.size, to_index) || !a.get(2, out.root, to_hash)) {
    return nullptr;
  }
  return new_str(oq::note::checkpoint_text(out));
}

constexpr auto kReadCheckpoint =
    signature("_log_read_checkpoint()", Callable::Function,
              "_log_read_checkpoint(text)\n--\n\n"
              "A checkpoint's text read back: (origin, size, root). ValueError for other text.",
              Param{"text"});

PyObject* read_checkpoint(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  Args<kReadCheckpoint> a;
  std::string_view text;
  if (!a.bind(args, nargs, kwnames) || !a.get(0, text, to_text_view)) return nullptr;
  const auto read = oq::note::read_checkpoint(text);
  if (!read) return refused(read.error());
  Ref origin = Ref::steal(new_str(read->origin));
  Ref root = Ref::steal(new_hash(read->root));
  if (!origin || !root) return nullptr;
  return Py_BuildValue("(OKO)", origin.get(), static_cast<unsigned long long>(read->size),
                       root.get());
}

constexpr auto kLeaf = signature("_merkle_leaf()", Callable::Function,
                                 "_merkle_leaf(data)\n--\n\n"
                                 "The tree's hash of a leaf holding `data` (str as UTF-8).",
                                 Param{"data"});

PyObject* leaf(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  Args<kLeaf> a;
  std::string_view data;
  if (!a.bind(args, nargs, kwnames) || !a.get(0, data, to_bytes_view)) return nullptr;
  return new_hash(oq::merkle::leaf_hash(data));
}

PyObject* new_key_list(const std::vector<std::pair<std::uint64_t, unsigned>>& subtrees) {
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(subtrees.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < subtrees.size(); ++i) {
    PyObject* key =
        PyLong_FromUnsignedLongLong(oq::merkle::node_key(subtrees[i].first, subtrees[i].second));
    if (!key) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), key);
  }
  return list.release();
}

constexpr auto kFrontier = signature(
    "_merkle_frontier()", Callable::Function,
    "_merkle_frontier(size)\n--\n\n"
    "The keys of the complete subtrees that make up a tree of `size` leaves, largest first:\n"
    "what appending to it needs.",
    Param{"size"});

PyObject* frontier(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  Args<kFrontier> a;
  std::uint64_t size = 0;
  if (!a.bind(args, nargs, kwnames) || !a.get(0, size, to_index)) return nullptr;
  return new_key_list(oq::merkle::frontier(size));
}

constexpr auto kAppend = signature(
    "_merkle_append()", Callable::Function,
    "_merkle_append(size, edge, records)\n--\n\n"
    "Appends a leaf for each record (str as UTF-8, or bytes) to the tree of `size` leaves whose\n"
    "frontier hashes are `edge`: [(key, hash)] of every complete subtree made, in order.",
    Param{"size"}, Param{"edge"}, Param{"records"});

PyObject* append(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  Args<kAppend> a;
  std::uint64_t size = 0;
  std::vector<Hash> edge, leaves;
  if (!a.bind(args, nargs, kwnames) || !a.get(0, size, to_index) || !a.get(1, edge, to_hashes)) {
    return nullptr;
  }
  // Each record is hashed as it is met, so no view outlives the item that holds it.
  const bool read = for_each_item(a[2], [&](PyObject* record) {
    std::string_view data;
    if (!to_bytes_view(record, data)) return false;
    leaves.push_back(oq::merkle::leaf_hash(data));
    return true;
  });
  if (!read) return a.failed(2);
  Ref made = Ref::steal(PyList_New(0));
  if (!made) return nullptr;
  bool failed = false;
  const bool fits = oq::merkle::append(
      size, edge, leaves, [&](std::uint64_t start, unsigned level, const Hash& hash) {
        if (failed) return;
        Ref hash_object = Ref::steal(new_hash(hash));
        Ref pair =
            hash_object
                ? Ref::steal(Py_BuildValue(
                      "(KO)", static_cast<unsigned long long>(oq::merkle::node_key(start, level)),
                      hash_object.get()))
                : Ref();
        failed = !pair || PyList_Append(made.get(), pair.get()) < 0;
      });
  if (failed) return nullptr;
  if (!fits) return refused("the edge does not hold one hash per subtree of the frontier");
  return made.release();
}

// What a proof is of: kind "root" (a = size), "inclusion" (a = leaf index, b = size) or
// "consistency" (a = older size, b = size).
enum class Kind { Root, Inclusion, Consistency };

bool to_kind(PyObject* obj, Kind& out) {
  std::string_view name;
  if (!to_text_view(obj, name)) return false;
  if (name == "root") {
    out = Kind::Root;
  } else if (name == "inclusion") {
    out = Kind::Inclusion;
  } else if (name == "consistency") {
    out = Kind::Consistency;
  } else {
    PyErr_SetString(PyExc_ValueError, "kind must be 'root', 'inclusion' or 'consistency'");
    return false;
  }
  return true;
}

std::vector<Hash> run(Kind kind, std::uint64_t a, std::uint64_t b,
                      const oq::merkle::Subtrees& subtrees) {
  switch (kind) {
    case Kind::Root:
      return {oq::merkle::root(a, subtrees)};
    case Kind::Inclusion:
      return oq::merkle::inclusion_proof(a, b, subtrees);
    case Kind::Consistency:
      break;
  }
  return oq::merkle::consistency_proof(a, b, subtrees);
}

constexpr auto kPlan = signature(
    "_merkle_plan()", Callable::Function,
    "_merkle_plan(kind, a, b=0)\n--\n\n"
    "The keys of the subtrees that the root (kind 'root', of `a` leaves), the inclusion proof\n"
    "('inclusion', of leaf `a` in `b` leaves) or the consistency proof ('consistency', from `a`\n"
    "leaves to `b`) is made of, in the order _merkle_prove takes their hashes.",
    Param{"kind"}, Param{"a"}, Param{"b", Policy::OrValue, "0"});

constexpr auto kProve = signature(
    "_merkle_prove()", Callable::Function,
    "_merkle_prove(kind, a, b, hashes)\n--\n\n"
    "The root ([root]) or proof that _merkle_plan(kind, a, b) planned, from the hashes of the\n"
    "subtrees it named, in its order.",
    Param{"kind"}, Param{"a"}, Param{"b"}, Param{"hashes"});

bool plan_arguments(Kind kind, std::uint64_t a, std::uint64_t b) {
  const bool fits = kind == Kind::Root || (kind == Kind::Inclusion ? a < b : a <= b);
  if (!fits) PyErr_SetString(PyExc_ValueError, "no such proof: the sizes do not fit");
  return fits;
}

PyObject* plan(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  Args<kPlan> a;
  Kind kind{};
  std::uint64_t first = 0, second = 0;
  if (!a.bind(args, nargs, kwnames) || !a.get(0, kind, to_kind) || !a.get(1, first, to_index) ||
      !a.get(2, second, to_index) || !plan_arguments(kind, first, second)) {
    return nullptr;
  }
  std::vector<std::pair<std::uint64_t, unsigned>> asked;
  run(kind, first, second, [&](std::uint64_t start, unsigned level) {
    asked.emplace_back(start, level);
    return Hash{};
  });
  return new_key_list(asked);
}

PyObject* prove(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  Args<kProve> a;
  Kind kind{};
  std::uint64_t first = 0, second = 0;
  std::vector<Hash> hashes;
  if (!a.bind(args, nargs, kwnames) || !a.get(0, kind, to_kind) || !a.get(1, first, to_index) ||
      !a.get(2, second, to_index) || !a.get(3, hashes, to_hashes) ||
      !plan_arguments(kind, first, second)) {
    return nullptr;
  }
  // The proof asks for its subtrees in the order it planned them: its questions depend on the
  // sizes alone, never on the hashes.
  std::size_t next = 0;
  const auto out = run(kind, first, second, [&](std::uint64_t, unsigned) {
    return next < hashes.size() ? hashes[next++] : (++next, Hash{});
  });
  if (next != hashes.size()) return refused("the hashes are not those the plan named");
  return new_hash_list(out);
}

constexpr auto kVerify = signature(
    "_merkle_verify()", Callable::Function,
    "_merkle_verify(kind, a, b, start, proof, root)\n--\n\n"
    "Whether `proof` shows leaf hash `start` at index `a` of the tree of `b` leaves whose root\n"
    "is `root` (kind 'inclusion'), or that the tree of `b` leaves and root `root` extends the\n"
    "tree of `a` leaves whose root is `start` ('consistency').",
    Param{"kind"}, Param{"a"}, Param{"b"}, Param{"start"}, Param{"proof"}, Param{"root"});

PyObject* verify(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  Args<kVerify> a;
  Kind kind{};
  std::uint64_t first = 0, second = 0;
  Hash start{}, root{};
  std::vector<Hash> proof;
  if (!a.bind(args, nargs, kwnames) || !a.get(0, kind, to_kind) || !a.get(1, first, to_index) ||
      !a.get(2, second, to_index) || !a.get(3, start, to_hash) || !a.get(4, proof, to_hashes) ||
      !a.get(5, root, to_hash)) {
    return nullptr;
  }
  bool holds = false;
  if (kind == Kind::Inclusion) {
    holds = oq::merkle::verify_inclusion(first, second, start, proof, root);
  } else if (kind == Kind::Consistency) {
    holds = oq::merkle::verify_consistency(first, second, start, root, proof);
  } else {
    return refused("kind must be 'inclusion' or 'consistency'");
  }
  return PyBool_FromLong(holds ? 1 : 0);
}

PyMethodDef kFunctions[] = {
    {"_log_keygen", as_cfunction(guarded<keygen>), kFastFlags, kKeygen.doc},
    {"_log_verifier", as_cfunction(guarded<verifier>), kFastFlags, kVerifier.doc},
    {"_log_sign", as_cfunction(guarded<sign>), kFastFlags, kSign.doc},
    {"_log_open", as_cfunction(guarded<open_note>), kFastFlags, kOpen.doc},
    {"_log_checkpoint", as_cfunction(guarded<checkpoint>), kFastFlags, kCheckpoint.doc},
    {"_log_read_checkpoint", as_cfunction(guarded<read_checkpoint>), kFastFlags,
     kReadCheckpoint.doc},
    {"_merkle_leaf", as_cfunction(guarded<leaf>), kFastFlags, kLeaf.doc},
    {"_merkle_frontier", as_cfunction(guarded<frontier>), kFastFlags, kFrontier.doc},
    {"_merkle_append", as_cfunction(guarded<append>), kFastFlags, kAppend.doc},
    {"_merkle_plan", as_cfunction(guarded<plan>), kFastFlags, kPlan.doc},
    {"_merkle_prove", as_cfunction(guarded<prove>), kFastFlags, kProve.doc},
    {"_merkle_verify", as_cfunction(guarded<verify>), kFastFlags, kVerify.doc},
};

}  // namespace

bool add_log_proof_functions(PyObject* module) {
  for (PyMethodDef& def : kFunctions) {
    Ref function = Ref::steal(new_function(&def, module));
    if (!function || PyModule_AddObjectRef(module, def.ml_name, function.get()) < 0) return false;
  }
  return true;
}

}  // namespace oqpy
