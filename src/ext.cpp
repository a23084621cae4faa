// The package's own native module, wexo._ext: the encoder and the decoder's
// other entry points. wexo_native keeps its one function; what the package
// adds lives here, over the same decoder sources.
#include <cstdint>
#include <cstring>
#include <utility>

#include "decode/decoder.h"
#include "encode/encoder.h"
#include "err.h"
#include "pyo.h"
#include "run.h"
#include "stream.h"
#include "arrow/arrow.h"
#include "nanoarrow/nanoarrow.h"
#include "arrow/writer.h"

namespace wexo {
namespace {

// ---- keyword arguments

// The keywords an entry point takes. The first `positional` of them may also
// be given by position.
struct Keywords {
  const char* what;  // the function's name, for messages
  const char* const* names;
  int count;
  int positional;
};

// The index in k.names of the keyword name, given to a call with nargs
// positional arguments; -1 with TypeError set for a name k does not hold, or
// one already given by position.
// The search starts at from (keywords are mostly given in their order).
[[nodiscard]] int keyword_index(const Keywords& k, PyObject* name, Py_ssize_t nargs,
                                int from = 0) {
  // A str's UTF-8 is kept with it once asked for (an ASCII name's is its own
  // bytes); a name that has none (a lone surrogate) names no keyword.
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(name, &size);
  if (!text) PyErr_Clear();
  for (int j = 0; text && j < k.count; ++j) {
    const int i = (from + j) % k.count;
    if (std::strlen(k.names[i]) != static_cast<std::size_t>(size) ||
        std::memcmp(k.names[i], text, static_cast<std::size_t>(size)) != 0)
      continue;
    if (i < k.positional && i < nargs) {
      PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", k.what,
                   k.names[i]);
      return -1;
    }
    return i;
  }
  PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", k.what, name);
  return -1;
}

// Hands each keyword of a vectorcall (names in kwnames, values after the
// nargs positional ones) to take(index in k.names, value borrowed), in the
// order of the call; false with the exception set at the first refusal,
// take's or keyword_index's.
template <class Take>
[[nodiscard]] bool each_keyword(const Keywords& k, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames, Take&& take) {
  const Py_ssize_t n = kwnames ? PyTuple_Size(kwnames) : 0;
  int next = 0;
  for (Py_ssize_t i = 0; i < n; ++i) {
    const int index = keyword_index(k, PyTuple_GetItem(kwnames, i), nargs, next);
    if (index < 0 || !take(index, args[nargs + i])) return false;
    next = index + 1;
  }
  return true;
}

// The same over the keyword dict of a tp_new call (kwds, or null).
template <class Take>
[[nodiscard]] bool each_keyword(const Keywords& k, Py_ssize_t nargs, PyObject* kwds, Take&& take) {
  Py_ssize_t pos = 0;
  PyObject *name, *x;  // borrowed
  while (kwds && PyDict_Next(kwds, &pos, &name, &x)) {
    const int index = keyword_index(k, name, nargs);
    if (index < 0 || !take(index, x)) return false;
  }
  return true;
}

// The name of x's type, for messages; null with the exception set.
Owned type_name_of(PyObject* x) {
  return Owned::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(x)), "__name__"));
}

// ---- the encoder

// The encoder's choices: one keyword of dumps each, in the order of their
// option bits, all on by default, with what switching one off does. The
// command line's help, the reference encoder's options and the tests' lists
// come from this table, as wexo._ext.CHOICES.
struct Choice {
  const char* name;
  unsigned bit;
  const char* help;
};

constexpr Choice CHOICES[] = {
    {"pool", enc::OPT_POOL,
     "write repeated strings in full each time "
     "(default: in full once, then as a short reference)"},
    {"tables", enc::OPT_TABLES,
     "write lists of records with the same keys record by record "
     "(default: as a table, the keys once, then a column per key)"},
    {"sparse", enc::OPT_SPARSE,
     "write lists of records whose keys differ record by record "
     "(default: as a table with a presence map per row, when smaller)"},
    {"typed_arrays", enc::OPT_TYPED_ARRAYS,
     "write lists of only numbers, only booleans or only strings value by value "
     "(default: as one typed block, when smaller)"},
    {"delta", enc::OPT_DELTA,
     "in tables and typed blocks, write integers as they are "
     "(default: as differences from the one before, when smaller)"},
    {"decimal", enc::OPT_DECIMAL,
     "in tables and typed blocks, write decimal numbers as floats "
     "(default: as integers over one power of ten, where that is exact)"},
    {"dict_str", enc::OPT_DICT_STR,
     "in tables and typed blocks, write strings as they are "
     "(default: as indexes into a list of the distinct strings, when smaller)"},
    {"bool_bits", enc::OPT_BOOL_BITS,
     "in tables and typed blocks, write booleans one byte each (default: one bit each)"},
    {"object_columns", enc::OPT_OBJECT_COLUMNS,
     "in tables, write a column of records record by record "
     "(default: a column per key, when the records have the same keys)"},
    {"anchors", enc::OPT_ANCHORS,
     "write a list or object that occurs several times in full each time "
     "(default: once, then as a reference)"},
};
constexpr int N_CHOICES = static_cast<int>(sizeof CHOICES / sizeof CHOICES[0]);

// Each option bit of the encoder once, in order, and no other.
constexpr bool choices_are_the_options() {
  unsigned all = 0;
  for (int k = 0; k < N_CHOICES; ++k) {
    if (CHOICES[k].bit != 1u << k) return false;
    all |= CHOICES[k].bit;
  }
  return all == enc::OPT_ALL;
}
static_assert(choices_are_the_options(), "CHOICES must list enc::Option's bits in order");

// The keywords of dumps: default, nonfinite, then the choices in order.
constexpr int DUMPS_OWN = 2;
struct DumpsNames {
  const char* names[DUMPS_OWN + N_CHOICES];
  constexpr DumpsNames() : names{"default", "nonfinite"} {
    for (int k = 0; k < N_CHOICES; ++k) names[DUMPS_OWN + k] = CHOICES[k].name;
  }
};
constexpr DumpsNames DUMPS_NAMES{};
constexpr Keywords DUMPS_KEYWORDS{"dumps", DUMPS_NAMES.names, DUMPS_OWN + N_CHOICES, 0};

// The encoder's keywords after default: nonfinite (k 0), then the choices in
// order (k 1 on), of a call to what; false with the exception set.
bool take_encoder_keyword(const char* what, int k, PyObject* x, unsigned& options,
                          bool& null_nonfinite) {
  if (k == 0) {  // nonfinite
    const bool str = PyUnicode_Check(x);
    if (str && PyUnicode_CompareWithASCIIString(x, "error") == 0) {
      null_nonfinite = false;
    } else if (str && PyUnicode_CompareWithASCIIString(x, "null") == 0) {
      null_nonfinite = true;
    } else {
      PyErr_Format(str ? PyExc_ValueError : PyExc_TypeError,
                   "%s(): nonfinite must be 'error' or 'null', not %R", what, x);
      return false;
    }
    return true;
  }
  // True or False only: a truthy "no" switching a choice on would hide a mistake.
  const Choice& choice = CHOICES[k - 1];
  if (!PyBool_Check(x)) {
    Owned type_name = type_name_of(x);
    if (!type_name) return false;
    PyErr_Format(PyExc_TypeError, "%s(): %s must be True or False, not %U", what, choice.name,
                 type_name.get());
    return false;
  }
  options = x == Py_True ? options | choice.bit : options & ~choice.bit;
  return true;
}

PyObject* dumps(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  if (nargs != 1) {
    PyErr_Format(PyExc_TypeError, "dumps() takes 1 positional argument but %zd were given", nargs);
    return nullptr;
  }
  unsigned options = enc::OPT_ALL;
  PyObject* hook = nullptr;  // borrowed from the call
  bool null_nonfinite = false;
  const bool ok = each_keyword(DUMPS_KEYWORDS, args, nargs, kwnames, [&](int k, PyObject* x) {
    if (k == 0) {  // default
      if (x != Py_None && !PyCallable_Check(x)) {
        Owned type_name = type_name_of(x);
        if (!type_name) return false;
        PyErr_Format(PyExc_TypeError, "dumps(): default must be callable or None, not %U",
                     type_name.get());
        return false;
      }
      hook = x == Py_None ? nullptr : x;
      return true;
    }
    return take_encoder_keyword("dumps", k - 1, x, options, null_nonfinite);
  });
  if (!ok) return nullptr;
  Result<Owned> r = enc::encode(args[0], options, hook, null_nonfinite);
  if (!r.ok()) return raise(std::move(r).fail());
  return (*r).release();
}

// The layout the encoder gives a list of cells as a typed column (or, with
// array, as a typed array's payload) once some strings are in its pool:
// (kind byte, scale, size in bytes), for the tests of each decision.
struct ColumnPlanNames {
  const char* names[1 + N_CHOICES];
  constexpr ColumnPlanNames() : names{"array"} {
    for (int k = 0; k < N_CHOICES; ++k) names[1 + k] = CHOICES[k].name;
  }
};
constexpr ColumnPlanNames COLUMN_PLAN_NAMES{};
constexpr Keywords COLUMN_PLAN_KEYWORDS{"column_plan", COLUMN_PLAN_NAMES.names, 1 + N_CHOICES, 0};

PyObject* column_plan(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  if (nargs != 2 || !PyList_Check(args[0]) || !PyList_Check(args[1])) {
    PyErr_SetString(PyExc_TypeError, "column_plan() takes a list of pooled strings and a list of cells");
    return nullptr;
  }
  unsigned options = enc::OPT_ALL;
  bool array = false, null_nonfinite = false;
  const bool ok = each_keyword(COLUMN_PLAN_KEYWORDS, args, nargs, kwnames, [&](int k, PyObject* x) {
    if (k == 0) {
      array = PyObject_IsTrue(x) == 1;
      return true;
    }
    return take_encoder_keyword("column_plan", k, x, options, null_nonfinite);
  });
  if (!ok) return nullptr;
  Owned root = Owned::steal(PyTuple_Pack(2, args[0], args[1]));
  if (!root) return nullptr;
  Result<enc::Plan> r = enc::column_plan(root.get(), options, array);
  if (!r.ok()) return raise(std::move(r).fail());
  return Py_BuildValue("(iiK)", (*r).kind, (*r).scale, static_cast<unsigned long long>((*r).size));
}

// The Arrow writer's entry: dumps's keywords but default, for
// wexo.dumps_arrow, which names itself in the messages.
constexpr Keywords DUMPS_COLUMNS_KEYWORDS{"dumps_arrow", DUMPS_NAMES.names + 1,
                                          DUMPS_OWN - 1 + N_CHOICES, 0};

PyObject* dumps_columns(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  if (nargs != 1) {
    PyErr_Format(PyExc_TypeError, "dumps_columns() takes 1 positional argument but %zd were given",
                 nargs);
    return nullptr;
  }
  unsigned options = enc::OPT_ALL;
  bool null_nonfinite = false;
  const bool ok = each_keyword(DUMPS_COLUMNS_KEYWORDS, args, nargs, kwnames, [&](int k, PyObject* x) {
    return take_encoder_keyword("dumps_arrow", k, x, options, null_nonfinite);
  });
  if (!ok) return nullptr;
  Result<Owned> r = arrow::dumps_columns(args[0], options, null_nonfinite);
  if (!r.ok()) return raise(std::move(r).fail());
  return (*r).release();
}

// CHOICES as Python sees it: a tuple of (name, default, help), in order.
PyObject* choices_tuple() {
  Owned out = Owned::steal(PyTuple_New(N_CHOICES));
  if (!out) return nullptr;
  for (int k = 0; k < N_CHOICES; ++k) {
    PyObject* item = Py_BuildValue("(sOs)", CHOICES[k].name, Py_True, CHOICES[k].help);
    if (!item || PyTuple_SetItem(out.get(), k, item) < 0) return nullptr;
  }
  return out.release();
}

// Where a limit comes from: the default, the format's own budget (None), or
// the caller's number.
enum class Given { absent, none, number };

// A limit's value: a non-negative int, or None. Anything else is refused
// before the document is read.
bool limit(const char* what, PyObject* x, const char* name, Given& given, int64_t& value) {
  if (x == Py_None) {
    given = Given::none;
    return true;
  }
  if (!PyLong_Check(x) || PyBool_Check(x)) {
    Owned type_name = type_name_of(x);
    if (!type_name) return false;
    PyErr_Format(PyExc_TypeError, "%s(): %s must be an int or None, not %U", what, name,
                 type_name.get());
    return false;
  }
  int overflow = 0;
  const long long v = PyLong_AsLongLongAndOverflow(x, &overflow);
  if (v == -1 && PyErr_Occurred()) return false;
  if (overflow < 0 || (overflow == 0 && v < 0)) {
    PyErr_Format(PyExc_ValueError, "%s(): %s must not be negative", what, name);
    return false;
  }
  given = Given::number;
  value = overflow > 0 ? INT64_MAX : static_cast<int64_t>(v);
  return true;
}

// The limits a call asked for, applied once the document's size is known.
struct Limits {
  Given cells_given;
  int64_t cells;
  Given copies_given;
  int64_t copies;
};

// A limit as limited_budgets takes it: -1 for the default, NO_LIMIT for None.
int64_t asked(Given given, int64_t value) {
  return given == Given::absent ? -1 : given == Given::none ? NO_LIMIT : value;
}

Budgets budgets_for(uint64_t n, const void* context) {
  const Limits& l = *static_cast<const Limits*>(context);
  return limited_budgets(n, asked(l.cells_given, l.cells), asked(l.copies_given, l.copies));
}

// The keywords of loads, loads_arrow and iter_loads (data also by position),
// and of StreamDecoder (limits only: names + 1, count 2).
constexpr const char* LIMIT_NAMES[] = {"data", "max_cells", "max_copies"};

// Takes the limit max_cells (k 1) or max_copies (k 2) of a call to what.
bool take_limit(const char* what, int k, PyObject* x, Limits& limits) {
  return k == 1 ? limit(what, x, "max_cells", limits.cells_given, limits.cells)
                : limit(what, x, "max_copies", limits.copies_given, limits.copies);
}

// The limits of a call from its keywords max_cells and max_copies, and the
// argument data, positional or by keyword. false with the exception set for
// anything else.
bool parse_limits(const char* what, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                  PyObject** data, Limits& limits) {
  limits = Limits{Given::absent, 0, Given::absent, 0};
  const Keywords keywords{what, LIMIT_NAMES, 3, 1};
  const bool ok = each_keyword(keywords, args, nargs, kwnames, [&](int k, PyObject* x) {
    if (k != 0) return take_limit(what, k, x, limits);
    *data = x;
    return true;
  });
  if (!ok) return false;
  if (!*data) {
    PyErr_Format(PyExc_TypeError, "%s() missing 1 required positional argument: 'data'", what);
    return false;
  }
  return true;
}

// The arguments of loads and loads_columns: (data, *, max_cells=<default>,
// max_copies=<default>). what names the function in messages.
PyObject* decode_call(const char* what, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames, Decode decode_with) {
  if (nargs > 1) {
    PyErr_Format(PyExc_TypeError, "%s() takes 1 positional argument but %zd were given", what,
                 nargs);
    return nullptr;
  }
  PyObject* data = nargs == 1 ? args[0] : nullptr;  // borrowed from the caller
  Limits limits;
  if (!parse_limits(what, args, nargs, kwnames, &data, limits)) return nullptr;
  return decode_object(data, &budgets_for, &limits, decode_with);
}

// ---- streams of documents

// The module's types, made at its exec step.
struct State {
  PyObject* decoder_type;    // StreamDecoder
  PyObject* documents_type;  // the iterator iter_loads returns
};

State* state_of(PyObject* module) { return static_cast<State*>(PyModule_GetState(module)); }

// Both types hold a Stream: StreamDecoder's is fed, an iter_loads iterator's
// reads one bytes object in place.
struct StreamObject {
  PyObject_HEAD
  Stream* stream;
};

Stream& stream_of(PyObject* self) { return *reinterpret_cast<StreamObject*>(self)->stream; }

// A new instance of type holding a new Stream; null with the exception set.
PyObject* new_stream(PyTypeObject* type, const Limits& l) {
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  PyObject* self = alloc(type, 0);
  if (!self) return nullptr;
  reinterpret_cast<StreamObject*>(self)->stream = new (alloc_or_die(sizeof(Stream)))
      Stream(asked(l.cells_given, l.cells), asked(l.copies_given, l.copies));
  return self;
}

void stream_dealloc(PyObject* self) {
  Stream* s = reinterpret_cast<StreamObject*>(self)->stream;
  if (s) {
    s->~Stream();
    std::free(s);
  }
  PyTypeObject* type = Py_TYPE(self);
  auto free_self = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_self(self);
  _Py_DecRef(reinterpret_cast<PyObject*>(type));  // a heap type's instances hold it
}

PyObject* stream_iter(PyObject* self) { return Owned::borrow(self).release(); }

// One document, or null: StopIteration without an exception (nothing
// complete yet, or the end), or the failure's exception.
PyObject* stream_next(PyObject* self) {
  Owned out;
  if (stream_of(self).next(out) == Stream::Step::document) return out.release();
  return nullptr;
}

// StreamDecoder(*, max_cells=..., max_copies=...)
PyObject* decoder_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
  if (PyTuple_Size(args) != 0) {
    PyErr_Format(PyExc_TypeError, "StreamDecoder() takes no positional arguments");
    return nullptr;
  }
  Limits limits{Given::absent, 0, Given::absent, 0};
  const Keywords keywords{"StreamDecoder", LIMIT_NAMES + 1, 2, 0};
  const bool ok = each_keyword(keywords, 0, kwds, [&](int k, PyObject* x) {
    return take_limit("StreamDecoder", k + 1, x, limits);
  });
  if (!ok) return nullptr;
  return new_stream(type, limits);
}

// feed(data): appends the bytes of data (bytes-like, or an iterable of ints).
PyObject* decoder_feed(PyObject* self, PyObject* data) {
  Stream& s = stream_of(self);
  if (s.failed()) {
    s.raise_again();
    return nullptr;
  }
  Owned converted;
  const uint8_t* b = nullptr;
  uint64_t n = 0;
  if (!bytes_of(data, converted, b, n)) return nullptr;
  s.feed(b, n);
  Py_RETURN_NONE;
}

// _end(): no bytes follow; a document left incomplete then fails as loads
// would refuse its bytes (wexo.iter_load, at the end of its file).
PyObject* decoder_end(PyObject* self, PyObject*) {
  stream_of(self).end();
  Py_RETURN_NONE;
}

// _tries(): (tries that ran out of bytes, the bytes they read), for the
// feed cost's benchmark.
PyObject* decoder_tries(PyObject* self, PyObject*) {
  const Stream& s = stream_of(self);
  return Py_BuildValue("(KK)", static_cast<unsigned long long>(s.tries()),
                       static_cast<unsigned long long>(s.tried_bytes()));
}

PyObject* decoder_pending(PyObject* self, void*) {
  return PyLong_FromUnsignedLongLong(stream_of(self).pending());
}

PyMethodDef decoder_methods[] = {
    {"feed", &decoder_feed, METH_O,
     "feed(data)\n--\n\n"
     "Appends the bytes of data to those held. Raises the decoder's failure again once it\n"
     "has failed."},
    {"_end", &decoder_end, METH_NOARGS, "No bytes follow: an incomplete document then fails."},
    {"_tries", &decoder_tries, METH_NOARGS,
     "(decodes that ran out of bytes, the bytes they read)."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef decoder_getset[] = {
    {"pending", &decoder_pending, nullptr, "The number of bytes held: the start of a document.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot decoder_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(&decoder_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&stream_dealloc)},
    {Py_tp_iter, reinterpret_cast<void*>(&stream_iter)},
    {Py_tp_iternext, reinterpret_cast<void*>(&stream_next)},
    {Py_tp_methods, decoder_methods},
    {Py_tp_getset, decoder_getset},
    {Py_tp_doc, const_cast<char*>(
         "StreamDecoder(*, max_cells=..., max_copies=...)\n--\n\n"
         "Decodes a stream of WEXO documents that arrives in pieces. feed(data) appends bytes;\n"
         "iterating yields every complete document held and stops when what remains is the\n"
         "start of a document (pending bytes). A malformed document raises WexoError with its\n"
         "offset from the start of the stream, and every later feed or next raises it again.\n"
         "Each document gets the limits of wexo.loads for the bytes held from its start, or\n"
         "the values given.")},
    {0, nullptr},
};

PyType_Spec decoder_spec = {
    "wexo._ext.StreamDecoder", sizeof(StreamObject), 0, Py_TPFLAGS_DEFAULT, decoder_slots,
};

PyType_Slot documents_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(&stream_dealloc)},
    {Py_tp_iter, reinterpret_cast<void*>(&stream_iter)},
    {Py_tp_iternext, reinterpret_cast<void*>(&stream_next)},
    {Py_tp_doc, const_cast<char*>("The documents of one buffer, in order (wexo.iter_loads).")},
    {0, nullptr},
};

// Not instantiable from Python: iter_loads makes them.
PyType_Spec documents_spec = {
    "wexo._ext.Documents", sizeof(StreamObject), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, documents_slots,
};

// iter_loads(data, *, max_cells=..., max_copies=...)
PyObject* iter_loads(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames) {
  if (nargs > 1) {
    PyErr_Format(PyExc_TypeError, "iter_loads() takes 1 positional argument but %zd were given",
                 nargs);
    return nullptr;
  }
  PyObject* data = nargs == 1 ? args[0] : nullptr;  // borrowed from the caller
  Limits limits;
  if (!parse_limits("iter_loads", args, nargs, kwnames, &data, limits)) return nullptr;
  // bytes and its subclasses are read in place (they cannot change); anything
  // else is copied once. The iterator holds whichever it reads.
  Owned bytes;
  const uint8_t* b = nullptr;
  uint64_t n = 0;
  if (!bytes_of(data, bytes, b, n)) return nullptr;
  if (!bytes) bytes = Owned::borrow(data);
  PyObject* self = new_stream(
      reinterpret_cast<PyTypeObject*>(state_of(module)->documents_type), limits);
  if (!self) return nullptr;
  stream_of(self).view(std::move(bytes), b, n);
  return self;
}

PyObject* loads(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return decode_call("loads", args, nargs, kwnames, nullptr);
}

// A str's UTF-8 bytes into out; false with the exception set.
bool utf8_of(PyObject* str, Str& out) {
  Py_ssize_t size = 0;
  const char* p = PyUnicode_AsUTF8AndSize(str, &size);
  if (!p) return false;
  out.append(p, static_cast<std::size_t>(size));
  return true;
}

// loads_columns's path: None, or a tuple of str keys and int indexes.
bool take_path(PyObject* x, arrow::Shape& shape) {
  if (x == Py_None) return true;
  if (!PyTuple_Check(x)) {
    Owned type_name = type_name_of(x);
    if (type_name)
      PyErr_Format(PyExc_TypeError, "loads_arrow(): path must be a tuple or None, not %U",
                   type_name.get());
    return false;
  }
  const Py_ssize_t n = PyTuple_Size(x);
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* step = PyTuple_GetItem(x, i);  // borrowed
    arrow::Step s{false, Str(), 0};
    if (PyUnicode_Check(step)) {
      s.is_key = true;
      if (!utf8_of(step, s.key)) return false;
    } else if (PyLong_Check(step) && !PyBool_Check(step)) {
      int overflow = 0;
      const long long v = PyLong_AsLongLongAndOverflow(step, &overflow);
      if (v == -1 && PyErr_Occurred()) return false;
      // An index past int64 is past every array.
      s.index = overflow ? (overflow > 0 ? INT64_MAX : INT64_MIN) : static_cast<int64_t>(v);
    } else {
      Owned type_name = type_name_of(step);
      if (type_name)
        PyErr_Format(PyExc_TypeError,
                     "loads_arrow(): a path holds str keys and int indexes, not %U",
                     type_name.get());
      return false;
    }
    shape.path.push_back(std::move(s));
  }
  return true;
}

// loads_columns's fields: None, or a tuple of str names.
bool take_fields(PyObject* x, arrow::Shape& shape) {
  if (x == Py_None) return true;
  if (!PyTuple_Check(x)) {
    Owned type_name = type_name_of(x);
    if (type_name)
      PyErr_Format(PyExc_TypeError, "loads_arrow(): fields must be a tuple or None, not %U",
                   type_name.get());
    return false;
  }
  shape.filtered = true;
  const Py_ssize_t n = PyTuple_Size(x);
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* name = PyTuple_GetItem(x, i);  // borrowed
    if (!PyUnicode_Check(name)) {
      PyErr_SetString(PyExc_TypeError, "loads_arrow(): fields holds str names only");
      return false;
    }
    Str s;
    if (!utf8_of(name, s)) return false;
    shape.keep.push_back(std::move(s));
  }
  return true;
}

constexpr const char* COLUMNS_NAMES[] = {"data", "max_cells", "max_copies", "path", "fields",
                                         "dictionaries"};

PyObject* loads_columns(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  // Called by wexo.loads_arrow only, whose name the messages give.
  const char* what = "loads_arrow";
  if (nargs > 1) {
    PyErr_Format(PyExc_TypeError, "%s() takes 1 positional argument but %zd were given", what,
                 nargs);
    return nullptr;
  }
  PyObject* data = nargs == 1 ? args[0] : nullptr;  // borrowed from the caller
  PyObject* path = nullptr;                          // borrowed
  Limits limits{Given::absent, 0, Given::absent, 0};
  arrow::Shape shape;
  const Keywords keywords{what, COLUMNS_NAMES, 6, 1};
  const bool ok = each_keyword(keywords, args, nargs, kwnames, [&](int k, PyObject* x) {
    switch (k) {
      case 0: data = x; return true;
      case 3: path = x == Py_None ? nullptr : x; return take_path(x, shape);
      case 4: return take_fields(x, shape);
      case 5: {
        const int truth = PyObject_IsTrue(x);
        shape.dictionaries = truth > 0;
        return truth >= 0;
      }
      default: return take_limit(what, k, x, limits);
    }
  });
  if (!ok) return nullptr;
  if (!data) {
    PyErr_Format(PyExc_TypeError, "%s() missing 1 required positional argument: 'data'", what);
    return nullptr;
  }
  Owned converted;  // released after the decode, on every path
  const uint8_t* b = nullptr;
  uint64_t n = 0;
  if (!bytes_of(data, converted, b, n)) return nullptr;
  Result<Owned> r = arrow::capsules(b, n, budgets_for(n, &limits), shape, path);
  if (!r.ok()) return raise(std::move(r).fail());
  return (*r).release();
}

// Whether two "arrow_schema" capsules hold the same type (see
// arrow::same_schema): loads_arrow's test of a table's schema against the
// caller's, before the table is imported.
PyObject* same_schema(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 2) {
    PyErr_SetString(PyExc_TypeError, "same_schema() takes two capsules");
    return nullptr;
  }
  auto* a = static_cast<ArrowSchema*>(PyCapsule_GetPointer(args[0], "arrow_schema"));
  if (!a) return nullptr;
  auto* b = static_cast<ArrowSchema*>(PyCapsule_GetPointer(args[1], "arrow_schema"));
  if (!b) return nullptr;
  if (!a->release || !b->release) {
    PyErr_SetString(PyExc_ValueError, "same_schema(): a schema capsule was released");
    return nullptr;
  }
  return Owned::borrow(arrow::same_schema(a, b) ? Py_True : Py_False).release();
}

PyMethodDef methods[] = {
    {"same_schema", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(&same_schema)),
     METH_FASTCALL,
     "same_schema(a, b)\n--\n\n"
     "Whether two \"arrow_schema\" capsules hold the same type: formats, names, nullability,\n"
     "children and dictionaries alike, metadata below the top absent (the top's is not\n"
     "compared)."},
    {"loads", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(&loads)),
     METH_FASTCALL | METH_KEYWORDS,
     "loads(data, *, max_cells=..., max_copies=...)\n--\n\n"
     "Decodes one WEXO document within limits: max_cells bounds the dicts that tables,\n"
     "sparse tables and object columns make (one per row or cell) and the slots of typed\n"
     "arrays other than bit arrays, max_copies the container slots copied by anchor\n"
     "references. Left out, each is proportional to the input's size;\n"
     "None lifts it. The format's own budgets apply whatever the limits. A document that\n"
     "wexo.dumps wrote is always within the defaults."},
    {"loads_columns",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(&loads_columns)),
     METH_FASTCALL | METH_KEYWORDS,
     "loads_columns(data, *, max_cells=..., max_copies=..., path=None, fields=None,\n"
     "              dictionaries=False)\n--\n\n"
     "Decodes the record list of one WEXO document (a table, a sparse table or an array\n"
     "of objects; at the root, or at path, a tuple of keys and indexes) into Arrow data:\n"
     "a pair of PyCapsules (\"arrow_schema\", \"arrow_array\") holding one struct array whose\n"
     "children are the columns, for pyarrow.record_batch(). fields (a tuple of names)\n"
     "builds only those columns; dictionaries keeps dictionary string columns as Arrow\n"
     "dictionaries. The whole document is checked, without the interpreter lock. The\n"
     "limits are those of loads."},
    {"iter_loads", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(&iter_loads)),
     METH_FASTCALL | METH_KEYWORDS,
     "iter_loads(data, *, max_cells=..., max_copies=...)\n--\n\n"
     "An iterator over the WEXO documents written back to back in data, in order. A\n"
     "malformed document raises WexoError after every earlier one has been yielded, with\n"
     "its offset from the start of data. Each document gets the limits of loads for the\n"
     "bytes from its start to the end of data, or the values given."},
    {"dumps_columns",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(&dumps_columns)),
     METH_FASTCALL | METH_KEYWORDS,
     "dumps_columns(data, /, *, nonfinite='error', pool=True, ...)\n--\n\n"
     "Writes Arrow record batches, an \"arrow_array_stream\" capsule or a pair of capsules\n"
     "(\"arrow_schema\", \"arrow_array\") of a struct array, as one WEXO document whose root\n"
     "is a table, as dumps writes the list of the rows as dicts, with dumps's choices. Gives\n"
     "the document as bytes; or the first row holding a value dumps refuses, as an int; or\n"
     "why the data is not written here, as a str (wexo.dumps_arrow then writes the rows as\n"
     "dumps does). The interpreter lock is released while the buffers are written."},
    {"column_plan", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(&column_plan)),
     METH_FASTCALL | METH_KEYWORDS,
     "column_plan(pooled, cells, /, *, array=False, pool=True, ...)\n--\n\n"
     "The layout dumps gives the list cells as a typed column (array: as a typed array's\n"
     "payload) once the strings of the list pooled are written: (kind byte, scale, bytes),\n"
     "bytes 0 where plain values of mixed kinds are not sized. For tests."},
    {"dumps", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(&dumps)),
     METH_FASTCALL | METH_KEYWORDS,
     "dumps(obj, /, *, default=None, nonfinite='error', pool=True, tables=True, sparse=True, "
     "typed_arrays=True, delta=True, decimal=True, dict_str=True, bool_bits=True, "
     "object_columns=True, anchors=True)\n--\n\n"
     "Encode obj as one WEXO document: the prologue 0F 01, then one value.\n"
     "\n"
     "obj is a tree of dict (str keys), list, tuple, str, int (signed 64-bit), float (finite),\n"
     "bool and None. Shared containers are allowed, cycles are not. Decoding gives back obj except\n"
     "for the format's own conversions: tuples become lists, and a float that is integral and\n"
     "below 2**53 in magnitude (-0.0 included) becomes an int.\n"
     "\n"
     "Some other types are written as a value of those: datetime.datetime, date and time as\n"
     "their ISO 8601 string (an aware time is refused), uuid.UUID as its canonical string, an\n"
     "Enum member as its value, a dataclass instance as a dict of its fields in their order.\n"
     "\n"
     "- default: called with any other value, and what it returns is written in that value's\n"
     "  place (converted in turn, up to 254 times in a row). Its exceptions propagate.\n"
     "- nonfinite: 'error' (NaN and the infinities raise ValueError) or 'null' (they are\n"
     "  written as None).\n"
     "\n"
     "The other keywords each switch one choice of the encoder off; all are on by default:\n"
     "\n"
     "- pool: write a repeated string of 2 or more UTF-8 bytes as a reference to its first\n"
     "  spelling, where that is shorter.\n"
     "- tables: a list of 2 or more dicts with the same keys in the same order as a table.\n"
     "- sparse: a list of 2 or more dicts whose keys differ as a sparse table, when one column\n"
     "  order holds every row's keys in their order and the table comes out smaller.\n"
     "- typed_arrays: a list of bools, of numbers or of strings as a typed array, when smaller.\n"
     "- delta: integer columns as differences from the cell before.\n"
     "- decimal: number columns as integer mantissas over one power of ten, only where the\n"
     "  decoder's division gives back every cell exactly.\n"
     "- dict_str: string columns as indexes into a dictionary of their distinct strings.\n"
     "- bool_bits: boolean columns as one bit per cell.\n"
     "- object_columns: a column of 2 or more dicts with the same keys as columns of their fields.\n"
     "- anchors: a list or dict object that occurs more than once is written once, and referred\n"
     "  to after that, within the decoder's copy budget and wexo.loads's default limits.\n"
     "\n"
     "Column encodings (delta, decimal, dict_str, bool_bits, object_columns) apply to the columns\n"
     "of tables and sparse tables, and all but object_columns to typed arrays. Where a column\n"
     "has several possible encodings the smallest wins; ties go to plain values.\n"
     "\n"
     "The result always decodes under wexo.loads's default limits: where it would make more dicts\n"
     "than they allow for its size, object_columns, then bool_bits and sparse, then tables are\n"
     "switched off.\n"
     "\n"
     "Raises TypeError (unsupported type, non-str key) or ValueError (int out of range, NaN or\n"
     "infinity, lone surrogate, cycle, nesting too deep) naming the path of the offending value,\n"
     "e.g. $.rows[3].id."},
    {nullptr, nullptr, 0, nullptr},
};

// Failures raised here are wexo_native's own WexoError, not a second class.
int exec(PyObject* m) {
  if (cache_exec() < 0) return -1;
  Owned native = Owned::steal(PyImport_ImportModule("wexo_native"));
  if (!native) return -1;
  Owned cls = Owned::steal(PyObject_GetAttrString(native.get(), "WexoError"));
  if (!cls) return -1;
  if (!share_wexo_error(cls.get())) {
    PyErr_SetString(PyExc_ImportError, "wexo._ext: wexo_native.WexoError is not its class");
    return -1;
  }
  if (PyModule_AddIntConstant(m, "CELLS_PER_BYTE", CELLS_PER_BYTE) < 0 ||
      PyModule_AddIntConstant(m, "CELLS_BASE", CELLS_BASE) < 0 ||
      PyModule_AddIntConstant(m, "COPIES_PER_BYTE", COPIES_PER_BYTE) < 0 ||
      PyModule_AddIntConstant(m, "COPIES_BASE", COPIES_BASE) < 0)
    return -1;
  if (PyModule_AddObjectRef(m, "WexoError", cls.get()) < 0) return -1;
  Owned choices = Owned::steal(choices_tuple());
  if (!choices || PyModule_AddObjectRef(m, "CHOICES", choices.get()) < 0) return -1;
  State* st = state_of(m);
  st->decoder_type = PyType_FromSpec(&decoder_spec);
  if (!st->decoder_type) return -1;
  st->documents_type = PyType_FromSpec(&documents_spec);
  if (!st->documents_type) return -1;
  return PyModule_AddObjectRef(m, "StreamDecoder", st->decoder_type);
}

int traverse(PyObject* m, visitproc visit, void* arg) {
  State* st = state_of(m);
  if (st) {
    Py_VISIT(st->decoder_type);
    Py_VISIT(st->documents_type);
  }
  return 0;
}

int clear(PyObject* m) {
  State* st = state_of(m);
  if (st) {
    if (PyObject* t = std::exchange(st->decoder_type, nullptr)) _Py_DecRef(t);
    if (PyObject* t = std::exchange(st->documents_type, nullptr)) _Py_DecRef(t);
  }
  return 0;
}

void free_module(void* m) { clear(static_cast<PyObject*>(m)); }

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&exec)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "wexo._ext", "", sizeof(State), methods, slots, &traverse, &clear,
    &free_module,
};

}  // namespace
}  // namespace wexo

PyMODINIT_FUNC PyInit__ext(void) { return PyModuleDef_Init(&wexo::module_def); }
