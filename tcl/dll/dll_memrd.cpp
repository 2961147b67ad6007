// ::dll::memrd addressPattern ?dataPattern?: structured reads of native memory.
//
// Address pattern: decimal numbers; ">" follows the pointer-size word at the
// running address plus the pending number, "|" adds the number, "c"/"s"/"i"
// read the element count (8, 16, 32 bits) there; after "!" comes the offset
// pattern applied to each element slot (numbers, ">" and a "-" after ">").
// Data pattern: a length in bytes (raw), or a kind letter at the end:
// "-"/"<" string, "c", "s", "i"; a length before a kind letter is the count.
//
// Both patterns are checked whole before any memory is read.
#include <cstdint>
#include <cstring>
#include <string_view>

#include "tcl/dll/dll_internal.h"

namespace
{

const char usage_memrd[] = "memaddr ?length?";
const char msg_bad_address[] = "bad address pattern";
const char msg_bad_data[] = "bad data pattern";

enum elem_kind { kind_raw, kind_string, kind_u8, kind_u16, kind_i32 };

struct data_pattern {
    elem_kind kind = kind_raw;
    int64_t length = 0; // bytes per raw element, else an element count
};

bool is_digit(char c) { return c >= '0' && c <= '9'; }

bool add_digit(int64_t &n, char c, int64_t limit)
{
    return !__builtin_mul_overflow(n, 10, &n) && !__builtin_add_overflow(n, c - '0', &n) && n <= limit;
}

template <typename T> T load(uintptr_t addr)
{
    T v;
    std::memcpy(&v, reinterpret_cast<const void *>(addr), sizeof v);
    return v;
}

// The address part before "!" (or all of it); the rest goes to *offset.
const char *check_address(std::string_view pat, std::string_view *offset)
{
    int64_t n = 0;
    bool counted = false;
    *offset = {};
    for (size_t i = 0; i < pat.size(); i++) {
        const char c = pat[i];
        if (c == '!') {
            *offset = pat.substr(i + 1);
            return nullptr;
        }
        if (is_digit(c)) {
            if (!add_digit(n, c, INT64_MAX))
                return msg_bad_address;
            continue;
        }
        n = 0;
        if (c == 'c' || c == 's' || c == 'i') {
            if (counted)
                return msg_bad_address;
            counted = true;
        } else if (c == '-') {
            return msg_bad_data;
        } else if (c != '>' && c != '|') {
            return msg_bad_address;
        }
    }
    return nullptr;
}

const char *check_offset(std::string_view pat)
{
    int64_t n = 0;
    for (size_t i = 0; i < pat.size(); i++) {
        const char c = pat[i];
        if (is_digit(c)) {
            if (!add_digit(n, c, INT64_MAX))
                return msg_bad_address;
            continue;
        }
        n = 0;
        if (c == '-') {
            if (i == 0 || pat[i - 1] != '>' || (i + 1 < pat.size() && pat[i + 1] == '>'))
                return msg_bad_address;
        } else if (c != '>') {
            return msg_bad_address;
        }
    }
    return nullptr;
}

const char *parse_data(std::string_view pat, data_pattern *d)
{
    bool digits = false;
    for (size_t i = 0; i < pat.size(); i++) {
        const char c = pat[i];
        const bool last = i + 1 == pat.size();
        if (is_digit(c)) {
            if (d->kind == kind_raw) {
                if (!add_digit(d->length, c, INT32_MAX))
                    return msg_bad_data;
                digits = true;
            }
            continue;
        }
        switch (c) {
        case '-':
            if (!(last || pat.substr(i + 1) == "1" || !digits))
                return msg_bad_data;
            d->kind = kind_string;
            break;
        case '<':
        case 'c':
        case 's':
        case 'i':
            if (!last)
                return msg_bad_data;
            d->kind = c == '<' ? kind_string : c == 'c' ? kind_u8 : c == 's' ? kind_u16 : kind_i32;
            break;
        default:
            return msg_bad_data;
        }
    }
    return nullptr;
}

// Runs a checked address pattern: the start address, and the count a count letter read (0 without one).
uintptr_t run_address(std::string_view pat, int64_t *count)
{
    uintptr_t a = 0;
    int64_t n = 0;
    for (char c : pat) {
        if (c == '!')
            break;
        if (is_digit(c)) {
            n = n * 10 + (c - '0');
            continue;
        }
        const uintptr_t at = a + static_cast<uintptr_t>(n);
        // The elements start where the count is: "Ac" counts from the byte at A and reads from A.
        switch (c) {
        case '>':
            a = load<uintptr_t>(at);
            break;
        case '|':
            a = at;
            break;
        case 'c':
            *count = load<uint8_t>(a = at);
            break;
        case 's':
            *count = load<uint16_t>(a = at);
            break;
        case 'i':
            *count = load<int32_t>(a = at);
            break;
        }
        n = 0;
    }
    return a + static_cast<uintptr_t>(n);
}

// The element address of a slot by a checked offset pattern; the sign starts positive for every element.
uintptr_t run_offset(std::string_view pat, uintptr_t e)
{
    int64_t n = 0;
    bool negative = false;
    for (char c : pat) {
        if (is_digit(c)) {
            n = n * 10 + (c - '0');
        } else if (c == '>') {
            e = load<uintptr_t>(negative ? e - static_cast<uintptr_t>(n) : e + static_cast<uintptr_t>(n));
            n = 0;
            negative = false;
        } else {
            negative = true;
        }
    }
    return negative ? e - static_cast<uintptr_t>(n) : e + static_cast<uintptr_t>(n);
}

Tcl_Obj *read_element(const data_pattern &d, uintptr_t e)
{
    switch (d.kind) {
    case kind_string:
        return Tcl_NewStringObj(reinterpret_cast<const char *>(e), -1);
    case kind_u8:
        return Tcl_NewIntObj(load<uint8_t>(e));
    case kind_u16:
        return Tcl_NewIntObj(load<uint16_t>(e));
    case kind_i32:
        return Tcl_NewIntObj(load<int32_t>(e));
    case kind_raw:
        break;
    }
    if (d.length > 0)
        return Tcl_NewByteArrayObj(reinterpret_cast<const unsigned char *>(e), static_cast<int>(d.length));
    const int32_t len = load<int32_t>(e); // a length-prefixed block
    return Tcl_NewByteArrayObj(reinterpret_cast<const unsigned char *>(e + 4), len > 0 ? len : 0);
}

} // namespace

int Dll_MemrdObjCmd(ClientData, Tcl_Interp *interp, int objc, Tcl_Obj *const objv[])
{
    if (objc != 2 && objc != 3) {
        Tcl_WrongNumArgs(interp, 1, objv, usage_memrd);
        return TCL_ERROR;
    }
    const std::string_view addr_pat = Tcl_GetString(objv[1]);
    const std::string_view data_pat = objc == 3 ? Tcl_GetString(objv[2]) : "";
    std::string_view offset;
    data_pattern d;
    const char *err = check_address(addr_pat, &offset);
    if (!err)
        err = parse_data(data_pat, &d);
    if (!err)
        err = check_offset(offset);
    if (err)
        return dll_error(interp, err);

    int64_t count = 0;
    const uintptr_t a = run_address(addr_pat, &count);
    if (d.kind != kind_raw && d.length != 0) {
        if (count != 0)
            return dll_error(interp, msg_bad_data);
        count = d.length;
    }

    // Slots without an offset pattern are 4 apart whatever the kind; with one,
    // a slot is as wide as what it holds: a string is reached through a pointer.
    int64_t stride = 4;
    if (!offset.empty())
        stride = d.kind == kind_u8 || d.kind == kind_raw ? 1
                 : d.kind == kind_u16                    ? 2
                 : d.kind == kind_string                 ? static_cast<int64_t>(sizeof(void *))
                                                         : 4;

    Tcl_Obj *list = Tcl_NewListObj(0, nullptr);
    Tcl_IncrRefCount(list);
    const int64_t end = static_cast<int64_t>(a) + stride * count;
    uintptr_t slot = a;
    do {
        const uintptr_t e = run_offset(offset, slot);
        slot += static_cast<uintptr_t>(stride);
        Tcl_ListObjAppendElement(nullptr, list, read_element(d, e));
    } while (slot != 0 && static_cast<int64_t>(slot) < end);

    if (count > 1) {
        Tcl_SetObjResult(interp, list);
    } else {
        Tcl_Obj *one;
        Tcl_ListObjIndex(nullptr, list, 0, &one);
        Tcl_SetObjResult(interp, one);
    }
    Tcl_DecrRefCount(list);
    return TCL_OK;
}
