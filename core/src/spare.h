#pragma once

#include <atomic>
#include <memory>

namespace oq {

// Reusable working room of type `T`, kept between the calls that need it so that a steady
// stream of calls allocates nothing. One spare is shared by all threads: a call takes it whole,
// or makes a fresh one while another call holds it (a concurrent call, or one running inside
// another from a logging handler), and gives it back after unless `T::worth_keeping()` says it
// has grown too large to keep.
template <class T>
class Spare {
 public:
  Spare() : held_(slot().exchange(nullptr, std::memory_order_acquire)) {
    if (!held_) held_ = std::make_unique<T>();
  }
  ~Spare() { give_back(); }
  Spare(Spare&& other) noexcept = default;
  Spare& operator=(Spare&& other) noexcept {
    give_back();
    held_ = std::move(other.held_);
    return *this;
  }

  T& operator*() const { return *held_; }
  T* operator->() const { return held_.get(); }

 private:
  void give_back() {
    if (!held_ || !held_->worth_keeping()) return;
    delete slot().exchange(held_.release(), std::memory_order_acq_rel);
  }
  static std::atomic<T*>& slot() {
    static std::atomic<T*> spare{nullptr};
    return spare;
  }

  std::unique_ptr<T> held_;
};

}  // namespace oq
