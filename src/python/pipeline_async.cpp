// BuildPipeline.execute_async: a pipeline run on the worker pool, bridged to
// an asyncio future.
//
// Who does what:
//   calling thread  converts the arguments, copies what the run needs, makes
//                   the future and hands a core::AsyncPipelineRun to the pool;
//   worker thread   runs the stages without the interpreter lock and hands the
//                   outcome to a blocking-job thread;
//   blocking job    takes the interpreter lock, converts the outcome and asks
//                   the loop (call_soon_threadsafe) to run the completor;
//   loop thread     runs the done-callback (sets the run's cancellation
//                   signal when the future was cancelled) and the completor
//                   (completes the future unless it was cancelled meanwhile).
//
// Two rules keep pool threads safe around the interpreter:
//   - A run's Python references (loop, future, context snapshot) are only
//     ever released with the interpreter lock held, in a blocking job. The
//     pool drops finished tasks on worker threads without the lock, so the
//     task itself holds no Python reference.
//   - No pool thread enters the interpreter once it is shutting down: an
//     atexit hook closes a gate, and every blocking job passes the gate before
//     it asks for the lock (taking the lock during finalization would end the
//     thread with a forced unwind, or hang it). What is still in flight then
//     is leaked on purpose.
//
// Across fork(), the child has only the thread that forked (which holds the
// interpreter lock), so every lock and count it inherits must make sense
// without the threads that are gone:
//   - the worker pool and the trace stores look after themselves in the
//     core: the child starts a fresh pool on first use and forgets the
//     parent's runs (their futures belong to the parent's loop; the child
//     leaks its copy of their Python references rather than release them),
//     and a fork waits for pool threads to finish any event they are
//     appending, so no store is left locked or half-changed;
//   - the gate below is reset in the child: its count of threads inside
//     would otherwise still include delivery threads that did not survive,
//     and the atexit hook would wait for them forever;
//   - the key cache of the parameter conversion, the cached modules and the
//     type objects are only ever touched with the interpreter lock held, so
//     the forking thread cannot find them half-changed, and CPython makes
//     the interpreter lock itself anew in the child.
// Python threads that record into a sink, or read it, hold the interpreter
// lock for the whole call, store mutex included (nothing here releases the
// lock around a store operation); one that forks holds the lock too, so no
// other Python thread can be inside a store at that moment. Only pool
// workers record without it, and they do so where a fork waits for them.
#include "core/async_run.hpp"
#include "core/worker_pool.hpp"
#include "python/args.hpp"
#include "python/errors.hpp"
#include "python/graph.hpp"
#include "python/pipeline.hpp"
#include "python/pyref.hpp"
#include "python/pytype.hpp"
#include "python/reenter.h"

#include <pthread.h>

#include <cerrno>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

namespace tessarin::py {

namespace {

using core::AsyncOutcome;
using core::CancelSignal;

// ------------------------------------------------------------ shutdown gate

class InterpreterGate;
InterpreterGate& gate();

// Lets pool threads into the interpreter until the interpreter starts to shut
// down. A thread passes the gate before it asks for the interpreter lock and
// leaves it after giving the lock back; close() shuts the gate and waits for
// the threads inside, so once it returns no pool thread is in, or about to
// enter, the interpreter.
class InterpreterGate {
 public:
  // Scoped passage; false (and nothing to leave) once the gate is closed.
  class Pass {
   public:
    explicit Pass(InterpreterGate& gate) : gate_(gate.enter() ? &gate : nullptr) {}
    ~Pass() {
      if (gate_ != nullptr) gate_->leave();
    }
    Pass(const Pass&) = delete;
    Pass& operator=(const Pass&) = delete;
    explicit operator bool() const noexcept { return gate_ != nullptr; }

   private:
    InterpreterGate* gate_;
  };

  // Called by the atexit hook with the interpreter lock released: the
  // threads inside may need the lock to get out.
  void close() {
    std::unique_lock<std::mutex> lock(mutex_);
    closed_ = true;
    left_.wait(lock, [this] { return inside_ == 0; });
  }

  bool closed() {
    const std::lock_guard<std::mutex> lock(mutex_);
    return closed_;
  }

  // Registers the fork handlers below for this gate; once.
  void survive_fork() {
    if (pthread_atfork(&before_fork, &after_fork_in_parent, &after_fork_in_child) != 0) {
      throw std::system_error(errno, std::generic_category(), "pthread_atfork");
    }
  }

 private:
  // Held across the fork, so that the child inherits a consistent state.
  // Never waits long: no thread holds the mutex while waiting for the
  // interpreter lock (a Pass is taken before asking for it), and close()
  // releases it while it waits.
  static void before_fork() noexcept { gate().mutex_.lock(); }
  static void after_fork_in_parent() noexcept { gate().mutex_.unlock(); }
  // None of the threads counted inside exists in the child. Whether the gate
  // is closed carries over: a child forked during shutdown is shutting down
  // too. The mutex and condition variable are made anew rather than
  // released, since a thread that no longer exists may be waiting on the
  // condition variable.
  static void after_fork_in_child() noexcept {
    InterpreterGate& g = gate();
    new (&g.mutex_) std::mutex;
    new (&g.left_) std::condition_variable;
    g.inside_ = 0;
  }

  bool enter() {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (closed_) return false;
    ++inside_;
    return true;
  }
  void leave() {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (--inside_ == 0) left_.notify_all();
  }

  std::mutex mutex_;
  std::condition_variable left_;
  bool closed_ = false;
  int inside_ = 0;
};

InterpreterGate& gate() {
  // Leaked: pool threads may still look at it while the process exits, after
  // static destructors have run. Made with the interpreter lock held, before
  // the first delivery thread can exist.
  static InterpreterGate* const instance = [] {
    auto* made = new InterpreterGate;
    made->survive_fork();
    return made;
  }();
  return *instance;
}

PyObject* close_gate_at_exit(PyObject*, PyObject*) {
  Py_BEGIN_ALLOW_THREADS gate().close();
  Py_END_ALLOW_THREADS Py_RETURN_NONE;
}

PyMethodDef close_gate_def = {
    "_tessarin_close_async_gate",
    close_gate_at_exit,
    METH_NOARGS,
    "Stops background pipeline runs from entering the interpreter at exit.",
};

// Registers the atexit hook once, on the first hand-off of a run.
void ensure_exit_hook() {
  static bool registered = false;  // guarded by the interpreter lock
  if (registered) return;
  Ref atexit = Ref::steal(PyImport_ImportModule("atexit"));
  if (!atexit) throw_python_error();
  Ref hook = Ref::steal(PyCFunction_NewEx(&close_gate_def, nullptr, nullptr));
  if (!hook) throw_python_error();
  Ref result = Ref::steal(PyObject_CallMethod(atexit.get(), "register", "O", hook.get()));
  if (!result) throw_python_error();
  registered = true;
}

// ----------------------------------------------------------- run references

// The Python objects a run keeps from the call until its outcome has been
// delivered or dropped. They are released only by release_locked(), with the
// interpreter lock held; there is deliberately no releasing destructor, since
// the last owner may be a thread without the lock (or the process may be
// exiting), where leaking is the only safe choice.
struct RunHandles {
  PyObject* loop;
  PyObject* future;
  PyObject* context;

  void release_locked() noexcept {
    Py_CLEAR(loop);
    Py_CLEAR(future);
    Py_CLEAR(context);
  }
};

// Reports the pending Python error through the interpreter's display for
// errors that cannot be raised to anybody.
void report_unraisable(PyObject* where) {
  if (PyErr_Occurred() != nullptr) PyErr_WriteUnraisable(where);
}

// future.cancelled() as 1 or 0, or -1 with a Python error set.
int future_cancelled(PyObject* future) {
  Ref result = Ref::steal(PyObject_CallMethod(future, "cancelled", nullptr));
  if (!result) return -1;
  return PyObject_IsTrue(result.get());
}

// ------------------------------------------------------------ the completor

// Called by the loop on its own thread as completor(future, method, value):
// calls method(value) unless the future was cancelled after the outcome was
// handed over (set_result on a cancelled future would raise).
PyObject* completor_call(PyObject*, PyObject* args, PyObject* kwargs) {
  return boundary<PyObject*>(nullptr, [&]() -> PyObject* {
    PyObject *future = nullptr, *method = nullptr, *value = nullptr;
    if (kwargs != nullptr && PyDict_Size(kwargs) != 0) {
      raise_type_error("_Completor() takes no keyword arguments");
    }
    if (!PyArg_UnpackTuple(args, "_Completor", 3, 3, &future, &method, &value))
      throw_python_error();
    int cancelled = future_cancelled(future);
    if (cancelled < 0) throw_python_error();
    if (cancelled != 0) Py_RETURN_NONE;
    Ref result = Ref::steal(PyObject_CallFunctionObjArgs(method, value, nullptr));
    if (!result) throw_python_error();
    Py_RETURN_NONE;
  });
}

PyType_Slot completor_slots[] = {
    {Py_tp_call, reinterpret_cast<void*>(completor_call)},
    {Py_tp_doc,
     const_cast<char*>("Completes a future on its loop's thread unless it was cancelled.")},
    {0, nullptr},
};

PyType_Spec completor_spec = {
    "builtins._Completor",
    sizeof(PyObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    completor_slots,
};

TESSARIN_DEFINE_TYPE_GETTER(completor_type, completor_spec)

// The one completor; it holds nothing, so every run shares it.
PyObject* completor() {
  static PyObject* const instance = [] {
    PyObject* obj = PyType_GenericAlloc(completor_type(), 0);
    if (obj == nullptr) throw_python_error();
    return obj;
  }();
  return instance;
}

// -------------------------------------------------------- the done-callback

using SignalHandle = std::shared_ptr<CancelSignal>;

// Registered with future.add_done_callback: sets the run's cancellation
// signal when the finished future turns out to be cancelled. It holds no
// Python reference, so it needs no garbage-collector support.
PyObject* cancel_watch_call(PyObject* self, PyObject* args, PyObject* kwargs) {
  return boundary<PyObject*>(nullptr, [&]() -> PyObject* {
    PyObject* future = nullptr;
    if (kwargs != nullptr && PyDict_Size(kwargs) != 0) {
      raise_type_error("_CancelWatch() takes no keyword arguments");
    }
    if (!PyArg_UnpackTuple(args, "_CancelWatch", 1, 1, &future)) throw_python_error();
    int cancelled = future_cancelled(future);
    if (cancelled < 0) {
      // Nobody could act on an error raised here; the run goes on as if the
      // future had not been cancelled.
      report_unraisable(future);
    } else if (cancelled != 0) {
      value_of<SignalHandle>(self)->set();
    }
    Py_RETURN_NONE;
  });
}

PyType_Slot cancel_watch_slots[] = {
    {Py_tp_call, reinterpret_cast<void*>(cancel_watch_call)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_box<SignalHandle>)},
    {Py_tp_doc, const_cast<char*>("Stops a background pipeline run when its future is cancelled.")},
    {0, nullptr},
};

PyType_Spec cancel_watch_spec = {
    "builtins._CancelWatch",
    sizeof(Box<SignalHandle>),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    cancel_watch_slots,
};

TESSARIN_DEFINE_TYPE_GETTER(cancel_watch_type, cancel_watch_spec)

// ----------------------------------------------------------------- delivery

// Runs `body` on the current (pool) thread with the interpreter lock held,
// unless the interpreter is shutting down, in which case nothing happens and
// whatever the caller meant to release stays leaked. `body` handles its own
// errors.
//
// The lock is taken through the parking shims (python/reenter.h), with no
// mutex held: the gate pass is a count, not a lock.
template <class Body>
void with_interpreter(Body&& body) {
  const InterpreterGate::Pass pass(gate());
  if (!pass) return;
  // The first visit creates this thread's interpreter state and keeps it:
  // creating and destroying one for every delivery would be a noticeable
  // part of a short run's round trip. The interpreter disposes of it when it
  // finalizes; by then the gate keeps this thread out.
  thread_local PyThreadState* kept = nullptr;
  if (kept == nullptr) {
    (void)tessarin_gil_ensure();
  } else {
    tessarin_restore_thread(kept);
  }
  body();
  kept = PyEval_SaveThread();
}

// The Python value that completes the future: a new BuildGraph or the
// exception instance the run ended with.
Ref outcome_value(AsyncOutcome& outcome) {
  switch (outcome.kind) {
    case AsyncOutcome::Kind::Completed:
      return Ref::steal(new_build_graph(std::move(outcome.graph)));
    case AsyncOutcome::Kind::StageFailed:
    case AsyncOutcome::Kind::Faulted: {
      PyObject* type = outcome.kind == AsyncOutcome::Kind::StageFailed ? PyExc_RuntimeError
                                                                       : internal_error_type();
      if (type == nullptr) throw_python_error();
      Ref message = Ref::steal(new_str(outcome.message));
      Ref value = Ref::steal(PyObject_CallFunctionObjArgs(type, message.get(), nullptr));
      if (!value) throw_python_error();
      return value;
    }
    case AsyncOutcome::Kind::Cancelled:
      break;
  }
  throw InternalError("a cancelled run has no value to deliver");
}

// Hands the outcome to the loop; with the interpreter lock held. Any Python
// error is left pending for the caller to report.
void deliver_locked(const RunHandles& run, AsyncOutcome& outcome) {
  const int cancelled = future_cancelled(run.future);
  if (cancelled < 0) throw_python_error();
  if (cancelled != 0) return;

  const bool success = outcome.kind == AsyncOutcome::Kind::Completed;
  Ref value = outcome_value(outcome);
  Ref method =
      Ref::steal(PyObject_GetAttrString(run.future, success ? "set_result" : "set_exception"));
  if (!method) throw_python_error();
  Ref schedule = Ref::steal(PyObject_GetAttrString(run.loop, "call_soon_threadsafe"));
  if (!schedule) throw_python_error();
  // No vectorcall in the 3.10 limited API: a tuple and a dict it is.
  Ref args = Ref::steal(PyTuple_Pack(4, completor(), run.future, method.get(), value.get()));
  if (!args) throw_python_error();
  Ref kwargs = Ref::steal(PyDict_New());
  if (!kwargs || PyDict_SetItemString(kwargs.get(), "context", Py_None) != 0) throw_python_error();
  // On a loop closed while the run was in flight this raises RuntimeError.
  // It goes to the caller's report like any other error: nobody can ever see
  // that future complete, so the report is the only sign that work was lost.
  Ref handle = Ref::steal(PyObject_Call(schedule.get(), args.get(), kwargs.get()));
  if (!handle) throw_python_error();
}

// The blocking job that ends every run: delivers a finished outcome, or only
// drops the references of a run stopped by cancellation.
void conclude(RunHandles& run, AsyncOutcome& outcome) {
  with_interpreter([&] {
    if (outcome.kind != AsyncOutcome::Kind::Cancelled) {
      try {
        deliver_locked(run, outcome);
      } catch (...) {
        if (core::handling_foreign_exception()) throw;
        // Python errors stay as they are; anything else becomes the
        // module's internal error. Either way there is nobody to raise it
        // to, and the future stays unfinished.
        set_error_from_current_exception();
        report_unraisable(run.future);
      }
    }
    run.release_locked();
  });
}

// ---------------------------------------------------------------- the call

PyObject* standard_module(const char* name, PyObject*& cache) {
  // Kept for good once imported: the module lives in one interpreter, and
  // these modules are never unloaded in practice.
  if (cache == nullptr) {
    cache = PyImport_ImportModule(name);
    if (cache == nullptr) throw_python_error();
  }
  return cache;
}

PyObject* g_asyncio = nullptr;
PyObject* g_contextvars = nullptr;

Ref call_method(PyObject* obj, const char* name) {
  Ref result = Ref::steal(PyObject_CallMethod(obj, name, nullptr));
  if (!result) throw_python_error();
  return result;
}

}  // namespace

PyObject* pipeline_execute_async(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
  return boundary<PyObject*>(nullptr, [&] {
    // 1. Arguments (ctx before graph) and the run's own copies.
    static const Signature sig{"execute_async", {"ctx", "graph"}, 2};
    PyObject* argv[2];
    parse_args(sig, args, nargs, kwnames, argv);
    const ContextData& context = build_context_arg(argv[0], sig.function, "ctx");
    core::Graph working = graph_arg_copy(argv[1], sig.function, "graph");
    std::vector<std::string> stages = pipeline_stages(self);
    core::NullBackend backend = context.backend;
    std::shared_ptr<core::TraceStore> store = context.store;

    // 2.-5. The loop, the context snapshot, the future and its done-callback.
    Ref loop = call_method(standard_module("asyncio", g_asyncio), "get_running_loop");
    Ref snapshot = call_method(standard_module("contextvars", g_contextvars), "copy_context");
    Ref future = call_method(loop.get(), "create_future");
    auto signal = std::make_shared<CancelSignal>();
    Ref watch = Ref::steal(new_instance<SignalHandle>(cancel_watch_type(), signal));
    Ref added =
        Ref::steal(PyObject_CallMethod(future.get(), "add_done_callback", "O", watch.get()));
    if (!added) throw_python_error();

    // 6. Hand-off. A run started after the atexit hook could never be
    // delivered, and a caller waiting for it would wait forever.
    ensure_exit_hook();
    if (gate().closed())
      raise_runtime_error("cannot schedule new pipeline runs after interpreter shutdown");
    core::WorkerPool& pool = core::WorkerPool::instance();

    auto handles = std::make_shared<RunHandles>(
        RunHandles{loop.release(), Ref(future).release(), snapshot.release()});
    auto finish = [handles](AsyncOutcome outcome) {
      // On the worker thread: the interpreter lock is taken on a
      // blocking-job thread, never here.
      core::WorkerPool::instance().submit_blocking(
          [handles, outcome = std::move(outcome)]() mutable { conclude(*handles, outcome); });
    };
    pool.submit(std::make_shared<core::AsyncPipelineRun>(std::move(stages), std::move(backend),
                                                         std::move(store), std::move(working),
                                                         std::move(signal), std::move(finish)));
    // A short run ends within microseconds of a worker picking it up; its
    // delivery then need not wait for the blocking-job thread to wake.
    pool.anticipate_blocking_job();
    return future.release();
  });
}

}  // namespace tessarin::py
