// NodeId, GraphNode and BuildGraph.
#pragma once

#include "core/graph.hpp"
#include "core/node_metadata.hpp"
#include "python/access.hpp"
#include "python/python.hpp"

#include <cstdint>
#include <string>

namespace tessarin::py {

PyTypeObject* node_id_type();
PyTypeObject* graph_node_type();
PyTypeObject* build_graph_type();

// A new NodeId object.
PyObject* new_node_id(std::uint64_t value);
bool is_node_id(PyObject* obj);

bool is_build_graph(PyObject* obj);

// A copy of the graph inside `obj` (which must be a BuildGraph), taken under
// shared access (waiting while another thread changes the graph; "Already
// mutably borrowed" on re-entry from a call that changes it). Cheap: the
// node bytes are shared, only the index is copied.
core::Graph graph_copy_of(PyObject* obj);

// As graph_copy_of, raising TypeError naming the argument when `obj` is not
// a BuildGraph.
core::Graph graph_arg_copy(PyObject* obj, const char* function, const char* name);

// The access flag of a GraphNode or BuildGraph; nullptr for any other
// object.
AccessFlag* graph_access_flag(PyObject* obj);

// A new BuildGraph object owning `graph`.
PyObject* new_build_graph(core::Graph graph);

// For pickling: the value of a NodeId; the fields of a GraphNode (read under
// shared access) and a new GraphNode made of them.
std::uint64_t node_id_value(PyObject* obj);
void graph_node_fields(PyObject* obj, std::uint64_t& id, std::string& name,
                       core::ModelConfig& config, core::NodeMetadata& metadata);
PyObject* new_graph_node(std::uint64_t id, std::string name, core::ModelConfig config,
                         core::NodeMetadata metadata);

}  // namespace tessarin::py
