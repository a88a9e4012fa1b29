#pragma once
// A single-threaded shared pointer for objects that derive from RefCounted. The program has
// one thread, so the count is a plain integer: sharing a controller costs no atomic operation.

#include <cstddef>
#include <utility>

namespace tarnvel {

class RefCounted {
  public:
    RefCounted() = default;
    RefCounted(const RefCounted&) = delete;
    RefCounted& operator=(const RefCounted&) = delete;
    virtual ~RefCounted() = default;

    std::size_t use_count() const { return refs_; }

  private:
    template <class T>
    friend class Rc;
    std::size_t refs_ = 0;
};

template <class T>
class Rc {
  public:
    Rc() = default;
    Rc(std::nullptr_t) {}
    // Takes the first reference to a newly allocated object.
    explicit Rc(T* object) : ptr_(object) { acquire(); }
    Rc(const Rc& other) : ptr_(other.ptr_) { acquire(); }
    Rc(Rc&& other) noexcept : ptr_(std::exchange(other.ptr_, nullptr)) {}
    template <class U>
    Rc(const Rc<U>& other) : ptr_(other.get()) {
        acquire();
    }
    template <class U>
    Rc(Rc<U>&& other) noexcept : ptr_(other.release_raw()) {}
    ~Rc() { reset(); }

    Rc& operator=(Rc other) noexcept {
        std::swap(ptr_, other.ptr_);
        return *this;
    }

    void reset() {
        if (ptr_ != nullptr && --static_cast<RefCounted*>(ptr_)->refs_ == 0) delete ptr_;
        ptr_ = nullptr;
    }

    T* get() const { return ptr_; }
    T* operator->() const { return ptr_; }
    T& operator*() const { return *ptr_; }
    explicit operator bool() const { return ptr_ != nullptr; }
    std::size_t use_count() const { return ptr_ ? ptr_->use_count() : 0; }

    // Hands the reference over to another Rc; used by the converting move.
    T* release_raw() { return std::exchange(ptr_, nullptr); }

  private:
    void acquire() {
        if (ptr_ != nullptr) ++static_cast<RefCounted*>(ptr_)->refs_;
    }
    T* ptr_ = nullptr;
};

template <class T, class... Args>
Rc<T> make_rc(Args&&... args) {
    return Rc<T>(new T(std::forward<Args>(args)...));
}

}  // namespace tarnvel
