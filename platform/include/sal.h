// Source annotations carry no meaning for the compiler used here; they expand to nothing.
#pragma once

#define _In_
#define _In_opt_
#define _In_z_
#define _In_opt_z_
#define _In_reads_(s)
#define _In_reads_opt_(s)
#define _In_reads_bytes_(s)
#define _In_reads_bytes_opt_(s)
#define _Inout_
#define _Inout_opt_
#define _Inout_z_
#define _Inout_updates_(s)
#define _Inout_updates_bytes_(s)
#define _Out_
#define _Out_opt_
#define _Out_writes_(s)
#define _Out_writes_opt_(s)
#define _Out_writes_z_(s)
#define _Out_writes_bytes_(s)
#define _Out_writes_bytes_opt_(s)
#define _Out_writes_bytes_to_(s, c)
#define _Out_writes_bytes_to_opt_(s, c)
#define _Out_writes_to_(s, c)
#define _Outptr_
#define _Outptr_opt_
#define _Outptr_result_maybenull_
#define _Outptr_result_buffer_(s)
#define _Outptr_result_bytebuffer_(s)
#define _Deref_out_
#define _Ret_maybenull_
#define _Ret_z_
#define _Must_inspect_result_
#define _Check_return_
#define _Success_(e)
#define _Use_decl_annotations_
#define _Printf_format_string_
#define _Field_size_(s)
#define _Field_size_bytes_(s)
#define _Field_size_bytes_part_(s, c)
#define _Field_range_(a, b)
#define _Reserved_
#define _Pre_notnull_
#define _Post_invalid_
#define _Frees_ptr_
#define _Frees_ptr_opt_
#define _Analysis_assume_(e)
#define _Strict_type_match_
#define _Literal_
#define _When_(c, a)
#define _At_(t, a)
#define _Function_class_(n)
#define _IRQL_requires_(i)
#define _IRQL_requires_max_(i)
#define _IRQL_requires_min_(i)
#define _IRQL_requires_same_
#define _IRQL_raises_(i)
#define _IRQL_saves_
#define _IRQL_restores_
#define _IRQL_saves_global_(k, p)
#define _IRQL_restores_global_(k, p)
#define _IRQL_always_function_max_(i)
#define _Requires_lock_held_(l)
#define _Requires_lock_not_held_(l)
#define _Acquires_lock_(l)
#define _Releases_lock_(l)
#define _Guarded_by_(l)
#define _Interlocked_
#define _Dispatch_type_(t)
#define _Kernel_clear_do_init_(c)
#define _Kernel_requires_resource_held_(r)
#define _Kernel_float_saved_
#define _Kernel_float_restored_
#define _Post_satisfies_(e)
#define _Pre_satisfies_(e)
#define _Null_terminated_
#define _NullNull_terminated_
#define _Maybenull_
#define _Notnull_
#define __drv_aliasesMem
#define __drv_allocatesMem(k)
#define __drv_freesMem(k)
#define __drv_maxIRQL(i)
#define __drv_requiresIRQL(i)
#define __drv_dispatchType(t)
