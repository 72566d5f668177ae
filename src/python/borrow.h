// Borrow state of the module's objects: refuses re-entrant conflicting use
// (user code run while a call holds an object) at once, never waits.
#pragma once

#include <Python.h>

#include <atomic>
#include <cstdint>
#include <utility>

namespace quorbin::python {

enum class BorrowMode : unsigned char { Shared, Exclusive };

// 0 free, n > 0 held shared by n borrowers, -1 held exclusively.
class BorrowCell {
 public:
  bool try_acquire(BorrowMode mode) noexcept {
    int64_t current = state_.load(std::memory_order_relaxed);
    if (mode == BorrowMode::Exclusive) {
      return current == 0 && state_.compare_exchange_strong(current, -1, std::memory_order_acquire);
    }
    while (current >= 0) {
      if (state_.compare_exchange_weak(current, current + 1, std::memory_order_acquire)) return true;
    }
    return false;
  }

  void release(BorrowMode mode) noexcept {
    if (mode == BorrowMode::Exclusive) {
      state_.store(0, std::memory_order_release);
    } else {
      state_.fetch_sub(1, std::memory_order_release);
    }
  }

 private:
  std::atomic<int64_t> state_{0};
};

// Holds one borrow for the duration of a call.
class Borrow {
 public:
  Borrow() = default;
  Borrow(const Borrow&) = delete;
  Borrow& operator=(const Borrow&) = delete;
  Borrow(Borrow&& o) noexcept : cell_(std::exchange(o.cell_, nullptr)), mode_(o.mode_) {}
  Borrow& operator=(Borrow&& o) noexcept {
    if (this != &o) {
      reset();
      cell_ = std::exchange(o.cell_, nullptr);
      mode_ = o.mode_;
    }
    return *this;
  }
  ~Borrow() { reset(); }

  // Takes the borrow, or sets RuntimeError "Already borrowed" (an exclusive
  // request) / "Already mutably borrowed" (a shared one) and returns false.
  bool acquire(BorrowCell& cell, BorrowMode mode) noexcept {
    reset();
    if (!cell.try_acquire(mode)) {
      PyErr_SetString(PyExc_RuntimeError,
                      mode == BorrowMode::Exclusive ? "Already borrowed" : "Already mutably borrowed");
      return false;
    }
    cell_ = &cell;
    mode_ = mode;
    return true;
  }

  void reset() noexcept {
    if (cell_) std::exchange(cell_, nullptr)->release(mode_);
  }

 private:
  BorrowCell* cell_ = nullptr;
  BorrowMode mode_ = BorrowMode::Shared;
};

// Every object of the module starts with this header, so the frame finds the
// borrow cell of any `self` the same way.
struct ObjectHeader {
  PyObject_HEAD
  BorrowCell borrow;
};

inline BorrowCell& borrow_cell(PyObject* object) { return reinterpret_cast<ObjectHeader*>(object)->borrow; }

}  // namespace quorbin::python
