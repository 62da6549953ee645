// CallHost: a call into a host object from a thread the driver owns, made so that an exception
// of the host ends the call rather than the process.
//
// The host is built with MSVC, whose C++ exceptions are structured exceptions (code 0xE06D7363).
// GCC's catch (...) never sees them: one that leaves a host object on a driver thread would end
// the process there. CallHost runs the call under a structured-exception frame of its own that
// takes exactly that code: the host's frames unwind as the host's compiler arranged (their
// destructors run), the call returns false, and the caller goes its failure path, as for a host
// object that reported a failure. Any other structured exception (an access violation, say) is
// not taken: it is a fault, not a failure. Outside Windows the host's exceptions are C++
// exceptions of the same runtime, which the callers' own catch clauses see: CallHost just calls.
//
// A C++ exception thrown inside `call` by the driver's own code passes through unchanged (it is
// carried over the frame and thrown again after it).
//
// Threads: any; on host threads the entry points' own guards (GuardBoundary) apply.
#pragma once

#include <exception>
#include <type_traits>
#include <utility>

namespace talvane {

// The code of the structured exception MSVC raises for a C++ throw.
constexpr unsigned long kHostCxxExceptionCode = 0xE06D7363ul;

namespace host_call {
// Calls fn(context) under the frame: true when it returned, false when the host raised a C++
// exception through it. `fn` must not let a C++ exception out.
bool RunGuarded(void (*fn)(void*), void* context) noexcept;
}  // namespace host_call

// Runs `call` (which calls into one host object): true when it returned, false when the host
// raised its C++ exception through it.
template <class Call>
bool CallHost(Call&& call) {
    using Callable = std::remove_reference_t<Call>;
    struct Thunk {
        Callable* call;
        std::exception_ptr thrown;
        static void Run(void* self) noexcept {
            auto* thunk = static_cast<Thunk*>(self);
            try {
                (*thunk->call)();
            } catch (...) {
                thunk->thrown = std::current_exception();
            }
        }
    };
    Thunk thunk{&call, nullptr};
    const bool returned = host_call::RunGuarded(&Thunk::Run, &thunk);
    if (thunk.thrown) std::rethrow_exception(thunk.thrown);
    return returned;
}

}  // namespace talvane
