/* The one frame of the program that carries an x64 scope-table guard. GCC cannot express
 * __try/__except, so the scope table is written by hand: one entry that covers the call, whose
 * filter is vemo_seh_filter and whose handler continues right after the call. The file is C
 * because a C++ function already carries the C++ personality routine in that slot. */
#include <windows.h>

typedef void (*vemo_seh_callback)(void*);

/* Decides in the filter, on the faulting stack; defined in SehGuard.cpp. */
extern LONG vemo_seh_filter(EXCEPTION_POINTERS* pointers, void* establisherFrame);
extern DWORD vemo_seh_take_code(void);

__attribute__((noinline, noclone)) DWORD vemo_seh_run_guarded(vemo_seh_callback fn, void* context) {
#if defined(__x86_64__)
    __asm__ __volatile__(
        ".l_vemo_guard_begin:\n\t"
        ".seh_handler __C_specific_handler, @except\n\t"
        ".seh_handlerdata\n\t"
        ".long 1\n\t"
        ".rva .l_vemo_guard_begin, .l_vemo_guard_end, vemo_seh_filter, .l_vemo_guard_end\n\t"
        ".text\n" ::: "memory");
    fn(context);
    __asm__ __volatile__(
        "nop\n"
        ".l_vemo_guard_end:\n\t"
        "nop\n" ::: "memory");
#else
#error "The structured-exception guard is written for x64; a 32-bit build needs its own frame."
#endif
    return vemo_seh_take_code();
}
