// The module definition, its exec step and loads_binary, over the shared
// top-level decode (run.cpp).
#include <cstring>

#include "decode/decoder.h"
#include "err.h"
#include "pyo.h"
#include "run.h"

namespace wexo {

namespace {

PyObject* too_many(Py_ssize_t n) {
  PyErr_Format(PyExc_TypeError, "%s takes %d positional arguments but %zd %s given",
               "loads_binary()", 1, n, "were");
  return nullptr;
}

PyObject* loads_binary(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  if (nargs >= 2) return too_many(nargs);
  PyObject* data = nargs == 1 ? args[0] : nullptr;  // borrowed from the caller
  const Py_ssize_t nkw = kwnames ? PyTuple_Size(kwnames) : 0;
  for (Py_ssize_t i = 0; i < nkw; ++i) {
    PyObject* name = PyTuple_GetItem(kwnames, i);  // borrowed
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(name, &size);
    if (!text) PyErr_Clear();  // not encodable: simply not "data"
    if (text && size == 4 && std::memcmp(text, "data", 4) == 0) {
      if (data) {
        PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'",
                     "loads_binary()", "data");
        return nullptr;
      }
      data = args[nargs + i];
      continue;
    }
    PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'",
                 "loads_binary()", name);
    return nullptr;
  }
  if (!data) {
    PyErr_Format(PyExc_TypeError, "%s missing %d required %s %s: 'data'", "loads_binary()", 1,
                 "positional", "argument");
    return nullptr;
  }
  return decode_object(
      data, [](uint64_t n, const void*) { return format_budgets(n); }, nullptr);
}

PyMethodDef loads_binary_def = {
    "loads_binary",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(&loads_binary)),
    METH_FASTCALL | METH_STATIC | METH_KEYWORDS,
    "loads_binary(data)\n--\n\nDecodes WEXO binary into dict/list/str/int/float/bool/None."};
static_assert((METH_FASTCALL | METH_STATIC | METH_KEYWORDS) == 0xA2, "method flags");

// Appends name to the module's __all__ (made on first use), then sets it.
int add(PyObject* m, const char* name, PyObject* obj) {
  Owned all = Owned::steal(PyObject_GetAttrString(m, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
    PyErr_Clear();
    all = Owned::steal(PyList_New(0));
    if (!all || PyObject_SetAttrString(m, "__all__", all.get()) < 0) return -1;
  }
  Owned text = Owned::steal(PyUnicode_FromString(name));
  if (!text || PyList_Append(all.get(), text.get()) < 0) return -1;
  return PyObject_SetAttrString(m, name, obj);
}

int exec(PyObject* m) {
  if (cache_exec() < 0) return -1;
  Owned mod_name = Owned::steal(PyModule_GetNameObject(m));
  if (!mod_name) return -1;
  Owned fn = Owned::steal(PyCMethod_New(&loads_binary_def, m, mod_name.get(), nullptr));
  mod_name.reset();
  if (!fn) return -1;
  Owned fn_name = Owned::steal(PyObject_GetAttrString(fn.get(), "__name__"));
  if (!fn_name) return -1;
  const char* text = PyUnicode_AsUTF8AndSize(fn_name.get(), nullptr);
  if (!text || add(m, text, fn.get()) < 0) return -1;
  fn.reset();
  PyObject* cls = wexo_error();  // process-wide, never released
  if (!cls) return -1;
  return add(m, "WexoError", cls);
}

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&exec)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "wexo_native", "", 0, nullptr, slots, nullptr, nullptr, nullptr,
};

}  // namespace

}  // namespace wexo

PyMODINIT_FUNC PyInit_wexo_native(void) { return PyModuleDef_Init(&wexo::module_def); }
