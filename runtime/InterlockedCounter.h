#pragma once
#include <atomic>

// A counter shared between threads; increments and decrements give the new value.
class InterlockedCounter {
public:
    explicit InterlockedCounter(long initial = 0) noexcept : value_(initial) {}
    long Increment() noexcept { return ++value_; }
    long Decrement() noexcept { return --value_; }
    long Get() const noexcept { return value_.load(); }
    void Set(long value) noexcept { value_.store(value); }

private:
    std::atomic<long> value_;
};
