/* The one frame of the program that guards a call against structured exceptions. GCC cannot
 * express __try/__except, so the guard is written by hand for each architecture.
 * x64: a scope table with one entry that covers the call, whose filter is vemo_seh_filter and
 * whose handler continues right after the call. The file is C because a C++ function already
 * carries the C++ personality routine in that slot.
 * x86: no tables; a registration record on the FS:[0] chain for the length of the call. Its
 * handler asks the same filter while the faulting stack is still there, unwinds the records
 * above it and resumes after the call. */
#include <windows.h>

typedef void (*vemo_seh_callback)(void*);

/* Decides in the filter, on the faulting stack; defined in SehGuard.cpp. */
extern LONG vemo_seh_filter(EXCEPTION_POINTERS* pointers, void* establisherFrame);
extern DWORD vemo_seh_take_code(void);

#if defined(__x86_64__)
__attribute__((noinline, noclone)) DWORD vemo_seh_run_guarded(vemo_seh_callback fn, void* context) {
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
    return vemo_seh_take_code();
}
#elif defined(__i386__)
/* The chain points at the record, so it comes first; the resume point travels with it. */
struct vemo_seh_frame {
    EXCEPTION_REGISTRATION_RECORD record;
    void* resume[5]; /* __builtin_setjmp's buffer */
};

static EXCEPTION_DISPOSITION NTAPI vemo_seh_handler(struct _EXCEPTION_RECORD* record, PVOID establisherFrame,
                                                    struct _CONTEXT* context, PVOID dispatcherContext) {
    (void)dispatcherContext;
    if (record->ExceptionFlags & (EXCEPTION_UNWINDING | EXCEPTION_EXIT_UNWIND)) return ExceptionContinueSearch;
    EXCEPTION_POINTERS pointers = {record, context};
    if (vemo_seh_filter(&pointers, establisherFrame) != EXCEPTION_EXECUTE_HANDLER) return ExceptionContinueSearch;
    /* Records of deeper frames go (their handlers see the unwind); ours is on top again. */
    RtlUnwind(establisherFrame, 0, record, 0);
    __builtin_longjmp(((struct vemo_seh_frame*)establisherFrame)->resume, 1);
}

static NT_TIB* vemo_seh_tib(void) { return (NT_TIB*)NtCurrentTeb(); }

/* No object with a destructor may live here: the resume skips whatever lies between. */
__attribute__((noinline, noclone)) DWORD vemo_seh_run_guarded(vemo_seh_callback fn, void* context) {
    volatile struct vemo_seh_frame frame;
    frame.record.Next = vemo_seh_tib()->ExceptionList;
    frame.record.Handler = &vemo_seh_handler;
    if (__builtin_setjmp((void**)frame.resume) == 0) {
        vemo_seh_tib()->ExceptionList = (EXCEPTION_REGISTRATION_RECORD*)&frame.record;
        fn(context);
    }
    vemo_seh_tib()->ExceptionList = frame.record.Next;
    return vemo_seh_take_code();
}
#else
#error "The structured-exception guard is written for x64 and x86."
#endif
