// TraceLevel, TraceEvent and InMemoryTraceSink.
#pragma once

#include "core/trace.hpp"
#include "python/python.hpp"

#include <memory>

namespace tessarin::py {

PyTypeObject* trace_level_type();
PyTypeObject* trace_event_type();
PyTypeObject* in_memory_trace_sink_type();

// A new TraceEvent object holding `record` (which must not be null).
PyObject* new_trace_event(core::TraceRecordHandle record);

bool is_trace_event(PyObject* obj);
// The record inside `obj`, which must be a TraceEvent.
const core::TraceRecordHandle& trace_event_record(PyObject* obj);

bool is_in_memory_trace_sink(PyObject* obj);
// The event store inside `obj`, which must be an InMemoryTraceSink.
const std::shared_ptr<core::TraceStore>& trace_sink_store(PyObject* obj);

}  // namespace tessarin::py
