// The per-object access flag: any number of shared borrows or one exclusive
// borrow. A conflicting request raises RuntimeError; guards release the flag
// on every exit path.
#pragma once

#include "python/common/errors.hpp"

namespace tarnwick::py {

class BorrowFlag {
 public:
  bool exclusive() const noexcept { return state_ < 0; }
  bool borrowed() const noexcept { return state_ != 0; }

 private:
  friend class SharedBorrow;
  friend class ExclusiveBorrow;
  long state_ = 0;  // > 0: shared borrows held; -1: exclusively held
};

class SharedBorrow {
 public:
  explicit SharedBorrow(BorrowFlag& flag) : flag_(flag) {
    if (flag_.state_ < 0) raise(PyExc_RuntimeError, "Already mutably borrowed");
    ++flag_.state_;
  }
  ~SharedBorrow() { --flag_.state_; }
  SharedBorrow(const SharedBorrow&) = delete;
  SharedBorrow& operator=(const SharedBorrow&) = delete;

 private:
  BorrowFlag& flag_;
};

class ExclusiveBorrow {
 public:
  explicit ExclusiveBorrow(BorrowFlag& flag) : flag_(flag) {
    if (flag_.state_ != 0) raise(PyExc_RuntimeError, "Already borrowed");
    flag_.state_ = -1;
  }
  ~ExclusiveBorrow() { flag_.state_ = 0; }
  ExclusiveBorrow(const ExclusiveBorrow&) = delete;
  ExclusiveBorrow& operator=(const ExclusiveBorrow&) = delete;

 private:
  BorrowFlag& flag_;
};

}  // namespace tarnwick::py
