#include "python/access.hpp"

#include "python/args.hpp"
#include "python/config.hpp"
#include "python/errors.hpp"
#include "python/graph.hpp"
#include "python/pyref.hpp"
#include "python/reenter.h"

#include <chrono>
#include <optional>

namespace tessarin::py {

namespace {

// Waiting on an interpreter thread.
class InterpreterWait final : public core::AccessWait {
 public:
  // Once the interpreter has begun to finalize, it ends or parks every
  // other thread that asks for its lock, and such a thread keeps what it
  // holds for good: the finalizing thread must not wait for anyone. Before
  // that, whoever holds access is alive and will let go (a thread that
  // holds access never waits itself). Signal handlers run on the main
  // thread only, so only there does a wait stop now and then to look.
  std::optional<std::chrono::milliseconds> may_wait() override {
    if (finalizing()) return std::nullopt;
    if (on_main_thread()) return kSignalSlice;
    return std::chrono::milliseconds::max();
  }

  // The lock comes back through the parking shim (python/reenter.h): a
  // thread ended at exit here must not unwind through the caller's frames.
  // It holds no mutex at this point (the wait slot's is released before
  // block() returns) and no access but, perhaps, the one just granted.
  void wait(core::AccessBlock& block) override {
    PyThreadState* const state = PyEval_SaveThread();
    block.block();
    tessarin_restore_thread(state);
  }

  // Signal handlers are Python code: they may use the very object waited
  // for, which is why the thread is off its waiting list by now.
  bool interrupted() override { return PyErr_CheckSignals() != 0; }

 private:
  // Ctrl-C ends a wait within about this long, plus the time it takes to
  // get the interpreter lock back.
  static constexpr std::chrono::milliseconds kSignalSlice{20};

  // Any doubt counts as finalizing: refusing is always safe.
  static bool finalizing() {
    PyObject* const is_finalizing = PySys_GetObject("is_finalizing");  // borrowed
    if (is_finalizing == nullptr) return true;
    Ref answer = Ref::steal(PyObject_CallNoArgs(is_finalizing));
    const int truth = answer ? PyObject_IsTrue(answer.get()) : -1;
    if (truth < 0) PyErr_Clear();
    return truth != 0;
  }

  // Any doubt counts as the main thread: its waits merely look for signals.
  static bool on_main_thread() {
    Ref threading = Ref::steal(PyImport_ImportModule("threading"));
    Ref main = threading ? Ref::steal(PyObject_CallMethod(threading.get(), "main_thread", nullptr))
                         : Ref();
    Ref ident = main ? Ref::steal(PyObject_GetAttrString(main.get(), "ident")) : Ref();
    const unsigned long value = ident ? PyLong_AsUnsignedLong(ident.get()) : 0;
    if (PyErr_Occurred() != nullptr) {
      PyErr_Clear();
      return true;
    }
    return value == PyThread_get_thread_ident();
  }
};

PyObject* access_waiters(PyObject*, PyObject* obj) {
  return boundary<PyObject*>(nullptr, [&] {
    AccessFlag* flag = config_access_flag(obj);
    if (flag == nullptr) flag = graph_access_flag(obj);
    if (flag == nullptr) raise_type_error("_access_waiters() argument has no access flag");
    PyObject* count = PyLong_FromUnsignedLong(flag->waiting());
    if (count == nullptr) throw_python_error();
    return count;
  });
}

PyMethodDef access_waiters_def = {
    "_access_waiters",
    access_waiters,
    METH_O,
    "_access_waiters(obj, /)\n--\n\nThreads waiting for the access flag of obj right now.",
};

}  // namespace

void acquire_or_raise(AccessFlag& flag, core::AccessMode mode) {
  InterpreterWait wait;
  switch (flag.acquire_slow(mode, wait)) {
    case core::AccessOutcome::granted:
      return;
    case core::AccessOutcome::refused:
      raise_runtime_error(mode == core::AccessMode::shared ? "Already mutably borrowed"
                                                           : "Already borrowed");
    case core::AccessOutcome::interrupted:
      throw_python_error();
  }
}

void register_access(PyObject* module) {
  Ref module_name = Ref::steal(new_str("tessarin"));
  Ref function = Ref::steal(PyCFunction_NewEx(&access_waiters_def, nullptr, module_name.get()));
  if (!function || PyObject_SetAttrString(module, "_access_waiters", function.get()) < 0) {
    throw_python_error();
  }
}

}  // namespace tessarin::py
