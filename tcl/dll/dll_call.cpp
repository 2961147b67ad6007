#include "tcl/dll/dll_call.h"

#include <cerrno>
#include <cstring>
#include <ffi.h>
#include <vector>

static ffi_type *ffi_type_of(dll_type t)
{
    switch (t) {
    case dll_int32:
        return &ffi_type_sint32;
    case dll_int64:
        return &ffi_type_sint64;
    case dll_float:
        return &ffi_type_float;
    case dll_double:
        return &ffi_type_double;
    case dll_pointer:
        return &ffi_type_pointer;
    case dll_void:
        break;
    }
    return &ffi_type_void;
}

bool Dll_CallNative(void *fn, dll_type ret_type, const dll_type *types, dll_value *args, int nargs,
                    dll_value *ret, int *err)
{
    std::vector<ffi_type *> atypes(static_cast<size_t>(nargs));
    std::vector<void *> avalues(static_cast<size_t>(nargs));
    for (int i = 0; i < nargs; i++) {
        atypes[i] = ffi_type_of(types[i]);
        avalues[i] = &args[i];
    }
    ffi_cif cif;
    const unsigned n = static_cast<unsigned>(nargs);
    if (ffi_prep_cif(&cif, FFI_DEFAULT_ABI, n, ffi_type_of(ret_type), atypes.data()) != FFI_OK)
        return false;

    // libffi widens integer results narrower than a register to a whole ffi_arg.
    union {
        ffi_arg a;
        ffi_sarg s;
        dll_value v;
    } slot;
    std::memset(&slot, 0, sizeof slot);
    std::memset(ret, 0, sizeof *ret);
    errno = 0;
    ffi_call(&cif, FFI_FN(fn), &slot, avalues.data());
    *err = errno;

    switch (ret_type) {
    case dll_int32:
        ret->i32 = static_cast<int32_t>(slot.s);
        break;
    case dll_int64:
        ret->i64 = slot.v.i64;
        break;
    case dll_float:
        ret->f = slot.v.f;
        break;
    case dll_double:
        ret->d = slot.v.d;
        break;
    case dll_pointer:
        ret->p = slot.v.p;
        break;
    case dll_void:
        break;
    }
    return true;
}
