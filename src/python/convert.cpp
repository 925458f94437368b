#include "python/convert.hpp"

#include "python/args.hpp"
#include "python/errors.hpp"
#include "python/pyref.hpp"
#include "python/reenter.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace tessarin::py {

using core::ParamBuilder;
using core::ParamEntry;
using core::ParamMap;
using core::ParamValue;
using core::RawEntry;
using core::RawParam;

namespace {

// collections.abc.Sequence and collections.abc.Mapping, looked up once per
// process on first need and kept for good.
PyObject* g_sequence_abc = nullptr;
PyObject* g_mapping_abc = nullptr;

bool load_abcs() {
  if (g_sequence_abc != nullptr) return true;
  Ref abc = Ref::steal(PyImport_ImportModule("collections.abc"));
  if (!abc) return false;
  Ref seq = Ref::steal(PyObject_GetAttrString(abc.get(), "Sequence"));
  if (!seq) return false;
  Ref map = Ref::steal(PyObject_GetAttrString(abc.get(), "Mapping"));
  if (!map) return false;
  g_mapping_abc = map.release();
  g_sequence_abc = seq.release();
  return true;
}

std::string qualname_of_type(PyObject* obj, bool* ok = nullptr) {
  Ref name =
      Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__qualname__"));
  if (name && PyUnicode_Check(name.get())) {
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(name.get(), &size);
    if (text != nullptr) {
      if (ok) *ok = true;
      return std::string(text, static_cast<std::size_t>(size));
    }
  }
  PyErr_Clear();
  if (ok) *ok = false;
  return {};
}

std::string cast_text(PyObject* obj, const char* target) {
  std::string text = "'";
  text += qualname_of_type(obj);
  text += "' object cannot be cast as '";
  text += target;
  text += "'";
  return text;
}

// A failed conversion. No value's header word has every bit set.
constexpr std::uint64_t kFailedHead = ~std::uint64_t{0};
inline RawParam failed() noexcept { return {kFailedHead, 0}; }
inline bool is_failed(RawParam value) noexcept { return value.head == kFailedHead; }

// Long conversions hold the interpreter lock throughout; pending signals
// (Ctrl-C) are looked at after this many items, so that their handlers run
// within a fraction of a second at no measurable cost.
constexpr unsigned kSignalInterval = 4096;

class FromPython {
 public:
  explicit FromPython(std::string& error) : error_(error) {}

  ~FromPython() {
    if (stacks_ != nullptr) [[unlikely]]
      detach();
  }

  bool run(PyObject* obj, ParamValue& out) {
    RawParam value = convert(obj, 0);
    if (is_failed(value)) return false;
    out = builder_.finish(value);
    return true;
  }

 private:
  RawParam convert(PyObject* obj, int depth) {
    RawParam value;
    if (plain(obj, value)) return value;
    PyTypeObject* type = Py_TYPE(obj);
    if (type == &PyList_Type) return convert_list(obj, depth);
    if (type == &PyDict_Type) return convert_exact_dict(obj, depth);
    if (type == &PyTuple_Type) return convert_tuple(obj, depth);
    return convert_other(obj, depth);
  }

  // Values of the exact scalar types convert without running any user code;
  // they are converted here, inline in every container loop. False for any
  // other value (nothing converted).
  [[gnu::always_inline]] bool plain(PyObject* obj, RawParam& value) {
    PyTypeObject* type = Py_TYPE(obj);
    if (type == &PyLong_Type) {
      value = convert_int(obj);
    } else if (type == &PyUnicode_Type) {
      value = convert_str(obj);
    } else if (obj == Py_None) {
      value = ParamValue::raw_null();
    } else if (type == &PyBool_Type) {
      value = ParamValue::raw_bool(obj == Py_True);
    } else if (type == &PyFloat_Type) {
      value = ParamValue::raw_real(PyFloat_AsDouble(obj));
    } else {
      return false;
    }
    return true;
  }
  static bool is_plain_type(PyObject* obj) noexcept {
    PyTypeObject* t = Py_TYPE(obj);
    return t == &PyLong_Type || t == &PyUnicode_Type || obj == Py_None || t == &PyBool_Type ||
           t == &PyFloat_Type;
  }

  [[gnu::noinline]] RawParam convert_other(PyObject* obj, int depth) {
    unsigned long flags = PyType_GetFlags(Py_TYPE(obj));
    if (flags & Py_TPFLAGS_LONG_SUBCLASS) return convert_int(obj);
    if (flags & (Py_TPFLAGS_LIST_SUBCLASS | Py_TPFLAGS_TUPLE_SUBCLASS))
      return convert_sequence(obj, depth);
    if (flags & Py_TPFLAGS_DICT_SUBCLASS) return convert_mapping(obj, depth);
    if (flags & Py_TPFLAGS_UNICODE_SUBCLASS) return convert_str(obj);
    if (flags & Py_TPFLAGS_BYTES_SUBCLASS)
      return fail("invalid type: byte array, expected any valid JSON value");
    if (PyByteArray_Check(obj)) return fail_cast(obj, "bytes");
    if (PyFloat_Check(obj)) {
      double d = PyFloat_AsDouble(obj);
      if (d == -1.0 && PyErr_Occurred()) return fail_from_python();
      return ParamValue::raw_real(d);
    }
    if (PyAnySet_Check(obj)) return convert_set(obj, depth);

    if (!load_abcs()) return fail_from_python();
    int is_seq = instance_check(obj, g_sequence_abc);
    if (is_seq) return convert_sequence(obj, depth);
    int is_map = instance_check(obj, g_mapping_abc);
    if (is_map) return convert_mapping(obj, depth);
    return fail_unsupported(obj);
  }

  // The failure paths build their messages out of line: the recursive
  // frames stay small, which is what bounds the native stack per level.
  [[gnu::noinline, gnu::cold]] RawParam fail(const char* message) {
    error_ = message;
    return failed();
  }
  [[gnu::noinline, gnu::cold]] RawParam fail_cast(PyObject* obj, const char* target) {
    error_ = "unexpected type: " + cast_text(obj, target);
    return failed();
  }
  [[gnu::noinline, gnu::cold]] RawParam fail_unsupported(PyObject* obj) {
    bool ok = false;
    std::string name = qualname_of_type(obj, &ok);
    error_ = "unsupported type " + (ok ? name : std::string("unknown"));
    return failed();
  }
  [[gnu::noinline, gnu::cold]] RawParam fail_length(Py_ssize_t first, Py_ssize_t second) {
    error_ =
        "expected sequence of length " + std::to_string(first) + ", got " + std::to_string(second);
    return failed();
  }
  [[gnu::noinline, gnu::cold]] RawParam fail_depth() {
    error_ = "value nested more than " + std::to_string(core::kMaxParamDepth) +
             " levels deep (or containing itself)";
    return failed();
  }

  // Turns the pending Python exception into the conversion message, unless
  // it is not an Exception: interrupts and exits propagate untouched.
  [[gnu::noinline, gnu::cold]] RawParam fail_from_python() {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) throw PythonError{};
    error_ = render_and_clear_exception();
    return failed();
  }

  // 1 or 0; a non-Exception propagates (thrown).
  int instance_check(PyObject* obj, PyObject* abc) {
    int result = tessarin_parking_test(PyObject_IsInstance, obj, abc);
    if (result < 0) {
      if (!PyErr_ExceptionMatches(PyExc_Exception)) throw PythonError{};
      // A broken __instancecheck__ is reported, not fatal: the check fails.
      PyErr_WriteUnraisable(obj);
      return 0;
    }
    return result;
  }

  bool enter(int depth) const noexcept { return depth < core::kMaxParamDepth; }

  // One converted item; every so often, pending signals get their turn. An
  // exception raised by a handler propagates as it is.
  void tick() {
    if (--countdown_ <= 0) [[unlikely]]
      check_signals();
  }
  // The items of an exact list or tuple are counted all at once, and a long
  // one is read in runs of kSignalInterval with a check after each: the
  // tight loop over plain scalars then pays nothing per item.
  void charge(Py_ssize_t items) {
    countdown_ -= items;
    if (countdown_ <= 0) [[unlikely]]
      check_signals();
  }
  [[gnu::noinline]] void check_signals() {
    countdown_ = kSignalInterval;
    if (PyErr_CheckSignals() < 0) throw Interrupted{};
  }

  [[gnu::always_inline]] RawParam convert_str(PyObject* obj) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(obj, &size);
    if (data == nullptr) return fail_from_python();
    // The interpreter's UTF-8 buffers always end with a NUL.
    return builder_.terminated_string(data, static_cast<std::size_t>(size));
  }

  [[gnu::always_inline]] RawParam convert_int(PyObject* obj) {
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(obj, &overflow);
    if (overflow != 0 || (v == -1 && PyErr_Occurred())) [[unlikely]]
      return convert_large_int(obj, overflow);
    return ParamValue::raw_int(v);
  }

  [[gnu::noinline]] RawParam convert_large_int(PyObject* obj, int overflow) {
    if (overflow == 0) return fail_from_python();
    if (overflow > 0) {
      unsigned long long u = PyLong_AsUnsignedLongLong(obj);
      if (!(u == static_cast<unsigned long long>(-1) && PyErr_Occurred()))
        return ParamValue::raw_uint(u);
      PyErr_Clear();
    }
    // Beyond 64 bits. Within 128 bits (as the high part x >> 64 fits a C
    // long) the value is merely out of range; beyond that the interpreter's
    // own OverflowError for the high part is the message.
    Ref shift = Ref::steal(PyLong_FromLong(64));
    if (!shift) return fail_from_python();
    Ref high = Ref::steal(tessarin_parking_binary(PyNumber_Rshift, obj, shift.get()));
    if (!high) return fail_from_python();
    long h = PyLong_AsLong(high.get());
    if (h == -1 && PyErr_Occurred()) return fail_from_python();
    return fail("JSON number out of range");
  }

  // An exact list: its length cannot be overridden, so the array is made at
  // its final size up front and filled in place. User code run by a nested
  // conversion may shrink or grow the list; every read is bounds-checked by
  // the interpreter (a shrunk list fails with its IndexError) and items
  // beyond the first length are never read, so no write leaves the block.
  RawParam convert_list(PyObject* obj, int depth) {
    if (!enter(depth)) return fail_depth();
    const Py_ssize_t n = PyList_Size(obj);
    RawParam out;
    ParamValue* slots = builder_.array(static_cast<std::size_t>(n), out);
    charge(n);
    if (n > static_cast<Py_ssize_t>(kSignalInterval))
      return fill_long(slots, n, out, [&](Py_ssize_t i) { return list_item(obj, i, depth); });
    for (Py_ssize_t i = 0; i < n; ++i) {
      RawParam value = list_item(obj, i, depth);
      if (is_failed(value)) return value;
      ParamBuilder::set(slots + i, value);
    }
    return out;
  }

  [[gnu::always_inline]] RawParam list_item(PyObject* obj, Py_ssize_t i, int depth) {
    PyObject* item = PyList_GetItem(obj, i);
    if (item == nullptr) return fail_from_python();
    RawParam value;
    if (!plain(item, value)) {
      // Held: converting it may run user code that removes it from the list.
      Ref hold = Ref::borrow(item);
      value = convert(item, depth + 1);
    }
    return value;
  }

  RawParam convert_tuple(PyObject* obj, int depth) {
    if (!enter(depth)) return fail_depth();
    const Py_ssize_t n = PyTuple_Size(obj);
    RawParam out;
    ParamValue* slots = builder_.array(static_cast<std::size_t>(n), out);
    charge(n);
    if (n > static_cast<Py_ssize_t>(kSignalInterval))
      return fill_long(slots, n, out, [&](Py_ssize_t i) { return tuple_item(obj, i, depth); });
    for (Py_ssize_t i = 0; i < n; ++i) {
      RawParam value = tuple_item(obj, i, depth);
      if (is_failed(value)) return value;
      ParamBuilder::set(slots + i, value);
    }
    return out;
  }

  [[gnu::always_inline]] RawParam tuple_item(PyObject* obj, Py_ssize_t i, int depth) {
    // Borrowed: a tuple cannot change, and our caller keeps it alive.
    PyObject* item = PyTuple_GetItem(obj, i);
    RawParam value;
    if (!plain(item, value)) value = convert(item, depth + 1);
    return value;
  }

  // A long exact list or tuple: read in runs of kSignalInterval items, with
  // a look at pending signals after each.
  template <class Item>
  [[gnu::noinline]] RawParam fill_long(ParamValue* slots, Py_ssize_t n, RawParam out, Item item) {
    for (Py_ssize_t i = 0; i < n;) {
      for (const Py_ssize_t end = std::min<Py_ssize_t>(n, i + kSignalInterval); i < end; ++i) {
        RawParam value = item(i);
        if (is_failed(value)) return value;
        ParamBuilder::set(slots + i, value);
      }
      if (i < n) check_signals();
    }
    return out;
  }

  // Any other sequence: its length is user code, so it never sizes anything
  // up front; the items gather on the work stack. The length is asked twice,
  // once to dispatch and once to read: user code may change it in between,
  // and that is reported rather than ignored.
  //
  // From here on, every call that may run Python-level code goes through the
  // parking shims (python/reenter.h), for a daemon thread the interpreter
  // ends at exit while it runs that code. The exact types above never need
  // them: reading a list, tuple or dict runs no code of anyone's.
  RawParam convert_sequence(PyObject* obj, int depth) {
    if (!enter(depth)) return fail_depth();
    Py_ssize_t first = tessarin_parking_size(obj);
    if (first < 0) return fail_from_python();
    Py_ssize_t second = tessarin_parking_size(obj);
    if (second < 0) return fail_from_python();
    if (first != second) return fail_length(first, second);
    std::vector<RawParam>& items = stacks().items;
    const std::size_t base = items.size();
    for (Py_ssize_t i = 0; i < second; ++i) {
      tick();
      Ref item = Ref::steal(tessarin_parking_item(obj, i));
      if (!item) return truncate_items(base, fail_from_python());
      RawParam value = convert(item.get(), depth + 1);
      if (is_failed(value)) return truncate_items(base, value);
      items.push_back(value);
    }
    return pop_array(base);
  }

  // A set or frozenset runs no user code to be iterated; a subclass may.
  RawParam convert_set(PyObject* obj, int depth) {
    if (!enter(depth)) return fail_depth();
    const bool exact = PyAnySet_CheckExact(obj);
    auto call = [exact](PyObject* (*fn)(PyObject*), PyObject* arg) {
      return Ref::steal(exact ? fn(arg) : tessarin_parking_unary(fn, arg));
    };
    Ref iter = call(PyObject_GetIter, obj);
    if (!iter) return fail_from_python();
    std::vector<RawParam>& items = stacks().items;
    const std::size_t base = items.size();
    while (Ref item = call(PyIter_Next, iter.get())) {
      tick();
      RawParam value = convert(item.get(), depth + 1);
      if (is_failed(value)) return truncate_items(base, value);
      items.push_back(value);
    }
    if (PyErr_Occurred()) return truncate_items(base, fail_from_python());
    return pop_array(base);
  }

  RawParam pop_array(std::size_t base) {
    std::vector<RawParam>& items = stacks().items;
    RawParam out =
        builder_.array_of(std::span<const RawParam>(items.data() + base, items.size() - base));
    items.resize(base);
    return out;
  }
  RawParam truncate_items(std::size_t base, RawParam result) {
    stacks().items.resize(base);
    return result;
  }
  RawParam truncate_entries(std::size_t base, RawParam result) {
    stacks().entries.resize(base);
    return result;
  }

  RawParam convert_key(PyObject* key) {
    if (Py_TYPE(key) != &PyUnicode_Type && !PyUnicode_Check(key)) return fail_cast(key, "str");
    return convert_str(key);
  }

  // An exact dict: keys(), values() and len() cannot be overridden, so its
  // entries are read directly, into an object of the final size. As long as
  // only plain scalars have been converted no user code has run and the dict
  // cannot have changed; from the first other value on, the remaining
  // entries are pinned first (held by reference), so that user code run by a
  // nested conversion can neither free them under us nor change what this
  // conversion sees, exactly as if keys() and values() had been taken up
  // front. Either way exactly len() entries are read.
  RawParam convert_exact_dict(PyObject* obj, int depth) {
    if (!enter(depth)) return fail_depth();
    const std::size_t n = static_cast<std::size_t>(PyDict_Size(obj));
    RawParam out;
    ParamEntry* slots = builder_.object(n, out);
    // Counted at once; only a long dict looks at signals entry by entry.
    charge(static_cast<Py_ssize_t>(n));
    std::size_t filled = 0;
    RawParam result = n > kSignalInterval ? fill_dict<true>(obj, slots, n, depth, filled)
                                          : fill_dict<false>(obj, slots, n, depth, filled);
    if (is_failed(result)) return result;
    ParamBuilder::truncate_object(out, filled);
    ParamBuilder::sort_object(out);
    return out;
  }

  // The entries of an exact dict into `slots`; a failure, or null words.
  template <bool kLong>
  RawParam fill_dict(PyObject* obj, ParamEntry* slots, std::size_t n, int depth,
                     std::size_t& filled) {
    Py_ssize_t pos = 0;
    PyObject *key = nullptr, *value = nullptr;
    while (PyDict_Next(obj, &pos, &key, &value)) {
      if (Py_TYPE(key) != &PyUnicode_Type || !is_plain_type(value)) {
        std::vector<PyObject*>& pinned = stacks().pinned;
        const std::size_t pin_base = pinned.size();
        do {
          pinned.push_back(Py_NewRef(key));
          pinned.push_back(Py_NewRef(value));
        } while (PyDict_Next(obj, &pos, &key, &value));
        RawParam result = ParamValue::raw_null();
        for (std::size_t i = pin_base; i < pinned.size() && filled < n; i += 2) {
          tick();
          RawParam k = convert_key(pinned[i]);
          if (is_failed(k)) {
            result = k;
            break;
          }
          RawParam v = convert(pinned[i + 1], depth + 1);
          if (is_failed(v)) {
            result = v;
            break;
          }
          ParamBuilder::set(slots + filled++, k, v);
        }
        unpin(pin_base);
        return result;
      }
      if constexpr (kLong) tick();
      RawParam k = convert_str(key);
      if (is_failed(k)) return k;
      RawParam v;
      plain(value, v);
      if (is_failed(v)) return v;
      ParamBuilder::set(slots + filled++, k, v);
    }
    return ParamValue::raw_null();
  }

  // Any other mapping: keys() and values() as lists, then len(); the i-th
  // key pairs with the i-th value. The lists are the interpreter's own.
  RawParam convert_mapping(PyObject* obj, int depth) {
    if (!enter(depth)) return fail_depth();
    Ref keys = Ref::steal(tessarin_parking_unary(PyMapping_Keys, obj));
    if (!keys) return fail_from_python();
    Ref values = Ref::steal(tessarin_parking_unary(PyMapping_Values, obj));
    if (!values) return fail_from_python();
    Py_ssize_t len = tessarin_parking_size(obj);
    if (len < 0) return fail_from_python();
    std::vector<RawEntry>& entries = stacks().entries;
    const std::size_t base = entries.size();
    for (Py_ssize_t i = 0; i < len; ++i) {
      tick();
      Ref key = Ref::steal(PySequence_GetItem(keys.get(), i));
      if (!key) return truncate_entries(base, fail_from_python());
      if (!PyUnicode_Check(key.get())) return truncate_entries(base, fail_cast(key.get(), "str"));
      Ref value = Ref::steal(PySequence_GetItem(values.get(), i));
      if (!value) return truncate_entries(base, fail_from_python());
      RawParam k = convert_str(key.get());
      if (is_failed(k)) return truncate_entries(base, k);
      RawParam v = convert(value.get(), depth + 1);
      if (is_failed(v)) return truncate_entries(base, v);
      entries.push_back({k, v});
    }
    RawParam out =
        builder_.object_of(std::span<const RawEntry>(entries.data() + base, entries.size() - base));
    entries.resize(base);
    ParamBuilder::sort_object(out);
    return out;
  }

  void unpin(std::size_t base) {
    std::vector<PyObject*>& pinned = stacks().pinned;
    for (std::size_t i = base; i < pinned.size(); ++i) Py_DECREF(pinned[i]);
    pinned.resize(base);
  }

  // Work stacks, shared by every conversion on this thread so that their
  // storage is reused instead of regrown each time (a nested conversion
  // uses the part above its caller's). Only values whose length is user code
  // gather here; everything else is built in place.
  struct Stacks {
    std::vector<PyObject*> pinned;
    std::vector<RawParam> items;
    std::vector<RawEntry> entries;
  };
  static Stacks& thread_stacks() {
    static thread_local Stacks s;
    return s;
  }
  // Looked up on first use: most values never need the stacks, and finding
  // a thread-local object in a loaded module costs two calls into the
  // dynamic loader. The part above the current sizes is this conversion's
  // (a nested conversion that ran before has given its part back).
  Stacks& stacks() {
    if (stacks_ == nullptr) [[unlikely]]
      attach();
    return *stacks_;
  }
  [[gnu::noinline]] void attach() {
    stacks_ = &thread_stacks();
    pinned_base_ = stacks_->pinned.size();
    items_base_ = stacks_->items.size();
    entries_base_ = stacks_->entries.size();
  }
  [[gnu::noinline]] void detach() {
    Stacks& work = *stacks_;
    // Only after an exception unwound the conversion half-way is anything
    // left above the bases.
    if (work.pinned.size() != pinned_base_) [[unlikely]]
      unpin(pinned_base_);
    work.items.resize(items_base_);
    work.entries.resize(entries_base_);
    // Keep modest scratch capacity for the next conversion, not a huge one.
    constexpr std::size_t kKeep = 1u << 16;
    if (work.items.capacity() > kKeep && items_base_ == 0) [[unlikely]]
      std::vector<RawParam>().swap(work.items);
    if (work.entries.capacity() > kKeep && entries_base_ == 0) [[unlikely]]
      std::vector<RawEntry>().swap(work.entries);
  }

  std::string& error_;
  Stacks* stacks_ = nullptr;
  core::ParamBuilder builder_;
  std::ptrdiff_t countdown_ = kSignalInterval;
  std::size_t pinned_base_ = 0;
  std::size_t items_base_ = 0;
  std::size_t entries_base_ = 0;
};

// Dict keys repeat heavily in configuration data (every layer has "units",
// "activation", ...). Reusing the str objects made for recent keys saves
// decoding and, since a str caches its hash, rehashing on every insert.
// Strings are immutable, so sharing one between results is invisible.
constexpr std::size_t kKeyCacheSlots = 1024;

class KeyCache {
 public:
  PyObject* get(std::string_view key) {
    if (key.size() > kMaxLen) return new_str(key);
    Slot& slot = slots_[hash(key) & (kSlots - 1)];
    if (slot.str != nullptr && slot.len == key.size() &&
        std::memcmp(slot.bytes, key.data(), key.size()) == 0) {
      return Py_NewRef(slot.str);
    }
    PyObject* str = new_str(key);
    PyObject* old = slot.str;
    slot.str = Py_NewRef(str);
    slot.len = static_cast<std::uint8_t>(key.size());
    std::memcpy(slot.bytes, key.data(), key.size());
    Py_XDECREF(old);
    return str;
  }

 private:
  static constexpr std::size_t kMaxLen = 47;
  static constexpr std::size_t kSlots = kKeyCacheSlots;
  struct Slot {
    PyObject* str = nullptr;
    std::uint8_t len = 0;
    char bytes[kMaxLen] = {};
  };

  static std::uint64_t hash(std::string_view key) noexcept {
    std::uint64_t h = 0xcbf29ce484222325ull ^ key.size();
    for (unsigned char c : key) h = (h ^ c) * 0x100000001b3ull;
    return h ^ (h >> 29);
  }

  Slot slots_[kSlots];
};

// Only touched with the interpreter lock held.
KeyCache* g_key_cache = nullptr;

PyObject* key_to_str(std::string_view key) {
  if (g_key_cache == nullptr) g_key_cache = new KeyCache();
  return g_key_cache->get(key);
}

// Items made since pending signals were last looked at, counted across
// calls: a caller that converts many small values one by one (every entry of
// a large metadata map) gets its checks too. Only touched with the
// interpreter lock held.
std::ptrdiff_t g_to_python_countdown = kSignalInterval;

// Creates the Python objects for a value. Scalars are made inline in the
// list and dict loops; pending signals are looked at every few thousand
// items, as in the other direction.
class ToPython {
 public:
  PyObject* value(const ParamValue& v) {
    tick();
    PyObject* result = scalar(v);
    if (result != nullptr) return result;
    if (v.kind() == core::ParamKind::Array) return list(v.as_array());
    return dict(v.as_object());
  }

  PyObject* dict(core::ParamMapView map) {
    Ref dict = Ref::steal(PyDict_New());
    if (!dict) throw_python_error();
    // The keys of one map are distinct: a map larger than the key cache
    // would only churn it.
    const bool cached = map.size() <= kKeyCacheSlots;
    for (const ParamEntry& entry : map) {
      tick();
      Ref key = Ref::steal(cached ? key_to_str(entry.key) : new_str(entry.key.view()));
      Ref value = Ref::steal(item(entry.value));
      if (PyDict_SetItem(dict.get(), key.get(), value.get()) < 0) throw_python_error();
    }
    return dict.release();
  }

 private:
  PyObject* list(std::span<const ParamValue> items) {
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(items.size())));
    if (!list) throw_python_error();
    // Counted all at once; a long list is made in runs with a check after
    // each, as in the other direction.
    const std::size_t n = items.size();
    g_to_python_countdown -= static_cast<std::ptrdiff_t>(n);
    if (g_to_python_countdown <= 0) [[unlikely]]
      check_signals();
    if (n > kSignalInterval) return fill_long(list, items);
    for (std::size_t i = 0; i < n; ++i)
      PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item(items[i]));
    return list.release();
  }

  [[gnu::noinline]] PyObject* fill_long(Ref& list, std::span<const ParamValue> items) {
    const std::size_t n = items.size();
    for (std::size_t i = 0; i < n;) {
      for (const std::size_t end = std::min(n, i + kSignalInterval); i < end; ++i)
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item(items[i]));
      if (i < n) check_signals();
    }
    return list.release();
  }

  [[gnu::always_inline]] PyObject* item(const ParamValue& v) {
    PyObject* result = scalar(v);
    if (result != nullptr) return result;
    return container(v);
  }
  [[gnu::noinline]] PyObject* container(const ParamValue& v) {
    if (v.kind() == core::ParamKind::Array) return list(v.as_array());
    return dict(v.as_object());
  }

  // A new reference for a scalar, nullptr for a container; throws when the
  // interpreter cannot create the object.
  [[gnu::always_inline]] static PyObject* scalar(const ParamValue& v) {
    PyObject* result;
    switch (v.kind()) {
      case core::ParamKind::Null:
        return Py_NewRef(Py_None);
      case core::ParamKind::Bool:
        return Py_NewRef(v.as_bool() ? Py_True : Py_False);
      case core::ParamKind::UInt:
        result = PyLong_FromUnsignedLongLong(v.as_u64());
        break;
      case core::ParamKind::Int:
        result = PyLong_FromLongLong(v.as_i64());
        break;
      case core::ParamKind::Float:
        result = PyFloat_FromDouble(v.as_double());
        break;
      case core::ParamKind::String:
        return new_str(v.as_string());
      default:
        return nullptr;
    }
    if (result == nullptr) throw_python_error();
    return result;
  }

  void tick() {
    if (--g_to_python_countdown <= 0) [[unlikely]]
      check_signals();
  }
  [[gnu::noinline]] void check_signals() {
    g_to_python_countdown = kSignalInterval;
    if (PyErr_CheckSignals() < 0) throw Interrupted{};
  }
};

}  // namespace

bool param_from_python(PyObject* obj, ParamValue& out, std::string& error) {
  FromPython converter(error);
  return converter.run(obj, out);
}

ParamValue param_from_python_or_raise(PyObject* obj, const char* prefix) {
  ParamValue value;
  std::string error;
  if (!param_from_python(obj, value, error)) raise_value_error(prefix + error);
  return value;
}

PyObject* param_to_python(const ParamValue& value) { return ToPython().value(value); }
PyObject* param_map_to_dict(const ParamMap& map) { return ToPython().dict(map.view()); }

void raise_conversion_failure(const char* prefix) {
  if (PyErr_Occurred() == nullptr || !PyErr_ExceptionMatches(PyExc_Exception)) throw_python_error();
  raise_value_error(prefix + render_and_clear_exception());
}

}  // namespace tessarin::py
