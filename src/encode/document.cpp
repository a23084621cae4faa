// encode: one document, DOC_MAGIC | DOC_VERSION | one value, written with the
// options asked for, or with fewer where the decoder's size budget or
// wexo.loads's default limits would not admit the result.
#include "encode/encoder.h"
#include "run.h"

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
  Vec<Node> nodes;
  Vec<Child> items;
  Vec<uint8_t> out;
  bool busy = false;
} spare;

constexpr std::size_t SPARE_KEPT = std::size_t{16} << 20;  // bytes kept per buffer

template <class T>
void keep(Vec<T>& from, Vec<T>& to) {
  from.swap(to);
  if (to.capacity() * sizeof(T) > SPARE_KEPT) to = Vec<T>();
  to.clear();
}

// The options to try in turn. Typed columns charge the format's size budget
// their cell count + 1, and only nested object columns can charge more than
// the document's length allows. wexo.loads's max_cells (by default 2 a byte)
// counts the dicts of tables, sparse tables and object columns and the slots
// of typed arrays other than bit arrays. Only bit columns, sparse rows and
// object columns make more than one of them per byte of the output: without
// them every layout fits.
constexpr unsigned FALLBACKS[] = {
    0,
    OPT_OBJECT_COLUMNS,
    OPT_OBJECT_COLUMNS | OPT_BOOL_BITS | OPT_SPARSE,
    OPT_OBJECT_COLUMNS | OPT_BOOL_BITS | OPT_SPARSE | OPT_TABLES,
};

// One layout of the document within the format's budgets and wexo.loads's
// default max_cells for its own size (the writer keeps its references within
// the default max_copies), trying the rungs of FALLBACKS in turn. False when
// the lazy writer met what needs the full scan.
Result<bool> layout(unsigned options, Scan& s, Vec<uint8_t>& out) {
  for (const unsigned off : FALLBACKS) {
    if (s.lazy) {
      s.nodes.clear();
      s.items.clear();
      s.values = 0;
    }
    Writer w(s, out, options & ~off);
    Status st = w.document();
    if (!st.ok()) {
      if (s.lazy && w.needs_full()) return false;
      return std::move(st).fail();
    }
    const uint64_t n = out.size();
    if (w.charged <= n * SIZE_BUDGET_PER_BYTE + SIZE_BUDGET_BASE &&
        w.counted <= n * CELLS_PER_BYTE + CELLS_BASE)
      return true;
  }
  PyErr_SetString(PyExc_SystemError, "wexo: the plainest layout exceeds the decoder's limits");
  return py_fail();
}

Result<Owned> encode_with(PyObject* root, unsigned options, Scan& s, Vec<uint8_t>& out) {
  // Most trees need no first pass: try writing with lazy snapshots, and scan
  // only when the tree turns out to need it (shared containers, subclasses,
  // values to refuse, which the scan then names in document order).
  bool done = false;
  if (classify(root, s.root, true)) {
    s.lazy = true;
    TRY(written, layout(options, s, out));
    done = written;
    if (!done) {
      s.lazy = false;
      s.nodes.clear();
      s.items.clear();
      s.root = Child{};
    }
  } else if (PyErr_Occurred()) {
    return py_fail();
  }
  if (!done) {
    CHECK(scan(root, s));
    TRY(written, layout(options, s, out));
    (void)written;
  }
  return made(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(out.data()),
                                        static_cast<Py_ssize_t>(out.size())));
}

// Every row of a column source as a dict of the snapshot, under a root list,
// for the layouts that write no table.
Status snapshot(const Child* names, uint64_t count, uint64_t rows, Columns& source, Scan& s) {
  const uint64_t width = 2 * count;
  if (rows >= NO_NODE - 1 || (width && rows > (UINT64_MAX / 2 - rows) / width)) return no_memory();
  s.nodes.clear();
  s.items.clear();
  if (!s.nodes.try_resize_for_overwrite(rows + 1) ||
      !s.items.try_resize_for_overwrite(rows + rows * width))
    return no_memory();
  auto node = [](uint64_t first, uint64_t n, bool dict) {
    Node x;
    x.obj = nullptr;
    x.first = first;
    x.n = n;
    x.height = n ? 1 : 0;
    x.uses = 1;
    x.expanded = n;
    x.dict = dict;
    return x;
  };
  s.nodes[0] = node(0, rows, false);
  for (uint64_t r = 0; r < rows; ++r) {
    s.nodes[1 + r] = node(rows + r * width, count, true);
    Child c{};
    c.kind = K_DICT;
    c.node = static_cast<uint32_t>(1 + r);
    c.exact = true;
    s.items[r] = c;
    for (uint64_t k = 0; k < count; ++k) s.items[rows + r * width + 2 * k] = names[k];
  }
  Vec<Child> cells;
  if (!cells.try_resize_for_overwrite(rows)) return no_memory();
  for (uint64_t k = 0; k < count; ++k) {
    CHECK(source.fill(source.field(Columns::ROOT, k), s, cells));
    for (uint64_t r = 0; r < rows; ++r) s.items[rows + r * width + 2 * k + 1] = cells[r];
  }
  s.root = Child{};
  s.root.kind = K_LIST;
  s.root.node = 0;
  s.root.exact = true;
  return Done{};
}

}  // namespace

Status encode_columns(const Child* names, uint64_t count, uint64_t rows, Columns& source,
                      unsigned options, Vec<uint8_t>& out) {
  Scan s;
  s.lazy = true;
  s.source = &source;
  bool snapped = false;
  for (const unsigned off : FALLBACKS) {
    const unsigned o = options & ~off;
    Writer w(s, out, o);
    if ((o & OPT_TABLES) && rows >= 2 && count) {
      CHECK(w.root_table(names, count, rows, source));
    } else {
      if (!snapped) CHECK(snapshot(names, count, rows, source, s));
      snapped = true;
      CHECK(w.document());
    }
    const uint64_t n = out.size();
    if (w.charged <= n * SIZE_BUDGET_PER_BYTE + SIZE_BUDGET_BASE &&
        w.counted <= n * CELLS_PER_BYTE + CELLS_BASE)
      return Done{};
  }
  Unlocked::with_lock([] {
    PyErr_SetString(PyExc_SystemError, "wexo: the plainest layout exceeds the decoder's limits");
  });
  return py_fail();
}

Result<Owned> encode(PyObject* root, unsigned options, PyObject* hook, bool null_nonfinite) {
  Scan s;
  s.hook = hook;
  s.null_nonfinite = null_nonfinite;
  Vec<uint8_t> out;
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
