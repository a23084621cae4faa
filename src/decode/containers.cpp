// array and object: the generic containers.
#include "decode/decoder.h"

namespace wexo {

[[gnu::cold, gnu::noinline]] Failure Decoder::duplicate_key(uint64_t start, uint64_t n,
                                                            uint64_t at) const {
  Str msg("duplicate key '");
  msg.append(reinterpret_cast<const char*>(buf + start), n);  // as they are, a zero byte included
  msg += '\'';
  return bad(msg, at);
}

// TAG_ARRAY | uvarint n | n values
Result<Owned> Decoder::array(uint64_t depth) {
  TRY(n, count());
  // Nested arrays each bound their count by the same remaining bytes, so
  // reserving every announced slot would let a small document reserve
  // hundreds of slots per byte before failing. A list is pre-sized only while
  // the announced elements of all open pre-sized arrays still fit in the
  // remaining bytes; otherwise the document cannot succeed, and the list just
  // grows as its elements arrive until the decode fails.
  if (owed + n <= remaining()) {
    TRY(list, made(PyList_New(static_cast<Py_ssize_t>(n))));
    owed += n;
    for (uint64_t k = 0; k < n; ++k) {
      --owed;
      // A finite float, the element of numeric arrays, is placed directly;
      // anything else, faults included, goes through value().
      if (depth < MAX_DEPTH && len - pos > 8 && buf[pos] == TAG_FLOAT) {
        const uint64_t bits = load_le64(buf + pos + 1);
        if (finite_bits(bits)) {
          pos += 9;
          double x;
          std::memcpy(&x, &bits, sizeof x);
          PyObject* num = number_obj(x);
          if (!num || PyList_SetItem(list.get(), static_cast<Py_ssize_t>(k), num) < 0)
            return py_fail();
          continue;
        }
      }
      TRY(item, value(depth + 1));
      if (PyList_SetItem(list.get(), static_cast<Py_ssize_t>(k), item.release()) < 0)
        return py_fail();
    }
    return list;
  }
  TRY(list, made(PyList_New(0)));
  for (uint64_t k = 0; k < n; ++k) {
    TRY(item, value(depth + 1));
    if (PyList_Append(list.get(), item.get()) < 0) return py_fail();
  }
  return list;
}

// TAG_OBJECT | uvarint n | n x (key, value)
Result<Owned> Decoder::object(uint64_t depth) {
  TRY(n, count());
  TRY(dict, made(PyDict_New()));
  for (uint64_t k = 0; k < n; ++k) {
    // A key given as a pool reference (the commonest in records) is the
    // pool's own object, which the pool keeps alive: read here, it needs no
    // reference of its own. The checks are key()'s, in its order.
    PyObject* name;
    uint64_t start, size;
    Owned own;
    if (pos < len && buf[pos] == TAG_STR_REF) {
      ++pos;
      TRY(i, pool_index());
      TRY(obj, pool_obj(i));
      const PoolEnt& e = pool[i];
      name = obj;
      start = e.start;
      size = e.len;
    } else {
      TRY(other, key());
      own = std::move(other.str_obj);
      name = own.get();
      start = other.start;
      size = other.len;
    }
    TRY(item, value(depth + 1));
    // A key already present leaves the size unchanged: no set of seen keys.
    // Every earlier entry grew the dict by one, so its size before is k.
    if (PyDict_SetItem(dict.get(), name, item.get()) < 0) return py_fail();
    if (static_cast<uint64_t>(PyDict_Size(dict.get())) == k)
      return duplicate_key(start, size, pos);
  }
  return dict;
}

}  // namespace wexo
