// The structured-exception frame of CallHost, one per processor architecture. GCC offers no
// __try/__except; the frame is a small assembly trampoline that calls fn(context):
//
// x86-64: the trampoline's unwind data names the C runtime's __C_specific_handler with one scope
// entry (the call) whose filter takes the host's C++ exception code; the system then unwinds the
// frames above it and resumes at the trampoline's "caught" exit, which returns 0.
//
// i686: the trampoline links an exception registration record into the thread's chain (fs:0)
// around the call. Its handler takes the host's C++ exception code, unwinds the frames above and
// jumps to the trampoline's "caught" exit in the trampoline's frame; both exits unlink the record.
// The trampoline carries call-frame information so that GCC's unwinder could pass it, though no
// C++ exception is let into it (CallHost's thunk catches them all).
#include <windows.h>

#include "core/host_call.h"

extern "C" {
int zarn_call_guarded(void (*fn)(void*), void* context);
}

#if defined(__x86_64__)

extern "C" LONG zarn_host_exception_filter(EXCEPTION_POINTERS* info, void* /*frame*/) {
    return info->ExceptionRecord->ExceptionCode == talvane::kHostCxxExceptionCode
               ? EXCEPTION_EXECUTE_HANDLER
               : EXCEPTION_CONTINUE_SEARCH;
}

asm(R"(
    .text
    .globl zarn_call_guarded
    .def zarn_call_guarded; .scl 2; .type 32; .endef
    .seh_proc zarn_call_guarded
zarn_call_guarded:
    pushq %rbp
    .seh_pushreg %rbp
    movq %rsp, %rbp
    .seh_setframe %rbp, 0
    subq $32, %rsp
    .seh_stackalloc 32
    .seh_endprologue
    .seh_handler __C_specific_handler, @except
    .seh_handlerdata
    .long 1
    .rva .Lzarn_guarded_begin, .Lzarn_guarded_end, zarn_host_exception_filter, .Lzarn_guarded_caught
    .text
.Lzarn_guarded_begin:
    movq %rcx, %rax
    movq %rdx, %rcx
    callq *%rax
    nop
.Lzarn_guarded_end:
    xorl %eax, %eax
    movq %rbp, %rsp
    popq %rbp
    retq
.Lzarn_guarded_caught:
    movl $1, %eax
    movq %rbp, %rsp
    popq %rbp
    retq
    .seh_endproc
)");

#elif defined(__i386__)

// The handler is assembly too: on the catch path it never returns. MSVC raises its C++ exceptions
// as non-continuable, so the dispatcher refuses a handler that answers "continue execution" with a
// changed context (STATUS_NONCONTINUABLE_EXCEPTION); like the C runtime's own __except handlers,
// it unwinds the frames above its record (RtlUnwind, which runs the host's unwind handlers and
// unlinks their records; it may change ebx, esi, edi and ebp but returns with the stack as it
// was), then takes the trampoline's frame back (its record lies 20 bytes below the frame pointer)
// and jumps to the trampoline's "caught" exit, which unlinks the record.
asm(R"(
    .text
    .globl _zarn_call_guarded
    .def _zarn_call_guarded; .scl 2; .type 32; .endef
_zarn_call_guarded:
    .cfi_startproc
    pushl %ebp
    .cfi_def_cfa_offset 8
    .cfi_offset %ebp, -8
    movl %esp, %ebp
    .cfi_def_cfa_register %ebp
    pushl %ebx
    pushl %esi
    pushl %edi
    .cfi_offset %ebx, -12
    .cfi_offset %esi, -16
    .cfi_offset %edi, -20
    pushl $_zarn_host_exception_handler
    pushl %fs:0
    movl %esp, %fs:0
    pushl 12(%ebp)
    call *8(%ebp)
    addl $4, %esp
    xorl %eax, %eax
.Lzarn_guarded_out:
    movl -20(%ebp), %ecx
    movl %ecx, %fs:0
    leal -12(%ebp), %esp
    popl %edi
    popl %esi
    popl %ebx
    popl %ebp
    .cfi_def_cfa %esp, 4
    ret
    .cfi_endproc

    # handler(record, frame, context, dispatcher), cdecl
    .def _zarn_host_exception_handler; .scl 3; .type 32; .endef
_zarn_host_exception_handler:
    movl 4(%esp), %eax
    testl $6, 4(%eax)           # EXCEPTION_UNWINDING | EXCEPTION_EXIT_UNWIND: pass
    jnz .Lzarn_search
    cmpl $0xE06D7363, (%eax)    # only the host's C++ exceptions
    jne .Lzarn_search
    pushl $0
    pushl %eax
    pushl $.Lzarn_unwound
    pushl 20(%esp)
    call _RtlUnwind@16
.Lzarn_unwound:
    movl 8(%esp), %esp          # the record: the trampoline's stack as it was inside the call
    leal 20(%esp), %ebp
    movl $1, %eax
    jmp .Lzarn_guarded_out
.Lzarn_search:
    movl $1, %eax               # ExceptionContinueSearch
    ret
)");

#else
#error "structured-exception frame: unknown processor architecture"
#endif

namespace talvane::host_call {

bool RunGuarded(void (*fn)(void*), void* context) noexcept {
    return zarn_call_guarded(fn, context) == 0;
}

}  // namespace talvane::host_call
