// Rules that keep the driver's interfaces binary-compatible with the host.
//
// The host is built with a compiler that gives a virtual destructor exactly one vtable entry (a
// "scalar deleting destructor" taking a flags word, bit 0 = free the memory). GCC and Clang give a
// virtual destructor two entries, which would shift every later slot by one. Every interface that
// crosses the boundary therefore declares its slot 0 through ZARN_SLOT0: a real virtual destructor
// where the compiler already uses one entry, elsewhere a single virtual operation with the scalar
// deleting destructor's signature. Implementations provide it with ZARN_IMPLEMENT_SLOT0, and objects
// are destroyed through zarn::DestroyInterface.
#pragma once

#include <cstdint>

#if defined(_MSC_VER)
#define ZARN_SLOT0(Interface) \
public:                       \
    virtual ~Interface() {}
#define ZARN_IMPLEMENT_SLOT0(Class)
#else
#define ZARN_SLOT0(Interface)                                        \
public:                                                              \
    virtual void* ScalarDeletingDestructor(unsigned int flags) = 0; \
                                                                     \
protected:                                                           \
    ~Interface() = default;                                          \
                                                                     \
public:
// The class named here must be final or have a virtual destructor, so that `delete this` reaches
// the most derived destructor.
#define ZARN_IMPLEMENT_SLOT0(Class)                                   \
    void* ScalarDeletingDestructor(unsigned int flags) override {    \
        if (flags & 1u) {                                             \
            delete this;                                              \
        } else {                                                      \
            this->~Class();                                           \
        }                                                             \
        return this;                                                  \
    }
#endif

// Exported functions use the C calling convention with undecorated names.
#if defined(_WIN32)
#define ZARN_CALL __cdecl
#define ZARN_EXPORT extern "C" __declspec(dllexport)
#define ZARN_IMPORT extern "C" __declspec(dllimport)
#else
#define ZARN_CALL
#define ZARN_EXPORT extern "C" __attribute__((visibility("default")))
#define ZARN_IMPORT extern "C"
#endif

namespace zarn {

// Destroys an object through its slot 0 and frees it.
template <class Interface>
inline void DestroyInterface(Interface* object) {
    if (object == nullptr) return;
#if defined(_MSC_VER)
    delete object;
#else
    object->ScalarDeletingDestructor(1u);
#endif
}

}  // namespace zarn
