// Writes lists of dicts as tables (every row with the same keys in the same
// order) or sparse tables (one column order that keeps every row's keys in
// their order, where that comes out smaller than the objects).
#include <cstring>

#include "encode/encoder.h"

namespace wexo {
namespace enc {

// The distinct key names of a list of rows, numbered by first appearance,
// and each row's keys as those numbers.
struct RowKeys {
  StrMap map;            // text -> number
  Vec<Child> names;      // number -> the first key with that text
  Vec<uint64_t> counts;  // number -> rows holding it
  Vec<uint32_t> keys;    // every row's key numbers, row after row
  Vec<uint64_t> starts;  // row r's numbers are keys[starts[r] .. starts[r + 1]]
};

namespace {

bool same_text(const Child& a, const Child& b) {
  if (a.obj && a.obj == b.obj) return true;
  uint64_t n = 0, m = 0;
  const char* p = text_of(a, &n);
  const char* q = text_of(b, &m);
  if (!p || !q) PyErr_Clear();  // strings the scan read already: cannot fail
  return p && q && n == m && std::memcmp(p, q, static_cast<std::size_t>(n)) == 0;
}

// One column order in which every row's keys appear in their own order:
// a topological order of "a comes right before b in some row", ties broken
// by first appearance, so rows that agree keep their order. False when the
// rows disagree (a cycle).
Result<bool> header_order(const RowKeys& nm, Vec<uint32_t>& order) {
  const std::size_t count = nm.names.size();
  Vec<uint64_t> needs;
  Vec<uint64_t> starts;  // edges out of a: after[starts[a] .. starts[a + 1]]
  Vec<uint32_t> after;
  Vec<uint64_t> edges;  // (a << 32 | b), in the order found
  if (!needs.try_resize_for_overwrite(count) || !starts.try_resize_for_overwrite(count + 1))
    return no_memory();
  for (std::size_t a = 0; a < count; ++a) needs[a] = 0;
  for (std::size_t a = 0; a <= count; ++a) starts[a] = 0;
  KeyMap seen;  // the pairs (a, b) found so far
  const std::size_t rows = nm.starts.size() - 1;
  for (std::size_t r = 0; r < rows; ++r) {
    for (uint64_t k = nm.starts[r] + 1; k < nm.starts[r + 1]; ++k) {
      const uint32_t a = nm.keys[k - 1], b = nm.keys[k];
      bool added = false;
      if (!seen.add(uint64_t{a} << 32 | b, 0, &added)) return no_memory();
      if (!added) continue;
      if (!edges.try_push(uint64_t{a} << 32 | b)) return no_memory();
      needs[b] += 1;
      starts[a + 1] += 1;
    }
  }
  for (std::size_t a = 0; a < count; ++a) starts[a + 1] += starts[a];
  if (!after.try_resize_for_overwrite(edges.size())) return no_memory();
  {
    Vec<uint64_t> fill;
    if (!fill.try_resize_for_overwrite(count)) return no_memory();
    for (std::size_t a = 0; a < count; ++a) fill[a] = starts[a];
    for (std::size_t e = 0; e < edges.size(); ++e)
      after[fill[edges[e] >> 32]++] = static_cast<uint32_t>(edges[e]);
  }
  // A binary min-heap of ready names, by number.
  Vec<uint32_t> heap;
  if (!heap.try_reserve(count) || !order.try_reserve(count)) return no_memory();
  auto push = [&heap](uint32_t v) {
    std::size_t i = heap.size();
    heap.push_unchecked(v);
    while (i && heap[(i - 1) / 2] > heap[i]) {
      const uint32_t t = heap[i];
      heap[i] = heap[(i - 1) / 2];
      heap[(i - 1) / 2] = t;
      i = (i - 1) / 2;
    }
  };
  auto pop = [&heap]() {
    const uint32_t top = heap[0];
    heap[0] = heap.back();
    heap.pop_back();
    std::size_t i = 0;
    for (;;) {
      std::size_t m = i;
      const std::size_t l = 2 * i + 1, r = 2 * i + 2;
      if (l < heap.size() && heap[l] < heap[m]) m = l;
      if (r < heap.size() && heap[r] < heap[m]) m = r;
      if (m == i) break;
      const uint32_t t = heap[i];
      heap[i] = heap[m];
      heap[m] = t;
      i = m;
    }
    return top;
  };
  for (std::size_t a = 0; a < count; ++a)
    if (!needs[a]) push(static_cast<uint32_t>(a));
  while (heap.size()) {
    const uint32_t a = pop();
    order.push_unchecked(a);
    for (uint64_t e = starts[a]; e < starts[a + 1]; ++e)
      if (--needs[after[e]] == 0) push(after[e]);
  }
  return order.size() == count;
}

}  // namespace

bool Writer::same_keys(uint32_t a, uint32_t b) const {
  const Node& x = s.nodes[a];
  const Node& y = s.nodes[b];
  if (x.n != y.n) return false;
  if (a == b) return true;
  for (uint64_t k = 0; k < x.n; ++k)
    if (!same_text(s.items[x.first + 2 * k], s.items[y.first + 2 * k])) return false;
  return true;
}

// A list of 2 or more dicts as a table or a sparse table; false when
// neither applies and the list is written as an array.
Result<bool> Writer::rows(uint32_t index, uint64_t depth) {
  const Node node = s.nodes[index];
  const uint64_t n = node.n;
  for (uint64_t r = 0; r < n; ++r)
    if (s.items[node.first + r].kind != K_DICT) return false;
  if (s.lazy && !s.source && on(OPT_TABLES)) {
    TRY(done, direct_table(index, depth));
    if (done) return true;
  }
  for (uint64_t r = 0; r < n; ++r) CHECK(ensure_item(node.first + r, depth + 1));
  const uint32_t first = s.items[node.first].node;
  if (s.nodes[first].n && on(OPT_TABLES)) {
    bool same = true;
    for (uint64_t r = 1; r < n && same; ++r) same = same_keys(first, s.items[node.first + r].node);
    if (same) {
      CHECK(table(index, depth));
      return true;
    }
  }
  if (!on(OPT_SPARSE)) return false;
  RowKeys nm;
  if (!nm.starts.try_push(0)) return no_memory();
  for (uint64_t r = 0; r < n; ++r) {
    const Node row = s.nodes[s.items[node.first + r].node];
    for (uint64_t k = 0; k < row.n; ++k) {
      const Child key = s.items[row.first + 2 * k];
      uint64_t len = 0;
      const char* p = text_of(key, &len);
      const Py_hash_t h = p ? text_hash(key.obj, p, len) : -1;
      if (h == -1) return py_fail();
      StrMap::Entry* e = nullptr;
      if (!nm.map.find_or_add(key.obj, p, len, h, nm.names.size(), &e)) return no_memory();
      const uint64_t id = e ? e->value : nm.names.size();
      if (!e && (!nm.names.try_push(key) || !nm.counts.try_push(0))) return no_memory();
      nm.counts[id] += 1;
      if (!nm.keys.try_push(static_cast<uint32_t>(id))) return no_memory();
    }
    if (!nm.starts.try_push(nm.keys.size())) return no_memory();
  }
  Vec<uint32_t> header;
  TRY(ordered, header_order(nm, header));
  if (!ordered || !header.size()) return false;
  // The sparse layout's fixed cost against the keys that objects repeat.
  const uint64_t names = header.size();
  uint64_t spelled = 0;
  for (std::size_t j = 0; j < names; ++j) {
    uint64_t len = 0;
    if (!text_of(nm.names[header[j]], &len)) return py_fail();
    spelled += inline_size(len);
  }
  const uint64_t bitmap = (n + 7) / 8;
  uint64_t sparse_size = uvarint_len(names) + spelled + uvarint_len(n);
  for (std::size_t j = 0; j < names; ++j) sparse_size += 2 + (nm.counts[header[j]] < n ? bitmap : 0);
  uint64_t objects = spelled;
  for (uint64_t r = 0; r < n; ++r) {
    const uint64_t len = nm.starts[r + 1] - nm.starts[r];
    objects += 1 + uvarint_len(len) + 2 * len;
  }
  // objects - 2 * names may go below zero: compare without subtracting.
  if (!(sparse_size + 2 * names < objects)) return false;
  CHECK(sparse(index, header, nm, depth));
  return true;
}

// A list of dicts of the lazy writer as a table, straight from the dicts:
// each row's keys checked against the first row's in order, its values
// classified into one block of cells, column after column, with no
// snapshot of each row. False, having written nothing, where the keys
// differ: the rows then take the snapshot's way (a sparse table, or an array).
Result<bool> Writer::direct_table(uint32_t index, uint64_t depth) {
  auto lazy_fail = [this]() {
    (void)lazy_failure();  // the full scan takes the tree, or our exception ends it
    return py_fail();
  };
  const Node node = s.nodes[index];
  const uint64_t n = node.n;
  for (uint64_t r = 0; r < n; ++r)
    if (s.items[node.first + r].node != NO_NODE) return false;
  const Py_ssize_t len0 = PyDict_Size(s.items[node.first].obj);
  if (len0 < 0) return py_fail();
  const uint64_t width = static_cast<uint64_t>(len0);
  if (!width) return false;
  if (width > MAX_COUNT || depth + 1 >= MAX_DEPTH) {
    full = true;
    return py_fail();
  }
  const uint64_t values = s.values;
  Vec<Child> names;
  if (!names.try_resize_for_overwrite(width) || width > UINT64_MAX / sizeof(Child) / n ||
      !table_cells_.try_resize_for_overwrite(width * n))
    return no_memory();
  Child* cells = table_cells_.data();
  for (uint64_t r = 0; r < n; ++r) {
    PyObject* row = s.items[node.first + r].obj;
    if (PyDict_Size(row) != len0) {
      s.values = values;
      return false;
    }
    s.values += width;
    if (s.values > MAX_EXPANDED) {
      full = true;
      return py_fail();
    }
    Py_ssize_t pos = 0;
    PyObject *key, *x;  // borrowed
    for (uint64_t k = 0; k < width && PyDict_Next(row, &pos, &key, &x); ++k) {
      if (Py_TYPE(key) != &PyUnicode_Type) {
        full = true;
        return py_fail();
      }
      if (r == 0) {
        if (!classify(key, names[k], false)) return lazy_fail();
      } else if (key != names[k].obj) {
        Py_ssize_t size = 0;
        const char* p = PyUnicode_AsUTF8AndSize(key, &size);
        if (!p) return lazy_fail();
        uint64_t m = 0;
        const char* q = text_of(names[k], &m);
        if (!q) return py_fail();
        if (m != static_cast<uint64_t>(size) || std::memcmp(p, q, static_cast<std::size_t>(m))) {
          s.values = values;
          return false;
        }
      }
      if (!classify(x, cells[k * n + r], false)) return lazy_fail();
    }
  }
  // TAG_TABLE | uvarint names | names | uvarint rows | one column per name
  if (!room(11)) return py_fail();
  varint_after(TAG_TABLE, width);
  for (uint64_t k = 0; k < width; ++k) WROTE(text(names[k]));
  if (!room(11)) return py_fail();
  varint(n);
  counted += n;
  // The block stays the writer's while its columns are written: a nested
  // table takes cells of its own.
  Vec<Child> block;
  block.swap(table_cells_);
  auto columns = [&]() -> Status {
    for (uint64_t k = 0; k < width; ++k) CHECK(column(block.data() + k * n, n, depth + 1));
    return Done{};
  };
  Status st = columns();
  if (!table_cells_.capacity()) block.swap(table_cells_);
  if (!st.ok()) return std::move(st).fail();
  return true;
}

// TAG_TABLE | uvarint names | names | uvarint rows | one column per name
Status Writer::table(uint32_t index, uint64_t depth) {
  const Node node = s.nodes[index];
  const Node row0 = s.nodes[s.items[node.first].node];
  if (!room(11)) return py_fail();
  byte(TAG_TABLE);
  varint(row0.n);
  for (uint64_t k = 0; k < row0.n; ++k) WROTE(text(s.items[row0.first + 2 * k]));
  if (!room(11)) return py_fail();
  varint(node.n);
  counted += node.n;
  Vec<Child> cells;
  if (!cells.try_resize_for_overwrite(node.n)) return no_memory();
  for (uint64_t k = 0; k < row0.n; ++k) {
    for (uint64_t r = 0; r < node.n; ++r)
      cells[r] = s.items[s.nodes[s.items[node.first + r].node].first + 2 * k + 1];
    CHECK(column(cells.data(), node.n, depth + 1));
  }
  return Done{};
}

// DOC_MAGIC | DOC_VERSION | TAG_TABLE | uvarint names | names | uvarint rows
// | one column per name, as document() writes a list of such rows: each
// column's cells and what they hold live while the column is written.
Status Writer::root_table(const Child* names, uint64_t count, uint64_t rows, Columns& source) {
  for (std::size_t k = 0; k < s.nodes.size(); ++k) s.nodes[k].slot = NO_SLOT;
  out.clear();
  if (!room(13)) return py_fail();
  byte(DOC_MAGIC);
  byte(DOC_VERSION);
  byte(TAG_TABLE);
  varint(count);
  for (uint64_t k = 0; k < count; ++k) WROTE(text(names[k]));
  if (!room(11)) return py_fail();
  varint(rows);
  counted += rows;
  Vec<Child> cells;
  if (!cells.try_resize_for_overwrite(rows)) return no_memory();
  for (uint64_t k = 0; k < count; ++k)
    CHECK(source_column(source, source.field(Columns::ROOT, k), rows, cells, 1));
  return Done{};
}

// One column of a source's table. A column of dicts of the same keys is
// written as column() writes it, an object column, from the source's
// columns of its fields, without a node per dict.
Status Writer::source_column(Columns& source, uint64_t handle, uint64_t rows, Vec<Child>& cells,
                             uint64_t depth) {
  const uint64_t fields = on(OPT_OBJECT_COLUMNS) ? source.object_fields(handle) : 0;
  if (fields) {
    // COL_OBJECT | uvarint names | names | one column per name
    charged += rows + 1;
    if (!room(11)) return py_fail();
    byte(COL_OBJECT);
    varint(fields);
    counted += rows;
    for (uint64_t j = 0; j < fields; ++j) WROTE(text(source.field_name(handle, j)));
    for (uint64_t j = 0; j < fields; ++j)
      CHECK(source_column(source, source.field(handle, j), rows, cells, depth + 1));
    return Done{};
  }
  const std::size_t nodes = s.nodes.size(), items = s.items.size();
  auto one = [&]() -> Status {
    CHECK(source.fill(handle, s, cells));
    return column(cells.data(), rows, depth);
  };
  Status st = one();
  s.nodes.set_size(nodes);
  s.items.set_size(items);
  return st;
}

// TAG_SPARSE | uvarint names | names | uvarint rows | per name:
// PRESENCE_ALL | column of every row, or PRESENCE_BITMAP | bitmap | column
// of the rows that hold it
Status Writer::sparse(uint32_t index, const Vec<uint32_t>& header, const RowKeys& nm,
                      uint64_t depth) {
  const Node node = s.nodes[index];
  const uint64_t n = node.n;
  if (!room(11)) return py_fail();
  byte(TAG_SPARSE);
  varint(header.size());
  for (std::size_t j = 0; j < header.size(); ++j) WROTE(text(nm.names[header[j]]));
  if (!room(11)) return py_fail();
  varint(n);
  charged += 2 * n;
  counted += n;
  // Each name's cells in row order: present[at[id] .. at[id + 1]].
  const std::size_t count = nm.names.size();
  Vec<uint64_t> at;
  Vec<uint64_t> rows_of;
  Vec<Child> cells;
  if (!at.try_resize_for_overwrite(count + 1) ||
      !rows_of.try_resize_for_overwrite(nm.keys.size()) ||
      !cells.try_resize_for_overwrite(nm.keys.size()))
    return py_fail();
  at[0] = 0;
  for (std::size_t id = 0; id < count; ++id) at[id + 1] = at[id] + nm.counts[id];
  {
    Vec<uint64_t> fill;
    if (!fill.try_resize_for_overwrite(count)) return no_memory();
    for (std::size_t id = 0; id < count; ++id) fill[id] = at[id];
    for (uint64_t r = 0; r < n; ++r) {
      const Node row = s.nodes[s.items[node.first + r].node];
      for (uint64_t k = 0; k < row.n; ++k) {
        const uint64_t slot = fill[nm.keys[nm.starts[r] + k]]++;
        rows_of[slot] = r;
        cells[slot] = s.items[row.first + 2 * k + 1];
      }
    }
  }
  const uint64_t bytes = (n + 7) / 8;
  for (std::size_t j = 0; j < header.size(); ++j) {
    const uint32_t id = header[j];
    const uint64_t present = nm.counts[id];
    if (!room(1 + bytes)) return py_fail();
    if (present == n) {
      byte(PRESENCE_ALL);
    } else {
      byte(PRESENCE_BITMAP);
      uint8_t* bits = out.data() + out.size();
      std::memset(bits, 0, bytes);
      for (uint64_t k = at[id]; k < at[id + 1]; ++k)
        bits[rows_of[k] >> 3] = static_cast<uint8_t>(bits[rows_of[k] >> 3] | 1u << (rows_of[k] & 7));
      out.set_size(out.size() + bytes);
    }
    CHECK(column(cells.data() + at[id], present, depth + 1));
  }
  return Done{};
}

}  // namespace enc
}  // namespace wexo
