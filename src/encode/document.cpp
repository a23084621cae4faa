// encode: one document, DOC_MAGIC | DOC_VERSION | one value, written with the
// options asked for, or with fewer where the decoder's size budget would not
// admit the result.
#include "encode/encoder.h"

namespace wexo {
namespace enc {

Status Writer::document() {
  for (std::size_t k = 0; k < s.nodes.size(); ++k) s.nodes[k].slot = NO_SLOT;
  out.clear();
  if (!room(2)) return py_fail();
  byte(DOC_MAGIC);
  byte(DOC_VERSION);
  return value(s.root, 0);
}

namespace {

// The buffers of the last call, kept for the next one: a call then starts
// with room already mapped. Calls run under the interpreter lock; one that
// starts while another is under way (from a subclass's code) uses buffers of
// its own.
struct Spare {
  Grow<Node> nodes;
  Grow<Child> items;
  Grow<uint8_t> out;
  bool busy = false;
} spare;

constexpr std::size_t SPARE_KEPT = std::size_t{4} << 20;  // bytes kept per buffer

template <class T>
void keep(Grow<T>& from, Grow<T>& to) {
  from.swap(to);
  if (to.capacity() * sizeof(T) > SPARE_KEPT) to.free();
  to.clear();
}

Result<Owned> encode_with(PyObject* root, unsigned options, Scan& s, Grow<uint8_t>& out) {
  // Most trees need no first pass: try writing with lazy snapshots, and scan
  // only when the tree turns out to need it (shared containers, subclasses,
  // values to refuse, which the scan then names in document order).
  if (classify(root, s.root, true)) {
    s.lazy = true;
    bool full = false;
    for (const unsigned attempt : {options, options & ~unsigned{OPT_OBJECT_COLUMNS}, 0u}) {
      s.nodes.clear();
      s.items.clear();
      s.values = 0;
      Writer w(s, out, attempt);
      Status st = w.document();
      if (!st.ok()) {
        if (!w.needs_full()) return std::move(st).fail();
        full = true;
        break;
      }
      if (w.charged <= out.size() * SIZE_BUDGET_PER_BYTE + SIZE_BUDGET_BASE) {
        return made(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(out.data()),
                                              static_cast<Py_ssize_t>(out.size())));
      }
    }
    if (!full) {
      PyErr_SetString(PyExc_SystemError, "wexo: the plain layout charged the size budget");
      return py_fail();
    }
    s.lazy = false;
    s.nodes.clear();
    s.items.clear();
    s.root = Child{};
  } else if (PyErr_Occurred()) {
    return py_fail();
  }
  CHECK(scan(root, s));
  // Each typed column charges the decoder's size budget its cell count + 1.
  // Only nested object columns can charge more than the document's length
  // allows; without them no layout can.
  const unsigned ladder[] = {options, options & ~unsigned{OPT_OBJECT_COLUMNS}, 0};
  for (const unsigned attempt : ladder) {
    Writer w(s, out, attempt);
    CHECK(w.document());
    const uint64_t allowed = out.size() * SIZE_BUDGET_PER_BYTE + SIZE_BUDGET_BASE;
    if (w.charged <= allowed) {
      return made(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(out.data()),
                                            static_cast<Py_ssize_t>(out.size())));
    }
  }
  PyErr_SetString(PyExc_SystemError, "wexo: the plain layout charged the size budget");
  return py_fail();
}

}  // namespace

Result<Owned> encode(PyObject* root, unsigned options) {
  Scan s;
  Grow<uint8_t> out;
  if (spare.busy) return encode_with(root, options, s, out);
  spare.busy = true;
  s.nodes.swap(spare.nodes);
  s.items.swap(spare.items);
  out.swap(spare.out);
  Result<Owned> r = encode_with(root, options, s, out);
  keep(s.nodes, spare.nodes);
  keep(s.items, spare.items);
  keep(out, spare.out);
  spare.busy = false;
  return r;
}

}  // namespace enc
}  // namespace wexo
