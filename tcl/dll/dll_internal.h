// Shared between the files of the dll extension; nothing here is exported.
#pragma once

#include <tcl.h>

#include <map>
#include <set>

// Per-interpreter state, kept as the interpreter's associated data "dll" and
// handed to every command of the extension as its client data.
struct dll_state {
    std::set<void *> modules;      // handles that ::dll::load_module returned
    std::map<Tcl_Obj *, int> pins; // values pinned by ::dll::ref, with their pin counts
};

// The state of the extension in this interpreter.
dll_state *dll_get_state(Tcl_Interp *interp);

// A static message as the result, and TCL_ERROR.
int dll_error(Tcl_Interp *interp, const char *msg);

// A value whose internal form is Tcl's byte array.
bool dll_is_bytearray(Tcl_Obj *obj);

// The native function bound to a created command (its client data); null when none was found.
void *dll_command_function(ClientData cd);

int Dll_BufferObjCmd(ClientData cd, Tcl_Interp *interp, int objc, Tcl_Obj *const objv[]);
int Dll_RefObjCmd(ClientData cd, Tcl_Interp *interp, int objc, Tcl_Obj *const objv[]);
int Dll_DerefObjCmd(ClientData cd, Tcl_Interp *interp, int objc, Tcl_Obj *const objv[]);
int Dll_MemwrObjCmd(ClientData cd, Tcl_Interp *interp, int objc, Tcl_Obj *const objv[]);
int Dll_MemrdObjCmd(ClientData cd, Tcl_Interp *interp, int objc, Tcl_Obj *const objv[]);
int Dll_BreakObjCmd(ClientData cd, Tcl_Interp *interp, int objc, Tcl_Obj *const objv[]);
int Dll_EntryObjCmd(ClientData cd, Tcl_Interp *interp, int objc, Tcl_Obj *const objv[]);
