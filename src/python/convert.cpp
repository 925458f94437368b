#include "python/convert.hpp"

#include "python/args.hpp"
#include "python/errors.hpp"
#include "python/pyref.hpp"

#include <algorithm>
#include <cstring>
#include <vector>

namespace tessarin::py {

using core::ParamEntry;
using core::ParamMap;
using core::ParamValue;

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
  Ref name = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__qualname__"));
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

class FromPython {
 public:
  explicit FromPython(std::string& error) : error_(error) {}

  bool convert(PyObject* obj, ParamValue& out, int depth) {
    if (obj == Py_None) {
      out = ParamValue();
      return true;
    }
    PyTypeObject* type = Py_TYPE(obj);
    // Exact built-in types first: they are the common case and cannot run
    // user code, so they skip the flag lookups below.
    if (type == &PyUnicode_Type) return convert_str(obj, out);
    if (type == &PyLong_Type) return convert_int(obj, out);
    if (type == &PyBool_Type) {
      out = ParamValue::boolean(obj == Py_True);
      return true;
    }
    if (type == &PyFloat_Type) {
      out = ParamValue::real(PyFloat_AsDouble(obj));
      return true;
    }
    if (type == &PyDict_Type) return convert_exact_dict(obj, out, depth);
    if (type == &PyList_Type) return convert_sequence(obj, out, depth, /*exact_list=*/true);
    if (type == &PyTuple_Type) return convert_tuple(obj, out, depth);

    unsigned long flags = PyType_GetFlags(type);
    if (flags & Py_TPFLAGS_LONG_SUBCLASS) return convert_int(obj, out);
    if (flags & (Py_TPFLAGS_LIST_SUBCLASS | Py_TPFLAGS_TUPLE_SUBCLASS))
      return convert_sequence(obj, out, depth, false);
    if (flags & Py_TPFLAGS_DICT_SUBCLASS) return convert_mapping(obj, out, depth);
    if (flags & Py_TPFLAGS_UNICODE_SUBCLASS) return convert_str(obj, out);
    if (flags & Py_TPFLAGS_BYTES_SUBCLASS)
      return fail("invalid type: byte array, expected any valid JSON value");
    if (PyByteArray_Check(obj)) return fail_cast(obj, "bytes");
    if (PyFloat_Check(obj)) {
      double d = PyFloat_AsDouble(obj);
      if (d == -1.0 && PyErr_Occurred()) return fail_from_python();
      out = ParamValue::real(d);
      return true;
    }
    if (PyAnySet_Check(obj)) return convert_set(obj, out, depth);

    if (!load_abcs()) return fail_from_python();
    int is_seq = instance_check(obj, g_sequence_abc);
    if (is_seq < 0) return false;
    if (is_seq) return convert_sequence(obj, out, depth, false);
    int is_map = instance_check(obj, g_mapping_abc);
    if (is_map < 0) return false;
    if (is_map) return convert_mapping(obj, out, depth);

    return fail_unsupported(obj);
  }

 private:
  // Values of these exact types convert without running any user code.
  static bool is_plain_scalar(PyObject* obj) noexcept {
    PyTypeObject* t = Py_TYPE(obj);
    return t == &PyUnicode_Type || t == &PyLong_Type || t == &PyFloat_Type || t == &PyBool_Type ||
           obj == Py_None;
  }

  // The failure paths build their messages out of line: the recursive
  // frames stay small, which is what bounds the native stack per level.
  [[gnu::noinline, gnu::cold]] bool fail(const char* message) {
    error_ = message;
    return false;
  }
  [[gnu::noinline, gnu::cold]] bool fail_cast(PyObject* obj, const char* target) {
    error_ = "unexpected type: " + cast_text(obj, target);
    return false;
  }
  [[gnu::noinline, gnu::cold]] bool fail_unsupported(PyObject* obj) {
    bool ok = false;
    std::string name = qualname_of_type(obj, &ok);
    error_ = "unsupported type " + (ok ? name : std::string("unknown"));
    return false;
  }
  [[gnu::noinline, gnu::cold]] bool fail_length(Py_ssize_t first, Py_ssize_t second) {
    error_ = "expected sequence of length " + std::to_string(first) + ", got " + std::to_string(second);
    return false;
  }
  [[gnu::noinline, gnu::cold]] bool fail_depth() {
    error_ = "value nested more than " + std::to_string(core::kMaxParamDepth) +
             " levels deep (or containing itself)";
    return false;
  }

  // Turns the pending Python exception into the conversion message, unless
  // it is not an Exception: interrupts and exits propagate untouched.
  bool fail_from_python() {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) throw PythonError{};
    error_ = render_and_clear_exception();
    return false;
  }

  // 1 / 0, or -1 when a non-Exception must propagate (thrown instead).
  int instance_check(PyObject* obj, PyObject* abc) {
    int result = PyObject_IsInstance(obj, abc);
    if (result < 0) {
      if (!PyErr_ExceptionMatches(PyExc_Exception)) throw PythonError{};
      // A broken __instancecheck__ is reported, not fatal: the check fails.
      PyErr_WriteUnraisable(obj);
      return 0;
    }
    return result;
  }

  bool enter(int depth) { return depth < core::kMaxParamDepth || fail_depth(); }

  bool convert_str(PyObject* obj, ParamValue& out) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(obj, &size);
    if (data == nullptr) return fail_from_python();
    out = arena_.string({data, static_cast<std::size_t>(size)});
    return true;
  }

  bool convert_int(PyObject* obj, ParamValue& out) {
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(obj, &overflow);
    if (overflow == 0) {
      if (v == -1 && PyErr_Occurred()) return fail_from_python();
      out = ParamValue::from_int64(v);
      return true;
    }
    if (overflow > 0) {
      unsigned long long u = PyLong_AsUnsignedLongLong(obj);
      if (!(u == static_cast<unsigned long long>(-1) && PyErr_Occurred())) {
        out = ParamValue::uinteger(u);
        return true;
      }
      PyErr_Clear();
    }
    // Beyond 64 bits. Within 128 bits (as the high part x >> 64 fits a C
    // long) the value is merely out of range; beyond that the interpreter's
    // own OverflowError for the high part is the message.
    Ref shift = Ref::steal(PyLong_FromLong(64));
    if (!shift) return fail_from_python();
    Ref high = Ref::steal(PyNumber_Rshift(obj, shift.get()));
    if (!high) return fail_from_python();
    long h = PyLong_AsLong(high.get());
    if (h == -1 && PyErr_Occurred()) return fail_from_python();
    return fail("JSON number out of range");
  }

  // Converts `item` and pushes the result on the item stack. The result is
  // built in a local first: nested conversions may grow (and move) the stack.
  bool push_item(PyObject* item, int depth) {
    ParamValue value;
    if (!convert(item, value, depth + 1)) return false;
    items_.push_back(std::move(value));
    return true;
  }

  // Moves the items pushed since `base` into a new array value.
  void pop_array(std::size_t base, ParamValue& out) {
    out = arena_.array(std::span<ParamValue>(items_.data() + base, items_.size() - base));
    items_.resize(base);
  }

  bool convert_tuple(PyObject* obj, ParamValue& out, int depth) {
    if (!enter(depth)) return false;
    Py_ssize_t n = PyTuple_Size(obj);
    const std::size_t base = items_.size();
    for (Py_ssize_t i = 0; i < n; ++i) {
      // Borrowed: a tuple cannot change, and our caller keeps it alive.
      if (!push_item(PyTuple_GetItem(obj, i), depth)) return truncate_items(base);
    }
    pop_array(base, out);
    return true;
  }

  bool convert_sequence(PyObject* obj, ParamValue& out, int depth, bool exact_list) {
    if (!enter(depth)) return false;
    // The length is asked twice, once to dispatch and once to read: user code
    // may change it in between, and that is reported rather than ignored.
    Py_ssize_t first = PyObject_Size(obj);
    if (first < 0) return fail_from_python();
    Py_ssize_t second = exact_list ? PyList_Size(obj) : PyObject_Size(obj);
    if (second < 0) return fail_from_python();
    if (first != second) {
      return fail_length(first, second);
    }
    const std::size_t base = items_.size();
    for (Py_ssize_t i = 0; i < second; ++i) {
      if (exact_list) {
        // Plain scalars run no user code: a borrowed reference is safe.
        PyObject* borrowed = PyList_GetItem(obj, i);
        if (borrowed != nullptr && is_plain_scalar(borrowed)) {
          if (!push_item(borrowed, depth)) return truncate_items(base);
          continue;
        }
      }
      // A new reference: converting earlier items may run user code that
      // removes this one from the sequence.
      Ref item = Ref::steal(exact_list ? Py_XNewRef(PyList_GetItem(obj, i)) : PySequence_GetItem(obj, i));
      if (!item) {
        truncate_items(base);
        return fail_from_python();
      }
      if (!push_item(item.get(), depth)) return truncate_items(base);
    }
    pop_array(base, out);
    return true;
  }

  bool convert_set(PyObject* obj, ParamValue& out, int depth) {
    if (!enter(depth)) return false;
    Ref iter = Ref::steal(PyObject_GetIter(obj));
    if (!iter) return fail_from_python();
    const std::size_t base = items_.size();
    while (Ref item = Ref::steal(PyIter_Next(iter.get()))) {
      if (!push_item(item.get(), depth)) return truncate_items(base);
    }
    if (PyErr_Occurred()) {
      truncate_items(base);
      return fail_from_python();
    }
    pop_array(base, out);
    return true;
  }

  bool truncate_items(std::size_t base) {
    items_.resize(base);
    return false;
  }
  bool truncate_entries(std::size_t base) {
    entries_.resize(base);
    return false;
  }

  // Converts one key/value pair and pushes it on the entry stack.
  bool push_entry(PyObject* key, PyObject* value, int depth) {
    if (!PyUnicode_Check(key)) return fail_cast(key, "str");
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(key, &size);
    if (data == nullptr) return fail_from_python();
    ParamEntry entry{core::ParamKey({data, static_cast<std::size_t>(size)}), ParamValue()};
    if (!convert(value, entry.value, depth + 1)) return false;
    entries_.push_back(std::move(entry));
    return true;
  }

  void pop_object(std::size_t base, ParamValue& out) {
    out = arena_.object_from_unsorted(std::span<ParamEntry>(entries_.data() + base, entries_.size() - base));
    entries_.resize(base);
  }

  // An exact dict: keys(), values() and len() cannot be overridden, so its
  // entries are read directly. As long as only plain scalars have been
  // converted no user code has run and the dict cannot have changed; from
  // the first other value on, the remaining entries are pinned first (held
  // by reference), so that user code run by a nested conversion can neither
  // free them under us nor change what this conversion sees, exactly as if
  // keys() and values() had been taken up front.
  bool convert_exact_dict(PyObject* obj, ParamValue& out, int depth) {
    if (!enter(depth)) return false;
    const std::size_t base = entries_.size();
    Py_ssize_t pos = 0;
    PyObject *key = nullptr, *value = nullptr;
    while (PyDict_Next(obj, &pos, &key, &value)) {
      if (!is_plain_scalar(value) || !PyUnicode_Check(key)) {
        const std::size_t pin_base = pinned_.size();
        do {
          pinned_.push_back(Py_NewRef(key));
          pinned_.push_back(Py_NewRef(value));
        } while (PyDict_Next(obj, &pos, &key, &value));
        bool ok = true;
        for (std::size_t i = pin_base; i < pinned_.size() && ok; i += 2) {
          ok = push_entry(pinned_[i], pinned_[i + 1], depth);
        }
        unpin(pin_base);
        if (!ok) return truncate_entries(base);
        break;
      }
      if (!push_entry(key, value, depth)) return truncate_entries(base);
    }
    pop_object(base, out);
    return true;
  }

  // Any other mapping: keys() and values() as lists, then len(); the i-th
  // key pairs with the i-th value.
  bool convert_mapping(PyObject* obj, ParamValue& out, int depth) {
    if (!enter(depth)) return false;
    Ref keys = Ref::steal(PyMapping_Keys(obj));
    if (!keys) return fail_from_python();
    Ref values = Ref::steal(PyMapping_Values(obj));
    if (!values) return fail_from_python();
    Py_ssize_t len = PyObject_Size(obj);
    if (len < 0) return fail_from_python();
    const std::size_t base = entries_.size();
    for (Py_ssize_t i = 0; i < len; ++i) {
      Ref key = Ref::steal(PySequence_GetItem(keys.get(), i));
      if (!key) {
        truncate_entries(base);
        return fail_from_python();
      }
      if (!PyUnicode_Check(key.get())) {
        truncate_entries(base);
        return fail_cast(key.get(), "str");
      }
      Ref value = Ref::steal(PySequence_GetItem(values.get(), i));
      if (!value) {
        truncate_entries(base);
        return fail_from_python();
      }
      if (!push_entry(key.get(), value.get(), depth)) return truncate_entries(base);
    }
    pop_object(base, out);
    return true;
  }

  void unpin(std::size_t base) {
    for (std::size_t i = base; i < pinned_.size(); ++i) Py_DECREF(pinned_[i]);
    pinned_.resize(base);
  }

 public:
  ~FromPython() {
    // Also after an exception unwound the conversion half-way.
    unpin(pinned_base_);
    items_.resize(items_base_);
    entries_.resize(entries_base_);
    // Keep modest scratch capacity for the next conversion, not a huge one.
    constexpr std::size_t kKeep = 1u << 16;
    if (pinned_base_ == 0 && items_.empty() && items_.capacity() > kKeep) std::vector<ParamValue>().swap(items_);
    if (pinned_base_ == 0 && entries_.empty() && entries_.capacity() > kKeep) std::vector<ParamEntry>().swap(entries_);
  }

 private:
  // Work stacks, shared by every conversion on this thread so that their
  // storage is reused instead of regrown each time (a nested conversion
  // uses the part above its caller's).
  struct Stacks {
    std::vector<PyObject*> pinned;
    std::vector<ParamValue> items;
    std::vector<ParamEntry> entries;
  };
  static Stacks& stacks() {
    static thread_local Stacks s;
    return s;
  }

  std::string& error_;
  core::ParamArena arena_;
  std::vector<PyObject*>& pinned_ = stacks().pinned;
  std::vector<ParamValue>& items_ = stacks().items;
  std::vector<ParamEntry>& entries_ = stacks().entries;
  std::size_t pinned_base_ = pinned_.size();
  std::size_t items_base_ = items_.size();
  std::size_t entries_base_ = entries_.size();
};

PyObject* to_python(const ParamValue& v);

// Dict keys repeat heavily in configuration data (every layer has "units",
// "activation", ...). Reusing the str objects made for recent keys saves
// decoding and, since a str caches its hash, rehashing on every insert.
// Strings are immutable, so sharing one between results is invisible.
class KeyCache {
 public:
  PyObject* get(std::string_view key) {
    if (key.size() > kMaxLen) return new_str(key);
    Slot& slot = slots_[hash(key) & (kSlots - 1)];
    if (slot.str != nullptr && slot.len == key.size() && std::memcmp(slot.bytes, key.data(), key.size()) == 0) {
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
  static constexpr std::size_t kSlots = 1024;
  struct Slot {
    PyObject* str = nullptr;
    std::uint8_t len = 0;
    char bytes[kMaxLen];
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

PyObject* map_to_dict(core::ParamMapView map) {
  Ref dict = Ref::steal(PyDict_New());
  if (!dict) throw_python_error();
  for (const ParamEntry& entry : map) {
    Ref key = Ref::steal(key_to_str(entry.key));
    Ref value = Ref::steal(to_python(entry.value));
    if (PyDict_SetItem(dict.get(), key.get(), value.get()) < 0) throw_python_error();
  }
  return dict.release();
}

PyObject* to_python(const ParamValue& v) {
  PyObject* result = nullptr;
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
    case core::ParamKind::Array: {
      auto items = v.as_array();
      Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(items.size())));
      if (!list) throw_python_error();
      for (std::size_t i = 0; i < items.size(); ++i) {
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), to_python(items[i]));
      }
      return list.release();
    }
    case core::ParamKind::Object:
      return map_to_dict(v.as_object());
  }
  if (result == nullptr) throw_python_error();
  return result;
}

}  // namespace

bool param_from_python(PyObject* obj, ParamValue& out, std::string& error) {
  FromPython converter(error);
  return converter.convert(obj, out, 0);
}

ParamValue param_from_python_or_raise(PyObject* obj, const char* prefix) {
  ParamValue value;
  std::string error;
  if (!param_from_python(obj, value, error)) raise_value_error(prefix + error);
  return value;
}

PyObject* param_to_python(const ParamValue& value) { return to_python(value); }
PyObject* param_map_to_dict(const ParamMap& map) { return map_to_dict(map.view()); }

void raise_conversion_failure(const char* prefix) {
  if (PyErr_Occurred() == nullptr || !PyErr_ExceptionMatches(PyExc_Exception)) throw_python_error();
  raise_value_error(prefix + render_and_clear_exception());
}

}  // namespace tessarin::py
