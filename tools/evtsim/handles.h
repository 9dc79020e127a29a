// Handles of the simulation: a table of reference-counted objects, so that a handle that is
// closed, stale or of another kind is refused with ERROR_INVALID_HANDLE, and an object in
// use on one thread outlives its closing on another.
#pragma once
#include <windows.h>

// What a handle stands for.
enum class SimKind : LONG { log = 1, source, subscription, render_context, event };

// Head of every object in the table.
struct SimObject {
    SimKind kind;
    volatile LONG refs;                   // the table's reference and those of users
    void (*destroy)(SimObject *object);   // runs when the last reference goes
};

// Puts an object holding one reference (the table's) into the table; its handle, or null
// when the table is full.
HANDLE handle_insert(SimObject *object);
// The object of handle if it is of kind, with a reference added for the caller; null otherwise.
SimObject *handle_acquire(HANDLE handle, SimKind kind);
// Takes handle out of the table; its object, still holding the table's reference, or null.
SimObject *handle_remove(HANDLE handle, SimKind kind);
// Drops one reference; the last destroys the object.
void handle_release(SimObject *object);
// Allocates a zeroed object of size bytes with one reference; null when out of memory.
SimObject *object_alloc(size_t size, SimKind kind, void (*destroy)(SimObject *));
// Frees an object allocated by object_alloc (the usual end of a destroy function).
void object_free(SimObject *object);
