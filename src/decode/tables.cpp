// table and row_dicts: lists of records stored column by column.
#include "decode/columns.h"

namespace wexo {

// header | uvarint R | one typed column of R cells per name
Result<Owned> Decoder::table(uint64_t depth) {
  TRY(names, header());
  TRY(r, table_rows(false));
  const bool presized = presize(r, names.size());
  TRY(set, row_dicts(r, presized ? &names : nullptr));
  owed_rows += presized ? r : 0;
  // Columns run one after another, all R cells of one before the next; every
  // row dict therefore holds the names in header order, one key object each.
  for (const Key& name : names) {
    DictSink sink{set.rows.data(), r, name.str_obj.get()};
    CHECK(column(r, depth + 1, sink));
  }
  owed_rows -= presized ? r : 0;
  return std::move(set.list);
}

Result<Owned> row_template(const Names& names) {
  TRY(tmpl, made(PyDict_New()));
  for (const Key& name : names)
    if (PyDict_SetItem(tmpl.get(), name.str_obj.get(), Py_None) < 0) return py_fail();
  return tmpl;
}

// A list of count new dicts, and the same dicts as borrowed pointers. Without
// keys the dicts are empty (sparse rows leave absent cells out). With keys,
// every dict is a copy of one template: since each column fills every row,
// the placeholders are all replaced before the list is returned, and nothing
// can observe them before (an anchor enclosing the table is not complete, so
// no reference can copy it). Copies share the template's key layout, so no
// row grows or rehashes as its cells arrive; key order and key objects stay
// those of the header.
Result<Decoder::RowSet> Decoder::row_dicts(uint64_t count, const Names* keys) {
  RowSet set;
  Owned tmpl;
  if (keys && count > 0) {
    TRY(t, row_template(*keys));
    tmpl = std::move(t);
  }
  TRY(list, made(PyList_New(static_cast<Py_ssize_t>(count))));
  set.rows.reserve(count);
  for (uint64_t i = 0; i < count; ++i) {
    PyObject* d = tmpl ? PyDict_Copy(tmpl.get()) : PyDict_New();  // the list takes it over
    if (!d) return py_fail();
    if (PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), d) < 0) return py_fail();
    set.rows.push_back(d);
  }
  set.list = std::move(list);
  return set;
}

}  // namespace wexo
