// The Interlocked family of kernel mode and Win32 (winnt.h on Windows): atomic read-modify-write
// operations with full barriers, on 32-bit, 64-bit and pointer-sized values.
#pragma once

#define InterlockedIncrement(p)                    __atomic_add_fetch((p), 1, __ATOMIC_SEQ_CST)
#define InterlockedDecrement(p)                    __atomic_sub_fetch((p), 1, __ATOMIC_SEQ_CST)
#define InterlockedExchange(p, v)                  __atomic_exchange_n((p), (v), __ATOMIC_SEQ_CST)
#define InterlockedExchangeAdd(p, v)               __atomic_fetch_add((p), (v), __ATOMIC_SEQ_CST)
#define InterlockedAdd(p, v)                       __atomic_add_fetch((p), (v), __ATOMIC_SEQ_CST)
#define InterlockedOr(p, v)                        __atomic_fetch_or((p), (v), __ATOMIC_SEQ_CST)
#define InterlockedAnd(p, v)                       __atomic_fetch_and((p), (v), __ATOMIC_SEQ_CST)
#define InterlockedIncrement64(p)                  __atomic_add_fetch((p), 1, __ATOMIC_SEQ_CST)
#define InterlockedDecrement64(p)                  __atomic_sub_fetch((p), 1, __ATOMIC_SEQ_CST)
#define InterlockedExchangePointer(p, v)           __atomic_exchange_n((p), (v), __ATOMIC_SEQ_CST)
#define InterlockedCompareExchange(p, v, c)        __sync_val_compare_and_swap((p), (c), (v))
#define InterlockedCompareExchangePointer(p, v, c) __sync_val_compare_and_swap((p), (c), (v))
