#include "python/diagnostics.hpp"

#include "python/args.hpp"
#include "python/errors.hpp"
#include "python/pyref.hpp"
#include "python/pytype.hpp"

#include <algorithm>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tessarin::py {

using core::TraceLevel;
using core::TraceRecordHandle;
using StoreHandle = std::shared_ptr<core::TraceStore>;

namespace {

// ----------------------------------------------------------------- TraceLevel

constexpr TraceLevel kLevels[] = {TraceLevel::Debug, TraceLevel::Info, TraceLevel::Warn,
                                  TraceLevel::Error};

TraceLevel level_of(PyObject* obj) { return value_of<TraceLevel>(obj); }

PyObject* new_level(TraceLevel level) {
  return new_instance<TraceLevel>(trace_level_type(), level);
}

PyObject* level_repr(PyObject* self) {
  return boundary<PyObject*>(nullptr, [&] {
    std::string text = "TraceLevel.";
    text += core::trace_level_name(level_of(self));
    return new_str(text);
  });
}

PyObject* level_int(PyObject* self) { return PyLong_FromLong(static_cast<long>(level_of(self))); }

// Equal to another level of the same value and to anything the interpreter's
// integer conversion turns into that value (ints, bools, objects with
// __index__). Everything else, ordering included, is left to the interpreter's
// fallback.
PyObject* level_richcompare(PyObject* self, PyObject* other, int op) {
  if (!Py_IS_TYPE(self, trace_level_type()) || (op != Py_EQ && op != Py_NE)) {
    Py_RETURN_NOTIMPLEMENTED;
  }
  const long long left = static_cast<long long>(level_of(self));
  long long right = 0;
  if (Py_IS_TYPE(other, trace_level_type())) {
    right = static_cast<long long>(level_of(other));
  } else {
    right = PyLong_AsLongLong(other);
    if (right == -1 && PyErr_Occurred() != nullptr) {
      // Not an integer, or one outside the signed 64-bit range: the
      // interpreter's fallback decides. An interrupt or exit raised by an
      // __index__ is not an answer to the comparison and propagates.
      if (!pending_error_is_ordinary()) return nullptr;
      PyErr_Clear();
      Py_RETURN_NOTIMPLEMENTED;
    }
  }
  const bool equal = left == right;
  return PyBool_FromLong((op == Py_EQ) == equal ? 1 : 0);
}

const char level_doc[] =
    "Severity level for trace events.\n\n"
    "Levels:\n"
    "    Debug: Detailed diagnostic information\n"
    "    Info: Normal operational events\n"
    "    Warn: Potentially problematic situations\n"
    "    Error: Failures that may require attention\n\n"
    "Example:\n"
    "    >>> event = TraceEvent(\"model.init\", \"Initializing encoder\", TraceLevel.Info)\n"
    "    >>> event.level\n"
    "    TraceLevel.Info";

PyType_Slot level_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_box<TraceLevel>)},
    {Py_tp_repr, reinterpret_cast<void*>(level_repr)},
    {Py_tp_richcompare, reinterpret_cast<void*>(level_richcompare)},
    // Equality without a hash: members are unhashable.
    {Py_tp_hash, reinterpret_cast<void*>(PyObject_HashNotImplemented)},
    {Py_nb_int, reinterpret_cast<void*>(level_int)},
    {Py_tp_doc, const_cast<char*>(level_doc)},
    {0, nullptr},
};

// Unlike the other classes, TraceLevel is not an immutable type: its members
// are class attributes that can only be stored once the type object exists,
// and an immutable type refuses attribute assignment from then on (the
// limited API offers no way to fill the type's dict before that point).
PyType_Spec level_spec = {
    "builtins.TraceLevel",
    sizeof(Box<TraceLevel>),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    level_slots,
};

PyTypeObject* create_level_type() {
  Ref type = Ref::steal(reinterpret_cast<PyObject*>(create_type(&level_spec)));
  for (TraceLevel level : kLevels) {
    Ref member =
        Ref::steal(new_instance<TraceLevel>(reinterpret_cast<PyTypeObject*>(type.get()), level));
    const std::string name(core::trace_level_name(level));
    if (PyObject_SetAttrString(type.get(), name.c_str(), member.get()) < 0) throw_python_error();
  }
  return reinterpret_cast<PyTypeObject*>(type.release());
}

// ----------------------------------------------------------------- TraceEvent

const TraceRecordHandle& record_of(PyObject* obj) { return value_of<TraceRecordHandle>(obj); }

TraceLevel level_arg(PyObject* obj, const char* function) {
  if (obj == nullptr || obj == Py_None) return TraceLevel::Info;
  if (!Py_IS_TYPE(obj, trace_level_type())) {
    raise_argument_type(function, "level", "TraceLevel or None", obj);
  }
  return level_of(obj);
}

std::optional<std::string> optional_str_arg(PyObject* obj, const char* function, const char* name) {
  if (obj == nullptr || obj == Py_None) return std::nullopt;
  if (!PyUnicode_Check(obj)) raise_argument_type(function, name, "str or None", obj);
  return std::string(utf8_of(obj));
}

PyObject* event_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
  return boundary<PyObject*>(nullptr, [&] {
    static const Signature sig{"TraceEvent", {"id", "message", "level", "span_id", "trace_id"}, 2};
    PyObject* argv[5];
    parse_args(sig, args, kwargs, argv);
    std::string_view id = arg_str(argv[0], sig.function, "id");
    std::string_view message = arg_str(argv[1], sig.function, "message");
    TraceLevel level = level_arg(argv[2], sig.function);
    std::optional<std::string> span_id = optional_str_arg(argv[3], sig.function, "span_id");
    std::optional<std::string> trace_id = optional_str_arg(argv[4], sig.function, "trace_id");
    // The clock is read here, once every argument has been accepted.
    return new_trace_event(core::make_trace_record(std::string(id), std::string(message), level,
                                                   std::move(span_id), std::move(trace_id)));
  });
}

PyObject* optional_str(const std::optional<std::string>& text) {
  if (!text) return Py_NewRef(Py_None);
  return new_str(*text);
}

PyObject* event_get_id(PyObject* self, void*) {
  return boundary<PyObject*>(nullptr, [&] { return new_str(record_of(self)->id()); });
}

PyObject* event_get_message(PyObject* self, void*) {
  return boundary<PyObject*>(nullptr, [&] { return new_str(record_of(self)->message()); });
}

// A new level object each time, equal to but not the class attribute.
PyObject* event_get_level(PyObject* self, void*) {
  return boundary<PyObject*>(nullptr, [&] { return new_level(record_of(self)->level()); });
}

PyObject* event_get_span_id(PyObject* self, void*) {
  return boundary<PyObject*>(nullptr, [&] { return optional_str(record_of(self)->span_id()); });
}

PyObject* event_get_trace_id(PyObject* self, void*) {
  return boundary<PyObject*>(nullptr, [&] { return optional_str(record_of(self)->trace_id()); });
}

PyObject* event_get_timestamp_secs(PyObject* self, void*) {
  return PyFloat_FromDouble(record_of(self)->timestamp_secs());
}

PyObject* event_repr(PyObject* self) {
  return boundary<PyObject*>(nullptr, [&] {
    const core::TraceRecord& record = *record_of(self);
    std::string text = "TraceEvent(id='";
    text += record.id();
    text += "', message='";
    text += record.message();
    text += "', level=";
    text += core::trace_level_name(record.level());
    text += ")";
    return new_str(text);
  });
}

PyGetSetDef event_getset[] = {
    {"id", event_get_id, nullptr, "Event identifier.", nullptr},
    {"message", event_get_message, nullptr, "Human-readable message.", nullptr},
    {"level", event_get_level, nullptr, "Severity level.", nullptr},
    {"span_id", event_get_span_id, nullptr, "Optional span ID for distributed tracing.", nullptr},
    {"trace_id", event_get_trace_id, nullptr, "Optional trace ID for distributed tracing.",
     nullptr},
    {"timestamp_secs", event_get_timestamp_secs, nullptr, "Unix timestamp (seconds since epoch).",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

const char event_doc[] =
    "TraceEvent(id, message, level=None, span_id=None, trace_id=None)\n--\n\n"
    "Structured trace event with timestamp and metadata.\n\n"
    "A trace event records one thing that happened during model construction:\n"
    "an identifier for filtering and grouping (for example\n"
    "\"stage.validation.start\"), a human-readable message, a severity level,\n"
    "optional distributed-tracing identifiers and the wall-clock time at which\n"
    "the event was created. Without a level, an event is Info.\n\n"
    "Example:\n"
    "    >>> event = TraceEvent(\"model.init\", \"Initializing encoder\")\n"
    "    >>> event.level\n"
    "    TraceLevel.Info\n"
    "    >>> debug = TraceEvent(\"model.init\", \"Loading weights\", level=TraceLevel.Debug)\n\n"
    "Attributes:\n"
    "    id (str): Event identifier.\n"
    "    message (str): Human-readable message.\n"
    "    level (TraceLevel): Severity level.\n"
    "    span_id (str | None): Optional span ID for distributed tracing.\n"
    "    trace_id (str | None): Optional trace ID for distributed tracing.\n"
    "    timestamp_secs (float): Unix timestamp when event was created.";

PyType_Slot event_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(event_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_box<TraceRecordHandle>)},
    {Py_tp_repr, reinterpret_cast<void*>(event_repr)},
    {Py_tp_getset, event_getset},
    {Py_tp_doc, const_cast<char*>(event_doc)},
    {0, nullptr},
};

PyType_Spec event_spec = {
    "builtins.TraceEvent",
    sizeof(Box<TraceRecordHandle>),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    event_slots,
};

// ---------------------------------------------------------- InMemoryTraceSink

core::TraceStore& store_of(PyObject* self) { return *value_of<StoreHandle>(self); }

PyObject* sink_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return boundary<PyObject*>(nullptr, [&] {
    parse_no_args("InMemoryTraceSink", args, kwargs);
    return new_instance<StoreHandle>(type, core::TraceStore::create());
  });
}

PyObject* sink_record(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return boundary<PyObject*>(nullptr, [&] {
    static const Signature sig{"record", {"event"}, 1};
    PyObject* argv[1] = {nargs == 1 && kwnames == nullptr ? args[0] : nullptr};
    // The usual call passes the event by position; anything else goes
    // through the full parser and its messages.
    if (argv[0] == nullptr) parse_args(sig, args, nargs, kwnames, argv);
    if (!is_trace_event(argv[0])) raise_argument_type(sig.function, "event", "TraceEvent", argv[0]);
    // Records are immutable, so the stored copy shares the event's record:
    // every field, the timestamp included, is exactly the event's.
    store_of(self).record(record_of(argv[0]));
    return Py_NewRef(Py_None);
  });
}

PyObject* sink_events(PyObject* self, PyObject*) {
  return boundary<PyObject*>(nullptr, [&] {
    // The snapshot is the first `count` records, which never change. They
    // are copied out a batch at a time, each batch under the store's mutex
    // and turned into Python objects without it, with a look for Ctrl-C
    // after each batch: ten million events neither hold the mutex nor keep
    // an interrupt waiting for long.
    const core::TraceStore& store = store_of(self);
    const std::size_t count = store.size();
    Ref list = Ref::steal(new_list_to_fill(static_cast<Py_ssize_t>(count)));
    std::vector<TraceRecordHandle> batch;
    batch.reserve(std::min(count, SignalPacer::kItems));  // nothing to allocate under the mutex
    for (std::size_t begin = 0; begin < count; begin += SignalPacer::kItems) {
      const std::size_t end = std::min(count, begin + SignalPacer::kItems);
      batch.clear();
      store.copy(begin, end, batch);
      for (std::size_t i = begin; i < end; ++i) {
        PyObject* event = new_trace_event(std::move(batch[i - begin]));
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), event);  // steals `event`
      }
      check_signals();
    }
    return finish_list(list.release());
  });
}

Py_ssize_t sink_length(PyObject* self) {
  return boundary<Py_ssize_t>(-1, [&] { return static_cast<Py_ssize_t>(store_of(self).size()); });
}

PyObject* sink_repr(PyObject* self) {
  return boundary<PyObject*>(nullptr, [&] {
    return new_str("InMemoryTraceSink(events=" + std::to_string(store_of(self).size()) + ")");
  });
}

PyMethodDef sink_methods[] = {
    {"record", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(sink_record)),
     METH_FASTCALL | METH_KEYWORDS,
     "record(event)\n--\n\nRecord a trace event.\n\nArgs:\n    event: TraceEvent to record."},
    {"events", sink_events, METH_NOARGS,
     "events($self)\n--\n\nGet all recorded events.\n\nReturns:\n"
     "    List of all TraceEvents in recording order."},
    {nullptr, nullptr, 0, nullptr},
};

const char sink_doc[] =
    "InMemoryTraceSink()\n--\n\n"
    "In-memory storage for trace events.\n\n"
    "Collects trace events during pipeline execution for later analysis. The\n"
    "sink is thread-safe and can be shared across pipeline stages: every\n"
    "BuildContext made from it records into the same list.\n\n"
    "Keeping events in memory:\n"
    "    - lets tests assert on exactly what a pipeline recorded;\n"
    "    - lets a run be inspected afterwards without any logging setup;\n"
    "    - keeps the complete history together for export (for example to JSON).\n\n"
    "In production, forward the events to your observability system after the\n"
    "pipeline completes.\n\n"
    "Example:\n"
    "    >>> sink = InMemoryTraceSink()\n"
    "    >>> sink.record(TraceEvent(\"test\", \"hello\"))\n"
    "    >>> len(sink)\n"
    "    1\n"
    "    >>> for event in sink.events():\n"
    "    ...     print(event.message)\n"
    "    hello";

// Length only: the sink is sized (and so has a truth value) but is neither
// iterable nor indexable.
PyType_Slot sink_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(sink_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_box<StoreHandle>)},
    {Py_tp_repr, reinterpret_cast<void*>(sink_repr)},
    {Py_mp_length, reinterpret_cast<void*>(sink_length)},
    {Py_tp_methods, sink_methods},
    {Py_tp_doc, const_cast<char*>(sink_doc)},
    {0, nullptr},
};

PyType_Spec sink_spec = {
    "builtins.InMemoryTraceSink",
    sizeof(Box<StoreHandle>),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    sink_slots,
};

}  // namespace

PyTypeObject* trace_level_type() {
  static PyTypeObject* type = create_level_type();
  return type;
}

TESSARIN_DEFINE_TYPE_GETTER(trace_event_type, event_spec)
TESSARIN_DEFINE_TYPE_GETTER(in_memory_trace_sink_type, sink_spec)

PyObject* new_trace_event(TraceRecordHandle record) {
  return new_instance<TraceRecordHandle>(trace_event_type(), std::move(record));
}

bool is_trace_event(PyObject* obj) { return Py_IS_TYPE(obj, trace_event_type()); }

const TraceRecordHandle& trace_event_record(PyObject* obj) { return record_of(obj); }

bool is_in_memory_trace_sink(PyObject* obj) { return Py_IS_TYPE(obj, in_memory_trace_sink_type()); }

const StoreHandle& trace_sink_store(PyObject* obj) { return value_of<StoreHandle>(obj); }

}  // namespace tessarin::py
