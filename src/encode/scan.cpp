// scan: the encoder's first pass. Walks the tree without recursion, refuses
// what the format cannot hold (naming the path of the offending value, in
// document order), and records a snapshot of every container with its
// height, uses and expanded size.
//
// Two modes. While the tree holds only exact lists, tuples and dicts, no code
// of the caller's can run during the encode, so the snapshot borrows the
// caller's objects. The first container of a subclass (whose iteration is
// the caller's code, free to change the tree) restarts the scan in the safe
// mode: every container is copied as it is reached, and the writer reads
// only those copies, which nothing else can touch.
//
// A value of no type the encoder writes is converted into what is written in
// its place, held until the encode ends, and entered in turn at the same
// path. Exact datetimes (naive or with a datetime.timezone), dates, naive
// times and UUIDs become strings in either mode: reading them runs none of
// the caller's code. Anything else (an Enum member's value, a dataclass's
// fields, a subclass of those types, dumps's default) restarts the scan in
// the safe mode before any of the caller's code runs, and is converted there.
#include <cmath>
#include <cstdio>

#include "encode/encoder.h"

namespace wexo {
namespace enc {

namespace {

uint64_t identity(PyObject* obj) { return reinterpret_cast<uintptr_t>(obj); }

// One open container of the walk.
struct Frame {
  uint32_t node;
  PyObject* src;       // what is read: the container, or our copy of it
  bool pairs;          // src is a list of (key, value) tuples
  Py_ssize_t dict_pos;  // PyDict_Next position, for a dict read in place
  uint64_t i;          // the element being visited
  uint64_t tallest;
  uint64_t count;
};

enum class Mode { fast, safe, restart };

struct Walker {
  Scan& s;
  Mode mode;
  KeyMap map;  // containers that may be held in several places, but the root: identity to node
  Vec<Frame> frames;
  PyObject* root = nullptr;

  // Messages name a path, built only when one is raised. count frames
  // contribute their current element: frames.size() names the element being
  // entered, frames.size() - 1 the container it is in.
  Owned path(std::size_t count);
  // "what at PATH", then tail.
  Status fail(PyObject* type, PyObject* what, std::size_t count, const char* tail = "");
  Status fail(PyObject* type, const char* what, std::size_t count);

  // What the element at items[k] is; pushes a frame for a new container.
  Status enter(uint64_t k, PyObject* v);
  // One step of enter: *next is set (held in s.held) when v is converted
  // and what it became is to be entered in its place.
  Status enter_one(uint64_t k, PyObject* v, unsigned chain, PyObject** next);

  // The types converted, from the modules the program has imported: no
  // object can be of a type whose module is not loaded.
  struct Kinds {
    Owned datetime, date, time, timezone, uuid, enum_;
    Owned datetime_iso, date_iso, time_iso;  // their isoformat, unbound
    Owned fields;                            // dataclasses.fields
    Owned shape_type, shape_names;  // the last dataclass met and its field names
    Owned plain_type;               // the last type met that is no dataclass
    Owned utc;                               // datetime.timezone.utc
    Owned tzinfo, int_, value, utcoffset;    // attribute names
    // year, month, day, hour, minute, second, microsecond; days, seconds,
    // microseconds of a timedelta
    Owned parts[7], delta[3];
    bool loaded = false;
  } kinds;
  Status load_kinds();
  // The conversions that run none of the caller's code, for the fast mode.
  Result<Owned> quick(PyObject* v);
  Result<Owned> iso(PyObject* v, int from, int to, PyObject* zone);
  Result<Owned> dataclass(PyObject* v);
  Result<Owned> convert(PyObject* v, bool* aware_time);
  Status finish();
  Status run(PyObject* root);
};

bool is_ident(const char* p, Py_ssize_t n) {
  if (n == 0) return false;
  for (Py_ssize_t i = 0; i < n; ++i) {
    const char c = p[i];
    const bool alpha = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_';
    if (!alpha && !(i > 0 && c >= '0' && c <= '9')) return false;
  }
  return true;
}

// One step of a path: [3] for a list element, .id or ["odd key"] for a member.
Owned segment(const Child* key, uint64_t index) {
  if (!key) return Owned::steal(PyUnicode_FromFormat("[%llu]", static_cast<unsigned long long>(index)));
  Py_ssize_t n = 0;
  const char* p = PyUnicode_AsUTF8AndSize(key->obj, &n);
  if (!p) PyErr_Clear();  // a lone surrogate: escaped below, like any odd key
  if (p && is_ident(p, n)) return Owned::steal(PyUnicode_FromFormat(".%U", key->obj));
  Owned a = Owned::steal(PyObject_CallMethod(key->obj, "replace", "ss", "\\", "\\\\"));
  if (!a) return a;
  Owned b = Owned::steal(PyObject_CallMethod(a.get(), "replace", "ss", "\"", "\\\""));
  if (!b) return b;
  return Owned::steal(PyUnicode_FromFormat("[\"%U\"]", b.get()));
}

// A step of at most CUT_STEP characters: a longer one keeps its start and "...".
constexpr Py_ssize_t PATH_LIMIT = 60, CUT_STEP = 24;

Owned cut_step(Owned step) {
  if (!step || PyUnicode_GetLength(step.get()) <= CUT_STEP) return step;
  Owned head = Owned::steal(PyUnicode_Substring(step.get(), 0, CUT_STEP - 3));
  if (!head) return head;
  return Owned::steal(PyUnicode_FromFormat("%U...", head.get()));
}

// The path through the current elements of the first count frames: "$" and
// one step per frame. A path longer than PATH_LIMIT characters keeps its first
// two steps and its last, with the depth: $[0][0]...[0] (depth 513).
Owned Walker::path(std::size_t count) {
  const std::size_t n = count < frames.size() ? count : frames.size();
  Owned text = Owned::steal(PyUnicode_FromString("$"));
  Owned first, second, last;
  for (std::size_t k = 0; text && k < n; ++k) {
    const Frame& f = frames[k];
    const Node& node = s.nodes[f.node];
    Owned step = segment(node.dict ? &s.items[node.first + 2 * f.i] : nullptr, f.i);
    if (!step) return step;
    text = Owned::steal(PyUnicode_Concat(text.get(), step.get()));
    if (k == 0) first = Owned::borrow(step.get());
    if (k == 1) second = Owned::borrow(step.get());
    last = std::move(step);
  }
  if (!text || PyUnicode_GetLength(text.get()) <= PATH_LIMIT) return text;
  if (n < 4) {  // a few long steps: the middle goes
    const Py_ssize_t size = PyUnicode_GetLength(text.get()), half = PATH_LIMIT / 2;
    Owned head = Owned::steal(PyUnicode_Substring(text.get(), 0, half));
    Owned tail = Owned::steal(PyUnicode_Substring(text.get(), size - half, size));
    if (!head || !tail) return Owned();
    return Owned::steal(PyUnicode_FromFormat("%U...%U", head.get(), tail.get()));
  }
  first = cut_step(std::move(first));
  second = cut_step(std::move(second));
  last = cut_step(std::move(last));
  if (!first || !second || !last) return Owned();
  return Owned::steal(PyUnicode_FromFormat("$%U%U...%U (depth %zu)", first.get(), second.get(),
                                           last.get(), n));
}

Status Walker::fail(PyObject* type, PyObject* what, std::size_t count, const char* tail) {
  if (!what) return py_fail();
  Owned where = path(count);
  if (!where) return py_fail();
  PyErr_Format(type, "%U at %U%s", what, where.get(), tail);
  return py_fail();
}

Status Walker::fail(PyObject* type, const char* what, std::size_t count) {
  Owned text = Owned::steal(PyUnicode_FromString(what));
  return fail(type, text.get(), count);
}

// What a refusal of a type adds when dumps was given no default.
constexpr const char* NO_HOOK_HINT = " (a default= function can convert it)";

// A type's name as a message gives it: bytes, set, numpy.bool_, decimal.Decimal.
Owned type_name(PyTypeObject* type) {
  PyObject* t = reinterpret_cast<PyObject*>(type);
  Owned name = Owned::steal(PyObject_GetAttrString(t, "__qualname__"));
  if (!name) return name;
  Owned module = Owned::steal(PyObject_GetAttrString(t, "__module__"));
  if (!module) {
    PyErr_Clear();
    return name;
  }
  if (!PyUnicode_Check(module.get()) ||
      PyUnicode_CompareWithASCIIString(module.get(), "builtins") == 0)
    return name;
  return Owned::steal(PyUnicode_FromFormat("%U.%U", module.get(), name.get()));
}

// None, True and False.
bool constant(PyObject* v, Child& c) {
  if (v != Py_None && v != Py_True && v != Py_False) return false;
  c.kind = v == Py_None ? K_NONE : v == Py_True ? K_TRUE : K_FALSE;
  return true;
}

// The scalar kinds, and the refusal of anything else that is not a container.
// Returns false with the message in *why (a TypeError when *type_error).
bool scalar(PyObject* v, Child& c, const char** why, bool* type_error, bool null_nonfinite) {
  if (constant(v, c)) return true;
  if (PyUnicode_Check(v)) {
    Py_ssize_t n = 0;
    const char* p = PyUnicode_AsUTF8AndSize(v, &n);
    if (!p) {
      if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) {
        *why = nullptr;  // MemoryError: passed on as it is
        return false;
      }
      PyErr_Clear();
      *why = "string is not valid UTF-8 (lone surrogate)";
      *type_error = false;
      return false;
    }
    c.kind = K_STR;
    c.exact = PyUnicode_CheckExact(v);
    set_text(c, p, n);
    return true;
  }
  if (PyLong_Check(v)) {
    int overflow = 0;
    const long long x = PyLong_AsLongLongAndOverflow(v, &overflow);
    if (overflow) {
      *why = "int outside the signed 64-bit range";
      *type_error = false;
      return false;
    }
    if (x == -1 && PyErr_Occurred()) {
      *why = nullptr;
      return false;
    }
    c.kind = K_INT;
    c.exact = PyLong_CheckExact(v);
    c.i = x;
    return true;
  }
  if (PyFloat_Check(v)) {
    const double x = PyFloat_AsDouble(v);
    if (!std::isfinite(x) && null_nonfinite) {
      c.kind = K_NONE;
      c.obj = Py_None;  // never freed
      c.exact = true;
      return true;
    }
    if (!std::isfinite(x)) {
      *why = "float is not finite";
      *type_error = false;
      return false;
    }
    c.kind = K_FLOAT;
    c.exact = PyFloat_CheckExact(v);
    c.f = x;
    return true;
  }
  *why = "unsupported type";
  *type_error = true;
  return false;
}

// A module the program has imported, or null.
Result<Owned> imported(const char* name) {
  Owned text = Owned::steal(PyUnicode_FromString(name));
  if (!text) return py_fail();
  Owned m = Owned::steal(PyImport_GetModule(text.get()));
  if (!m && PyErr_Occurred()) return py_fail();
  return m;
}

// The attribute name of module (or null) and, when isoformat, that type's
// isoformat too.
Status kind(const Owned& module, const char* name, Owned& type, Owned* iso) {
  if (!module) return Done{};
  TRY(t, made(PyObject_GetAttrString(module.get(), name)));
  if (!PyType_Check(t.get())) return Done{};
  if (iso) {
    TRY(method, made(PyObject_GetAttrString(t.get(), "isoformat")));
    *iso = std::move(method);
  }
  type = std::move(t);
  return Done{};
}

Status Walker::load_kinds() {
  if (kinds.loaded) return Done{};
  TRY(tzinfo, made(PyUnicode_InternFromString("tzinfo")));
  TRY(int_, made(PyUnicode_InternFromString("int")));
  TRY(value, made(PyUnicode_InternFromString("value")));
  kinds.tzinfo = std::move(tzinfo);
  kinds.int_ = std::move(int_);
  kinds.value = std::move(value);
  static const char* const parts[] = {"year", "month", "day", "hour", "minute", "second",
                                      "microsecond", "days", "seconds", "microseconds"};
  for (int i = 0; i < 10; ++i) {
    TRY(name, made(PyUnicode_InternFromString(parts[i])));
    (i < 7 ? kinds.parts[i] : kinds.delta[i - 7]) = std::move(name);
  }
  TRY(utcoffset, made(PyUnicode_InternFromString("utcoffset")));
  kinds.utcoffset = std::move(utcoffset);
  TRY(datetime, imported("datetime"));
  CHECK(kind(datetime, "datetime", kinds.datetime, &kinds.datetime_iso));
  CHECK(kind(datetime, "date", kinds.date, &kinds.date_iso));
  CHECK(kind(datetime, "time", kinds.time, &kinds.time_iso));
  CHECK(kind(datetime, "timezone", kinds.timezone, nullptr));
  if (kinds.timezone) {
    TRY(utc, made(PyObject_GetAttrString(kinds.timezone.get(), "utc")));
    kinds.utc = std::move(utc);
  }
  TRY(uuid, imported("uuid"));
  CHECK(kind(uuid, "UUID", kinds.uuid, nullptr));
  TRY(enum_, imported("enum"));
  CHECK(kind(enum_, "Enum", kinds.enum_, nullptr));
  kinds.loaded = true;
  return Done{};
}

bool subtype(PyTypeObject* t, const Owned& of) {
  return of && PyType_IsSubtype(t, reinterpret_cast<PyTypeObject*>(of.get()));
}

// The canonical form of a UUID from its int: 8-4-4-4-12 lower-case hex digits.
Result<Owned> uuid_text(PyObject* v, PyObject* int_name) {
  TRY(n, made(PyObject_GetAttr(v, int_name)));
  TRY(shift, made(PyLong_FromLong(64)));
  TRY(high, made(PyNumber_Rshift(n.get(), shift.get())));
  const unsigned long long lo = PyLong_AsUnsignedLongLongMask(n.get());
  if (lo == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return py_fail();
  const unsigned long long hi = PyLong_AsUnsignedLongLongMask(high.get());
  if (hi == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return py_fail();
  static const char digits[] = "0123456789abcdef";
  char text[36];
  std::size_t at = 0;
  for (int i = 0; i < 32; ++i) {
    if (i == 8 || i == 12 || i == 16 || i == 20) text[at++] = '-';
    const unsigned long long half = i < 16 ? hi : lo;
    text[at++] = digits[(half >> (4 * (15 - (i & 15)))) & 0xF];
  }
  return made(PyUnicode_FromStringAndSize(text, sizeof text));
}

// A dataclass instance's fields in their order, as a dict; null when v is
// not one.
Result<Owned> Walker::dataclass(PyObject* v) {
  PyObject* t = reinterpret_cast<PyObject*>(Py_TYPE(v));
  if (t == kinds.plain_type.get()) return Owned();
  if (t != kinds.shape_type.get()) {
    Owned marker = Owned::steal(PyObject_GetAttrString(t, "__dataclass_fields__"));
    if (!marker) {
      if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return py_fail();
      PyErr_Clear();
      kinds.plain_type = Owned::borrow(t);
      return Owned();
    }
    if (!kinds.fields) {
      TRY(module, made(PyImport_ImportModule("dataclasses")));
      TRY(fields, made(PyObject_GetAttrString(module.get(), "fields")));
      kinds.fields = std::move(fields);
    }
    TRY(found, made(PyObject_CallFunctionObjArgs(kinds.fields.get(), v, nullptr)));
    TRY(list, made(PySequence_Tuple(found.get())));
    const Py_ssize_t n = PyTuple_Size(list.get());
    TRY(names, made(PyTuple_New(n)));
    for (Py_ssize_t i = 0; i < n; ++i) {
      PyObject* name = PyObject_GetAttrString(PyTuple_GetItem(list.get(), i), "name");
      if (!name || PyTuple_SetItem(names.get(), i, name) < 0) return py_fail();  // stolen
    }
    // The fields of a class stay as they are while its instances are encoded.
    kinds.shape_type = Owned::borrow(t);
    kinds.shape_names = std::move(names);
  }
  PyObject* names = kinds.shape_names.get();
  TRY(out, made(PyDict_New()));
  const Py_ssize_t n = PyTuple_Size(names);
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* name = PyTuple_GetItem(names, i);  // borrowed
    TRY(value, made(PyObject_GetAttr(v, name)));
    if (PyDict_SetItem(out.get(), name, value.get()) < 0) return py_fail();
  }
  return out;
}

// Integer attributes of v, as a fixed list of interned names.
Status numbers(PyObject* v, const Owned* names, int n, long* out) {
  for (int i = 0; i < n; ++i) {
    TRY(x, made(PyObject_GetAttr(v, names[i].get())));
    out[i] = PyLong_AsLong(x.get());
    if (out[i] == -1 && PyErr_Occurred()) return py_fail();
  }
  return Done{};
}

char* digits(char* p, long v, int width) {
  for (int i = width - 1; i >= 0; --i, v /= 10) p[i] = static_cast<char>('0' + v % 10);
  return p + width;
}

// What isoformat gives for an exact date (parts 0-2), time (3-6) or datetime
// (0-6), read through attributes, with zone (a datetime.timezone or None).
Result<Owned> Walker::iso(PyObject* v, int from, int to, PyObject* zone) {
  long f[7] = {0, 0, 0, 0, 0, 0, 0};
  CHECK(numbers(v, kinds.parts + from, to - from, f + from));
  char text[64];
  char* p = text;
  if (from == 0) {
    p = digits(p, f[0], 4);
    *p++ = '-';
    p = digits(p, f[1], 2);
    *p++ = '-';
    p = digits(p, f[2], 2);
    if (to == 7) *p++ = 'T';
  }
  if (to == 7) {
    p = digits(p, f[3], 2);
    *p++ = ':';
    p = digits(p, f[4], 2);
    *p++ = ':';
    p = digits(p, f[5], 2);
    if (f[6]) {
      *p++ = '.';
      p = digits(p, f[6], 6);
    }
  }
  if (zone && zone != Py_None) {
    if (zone == kinds.utc.get()) {
      std::memcpy(p, "+00:00", 6);
      p += 6;
    } else {
      TRY(off, made(PyObject_CallMethodObjArgs(zone, kinds.utcoffset.get(), v, nullptr)));
      if (off.get() == Py_None) return made(PyUnicode_FromStringAndSize(text, p - text));
      long d[3];
      CHECK(numbers(off.get(), kinds.delta, 3, d));
      long long us = (static_cast<long long>(d[0]) * 86400 + d[1]) * 1000000 + d[2];
      *p++ = us < 0 ? '-' : '+';
      if (us < 0) us = -us;
      const long long secs = us / 1000000;
      p = digits(p, static_cast<long>(secs / 3600), 2);
      *p++ = ':';
      p = digits(p, static_cast<long>(secs / 60 % 60), 2);
      if (us % 60000000) {
        *p++ = ':';
        p = digits(p, static_cast<long>(secs % 60), 2);
        if (us % 1000000) {
          *p++ = '.';
          p = digits(p, static_cast<long>(us % 1000000), 6);
        }
      }
    }
  }
  return made(PyUnicode_FromStringAndSize(text, p - text));
}

// The exact types datetime (naive, or with a datetime.timezone), date, time
// (naive) and UUID, whose conversion runs no code of the caller's: a new
// reference, or null (no exception set) for anything else.
Result<Owned> Walker::quick(PyObject* v) {
  CHECK(load_kinds());
  PyObject* t = reinterpret_cast<PyObject*>(Py_TYPE(v));
  const bool datetime = t == kinds.datetime.get();
  if (datetime || t == kinds.time.get()) {
    TRY(zone, made(PyObject_GetAttr(v, kinds.tzinfo.get())));
    if (zone.get() == Py_None ||
        (datetime && reinterpret_cast<PyObject*>(Py_TYPE(zone.get())) == kinds.timezone.get()))
      return iso(v, datetime ? 0 : 3, 7, zone.get());
    return Owned();
  }
  if (t == kinds.date.get()) return iso(v, 0, 3, nullptr);
  if (t == kinds.uuid.get()) return uuid_text(v, kinds.int_.get());
  return Owned();
}

// What is written in place of v, a value of no type the encoder writes: a
// new reference, or null (no exception set) when nothing converts it.
// *aware_time tells a datetime.time with a tzinfo, which is not converted.
Result<Owned> Walker::convert(PyObject* v, bool* aware_time) {
  TRY(exact, quick(v));
  if (exact) return exact;
  PyTypeObject* t = Py_TYPE(v);
  if (subtype(t, kinds.datetime))
    return made(PyObject_CallFunctionObjArgs(kinds.datetime_iso.get(), v, nullptr));
  if (subtype(t, kinds.date))
    return made(PyObject_CallFunctionObjArgs(kinds.date_iso.get(), v, nullptr));
  if (subtype(t, kinds.time)) {
    TRY(zone, made(PyObject_GetAttr(v, kinds.tzinfo.get())));
    *aware_time = zone.get() != Py_None;
    if (!*aware_time) return made(PyObject_CallFunctionObjArgs(kinds.time_iso.get(), v, nullptr));
  } else if (subtype(t, kinds.uuid)) {
    return uuid_text(v, kinds.int_.get());
  } else if (subtype(t, kinds.enum_)) {
    return made(PyObject_GetAttr(v, kinds.value.get()));
  } else {
    TRY(fields, dataclass(v));
    if (fields) return fields;
  }
  if (s.hook) return made(PyObject_CallFunctionObjArgs(s.hook, v, nullptr));
  return Owned();
}

Status Walker::enter(uint64_t k, PyObject* v) {
  for (unsigned chain = 0;; ++chain) {
    PyObject* next = nullptr;  // borrowed from s.held
    CHECK(enter_one(k, v, chain, &next));
    if (!next) return Done{};
    v = next;
  }
}

Status Walker::enter_one(uint64_t k, PyObject* v, unsigned chain, PyObject** next) {
  Child c{};
  c.obj = v;
  c.exact = true;
  const std::size_t top = frames.size();
  // Exact types by identity first: the type tests of the limited API are calls.
  PyTypeObject* type = Py_TYPE(v);
  const bool list = type == &PyList_Type || type == &PyTuple_Type ||
                    (type != &PyDict_Type && (PyList_Check(v) || PyTuple_Check(v)));
  const bool dict = !list && (type == &PyDict_Type || PyDict_Check(v));
  if (!list && !dict) {
    const char* why = nullptr;
    bool type_error = false;
    if (!scalar(v, c, &why, &type_error, s.null_nonfinite)) {
      if (!why) return py_fail();
      if (type_error) {
        // Converting runs code of the caller's (default, a dataclass's
        // attributes, an Enum's value) or of types the encoder cannot vouch
        // for: only in the safe mode, once the scan restarts in it. The fast
        // mode converts only what runs none (quick).
        bool aware_time = false;
        if (chain >= MAX_CHAIN) {
          Owned name = type_name(Py_TYPE(v));
          if (!name) return py_fail();
          Owned text = Owned::steal(PyUnicode_FromFormat("unsupported type %U after %u conversions",
                                                         name.get(), MAX_CHAIN));
          return fail(PyExc_TypeError, text.get(), top);
        }
        TRY(instead, mode == Mode::fast ? quick(v) : convert(v, &aware_time));
        if (!instead && mode == Mode::fast) {
          mode = Mode::restart;
          return Done{};
        }
        if (instead) {
          PyObject* borrowed = instead.get();
          if (!s.held.try_push(std::move(instead))) return no_memory();
          *next = borrowed;  // held until the encode ends
          return Done{};
        }
        Owned name = type_name(Py_TYPE(v));
        if (!name) return py_fail();
        Owned text = Owned::steal(PyUnicode_FromFormat(
            aware_time ? "unsupported type %U with tzinfo" : "unsupported type %U", name.get()));
        return fail(PyExc_TypeError, text.get(), top, s.hook ? "" : NO_HOOK_HINT);
      }
      return fail(PyExc_ValueError, why, top);
    }
    if (c.kind == K_STR && !c.exact) {
      // A str subclass is written as its text: keep an exact copy of it, so
      // that hashing and comparing it runs none of the subclass's code.
      Py_ssize_t n = 0;
      const char* p = PyUnicode_AsUTF8AndSize(v, &n);
      TRY(copy, made(p ? PyUnicode_FromStringAndSize(p, n) : nullptr));
      c.obj = copy.get();  // held until the encode ends; exact stays false
      if (!s.held.try_push(std::move(copy))) return no_memory();
      set_text(c, PyUnicode_AsUTF8AndSize(c.obj, nullptr), n);
    }
    if (top) {
      frames[top - 1].count += 1;
      if (frames[top - 1].tallest < 1) frames[top - 1].tallest = 1;
    } else {
      s.root = c;
    }
    if (top) s.items[k] = c;
    return Done{};
  }
  c.kind = list ? K_LIST : K_DICT;
  c.exact = list ? (PyList_CheckExact(v) || PyTuple_CheckExact(v)) : PyDict_CheckExact(v);
  if (!c.exact && mode == Mode::fast) {
    mode = Mode::restart;  // nothing of the caller's has run yet
    return Done{};
  }
  const uint64_t depth = top;
  // An element held by nothing but its container's one reference is in one
  // place only and cannot enclose itself: it needs no entry in the map.
  const bool lone = mode == Mode::fast && top && Py_REFCNT(v) == 1;
  const uint32_t known =
      lone ? NO_NODE : v == root ? (top ? 0 : NO_NODE) : map.find(identity(v));
  if (known != NO_NODE) {
    Node& node = s.nodes[known];
    if (node.uses == 0) return fail(PyExc_ValueError, "circular reference", top);
    if (depth + node.height > MAX_DEPTH) {
      char what[64];
      std::snprintf(what, sizeof what, "nesting deeper than %llu levels",
                    static_cast<unsigned long long>(MAX_DEPTH));
      return fail(PyExc_ValueError, what, top);
    }
    node.uses += 1;
    c.node = known;
    if (top) {
      Frame& f = frames[top - 1];
      f.count += node.expanded;
      if (f.tallest < node.height + 1) f.tallest = node.height + 1;
      s.items[k] = c;
    } else {
      s.root = c;
    }
    return Done{};
  }
  // The elements to read: in place, or our own copy in the safe mode.
  PyObject* src = v;
  bool pairs = false;
  if (mode == Mode::safe) {
    Owned copy;
    if (list) {
      copy = Owned::steal(PySequence_List(v));
    } else if (c.exact) {
      copy = Owned::steal(PyDict_Items(v));
    } else {
      Owned view = Owned::steal(PyObject_CallMethod(v, "items", nullptr));
      if (view) copy = Owned::steal(PySequence_List(view.get()));
    }
    if (!copy) return py_fail();
    src = copy.get();  // held until the encode ends
    if (!s.held.try_push(std::move(copy))) return no_memory();
    pairs = dict;
  }
  const Py_ssize_t len = list && mode == Mode::fast && PyTuple_CheckExact(v) ? PyTuple_Size(src)
                         : list || pairs                                    ? PyList_Size(src)
                                                                            : PyDict_Size(src);
  if (len < 0) return py_fail();
  const uint64_t n = static_cast<uint64_t>(len);
  if (n > MAX_COUNT) {
    char what[64];
    std::snprintf(what, sizeof what, "more than %llu elements",
                  static_cast<unsigned long long>(MAX_COUNT));
    return fail(PyExc_ValueError, what, top);
  }
  if (n && depth >= MAX_DEPTH) {
    char what[64];
    std::snprintf(what, sizeof what, "nesting deeper than %llu levels",
                  static_cast<unsigned long long>(MAX_DEPTH));
    return fail(PyExc_ValueError, what, top);
  }
  if (s.nodes.size() >= NO_NODE) return no_memory();
  const uint32_t index = static_cast<uint32_t>(s.nodes.size());
  Node node{};
  node.obj = v;
  node.first = s.items.size();
  node.n = n;
  node.dict = dict;
  node.uses = 0;  // 0 while open: meeting it again is a cycle
  bool added = false;  // a container met for the first time is absent from the map
  if (!s.nodes.try_push(node) || (!lone && top && !map.add(identity(v), index, &added)) ||
      !s.items.try_resize_for_overwrite(s.items.size() + (dict ? 2 * n : n)))
    return no_memory();
  c.node = index;
  if (top) {
    s.items[k] = c;
  } else {
    s.root = c;
  }
  Frame f{};
  f.node = index;
  f.src = src;
  f.pairs = pairs;
  f.i = UINT64_MAX;  // the first step makes it 0
  f.count = 1;
  if (!frames.try_push(f)) return no_memory();
  return Done{};
}

// Closes the top frame: its measures go to its node and fold into its parent.
Status Walker::finish() {
  const Frame f = frames.back();
  frames.pop_back();
  Node& node = s.nodes[f.node];
  node.height = f.tallest;
  node.uses = 1;
  node.expanded = f.count;
  if (f.count > MAX_EXPANDED) {
    char what[80];
    std::snprintf(what, sizeof what, "tree expands to more than %llu values",
                  static_cast<unsigned long long>(MAX_EXPANDED));
    return fail(PyExc_ValueError, what, frames.size() ? frames.size() - 1 : 0);
  }
  if (!frames.size()) return Done{};
  Frame& parent = frames.back();
  parent.count += f.count;
  if (parent.tallest < f.tallest + 1) parent.tallest = f.tallest + 1;
  return Done{};
}

Status Walker::run(PyObject* obj) {
  root = obj;
  CHECK(enter(0, obj));
  while (frames.size() && mode != Mode::restart) {
    Frame& f = frames.back();
    const Node node = s.nodes[f.node];
    const uint64_t i = ++f.i;
    if (i >= node.n) {
      CHECK(finish());
      continue;
    }
    if (!node.dict) {
      PyObject* v = PyList_Check(f.src) ? PyList_GetItem(f.src, static_cast<Py_ssize_t>(i))
                                        : PyTuple_GetItem(f.src, static_cast<Py_ssize_t>(i));
      if (!v) return py_fail();
      CHECK(enter(node.first + i, v));
      continue;
    }
    PyObject* key = nullptr;  // borrowed, like value
    PyObject* value = nullptr;
    if (f.pairs) {
      PyObject* pair = PyList_GetItem(f.src, static_cast<Py_ssize_t>(i));
      if (!pair) return py_fail();
      if (!PyTuple_Check(pair) || PyTuple_Size(pair) != 2) {
        return fail(PyExc_TypeError, "items() of a dict subclass gave something other than pairs",
                    frames.size() - 1);
      }
      key = PyTuple_GetItem(pair, 0);
      value = PyTuple_GetItem(pair, 1);
    } else if (!PyDict_Next(f.src, &f.dict_pos, &key, &value)) {
      PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during encoding");
      return py_fail();
    }
    Child kc{};
    kc.obj = key;
    kc.kind = K_STR;
    kc.exact = true;
    if (!PyUnicode_Check(key)) {
      Owned what = Owned::steal(PyUnicode_FromFormat("object key %R is not a str", key));
      return fail(PyExc_TypeError, what.get(), frames.size() - 1);
    }
    Py_ssize_t kn = 0;
    if (!PyUnicode_AsUTF8AndSize(key, &kn)) {
      if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return py_fail();
      PyErr_Clear();
      s.items[node.first + 2 * i] = kc;  // the path names it
      return fail(PyExc_ValueError, "key is not valid UTF-8 (lone surrogate)", frames.size());
    }
    set_text(kc, PyUnicode_AsUTF8AndSize(key, nullptr), kn);
    if (!PyUnicode_CheckExact(key)) {
      TRY(copy, made(PyUnicode_FromStringAndSize(PyUnicode_AsUTF8AndSize(key, nullptr), kn)));
      kc.obj = copy.get();  // held until the encode ends
      if (!s.held.try_push(std::move(copy))) return no_memory();
      set_text(kc, PyUnicode_AsUTF8AndSize(kc.obj, nullptr), kn);
    }
    s.items[node.first + 2 * i] = kc;
    CHECK(enter(node.first + 2 * i + 1, value));
  }
  return Done{};
}

}  // namespace

bool classify(PyObject* v, Child& c, bool root) {
  c.obj = v;
  c.exact = true;
  c.node = NO_NODE;  // a container's node is made when the writer reaches it
  if (constant(v, c)) return true;
  PyTypeObject* type = Py_TYPE(v);
  if (type == &PyUnicode_Type) {
    Py_ssize_t n = 0;
    const char* p = PyUnicode_AsUTF8AndSize(v, &n);
    if (!p) {
      if (PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) PyErr_Clear();
      return false;
    }
    c.kind = K_STR;
    set_text(c, p, n);
    return true;
  }
  if (type == &PyLong_Type) {
    int overflow = 0;
    c.i = PyLong_AsLongLongAndOverflow(v, &overflow);
    c.kind = K_INT;
    return !overflow;
  }
  if (type == &PyFloat_Type) {
    c.f = PyFloat_AsDouble(v);
    c.kind = K_FLOAT;
    return std::isfinite(c.f);
  }
  // A container held anywhere but in its parent may stand in several places.
  if (!root && Py_REFCNT(v) != 1) return false;
  if (type == &PyList_Type || type == &PyTuple_Type) {
    c.kind = K_LIST;
    return true;
  }
  if (type == &PyDict_Type) {
    c.kind = K_DICT;
    return true;
  }
  return false;  // subclasses and unsupported types
}

Status expand(Scan& s, const Child& c, uint64_t depth, uint32_t* node_out, bool* full) {
  if (s.source) return s.source->expand(s, c, node_out);  // a column source's container
  PyObject* v = c.obj;
  const bool dict = c.kind == K_DICT;
  const bool tuple = Py_TYPE(v) == &PyTuple_Type;
  const Py_ssize_t len = dict ? PyDict_Size(v) : tuple ? PyTuple_Size(v) : PyList_Size(v);
  if (len < 0) return py_fail();
  const uint64_t n = static_cast<uint64_t>(len);
  s.values += n;
  if (n > MAX_COUNT || (n && depth >= MAX_DEPTH) || s.values > MAX_EXPANDED ||
      s.nodes.size() >= NO_NODE) {
    *full = true;
    return py_fail();
  }
  Node node{};
  node.obj = v;
  node.first = s.items.size();
  node.n = n;
  node.dict = dict;
  node.uses = 1;
  const uint32_t index = static_cast<uint32_t>(s.nodes.size());
  if (!s.nodes.try_push(node) ||
      !s.items.try_resize_for_overwrite(s.items.size() + (dict ? 2 * n : n)))
    return no_memory();
  Child* items = s.items.data() + node.first;
  if (!dict) {
    for (uint64_t k = 0; k < n; ++k) {
      PyObject* x = tuple ? PyTuple_GetItem(v, static_cast<Py_ssize_t>(k))
                          : PyList_GetItem(v, static_cast<Py_ssize_t>(k));
      if (!classify(x, items[k], false)) {
        *full = !PyErr_Occurred();
        return py_fail();
      }
    }
  } else {
    Py_ssize_t pos = 0;
    PyObject *key, *x;  // borrowed
    for (uint64_t k = 0; k < n && PyDict_Next(v, &pos, &key, &x); ++k) {
      Child& kc = items[2 * k];
      if (Py_TYPE(key) != &PyUnicode_Type || !classify(key, kc, false) ||
          !classify(x, items[2 * k + 1], false)) {
        *full = !PyErr_Occurred();
        return py_fail();
      }
    }
  }
  *node_out = index;
  return Done{};
}

Status scan(PyObject* root, Scan& s) {
  {
    Walker w{s, Mode::fast, {}, {}, nullptr, {}};
    CHECK(w.run(root));
    if (w.mode != Mode::restart) return Done{};
  }
  s.nodes.clear();
  s.items.clear();
  Walker w{s, Mode::safe, {}, {}, nullptr, {}};
  CHECK(w.run(root));
  return Done{};
}

}  // namespace enc
}  // namespace wexo
