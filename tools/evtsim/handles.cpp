// The handle table. A handle encodes a slot and the slot's generation, so a closed handle
// stays invalid after its slot is reused.
#include "tools/evtsim/handles.h"

namespace {

constexpr ULONG_PTR slot_count = 1024;
constexpr ULONG_PTR handle_tag = 0x40000000;

SRWLOCK g_lock = SRWLOCK_INIT;
SimObject *g_objects[slot_count];
WORD g_generation[slot_count];

HANDLE encode(ULONG_PTR slot) { return reinterpret_cast<HANDLE>(handle_tag | (ULONG_PTR{g_generation[slot]} << 12) | (slot << 2)); }

// The slot a handle names if it is one of ours and current; slot_count otherwise.
ULONG_PTR decode(HANDLE handle)
{
    ULONG_PTR value = reinterpret_cast<ULONG_PTR>(handle);
    if ((value & ~ULONG_PTR{0x3FFFFFFF}) != handle_tag || (value & 3) != 0)
        return slot_count;
    ULONG_PTR slot = (value >> 2) & (slot_count - 1);
    return encode(slot) == handle ? slot : slot_count;
}

} // namespace

HANDLE handle_insert(SimObject *object)
{
    AcquireSRWLockExclusive(&g_lock);
    HANDLE handle = nullptr;
    for (ULONG_PTR slot = 0; slot < slot_count; ++slot) {
        if (g_objects[slot] == nullptr) {
            g_objects[slot] = object;
            handle = encode(slot);
            break;
        }
    }
    ReleaseSRWLockExclusive(&g_lock);
    return handle;
}

SimObject *handle_acquire(HANDLE handle, SimKind kind)
{
    AcquireSRWLockShared(&g_lock);
    ULONG_PTR slot = decode(handle);
    SimObject *object = slot < slot_count ? g_objects[slot] : nullptr;
    if (object != nullptr && object->kind == kind)
        InterlockedIncrement(&object->refs);
    else
        object = nullptr;
    ReleaseSRWLockShared(&g_lock);
    return object;
}

SimObject *handle_remove(HANDLE handle, SimKind kind)
{
    AcquireSRWLockExclusive(&g_lock);
    ULONG_PTR slot = decode(handle);
    SimObject *object = slot < slot_count ? g_objects[slot] : nullptr;
    if (object != nullptr && object->kind == kind) {
        g_objects[slot] = nullptr;
        g_generation[slot] = static_cast<WORD>(g_generation[slot] + 1);
    } else {
        object = nullptr;
    }
    ReleaseSRWLockExclusive(&g_lock);
    return object;
}

void handle_release(SimObject *object)
{
    if (object != nullptr && InterlockedDecrement(&object->refs) == 0)
        object->destroy(object);
}

SimObject *object_alloc(size_t size, SimKind kind, void (*destroy)(SimObject *))
{
    SimObject *object = static_cast<SimObject *>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, size));
    if (object != nullptr) {
        object->kind = kind;
        object->refs = 1;
        object->destroy = destroy;
    }
    return object;
}

void object_free(SimObject *object) { HeapFree(GetProcessHeap(), 0, object); }
