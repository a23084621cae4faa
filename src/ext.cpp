// The package's own native module, wexo._ext: the encoder and the decoder's
// other entry points. wexo_native keeps its one function; what the package
// adds lives here, over the same decoder sources.
#include "decode/decoder.h"
#include "err.h"
#include "pyo.h"

namespace wexo {
namespace {

PyMethodDef methods[] = {
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
