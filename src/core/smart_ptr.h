// TSmartPtr<T>: a small shared-ownership holder (used for the preset file object shared by the PTZ
// controls' preset lists). The count is atomic, so copies may live on different threads; the
// object is deleted through its virtual destructor when the last holder releases it.
#pragma once

#include <atomic>
#include <cstdint>
#include <utility>

namespace talvane {

template <class T>
class TSmartPtr {
public:
    TSmartPtr() = default;
    // Attaches a raw object (null attaches nothing).
    explicit TSmartPtr(T* object) { Attach(object); }
    TSmartPtr(const TSmartPtr& other) { ShareFrom(other); }
    TSmartPtr& operator=(const TSmartPtr& other) {
        if (count_ == other.count_ && object_ == other.object_) return *this;
        Release();
        ShareFrom(other);
        return *this;
    }
    TSmartPtr(TSmartPtr&& other) noexcept
        : count_(std::exchange(other.count_, nullptr)), object_(std::exchange(other.object_, nullptr)) {}
    TSmartPtr& operator=(TSmartPtr&& other) noexcept {
        if (this != &other) {
            Release();
            count_ = std::exchange(other.count_, nullptr);
            object_ = std::exchange(other.object_, nullptr);
        }
        return *this;
    }
    virtual ~TSmartPtr() { Release(); }

    // Releases the current object, then attaches `object`.
    void Reset(T* object = nullptr) {
        Release();
        Attach(object);
    }
    // Lowers the count; deletes the object when it reaches 0. The holder is empty afterwards.
    void Release() {
        if (count_ != nullptr) {
            if (count_->fetch_sub(1, std::memory_order_acq_rel) == 1) {
                delete object_;
                delete count_;
            }
        }
        count_ = nullptr;
        object_ = nullptr;
    }

    T* Get() const { return object_; }
    T* operator->() const { return object_; }
    T& operator*() const { return *object_; }
    explicit operator bool() const { return object_ != nullptr; }
    int32_t UseCount() const { return count_ != nullptr ? count_->load() : 0; }

private:
    void Attach(T* object) {
        if (object == nullptr || count_ != nullptr) return;
        count_ = new std::atomic<int32_t>(1);
        object_ = object;
    }
    void ShareFrom(const TSmartPtr& other) {
        if (other.count_ != nullptr && other.object_ != nullptr && other.count_->load() > 0) {
            other.count_->fetch_add(1, std::memory_order_relaxed);
            count_ = other.count_;
            object_ = other.object_;
        }
    }

    std::atomic<int32_t>* count_ = nullptr;
    T* object_ = nullptr;
};

}  // namespace talvane
