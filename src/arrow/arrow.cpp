// columns and capsules: the root table into the Arrow C data interface.
#include "arrow/arrow.h"

#include <cstdlib>

#include "arrow/node.h"
#include "arrow/reader.h"

namespace wexo::arrow {

namespace {

const char* root_name(uint8_t t) {
  if (t >= TAG_SMALL_INT) return "an int";
  if ((t & 0xE0) == TAG_SHORT_STR) return "a string";
  switch (t) {
    case TAG_NONE: return "None";
    case TAG_FALSE:
    case TAG_TRUE: return "a bool";
    case TAG_INT: return "an int";
    case TAG_FLOAT: return "a float";
    case TAG_STR:
    case TAG_STR_REF: return "a string";
    case TAG_ARRAY: return "an array";
    case TAG_OBJECT: return "an object";
    case TAG_ANCHOR: return "an anchor";
    case TAG_TYPED_ARRAY: return "a typed array";
    default: return "another value";
  }
}

void release_schema(PyObject* capsule) {
  auto* s = static_cast<ArrowSchema*>(PyCapsule_GetPointer(capsule, "arrow_schema"));
  if (!s) return PyErr_Clear();
  if (s->release) s->release(s);
  std::free(s);
}

void release_array(PyObject* capsule) {
  auto* a = static_cast<ArrowArray*>(PyCapsule_GetPointer(capsule, "arrow_array"));
  if (!a) return PyErr_Clear();
  if (a->release) a->release(a);
  std::free(a);
}

}  // namespace

// own is set for a failure that is not the decoder's verdict on the
// document: the reader's own bound on the strings it copies, a column past
// Arrow's offsets, or a reference whose verdict only an object walk gives.
Status columns(const uint8_t* b, uint64_t n, Budgets start, ArrowSchema* schema,
               ArrowArray* array, bool& own) {
  own = false;
  if (n < 3 || b[0] != DOC_MAGIC || b[1] != DOC_VERSION ||
      (b[2] != TAG_TABLE && b[2] != TAG_SPARSE)) {
    // The decoder's verdict first: a malformed document fails as it does.
    TRY(whole, run(b, n, start));
    PyErr_Format(PyExc_TypeError,
                 "loads_arrow() needs a document whose root is a table or a sparse table, "
                 "not %s",
                 root_name(b[2]));
    return py_fail();
  }
  Decoder d(b, n, start);
  d.pos = 3;
  Spend spend{static_cast<int64_t>(n) * SPEND_PER_BYTE + SPEND_BASE, &d.pos};
  Reader rd(d, spend);
  NodeOwner root;
  TRY(node, root.get());
  Status read = rd.root(*node, b[2] == TAG_SPARSE);
  if (read.ok()) {
    CHECK(d.end());
  } else {
    Failure f = std::move(read).fail();
    own = spend.left < 0 || rd.ambiguous ||
          (!f.error() && PyErr_ExceptionMatches(PyExc_ValueError));
    return f;
  }
  schema->release = nullptr;
  array->release = nullptr;
  return node->finish(schema, array, spend);
}
Result<Owned> capsules(const uint8_t* b, uint64_t n, Budgets start) {
  auto* schema = static_cast<ArrowSchema*>(std::malloc(sizeof(ArrowSchema)));
  auto* array = static_cast<ArrowArray*>(std::malloc(sizeof(ArrowArray)));
  if (!schema || !array) {
    std::free(schema);
    std::free(array);
    return no_memory();
  }
  schema->release = nullptr;
  array->release = nullptr;
  // Owned by their capsules from here on, released with them.
  Owned s = Owned::steal(PyCapsule_New(schema, "arrow_schema", &release_schema));
  if (!s) {
    std::free(schema);
    std::free(array);
    return py_fail();
  }
  Owned a = Owned::steal(PyCapsule_New(array, "arrow_array", &release_array));
  if (!a) {
    std::free(array);
    return py_fail();
  }
  bool own;
  Status built = columns(b, n, start, schema, array, own);
  if (!built.ok()) {
    // A failure of the reader's own, met before the whole document was
    // read, gives way to the decoder's verdict on the rest where it has one.
    Failure f = std::move(built).fail();
    if (own) {
      PyObject *type, *value, *trace;
      PyErr_Fetch(&type, &value, &trace);
      Result<Owned> whole = run(b, n, start);
      if (!whole.ok()) {
        Owned drop_type = Owned::steal(type), drop_value = Owned::steal(value),
              drop_trace = Owned::steal(trace);
        return std::move(whole).fail();
      }
      PyErr_Restore(type, value, trace);
    }
    return f;
  }
  return made(PyTuple_Pack(2, s.get(), a.get()));
}

}  // namespace wexo::arrow
