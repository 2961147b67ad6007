// Native memory commands: ::dll::buffer, ::dll::ref, ::dll::deref, ::dll::memwr, ::dll::break.
#include <cstdint>
#include <cstring>

#include "tcl/dll/dll_internal.h"

namespace
{

const char usage_buffer[] = "name size";
const char usage_varname[] = "varname";
const char usage_memwr[] = "bytearray memaddr";
const char usage_break[] = "breakpointValue breakpointType";
const char msg_size[] = "size should be an integer value";
const char msg_negative_size[] = "size should be a non-negative integer value";
const char msg_no_memory[] = "not enough memory for the buffer";
const char msg_bytearray[] = "bytearray variable required";
const char msg_not_variable[] = "parameter is not a variable";
const char msg_not_pinned[] = "variable was not referenced by ::dll::ref";
const char msg_address[] = "integer value for memory address is required";

} // namespace

int Dll_BufferObjCmd(ClientData, Tcl_Interp *interp, int objc, Tcl_Obj *const objv[])
{
    if (objc != 2) {
        Tcl_WrongNumArgs(interp, 1, objv, usage_buffer);
        return TCL_ERROR;
    }
    int size;
    if (Tcl_GetIntFromObj(nullptr, objv[1], &size) != TCL_OK)
        return dll_error(interp, msg_size);
    if (size < 0)
        return dll_error(interp, msg_negative_size);
    // Tcl ends the process when an allocation fails: ask first whether it can succeed.
    if (size > 0) {
        char *probe = Tcl_AttemptAlloc(static_cast<unsigned>(size) + 16);
        if (!probe)
            return dll_error(interp, msg_no_memory);
        Tcl_Free(probe);
    }
    Tcl_Obj *buf = Tcl_NewByteArrayObj(nullptr, size);
    std::memset(Tcl_GetByteArrayFromObj(buf, nullptr), 0, static_cast<size_t>(size));
    Tcl_SetObjResult(interp, buf);
    return TCL_OK;
}

int Dll_RefObjCmd(ClientData cd, Tcl_Interp *interp, int objc, Tcl_Obj *const objv[])
{
    if (objc != 2) {
        Tcl_WrongNumArgs(interp, 1, objv, usage_varname);
        return TCL_ERROR;
    }
    auto *st = static_cast<dll_state *>(cd);
    Tcl_Obj *v = Tcl_ObjGetVar2(interp, objv[1], nullptr, 0);
    if (!v) {
        v = Tcl_ObjSetVar2(interp, objv[1], nullptr, Tcl_NewByteArrayObj(nullptr, 0), TCL_LEAVE_ERR_MSG);
        if (!v)
            return TCL_ERROR;
    }
    if (!dll_is_bytearray(v))
        return dll_error(interp, msg_bytearray);
    Tcl_IncrRefCount(v);
    st->pins[v]++;
    // Native code may change the bytes: let Tcl rebuild the string from them.
    Tcl_InvalidateStringRep(v);
    const unsigned char *bytes = Tcl_GetByteArrayFromObj(v, nullptr);
    // The bytes start 4 bytes after the address handed out.
    const intptr_t addr = reinterpret_cast<intptr_t>(bytes) - 4;
    Tcl_SetObjResult(interp, Tcl_NewWideIntObj(static_cast<Tcl_WideInt>(addr)));
    return TCL_OK;
}

int Dll_DerefObjCmd(ClientData cd, Tcl_Interp *interp, int objc, Tcl_Obj *const objv[])
{
    if (objc != 2) {
        Tcl_WrongNumArgs(interp, 1, objv, usage_varname);
        return TCL_ERROR;
    }
    auto *st = static_cast<dll_state *>(cd);
    Tcl_Obj *v = Tcl_ObjGetVar2(interp, objv[1], nullptr, 0);
    if (!v)
        return dll_error(interp, msg_not_variable);
    // Only a pin of our own may be released: anything else would free a live value.
    auto it = st->pins.find(v);
    if (it == st->pins.end())
        return dll_error(interp, dll_is_bytearray(v) ? msg_not_pinned : msg_bytearray);
    if (--it->second == 0)
        st->pins.erase(it);
    Tcl_DecrRefCount(v);
    Tcl_ResetResult(interp);
    return TCL_OK;
}

int Dll_MemwrObjCmd(ClientData, Tcl_Interp *interp, int objc, Tcl_Obj *const objv[])
{
    if (objc != 3) {
        Tcl_WrongNumArgs(interp, 1, objv, usage_memwr);
        return TCL_ERROR;
    }
    // The address first: reading it cannot then free the bytes of the same value.
    Tcl_WideInt addr;
    if (Tcl_GetWideIntFromObj(nullptr, objv[2], &addr) != TCL_OK)
        return dll_error(interp, msg_address);
    int len;
    const unsigned char *bytes = Tcl_GetByteArrayFromObj(objv[1], &len);
    if (len > 0)
        std::memmove(reinterpret_cast<void *>(static_cast<intptr_t>(addr)), bytes, static_cast<size_t>(len));
    return TCL_OK;
}

int Dll_BreakObjCmd(ClientData, Tcl_Interp *interp, int objc, Tcl_Obj *const objv[])
{
    if (objc != 3) {
        Tcl_WrongNumArgs(interp, 1, objv, usage_break);
        return TCL_ERROR;
    }
    // A place to stop a debugger at with a value at hand; what each operation
    // leaves in the result stays there, and the command always succeeds.
    Tcl_Obj *value = objv[1];
    int i;
    switch (Tcl_GetString(objv[2])[0]) {
    case 'i':
        (void)Tcl_GetIntFromObj(interp, value, &i);
        break;
    case 'n':
        (void)Tcl_ObjGetVar2(interp, value, nullptr, 0);
        break;
    case 's':
        (void)Tcl_GetString(value);
        break;
    case 'e':
        (void)Tcl_EvalObjEx(interp, value, 0);
        break;
    case 't': {
        Tcl_Interp *child = Tcl_CreateInterp();
        (void)Tcl_EvalObjEx(child, value, 0);
        (void)Tcl_GetStringResult(child);
        Tcl_DeleteInterp(child);
        break;
    }
    default:
        break;
    }
    return TCL_OK;
}
