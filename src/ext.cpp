// The package's own native module, wexo._ext: the encoder and the decoder's
// other entry points. wexo_native keeps its one function; what the package
// adds lives here, over the same decoder sources.
#include <cstdint>
#include <cstring>

#include "decode/decoder.h"
#include "encode/encoder.h"
#include "err.h"
#include "pyo.h"
#include "run.h"
#include "arrow/arrow.h"

namespace wexo {
namespace {

// The keywords of dumps, in the order of their option bits.
constexpr const char* OPTION_NAMES[] = {
    "pool",    "tables",   "sparse",    "typed_arrays",   "delta",
    "decimal", "dict_str", "bool_bits", "object_columns", "anchors",
};

PyObject* dumps(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  if (nargs != 1) {
    PyErr_Format(PyExc_TypeError, "dumps() takes 1 positional argument but %zd were given", nargs);
    return nullptr;
  }
  unsigned options = enc::OPT_ALL;
  PyObject* hook = nullptr;  // borrowed from the call
  bool null_nonfinite = false;
  const Py_ssize_t nkw = kwnames ? PyTuple_Size(kwnames) : 0;
  for (Py_ssize_t i = 0; i < nkw; ++i) {
    PyObject* name = PyTuple_GetItem(kwnames, i);  // borrowed
    PyObject* x = args[nargs + i];                 // borrowed
    if (PyUnicode_CompareWithASCIIString(name, "default") == 0) {
      if (x != Py_None && !PyCallable_Check(x)) {
        Owned type_name = Owned::steal(
            PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(x)), "__name__"));
        if (!type_name) return nullptr;
        PyErr_Format(PyExc_TypeError, "dumps(): default must be callable or None, not %U",
                     type_name.get());
        return nullptr;
      }
      hook = x == Py_None ? nullptr : x;
      continue;
    }
    if (PyUnicode_CompareWithASCIIString(name, "nonfinite") == 0) {
      const bool str = PyUnicode_Check(x);
      if (str && PyUnicode_CompareWithASCIIString(x, "error") == 0) {
        null_nonfinite = false;
      } else if (str && PyUnicode_CompareWithASCIIString(x, "null") == 0) {
        null_nonfinite = true;
      } else {
        PyErr_Format(str ? PyExc_ValueError : PyExc_TypeError,
                     "dumps(): nonfinite must be 'error' or 'null', not %R", x);
        return nullptr;
      }
      continue;
    }
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(name, &size);
    if (!text) PyErr_Clear();
    unsigned bit = 0;
    for (unsigned k = 0; text && k < sizeof OPTION_NAMES / sizeof OPTION_NAMES[0]; ++k) {
      if (std::strlen(OPTION_NAMES[k]) == static_cast<std::size_t>(size) &&
          std::memcmp(OPTION_NAMES[k], text, static_cast<std::size_t>(size)) == 0)
        bit = 1u << k;
    }
    if (!bit) {
      PyErr_Format(PyExc_TypeError, "dumps() got an unexpected keyword argument '%S'", name);
      return nullptr;
    }
    // True or False only: a truthy "no" switching a choice on would hide a mistake.
    PyObject* on = args[nargs + i];
    if (!PyBool_Check(on)) {
      Owned type_name = Owned::steal(
          PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(on)), "__name__"));
      if (!type_name) return nullptr;
      PyErr_Format(PyExc_TypeError, "dumps(): %U must be True or False, not %U", name,
                   type_name.get());
      return nullptr;
    }
    options = on == Py_True ? options | bit : options & ~bit;
  }
  Result<Owned> r = enc::encode(args[0], options, hook, null_nonfinite);
  if (!r.ok()) return raise(std::move(r).fail());
  return (*r).release();
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
    Owned type_name = Owned::steal(
        PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(x)), "__name__"));
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
  Given cells_given = Given::absent, copies_given = Given::absent;
  int64_t cells = 0, copies = 0;
  const Py_ssize_t nkw = kwnames ? PyTuple_Size(kwnames) : 0;
  for (Py_ssize_t i = 0; i < nkw; ++i) {
    PyObject* name = PyTuple_GetItem(kwnames, i);  // borrowed
    PyObject* x = args[nargs + i];                 // borrowed
    if (PyUnicode_CompareWithASCIIString(name, "max_cells") == 0) {
      if (!limit(what, x, "max_cells", cells_given, cells)) return nullptr;
    } else if (PyUnicode_CompareWithASCIIString(name, "max_copies") == 0) {
      if (!limit(what, x, "max_copies", copies_given, copies)) return nullptr;
    } else if (PyUnicode_CompareWithASCIIString(name, "data") == 0) {
      if (data) {
        PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument 'data'", what);
        return nullptr;
      }
      data = x;
    } else {
      PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", what, name);
      return nullptr;
    }
  }
  if (!data) {
    PyErr_Format(PyExc_TypeError, "%s() missing 1 required positional argument: 'data'", what);
    return nullptr;
  }
  const Limits limits{cells_given, cells, copies_given, copies};
  return decode_object(data, &budgets_for, &limits, decode_with);
}

PyObject* loads(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return decode_call("loads", args, nargs, kwnames, nullptr);
}

PyObject* loads_columns(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  // Called by wexo.loads_arrow only, whose name the messages give.
  return decode_call("loads_arrow", args, nargs, kwnames, &arrow::capsules);
}

PyMethodDef methods[] = {
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
     "loads_columns(data, *, max_cells=..., max_copies=...)\n--\n\n"
     "Decodes one WEXO document whose root is a table or a sparse table into Arrow data:\n"
     "a pair of PyCapsules (\"arrow_schema\", \"arrow_array\") holding one struct array whose\n"
     "children are the columns, for pyarrow.record_batch(). The limits are those of loads."},
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
  return PyModule_AddObjectRef(m, "WexoError", cls.get());
}

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&exec)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "wexo._ext", "", 0, methods, slots, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace wexo

PyMODINIT_FUNC PyInit__ext(void) { return PyModuleDef_Init(&wexo::module_def); }
