// The commands made by ::dll::create_cmd: arguments marshalled by the call
// descriptor in ::dll::entry(name), one native call, the result converted back.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "tcl/dll/dll_call.h"
#include "tcl/dll/dll_internal.h"

namespace
{

const char usage_entry[] = ".............";
const char msg_floating[] = "floating parameter error";
const char msg_integer[] = "integer parameter error";
const char msg_void_param[] = "void may not be an input parameter";
const char msg_pointer[] = "variable name or NULL is required for pointer";
const char msg_void_ptr[] = "binary string is required for \"void *\"";
const char msg_ffi[] = "native call could not be prepared";

// Type-flag word of a parameter or of the return value.
constexpr uint32_t flag_pointer = 0x40000000; // this value or more: pointer to what the low bits say
constexpr uint32_t flag_numeric = 0x80;
constexpr uint32_t flag_floating = 0x30;
constexpr uint32_t flag_double = 0x20;
constexpr uint32_t flag_string = 0x100;
constexpr uint32_t kind_mask = 0x3f; // 4 int32, 8 int64, 0x10 float, 0x20 double

// A pointer-to-number or pointer-to-string parameter: a C buffer of the right
// width whose content goes back into the variable after the call.
struct out_param {
    Tcl_Obj *var;
    dll_type kind; // dll_pointer stands for a char pointer
    dll_value buf;
    std::string text;
};

// References taken for the duration of the call.
struct held_objs {
    std::vector<Tcl_Obj *> objs;
    void hold(Tcl_Obj *o)
    {
        Tcl_IncrRefCount(o);
        objs.push_back(o);
    }
    ~held_objs()
    {
        for (Tcl_Obj *o : objs)
            Tcl_DecrRefCount(o);
    }
};

int descriptor_error(Tcl_Interp *interp, const char *name, const char *what)
{
    Tcl_ResetResult(interp);
    Tcl_AppendResult(interp, "call descriptor ::dll::entry(", name, ") ", what, nullptr);
    return TCL_ERROR;
}

dll_type number_type(uint32_t f)
{
    if (f & flag_floating)
        return (f & flag_double) ? dll_double : dll_float;
    return (f & kind_mask) == 8 ? dll_int64 : dll_int32;
}

dll_type return_type(uint32_t r)
{
    if (r >= flag_pointer || (!(r & flag_numeric) && (r & flag_string)))
        return dll_pointer;
    if (!(r & flag_numeric))
        return dll_void;
    // A numeric return of a kind that fits neither its class nor the table stores nothing.
    switch ((r & flag_string) ? 4 : r & kind_mask) {
    case 4:
        return (r & flag_floating) ? dll_void : dll_int32;
    case 8:
        return (r & flag_floating) ? dll_void : dll_int64;
    case 0x10:
        return dll_float;
    case 0x20:
        return dll_double;
    }
    return dll_void;
}

// Reads a number into a buffer of the width of t; false when it is not one.
bool read_number(Tcl_Obj *obj, dll_type t, dll_value &v)
{
    double d;
    Tcl_WideInt w;
    int i;
    switch (t) {
    case dll_float:
    case dll_double:
        if (Tcl_GetDoubleFromObj(nullptr, obj, &d) != TCL_OK)
            return false;
        if (t == dll_float)
            v.f = static_cast<float>(d);
        else
            v.d = d;
        return true;
    case dll_int64:
        if (Tcl_GetWideIntFromObj(nullptr, obj, &w) != TCL_OK)
            return false;
        v.i64 = w;
        return true;
    default:
        if (Tcl_GetIntFromObj(nullptr, obj, &i) != TCL_OK)
            return false;
        v.i32 = i;
        return true;
    }
}

Tcl_Obj *number_obj(dll_type t, const dll_value &v)
{
    switch (t) {
    case dll_float:
        return Tcl_NewDoubleObj(v.f);
    case dll_double:
        return Tcl_NewDoubleObj(v.d);
    case dll_int64:
        return Tcl_NewWideIntObj(v.i64);
    default:
        return Tcl_NewIntObj(v.i32);
    }
}

const char *number_error(dll_type t)
{
    return (t == dll_float || t == dll_double) ? msg_floating : msg_integer;
}

} // namespace

int Dll_EntryObjCmd(ClientData cd, Tcl_Interp *interp, int objc, Tcl_Obj *const objv[])
{
    const char *name = Tcl_GetString(objv[0]);
    Tcl_Obj *desc = Tcl_GetVar2Ex(interp, "::dll::entry", name, TCL_GLOBAL_ONLY);
    if (!desc)
        return descriptor_error(interp, name, "is missing");
    // The words are copied at once: marshalling may run traces or change the value's form.
    int len;
    const unsigned char *bytes = Tcl_GetByteArrayFromObj(desc, &len);
    auto word = [bytes](int i) {
        uint32_t w;
        std::memcpy(&w, bytes + 4 * i, 4); // little-endian, as the descriptor is
        return w;
    };
    if (len < 12)
        return descriptor_error(interp, name, "is too short");
    if (word(2) != static_cast<uint32_t>(objc)) {
        Tcl_WrongNumArgs(interp, 1, objv, usage_entry);
        return TCL_ERROR;
    }
    const int nparams = objc - 1;
    if (len / 4 < objc + 3)
        return descriptor_error(interp, name, "is too short");
    const uint32_t ret_flags = word(3);
    std::vector<uint32_t> flags(static_cast<size_t>(nparams));
    for (int i = 0; i < nparams; i++)
        flags[i] = word(4 + i);

    void *fn = dll_command_function(cd);
    if (!fn) {
        Tcl_ResetResult(interp);
        Tcl_AppendResult(interp, "no native function is bound to \"", name, "\"", nullptr);
        return TCL_ERROR;
    }

    std::vector<dll_type> types(static_cast<size_t>(nparams));
    std::vector<dll_value> args(static_cast<size_t>(nparams));
    std::vector<out_param> outs;
    outs.reserve(static_cast<size_t>(nparams)); // buffers are passed by address: no reallocation
    std::vector<std::pair<int, Tcl_Obj *>> buffers;
    held_objs held;

    for (int i = 0; i < nparams; i++) {
        const uint32_t f = flags[i];
        Tcl_Obj *obj = objv[i + 1];
        std::memset(&args[i], 0, sizeof args[i]);
        if (f < flag_pointer) {
            if (f & flag_numeric) {
                types[i] = number_type(f);
                if (!read_number(obj, types[i], args[i]))
                    return dll_error(interp, number_error(types[i]));
            } else if (f & flag_string) {
                types[i] = dll_pointer;
                args[i].p = Tcl_GetString(obj);
            } else {
                return dll_error(interp, msg_void_param);
            }
            continue;
        }

        types[i] = dll_pointer;
        Tcl_Obj *v = Tcl_ObjGetVar2(interp, obj, nullptr, 0);
        Tcl_WideInt literal;
        if (!v && Tcl_GetWideIntFromObj(nullptr, obj, &literal) == TCL_OK) {
            if (literal != 0)
                return dll_error(interp, msg_pointer);
            args[i].p = nullptr;
            continue;
        }
        const uint32_t pointee = f & (flag_pointer - 1);
        if (pointee & flag_numeric) {
            out_param &o = outs.emplace_back();
            o.var = obj;
            o.kind = number_type(pointee);
            std::memset(&o.buf, 0, sizeof o.buf);
            if (v && !read_number(v, o.kind, o.buf))
                return dll_error(interp, number_error(o.kind));
            args[i].p = &o.buf;
        } else if (pointee & flag_string) {
            out_param &o = outs.emplace_back();
            o.var = obj;
            o.kind = dll_pointer;
            o.text = v ? Tcl_GetString(v) : "";
            o.buf.p = o.text.data();
            args[i].p = &o.buf.p;
        } else {
            if (!v || !dll_is_bytearray(v))
                return dll_error(interp, msg_void_ptr);
            // The native side writes into the value: a value that other places
            // share is copied first, unless ::dll::ref pinned it for that.
            if (Tcl_IsShared(v) && !dll_get_state(interp)->pins.count(v)) {
                v = Tcl_ObjSetVar2(interp, obj, nullptr, Tcl_DuplicateObj(v), TCL_LEAVE_ERR_MSG);
                if (!v)
                    return TCL_ERROR;
                if (!dll_is_bytearray(v))
                    return dll_error(interp, msg_void_ptr);
            }
            held.hold(v);
            buffers.emplace_back(i, v);
        }
    }
    // Last, so that no later conversion of the same value frees the bytes.
    for (auto &[i, v] : buffers)
        args[i].p = Tcl_GetByteArrayFromObj(v, nullptr);

    const dll_type rtype = return_type(ret_flags);
    dll_value ret;
    int err = 0;
    if (!Dll_CallNative(fn, rtype, types.data(), args.data(), nparams, &ret, &err))
        return dll_error(interp, msg_ffi);

    // Converted before any trace can run more native code over static storage.
    Tcl_Obj *result = nullptr;
    switch (rtype) {
    case dll_void:
        break;
    case dll_pointer:
        if (ret_flags >= flag_pointer)
            result = Tcl_NewWideIntObj(static_cast<Tcl_WideInt>(reinterpret_cast<intptr_t>(ret.p)));
        else
            result = Tcl_NewStringObj(ret.p ? static_cast<const char *>(ret.p) : "", -1);
        break;
    default:
        result = number_obj(rtype, ret);
        break;
    }
    // A numeric return whose kind stores nothing still answers with a zero of its class.
    if (!result && (ret_flags & flag_numeric) && ret_flags < flag_pointer)
        result = (ret_flags & flag_floating) ? Tcl_NewDoubleObj(0.0) : Tcl_NewIntObj(0);
    if (result)
        held.hold(result);

    for (auto &[i, v] : buffers)
        Tcl_InvalidateStringRep(v); // the native side may have changed the bytes
    Tcl_SetVar2Ex(interp, "::dll::error", nullptr, Tcl_NewIntObj(err), TCL_GLOBAL_ONLY);
    for (out_param &o : outs) {
        Tcl_Obj *value;
        if (o.kind == dll_pointer)
            value = Tcl_NewStringObj(o.buf.p ? static_cast<const char *>(o.buf.p) : "", -1);
        else
            value = number_obj(o.kind, o.buf);
        if (!Tcl_ObjSetVar2(interp, o.var, nullptr, value, TCL_LEAVE_ERR_MSG))
            return TCL_ERROR;
    }
    if (result)
        Tcl_SetObjResult(interp, result);
    else
        Tcl_ResetResult(interp);
    return TCL_OK;
}
