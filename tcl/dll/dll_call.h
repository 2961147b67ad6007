// One native call through libffi, in the platform's C calling convention.
#pragma once

#include <cstdint>

enum dll_type { dll_void, dll_int32, dll_int64, dll_float, dll_double, dll_pointer };

// One argument or result; a float or an int32 lives at the start of the record.
union dll_value {
    int32_t i32;
    int64_t i64;
    float f;
    double d;
    void *p;
};

// Calls fn with args[i] typed types[i]. *ret is zeroed first and then holds the
// result in the member of ret_type. errno is cleared before the call and its
// value right after the call goes to *err. False when libffi refuses the types.
bool Dll_CallNative(void *fn, dll_type ret_type, const dll_type *types, dll_value *args, int nargs,
                    dll_value *ret, int *err);
