// columns and capsules: the record list into the Arrow C data interface.
#include "arrow/arrow.h"

#include <cstdlib>
#include <cstring>

#include "arrow/node.h"

namespace wexo::arrow {

namespace {

const char* tag_name(uint8_t t) {
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
    case TAG_TYPED_ARRAY: return "a typed array";
    case TAG_TABLE: return "a table, whose rows a path cannot enter";
    case TAG_SPARSE: return "a sparse table, whose rows a path cannot enter";
    default: return "another value";
  }
}

// What a value that is no record list is, from the node it was read into.
const char* node_name(const Node& holder) {
  switch (holder.kind) {
    case Kind::EMPTY: return "None";
    case Kind::BOOL: return "a bool";
    case Kind::INT: return "an int";
    case Kind::FLOAT: return "a float";
    case Kind::STR:
    case Kind::DICT: return "a string";
    case Kind::STRUCT: return "an object";
    case Kind::LIST: return "an array holding values other than objects";
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

// The exception of a well-formed document without a record list where asked.
void refuse(const Verdict& v, PyObject* path) {
  const auto step = static_cast<unsigned long long>(v.step);
  switch (v.miss) {
    case Miss::NO_KEY:
      PyErr_Format(PyExc_KeyError, "loads_arrow(): path %R: the object at step %llu has no key %R",
                   path, step, PyTuple_GetItem(path, static_cast<Py_ssize_t>(v.step)));
      return;
    case Miss::NO_INDEX:
      PyErr_Format(PyExc_IndexError,
                   "loads_arrow(): path %R: index %R at step %llu is out of the array's range",
                   path, PyTuple_GetItem(path, static_cast<Py_ssize_t>(v.step)), step);
      return;
    case Miss::NOT_CONTAINER:
      PyErr_Format(PyExc_TypeError, "loads_arrow(): path %R: step %llu (%R) meets %s", path, step,
                   PyTuple_GetItem(path, static_cast<Py_ssize_t>(v.step)), tag_name(v.tag));
      return;
    case Miss::NONE: break;
  }
  if (path && PyTuple_Size(path) > 0) {
    PyErr_Format(PyExc_TypeError,
                 "loads_arrow() needs a table, a sparse table or an array of objects at path "
                 "%R, not %s",
                 path, v.what);
  } else {
    PyErr_Format(PyExc_TypeError,
                 "loads_arrow() needs a document whose root is a table, a sparse table or an "
                 "array of objects, not %s",
                 v.what);
  }
}

}  // namespace

// own is set for a failure that is not the decoder's verdict on the
// document: the reader's own bound on the strings it copies, a column past
// Arrow's offsets, or a reference whose verdict only an object walk gives.
Status columns(const uint8_t* b, uint64_t n, Budgets start, const Shape& shape,
               ArrowSchema* schema, ArrowArray* array, Verdict& verdict, Own& own) {
  own = Own::NO;
  if (n < 2 || b[0] != DOC_MAGIC || b[1] != DOC_VERSION) return bad_prologue(b, n);
  Decoder d(b, n, start, /*names=*/false);
  d.pos = 2;
  Spend spend{static_cast<int64_t>(n) * SPEND_PER_BYTE + SPEND_BASE, &d.pos};
  Reader rd(d, spend);
  rd.dictionaries = shape.dictionaries;
  rd.path = &shape.path;
  // The value at the path goes in as one row of holder: a record list makes
  // it a list of structs, whose item node is the table.
  NodeOwner owner;
  TRY(holder, owner.get());
  if (shape.filtered) holder->keep = &shape.keep;
  Status read = rd.document(*holder);
  if (read.ok()) {
    CHECK(d.end());
  } else {
    Failure f = std::move(read).fail();
    own = spend.left < 0 || rd.ambiguous ? Own::YES : f.error() ? Own::NO : Own::IF_VALUE_ERROR;
    return f;
  }
  verdict.miss = rd.miss;
  verdict.step = rd.missed_at;
  verdict.tag = rd.missed_tag;
  if (rd.miss != Miss::NONE) {
    verdict.records = false;
    return Done{};
  }
  Node* table = holder->kind == Kind::LIST && holder->nulls == 0 ? holder->item() : nullptr;
  // An empty list is a table of no rows, of whatever type its column gave it.
  NodeOwner none;
  if (table && table->length == 0 && table->kind != Kind::STRUCT) {
    TRY(empty, none.get());
    CHECK(empty->become_struct(spend));
    table = empty;
  }
  if (!table || table->kind != Kind::STRUCT || table->nulls != 0) {
    verdict.records = false;
    verdict.what = node_name(*holder);
    return Done{};
  }
  schema->release = nullptr;
  array->release = nullptr;
  return table->finish(schema, array, spend);
}

bool same_schema(const ArrowSchema* a, const ArrowSchema* b, bool top) {
  auto same_text = [](const char* x, const char* y) {
    return (!x || !*x) ? (!y || !*y) : (y && std::strcmp(x, y) == 0);
  };
  if (!same_text(a->format, b->format) || a->n_children != b->n_children ||
      !(a->dictionary) != !(b->dictionary))
    return false;
  if (!top && (!same_text(a->name, b->name) || a->flags != b->flags || a->metadata || b->metadata))
    return false;
  for (int64_t i = 0; i < a->n_children; ++i)
    if (!same_schema(a->children[i], b->children[i], false)) return false;
  return !a->dictionary || same_schema(a->dictionary, b->dictionary, false);
}

Result<Owned> capsules(const uint8_t* b, uint64_t n, Budgets start, const Shape& shape,
                       PyObject* path) {
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
  Own own = Own::NO;
  Verdict verdict;
  // The walk reads the input, which the caller's bytes object keeps alive
  // and nobody can change, and writes only its own nodes and the structs the
  // capsules hold, which no other thread can reach before they are returned.
  // Every exception it sets, it sets with the lock taken back.
  Status built = [&] {
    Unlocked unlocked;
    return columns(b, n, start, shape, schema, array, verdict, own);
  }();
  if (!built.ok()) {
    // A failure of the reader's own, met before the whole document was
    // read, gives way to the decoder's verdict on the rest where it has one.
    Failure f = std::move(built).fail();
    if (own == Own::YES || (own == Own::IF_VALUE_ERROR && PyErr_ExceptionMatches(PyExc_ValueError))) {
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
  if (!verdict.records) {
    refuse(verdict, path);
    return py_fail();
  }
  return made(PyTuple_Pack(2, s.get(), a.get()));
}

}  // namespace wexo::arrow
