// Small runtime pieces of the extension: reference ownership, releasing the
// interpreter lock, the fault barrier around every binding body, and the
// one-time initialisation cell for process-wide objects.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <new>
#include <thread>
#include <type_traits>
#include <utility>

namespace pyext {

// PyRef owns one strong reference (or none). It must die with the
// interpreter lock held.
class PyRef {
 public:
  PyRef() noexcept = default;
  // Takes over a new reference (null allowed).
  explicit PyRef(PyObject* owned) noexcept : p_(owned) {}
  static PyRef borrow(PyObject* p) noexcept {
    Py_XINCREF(p);
    return PyRef(p);
  }
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  PyRef(PyRef&& o) noexcept : p_(o.release()) {}
  PyRef& operator=(PyRef&& o) noexcept {
    if (this != &o) {
      Py_XDECREF(p_);
      p_ = o.release();
    }
    return *this;
  }
  ~PyRef() { Py_XDECREF(p_); }

  PyObject* get() const noexcept { return p_; }
  explicit operator bool() const noexcept { return p_ != nullptr; }
  // Gives up ownership and returns the reference.
  PyObject* release() noexcept { return std::exchange(p_, nullptr); }

 private:
  PyObject* p_ = nullptr;
};

// ReleaseGil releases the interpreter lock for its scope and takes it back
// when the scope ends, also when an exception passes through. No Python API
// may be called while it lives.
class ReleaseGil {
 public:
  ReleaseGil() noexcept : state_(PyEval_SaveThread()) {}
  ~ReleaseGil() { PyEval_RestoreThread(state_); }
  ReleaseGil(const ReleaseGil&) = delete;
  ReleaseGil& operator=(const ReleaseGil&) = delete;

 private:
  PyThreadState* state_;
};

// raise_internal_fault sets the internal-fault exception (a BaseException
// subclass, not exported) with `message`. Defined in error.cc.
void raise_internal_fault(const char* message) noexcept;

// guarded runs a binding body and makes sure no C++ exception unwinds into
// the interpreter: std::bad_alloc becomes MemoryError, anything else the
// internal-fault exception. It returns the body's result, or the error
// indicator of the body's return type (nullptr, or -1 for int).
template <class Body>
auto guarded(Body&& body) noexcept -> decltype(body()) {
  using R = decltype(body());
  static_assert(std::is_pointer_v<R> || std::is_same_v<R, int>);
  auto fail = []() -> R {
    if constexpr (std::is_pointer_v<R>) {
      return nullptr;
    } else {
      return -1;
    }
  };
  try {
    return std::forward<Body>(body)();
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    raise_internal_fault(e.what());
  } catch (...) {
    raise_internal_fault("unexpected C++ exception in the extension");
  }
  return fail();
}

// OnceCell holds one process-wide object, created on first use and kept
// (with one reference) for the life of the process. The creating thread
// holds the interpreter lock while it calls into the interpreter; a thread
// that finds the cell being filled waits with the lock released, so the
// creator can take the lock back, and retries if the creation failed.
class OnceCell {
 public:
  // get returns the object (a borrowed reference) or null with an exception
  // set. `create` runs with the lock held and returns a new reference or null.
  template <class Create>
  PyObject* get(Create&& create) {
    if (state_.load(std::memory_order_acquire) == kReady) return value_;
    for (;;) {
      std::unique_lock<std::mutex> lock(mutex_);
      const int state = state_.load(std::memory_order_relaxed);
      if (state == kReady) return value_;
      if (state == kEmpty) {
        state_.store(kFilling, std::memory_order_relaxed);
        filler_ = std::this_thread::get_id();
        lock.unlock();
        PyObject* made = nullptr;
        try {
          made = create();
        } catch (...) {
          finish(nullptr);
          throw;
        }
        finish(made);
        return made;
      }
      if (filler_ == std::this_thread::get_id()) {
        lock.unlock();
        raise_internal_fault("process-wide object requested while it is being created");
        return nullptr;
      }
      lock.unlock();
      PyThreadState* saved = PyEval_SaveThread();
      {
        std::unique_lock<std::mutex> wait_lock(mutex_);
        filled_.wait(wait_lock,
                     [&] { return state_.load(std::memory_order_relaxed) != kFilling; });
      }
      PyEval_RestoreThread(saved);
    }
  }

 private:
  static constexpr int kEmpty = 0, kFilling = 1, kReady = 2;

  void finish(PyObject* made) noexcept {
    std::lock_guard<std::mutex> lock(mutex_);
    value_ = made;
    state_.store(made ? kReady : kEmpty, std::memory_order_release);
    filler_ = std::thread::id();
    filled_.notify_all();
  }

  std::atomic<int> state_{kEmpty};
  PyObject* value_ = nullptr;
  std::thread::id filler_;
  std::mutex mutex_;
  std::condition_variable filled_;
};

}  // namespace pyext
