// anchor, anchor_ref and deep_copy: anchored values and their bounded copies.
#include "decode/decoder.h"

namespace wexo {

// TAG_ANCHOR | value
Result<Owned> Decoder::anchor(uint64_t depth) {
  // Reserve the slot first: anchors nested inside the value get later indices,
  // and a reference to this one from inside its own value finds it empty.
  const size_t a = anchors.size();
  anchors.push_back(Owned());
  TRY(v, value(depth + 1));
  anchors[a] = Owned::borrow(v.get());
  return v;  // the anchor's own occurrence is the object itself
}

// TAG_ANCHOR_REF | uvarint index
Result<Owned> Decoder::anchor_ref() {
  TRY(i, ref_index(anchors.size(), [this](uint64_t a) { return bool(anchors[a]); }));
  TRY(copy, deep_copy(anchors[i].get(), expand_budget, 0));
  if (!copy) return copy_limit < 0 ? bad("reference expansion too large", pos) : over_copies(pos);
  return copy;
}

Failure too_deep_copy() { return bad("nesting too deep", 0); }

Status Decoder::copy_charge(int64_t cost, uint64_t deep, bool& ambiguous) {
  const bool spent = cost > expand_budget;
  expand_budget = spent ? -1 : expand_budget - cost;
  ambiguous = spent && deep > MAX_COPY_DEPTH;
  if (deep > MAX_COPY_DEPTH) return too_deep_copy();
  if (spent) return copy_limit < 0 ? bad("reference expansion too large", pos) : over_copies(pos);
  return Done{};
}

namespace {

// One container being copied. src is borrowed from the finished value, which
// the anchor table keeps alive and which nothing changes during the copy.
struct CopyFrame {
  PyObject* src;
  Owned dst;
  PyObject* key;  // the dict key whose value is being copied, borrowed from src
  Py_ssize_t n;
  Py_ssize_t next;  // list index, or dict position for PyDict_Next
  uint64_t depth;
  bool is_list;
};

enum class Visit { scalar, container, refused };

// Reaches one object at copy depth d: a scalar yields itself; a list or dict
// is charged (before any of its elements) and gets a frame with a new empty
// container. The order is that of a recursive pre-order walk.
Result<Visit> reach(PyObject* x, uint64_t d, int64_t& budget, Vec<CopyFrame>& stack,
                    Owned& out) {
  if (d > MAX_COPY_DEPTH) return too_deep_copy();
  const bool is_list = Py_TYPE(x) == &PyList_Type;
  if (!is_list && Py_TYPE(x) != &PyDict_Type) {
    out = Owned::borrow(x);
    return Visit::scalar;
  }
  const Py_ssize_t n = is_list ? PyList_Size(x) : PyDict_Size(x);
  if (n < 0) return py_fail();
  budget -= n + 1;
  if (budget < 0) return Visit::refused;
  TRY(dst, made(is_list ? PyList_New(n) : PyDict_New()));
  stack.push_back(CopyFrame{x, std::move(dst), nullptr, n, 0, d, is_list});
  return Visit::container;
}

// Puts a finished copy into the frame's container at its current place.
Status place(CopyFrame& f, Owned item) {
  if (f.is_list) {
    if (PyList_SetItem(f.dst.get(), f.next++, item.release()) < 0) return py_fail();
  } else if (PyDict_SetItem(f.dst.get(), f.key, item.get()) < 0) {
    return py_fail();
  }
  return Done{};
}

}  // namespace

// Iterative, so that a copy 4096 levels deep needs no deep native stack.
Result<Owned> deep_copy(PyObject* x, int64_t& budget, uint64_t depth) {
  Vec<CopyFrame> stack;
  Owned out;
  TRY(first, reach(x, depth, budget, stack, out));
  if (first == Visit::scalar) return out;
  if (first == Visit::refused) return Owned();
  for (;;) {
    CopyFrame& f = stack.back();
    PyObject* item;  // borrowed from f.src
    bool more;
    if (f.is_list) {
      more = f.next < f.n;
      item = more ? PyList_GetItem(f.src, f.next) : nullptr;
    } else {
      PyObject* k;
      more = PyDict_Next(f.src, &f.next, &k, &item) != 0;
      f.key = k;
    }
    if (!more) {
      Owned done = std::move(f.dst);
      stack.pop_back();
      if (stack.empty()) return done;
      CHECK(place(stack.back(), std::move(done)));
      continue;
    }
    const uint64_t d = f.depth + 1;
    TRY(seen, reach(item, d, budget, stack, out));  // may move the frames
    if (seen == Visit::refused) return Owned();
    if (seen == Visit::scalar) CHECK(place(stack.back(), std::move(out)));
  }
}

}  // namespace wexo
