// encode: one document, DOC_MAGIC | DOC_VERSION | one value, written with the
// options asked for, or with fewer where the decoder's size budget would not
// admit the result.
#include "encode/encoder.h"

namespace wexo {
namespace enc {

Status Writer::document() {
  for (std::size_t k = 0; k < s.nodes.size(); ++k) s.nodes[k].slot = NO_SLOT;
  if (!room(2)) return py_fail();
  byte(DOC_MAGIC);
  byte(DOC_VERSION);
  return value(s.root, 0);
}

Result<Owned> encode(PyObject* root, unsigned options) {
  Scan s;
  CHECK(scan(root, s));
  // Each typed column charges the decoder's size budget its cell count + 1.
  // Only nested object columns can charge more than the document's length
  // allows; without them no layout can.
  const unsigned ladder[] = {options, options & ~unsigned{OPT_OBJECT_COLUMNS}, 0};
  for (const unsigned attempt : ladder) {
    Writer w(s, attempt);
    CHECK(w.document());
    const uint64_t allowed = w.out.size() * SIZE_BUDGET_PER_BYTE + SIZE_BUDGET_BASE;
    if (w.charged <= allowed) {
      return made(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(w.out.data()),
                                            static_cast<Py_ssize_t>(w.out.size())));
    }
  }
  PyErr_SetString(PyExc_SystemError, "wexo: the plain layout charged the size budget");
  return py_fail();
}

}  // namespace enc
}  // namespace wexo
