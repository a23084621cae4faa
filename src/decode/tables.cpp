// table and row_dicts: lists of records stored column by column.
#include "decode/columns.h"

namespace wexo {

// header | uvarint R | one typed column of R cells per name
Result<Owned> Decoder::table(uint64_t depth) {
  TRY(names, header());
  TRY(r, row_count());
  // A check only: each column charges R + 1 as it starts.
  if (size_budget < static_cast<int64_t>(r + 1)) return bad("decoded size too large", pos);
  TRY(set, row_dicts(r));
  // Columns run one after another, all R cells of one before the next; every
  // row dict therefore holds the names in header order, one key object each.
  for (const Key& name : names) {
    DictSink sink{set.rows.data(), r, name.str_obj.get()};
    CHECK(column(r, depth + 1, sink));
  }
  return std::move(set.list);
}

// A list of count new empty dicts, and the same dicts as borrowed pointers.
Result<Decoder::RowSet> Decoder::row_dicts(uint64_t count) {
  RowSet set;
  TRY(list, made(PyList_New(static_cast<Py_ssize_t>(count))));
  set.rows.reserve(count);
  for (uint64_t i = 0; i < count; ++i) {
    PyObject* d = PyDict_New();  // the list takes it over below
    if (!d) return py_fail();
    if (PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), d) < 0) return py_fail();
    set.rows.push_back(d);
  }
  set.list = std::move(list);
  return set;
}

}  // namespace wexo
