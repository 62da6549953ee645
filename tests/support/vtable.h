// Calls an object's virtual slot by number through its raw vtable, as a C host does.
#pragma once

namespace zarntest {

template <class R, class... Args>
R CallSlot(void* object, int slot, Args... args) {
    using Fn = R (*)(void*, Args...);
    void** vtable = *reinterpret_cast<void***>(object);
    return reinterpret_cast<Fn>(vtable[slot])(object, args...);
}

}  // namespace zarntest
