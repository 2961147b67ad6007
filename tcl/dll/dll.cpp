// Tcl glue of the native-call extension: initialisation, ::dll::load_module and ::dll::create_cmd.
#include <dlfcn.h>

#include <cstdint>
#include <cstring>

#include "tcl/dll/dll_internal.h"

namespace
{

const char usage_load_module[] = "dllFileName ? -> namespace?";
const char usage_create_cmd[] = "cmd handle name";
const char msg_bad_handle[] = "module handle from ::dll::load_module is required";
const char init_result[] = "dll 1.0, namespace: ::dll";
const char assoc_key[] = "dll";

// The function that a created command calls, bound when ::dll::create_cmd made it.
struct dll_cmd {
    void *fn;
};

void delete_state(ClientData cd, Tcl_Interp *)
{
    auto *st = static_cast<dll_state *>(cd);
    // Pins that the script never released die with the interpreter.
    for (auto &[obj, count] : st->pins)
        for (int i = 0; i < count; i++)
            Tcl_DecrRefCount(obj);
    delete st;
}

void delete_cmd(ClientData cd) { delete static_cast<dll_cmd *>(cd); }

int Dll_LoadModuleObjCmd(ClientData cd, Tcl_Interp *interp, int objc, Tcl_Obj *const objv[])
{
    if (objc != 2) {
        Tcl_WrongNumArgs(interp, 1, objv, usage_load_module);
        return TCL_ERROR;
    }
    auto *st = static_cast<dll_state *>(cd);
    // Bound all at once, as a Windows loader would; modules are never unloaded,
    // since created commands keep addresses into them. An empty name would be
    // the program itself to dlopen.
    const char *file = Tcl_GetString(objv[1]);
    void *h = *file ? dlopen(file, RTLD_NOW | RTLD_LOCAL) : nullptr;
    if (h)
        st->modules.insert(h);
    Tcl_SetObjResult(interp, Tcl_NewWideIntObj(static_cast<Tcl_WideInt>(reinterpret_cast<intptr_t>(h))));
    return TCL_OK;
}

int Dll_CreateCmdObjCmd(ClientData cd, Tcl_Interp *interp, int objc, Tcl_Obj *const objv[])
{
    if (objc != 4) {
        Tcl_WrongNumArgs(interp, 1, objv, usage_create_cmd);
        return TCL_ERROR;
    }
    auto *st = static_cast<dll_state *>(cd);
    // Only handles from ::dll::load_module: 0 would be RTLD_DEFAULT and search the whole process.
    Tcl_WideInt handle;
    if (Tcl_GetWideIntFromObj(nullptr, objv[2], &handle) != TCL_OK ||
        !st->modules.count(reinterpret_cast<void *>(static_cast<intptr_t>(handle))))
        return dll_error(interp, msg_bad_handle);
    // ELF has no export ordinals: a name that is a number finds nothing.
    dlerror();
    void *fn = dlsym(reinterpret_cast<void *>(static_cast<intptr_t>(handle)), Tcl_GetString(objv[3]));
    Tcl_CreateObjCommand(interp, Tcl_GetString(objv[1]), Dll_EntryObjCmd, new dll_cmd{fn}, delete_cmd);
    Tcl_SetObjResult(interp, Tcl_NewWideIntObj(static_cast<Tcl_WideInt>(reinterpret_cast<intptr_t>(fn))));
    return TCL_OK;
}

} // namespace

dll_state *dll_get_state(Tcl_Interp *interp)
{
    return static_cast<dll_state *>(Tcl_GetAssocData(interp, assoc_key, nullptr));
}

int dll_error(Tcl_Interp *interp, const char *msg)
{
    Tcl_SetResult(interp, const_cast<char *>(msg), TCL_STATIC);
    return TCL_ERROR;
}

bool dll_is_bytearray(Tcl_Obj *obj)
{
    const Tcl_ObjType *t = obj->typePtr;
    return t && t->name && std::strcmp(t->name, "bytearray") == 0;
}

void *dll_command_function(ClientData cd) { return static_cast<dll_cmd *>(cd)->fn; }

extern "C" __attribute__((visibility("default"))) int Dll_Init(Tcl_Interp *interp)
{
    if (Tcl_InitStubs(interp, "8.4", 0) == nullptr)
        return TCL_ERROR;
    dll_state *st = dll_get_state(interp);
    if (!st) {
        st = new dll_state;
        Tcl_SetAssocData(interp, assoc_key, delete_state, st);
    }
    static const struct {
        const char *name;
        Tcl_ObjCmdProc *proc;
    } commands[] = {
        {"::dll::load_module", Dll_LoadModuleObjCmd},
        {"::dll::create_cmd", Dll_CreateCmdObjCmd},
        {"::dll::buffer", Dll_BufferObjCmd},
        {"::dll::ref", Dll_RefObjCmd},
        {"::dll::deref", Dll_DerefObjCmd},
        {"::dll::memrd", Dll_MemrdObjCmd},
        {"::dll::memwr", Dll_MemwrObjCmd},
        {"::dll::break", Dll_BreakObjCmd},
    };
    for (const auto &c : commands)
        Tcl_CreateObjCommand(interp, c.name, c.proc, st, nullptr);
    Tcl_SetVar(interp, "::DLL", "::dll", TCL_GLOBAL_ONLY);
    Tcl_PkgProvide(interp, "dll", "1.0");
    Tcl_SetResult(interp, const_cast<char *>(init_result), TCL_STATIC);
    return TCL_OK;
}
