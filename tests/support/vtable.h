// Calls an object's virtual slot by number through its raw vtable, as a C host does.
#pragma once

namespace zarntest {

// On 32-bit Windows the host's compiler passes `this` in ECX (thiscall), as the driver's methods
// expect; everywhere else it is the first argument.
#if defined(_WIN32) && defined(__i386__)
#define ZARNTEST_THISCALL __attribute__((thiscall))
#else
#define ZARNTEST_THISCALL
#endif

// GCC warns that thiscall belongs to member functions, and applies it all the same.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wattributes"
template <class R, class... Args>
using SlotFn = R(ZARNTEST_THISCALL*)(void*, Args...);
#pragma GCC diagnostic pop

template <class R, class... Args>
R CallSlot(void* object, int slot, Args... args) {
    using Fn = SlotFn<R, Args...>;
    void** vtable = *reinterpret_cast<void***>(object);
    return reinterpret_cast<Fn>(vtable[slot])(object, args...);
}

}  // namespace zarntest
