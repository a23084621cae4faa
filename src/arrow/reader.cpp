// Reader: values, tables and typed columns into Arrow nodes, read by the
// decoder's own object-free readers in the decoder's order.
#include "arrow/reader.h"

#include "decode/columns_impl.h"

namespace wexo::arrow {

namespace {

// Costs add up without wrapping: past any budget is past it.
inline void add(int64_t& cost, uint64_t k) {
  constexpr uint64_t CAP = uint64_t{1} << 62;
  const uint64_t c = static_cast<uint64_t>(cost) + (k < CAP ? k : CAP);
  cost = static_cast<int64_t>(c < CAP ? c : CAP);
}

// The first of span rows a bitmap marks (all of them where there is none);
// span where it marks none.
int64_t first_present(const uint8_t* bits, uint64_t span) {
  if (!bits) return 0;
  for (uint64_t i = 0; i < span; i += 8) {
    const uint8_t b = bits[i >> 3];
    if (b) {
      const uint64_t r = i + static_cast<uint64_t>(__builtin_ctz(b));
      return static_cast<int64_t>(r < span ? r : span);
    }
  }
  return static_cast<int64_t>(span);
}

}  // namespace

// ---- the sink

// A typed column gives an empty node its type, even when it has no cells;
// and a fresh node is sized for the whole column at once (a hint: a failed
// reservation leaves the appends to grow the buffers, or fail).
Status ArrowSink::start(uint8_t kind, uint64_t n) {
  if (n) rd.reach(column + 1);
  if (node->kind != Kind::EMPTY) return Done{};
  if (node->length == 0) node->reserve(kind, static_cast<int64_t>(bits ? rows : n));
  Kind k = Kind::EMPTY;
  switch (kind) {
    case COL_DELTA_INT: k = Kind::INT; break;
    case COL_DECIMAL: {
      // Its scale, read again by the column: 0 gives ints, 1 to 6 floats.
      // A bad scale fails there, before any cell.
      const Decoder& d = rd.d;
      if (d.pos < d.len && d.buf[d.pos] <= MAX_SCALE) k = d.buf[d.pos] == 0 ? Kind::INT : Kind::FLOAT;
      break;
    }
    case COL_BOOL_BITS: k = Kind::BOOL; break;
    case COL_DICT_STR:
      if (!rd.dictionaries) k = Kind::STR;
      break;  // else its reader
    default: break;  // values: their own; objects: their reader
  }
  return k == Kind::EMPTY ? Done{} : node->take_kind(k, rd.spend);
}

[[gnu::always_inline]] inline Status ArrowSink::value_cell(Decoder&, uint64_t, uint64_t depth) {
  CHECK(gap());
  return rd.value(*node, depth);
}

[[gnu::always_inline]] inline Status ArrowSink::int_cell(uint64_t, int64_t v) {
  CHECK(gap());
  return node->append_int(v, rd.spend);
}

[[gnu::always_inline]] inline Status ArrowSink::decimal_cell(uint64_t, int64_t m, unsigned s) {
  CHECK(gap());
  return node->append_double(decimal_value(m, s), rd.spend);
}

[[gnu::always_inline]] inline Status ArrowSink::bool_cell(uint64_t, bool b) {
  CHECK(gap());
  return node->append_bool(b, rd.spend);
}

// A node that holds only this column's cells takes its dictionary as is;
// one that holds other strings already takes the strings.
Status ArrowSink::dict_begin(const Names& dict) {
  if (!rd.dictionaries || !node->can_take_dict()) return Done{};
  TRY(base, node->dict_begin(rd.d.buf, dict, rd.spend));
  dict_base = base;
  return Done{};
}

[[gnu::always_inline]] inline Status ArrowSink::dict_cell(uint64_t, const Names& dict, uint64_t i) {
  CHECK(gap());
  if (dict_base >= 0) return node->append_index(dict_base + static_cast<int64_t>(i), rd.spend);
  return node->append_str(rd.d.buf + dict[i].start, dict[i].len, rd.spend);
}

Status ArrowSink::objects(Decoder&, uint64_t n, uint64_t depth, const Names& names) {
  return rd.objects(*this, n, depth, names);
}

// ---- the reader

// An object column: a struct row for each row the column spans (null where
// the bitmap has no cell), its sub-columns spread over the same rows.
Status Reader::objects(ArrowSink& sink, uint64_t n, uint64_t depth, const Names& names) {
  add(cost, n * (names.size() + 1));
  sink.cursor = sink.bits ? sink.rows : n;
  return rows(*sink.node, names, sink.cursor, n, sink.bits, depth, false);
}

Status Reader::value(Node& node, uint64_t depth) {
  if (depth > MAX_DEPTH || d.pos >= d.len) return d.no_value(depth);
  reach(depth);
  const uint8_t t = d.buf[d.pos];
  if (t >= TAG_SMALL_INT) {
    ++d.pos;
    return node.append_int(t & 0x7F, spend);
  }
  if ((t & 0xE0) == TAG_SHORT_STR) {
    ++d.pos;
    TRY(s, d.str_span(t & 0x1Fu));
    return node.append_str(d.buf + s, t & 0x1Fu, spend);
  }
  switch (t) {
    case TAG_NONE: ++d.pos; return node.append_null(spend);
    case TAG_FALSE: ++d.pos; return node.append_bool(false, spend);
    case TAG_TRUE: ++d.pos; return node.append_bool(true, spend);
    case TAG_INT: {
      ++d.pos;
      TRY(v, d.int_body());
      return node.append_int(v, spend);
    }
    case TAG_FLOAT: {
      ++d.pos;
      TRY(x, d.float_body());
      int64_t i;
      if (int_valued(x, &i)) return node.append_int(i, spend);
      return node.append_double(x, spend);
    }
    case TAG_STR: {
      ++d.pos;
      TRY(n, d.count());
      TRY(s, d.str_span(n));
      return node.append_str(d.buf + s, n, spend);
    }
    case TAG_STR_REF: {
      ++d.pos;
      TRY(i, d.pool_index());
      const PoolEnt& e = d.pool[i];
      return node.append_str(d.buf + e.start, e.len, spend);
    }
    case TAG_ARRAY: ++d.pos; return array(node, depth);
    case TAG_OBJECT: ++d.pos; return object(node, depth);
    case TAG_TABLE: ++d.pos; return table(node, depth, false);
    case TAG_SPARSE: ++d.pos; return table(node, depth, true);
    case TAG_TYPED_ARRAY: ++d.pos; return typed_array(node, depth);
    case TAG_ANCHOR:
      ++d.pos;
      return anchor(depth, [this, &node](uint64_t e) { return value(node, e); });
    case TAG_ANCHOR_REF:
      ++d.pos;
      return reference(depth, [this, &node](uint64_t e) { return value(node, e); });
    default: break;
  }
  return d.no_value(depth);
}

// TAG_ARRAY | uvarint n | n values: a list row
Status Reader::array(Node& node, uint64_t depth) {
  TRY(n, d.count());
  add(cost, n + 1);
  TRY(list, node.slot(Kind::LIST, false, spend));
  for (uint64_t k = 0; k < n; ++k) CHECK(value(*list->item(), depth + 1));
  return list->end_list();
}

// TAG_OBJECT | uvarint n | n x (key, value): a struct row. A repeated key
// fails after its value, as in the decoder.
Status Reader::object(Node& node, uint64_t depth) {
  TRY(n, d.count());
  add(cost, n + 1);
  Node* row = node.struct_row();
  if (!row) {
    TRY(slotted, node.slot(Kind::STRUCT, false, spend));
    row = slotted;
  }
  if (row->kind == Kind::SKIP) return keyed(n, depth, nullptr, 0);
  const int64_t r = row->length - 1;
  for (uint64_t k = 0; k < n; ++k) {
    // A name given as a pool reference, the commonest in records, is read
    // here; any other through key_span, with the same checks in its order.
    uint64_t start, size, entry;
    if (d.pos < d.len && d.buf[d.pos] == TAG_STR_REF) {
      ++d.pos;
      TRY(i, d.pool_index());
      start = d.pool[i].start;
      size = d.pool[i].len;
      entry = i;
    } else {
      TRY(name, d.key_span());
      start = name.start;
      size = name.len;
      entry = name.entry;
    }
    TRY(f, row->field(d.buf + start, size, entry, spend));
    if (f->born < 0) f->born = r;
    if (repeated(f, r)) {
      NodeOwner scratch;
      TRY(s, scratch.get());
      CHECK(value(*s, depth + 1));
      return d.duplicate_key(start, size, d.pos);
    }
    CHECK(f->pad(r, spend));
    CHECK(value(*f, depth + 1));
  }
  return Done{};
}

// A table or sparse table in a cell: a list row of struct rows.
Status Reader::table(Node& node, uint64_t depth, bool sparse) {
  TRY(names, d.header(false));
  TRY(r, d.table_rows(sparse));
  if (r) reach(depth + 1);
  if (depth == 0) {
    // The root table's strings are pooled as they come: room for about one
    // per cell at once (within what the input can hold), where memory
    // allows, spares the pool its copies as it doubles. Pages never written
    // cost nothing.
    const uint64_t cells = r * names.size();
    const uint64_t most = d.remaining() / 3 + 64;
    (void)d.pool.try_reserve(cells < most ? cells : most);
  }
  // The list and its row dicts; a sparse row holds its present cells only,
  // which its columns add.
  add(cost, r + 1);
  add(cost, sparse ? r : r * (names.size() + 1));
  TRY(list, node.slot(Kind::LIST, false, spend));
  CHECK(rows(*list->item(), names, r, r, nullptr, depth, sparse));
  return list->end_list();
}


// span struct rows into parent (null where bits has no bit), then each
// column into its field over them: of cells cells, or in a sparse table as
// many as its presence bitmap marks.
Status Reader::rows(Node& parent, const Names& names, uint64_t span, uint64_t cells,
                    const uint8_t* bits, uint64_t depth, bool sparse) {
  NodeOwner scratch;
  Node* t = nullptr;
  if (!bits) {
    TRY(all, parent.struct_rows(span, spend));
    t = all;
  }
  for (uint64_t r = 0; bits && r < span; ++r) {
    TRY(row, parent.slot(Kind::STRUCT, !((bits[r >> 3] >> (r & 7)) & 1), spend));
    t = row;
  }
  if (!t) {  // no rows: the columns still give the struct its fields, where it can have them
    if (parent.kind == Kind::EMPTY) CHECK(parent.become_struct(spend));
    if (parent.kind == Kind::STRUCT || parent.kind == Kind::SKIP) {
      t = &parent;
    } else {
      TRY(s, scratch.get());
      t = s;
    }
  }
  const int64_t r0 = t->length - static_cast<int64_t>(span);
  if (t->expect < t->length) t->expect = t->length;
  for (const Key& name : names) {
    TRY(f, t->field(d.buf + name.start, name.len, name.entry, spend));
    CHECK(f->pad(r0, spend));
    Presence has{bits, cells};
    if (sparse) {
      TRY(p, d.presence(span));
      has = p;
      add(cost, has.cells);
    }
    if (f->born < 0) f->born = r0 + first_present(has.bits, span);
    ArrowSink sink{*this, f, has.bits, span, depth + 1};
    CHECK(d.column(has.cells, depth + 1, sink));
    CHECK(f->pad(r0 + static_cast<int64_t>(span), spend));
  }
  return Done{};
}

// TAG_TYPED_ARRAY | uvarint n | one typed column of n cells: a list row
// whose cells lie one level below it, though their column is two down.
Status Reader::typed_array(Node& node, uint64_t depth) {
  TRY(n, d.typed_rows());
  add(cost, n + 1);
  TRY(list, node.slot(Kind::LIST, false, spend));
  ArrowSink sink{*this, list->item(), nullptr, n, depth + 1};
  ++shift;
  CHECK(d.column(n, depth + 1, sink));
  --shift;
  return list->end_list();
}

// TAG_ANCHOR | value: the value itself, whose bytes, cost and depth are kept
// for the references that copy it. Its slot is reserved first, as the
// decoder's is.
template <class Read>
Status Reader::anchor(uint64_t depth, Read&& read) {
  const uint64_t a = anchors.size();
  anchors.push_back(Anchor{d.pos, depth + 1, d.reread != NO_ENTRY ? d.reread : d.pool.size(),
                           0, 0, false});
  const int64_t cost0 = cost;
  const uint64_t deepest0 = deepest;
  const uint64_t level = depth - shift;  // the anchored value's own level
  deepest = level;
  ++shift;
  CHECK(read(depth + 1));
  --shift;
  Anchor& e = anchors[a];
  e.cost = cost - cost0;
  e.deep = deepest - level;
  e.done = true;
  if (deepest0 > deepest) deepest = deepest0;
  return Done{};
}

// TAG_ANCHOR_REF | uvarint index: the anchored value read again from its
// bytes, once the decoder's verdict on the copy is known. Reading it again
// adds nothing to the pool (its strings keep the entries they were given),
// the anchors or the format's budgets, which the first reading charged.
template <class Read>
Status Reader::reference(uint64_t depth, Read&& read) {
  TRY(i, d.ref_index(anchors.size(), [this](uint64_t a) { return anchors[a].done; }));
  const Anchor e = anchors[i];
  Status charged = d.copy_charge(e.cost, e.deep, ambiguous);
  if (!charged.ok()) return charged;
  const uint64_t at = d.pos, reread = d.reread;
  const uint64_t anchored = anchors.size();
  const int64_t size = d.size_budget, cells = d.cell_budget, copies = d.expand_budget;
  const int64_t cost0 = cost;
  const uint64_t deepest0 = deepest, shift0 = shift;
  const bool outer = spend.at == nullptr;
  if (outer) spend.at = &at;  // the copy's own strings are charged at the reference
  d.pos = e.start;
  d.reread = e.pooled;
  d.size_budget = d.cell_budget = d.expand_budget = INT64_MAX / 4;
  Status copied = read(e.depth);
  if (outer) spend.at = nullptr;
  if (!copied.ok()) return copied;
  d.pos = at;
  d.reread = reread;
  while (anchors.size() > anchored) anchors.pop_back();
  d.size_budget = size;
  d.cell_budget = cells;
  d.expand_budget = copies;
  cost = cost0;
  add(cost, static_cast<uint64_t>(e.cost));
  shift = shift0;
  const uint64_t reached = depth - shift + e.deep;
  deepest = deepest0 > reached ? deepest0 : reached;
  return Done{};
}

// ---- paths and skipped values

Result<Node*> Reader::skipper() {
  TRY(s, skip_.get());
  s->kind = Kind::SKIP;
  return s;
}

Status Reader::document(Node& target) {
  if (!path || path->empty()) return value(target, 0);
  return at(target, 0, 0);
}

Status Reader::at(Node& target, uint64_t depth, std::size_t step) {
  if (step == path->size()) return value(target, depth);
  if (depth > MAX_DEPTH || d.pos >= d.len) return d.no_value(depth);
  const uint8_t t = d.buf[d.pos];
  switch (t) {
    case TAG_OBJECT: {
      reach(depth);
      ++d.pos;
      TRY(n, d.count());
      add(cost, n + 1);
      return keyed(n, depth, &target, step);
    }
    case TAG_ARRAY:
      reach(depth);
      ++d.pos;
      return path_array(target, depth, step);
    case TAG_ANCHOR:
      reach(depth);
      ++d.pos;
      return anchor(depth, [&](uint64_t e) { return at(target, e, step); });
    case TAG_ANCHOR_REF:
      reach(depth);
      ++d.pos;
      return reference(depth, [&](uint64_t e) { return at(target, e, step); });
    default: break;
  }
  miss = Miss::NOT_CONTAINER;
  missed_at = step;
  missed_tag = t;
  TRY(skip, skipper());
  return value(*skip, depth);
}

Status Reader::path_array(Node& target, uint64_t depth, std::size_t step) {
  TRY(n, d.count());
  add(cost, n + 1);
  const Step& s = (*path)[step];
  int64_t want = -1;
  if (!s.is_key) {
    const int64_t i = s.index < 0 ? s.index + static_cast<int64_t>(n) : s.index;
    if (i >= 0 && static_cast<uint64_t>(i) < n) want = i;
  }
  if (want < 0) {
    miss = s.is_key ? Miss::NOT_CONTAINER : Miss::NO_INDEX;
    missed_at = step;
    missed_tag = TAG_ARRAY;
  }
  TRY(skip, skipper());
  for (uint64_t k = 0; k < n; ++k) {
    if (static_cast<int64_t>(k) == want) {
      CHECK(at(target, depth + 1, step + 1));
    } else {
      CHECK(value(*skip, depth + 1));
    }
  }
  return Done{};
}

// The object's n keys and values, its tag and count read (and charged).
Status Reader::keyed(uint64_t n, uint64_t depth, Node* target, std::size_t step) {
  TRY(skip, skipper());
  const Step* s = target ? &(*path)[step] : nullptr;
  const bool by_key = s && s->is_key;
  bool found = false;
  const std::size_t base = seen.size();
  Status st = [&]() -> Status {
    for (uint64_t k = 0; k < n; ++k) {
      TRY(name, d.key_span());
      auto same = [&](uint32_t i) {
        const Seen& e = seen[i];
        return i >= base && ((name.entry != NO_ENTRY && e.entry == name.entry) ||
                             (e.len == name.len &&
                              std::memcmp(d.buf + e.start, d.buf + name.start, name.len) == 0));
      };
      uint32_t dup = NameSet::NONE;
      if (!seen.try_room(1) ||
          !seen_set.try_find_or_add(keyed_hash(d.buf + name.start, name.len), same, &dup))
        return no_memory();
      if (dup == NameSet::NONE) seen.push_unchecked(Seen{name.start, name.len, name.entry});
      const bool chosen = by_key && dup == NameSet::NONE && name.len == s->key.size() &&
                          std::memcmp(d.buf + name.start, s->key.data(), name.len) == 0;
      if (chosen) {
        found = true;
        CHECK(at(*target, depth + 1, step + 1));
      } else {
        CHECK(value(*skip, depth + 1));
      }
      if (dup != NameSet::NONE) return d.duplicate_key(name.start, name.len, d.pos);
    }
    return Done{};
  }();
  while (seen.size() > base) {
    seen.pop_back();
    seen_set.pop();
  }
  if (st.ok() && s && !found) {
    miss = by_key ? Miss::NO_KEY : Miss::NOT_CONTAINER;
    missed_at = step;
    missed_tag = TAG_OBJECT;
  }
  return st;
}

}  // namespace wexo::arrow

namespace wexo {
template Status Decoder::column<arrow::ArrowSink>(uint64_t, uint64_t, arrow::ArrowSink&);
}
