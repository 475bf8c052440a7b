// The one registry of this process's handles (layer-internal): kernel
// objects behind HANDLEs and the wave streams behind HWAVEIN and HWAVEOUT.
//
// A handle is a token, never an address: tokens are handed out in
// increasing order from 0x1004 in steps of 4 (the low bits clear, as on
// Win32) and never twice in the life of the process, so a closed handle is
// not reused. Each open token names one object of one type, and every
// look-up says the type it expects: a stale or made-up token, or one of
// another type, is simply not found and nothing is touched.
//
// Threads: any thread. One lock guards the table and the token counter. It
// is held only inside these calls, for the look-up itself: objects are
// neither made nor destroyed under it (the reference a removal drops goes
// with the returned pointer, after the lock is released), so an object's
// destructor may use the registry.
//
// Ownership: the table holds one reference to each open token's object.
// The table is never destroyed, so objects still open at exit (a wave
// stream with its I/O thread) stay valid to the end.
#pragma once

#include <cstdint>
#include <memory>
#include <typeindex>
#include <utility>

namespace handle_registry_detail {

uintptr_t reserve();
void attach(uintptr_t token, std::type_index type, std::shared_ptr<void> object);
std::shared_ptr<void> find(uintptr_t token, std::type_index type);
std::shared_ptr<void> remove(uintptr_t token, std::type_index type);

}  // namespace handle_registry_detail

// Handles whose objects are of type T (exactly T: a look-up does not see
// objects registered as another type, not even a base or derived one).
template <typename T>
struct handle_registry {
    // A fresh token that names nothing yet, for an object that needs its
    // own handle before it can be opened. A token that is never attached
    // is simply skipped.
    static uintptr_t reserve() { return handle_registry_detail::reserve(); }
    // Makes a reserved token name object.
    static void attach(uintptr_t token, std::shared_ptr<T> object)
    {
        handle_registry_detail::attach(token, typeid(T), std::move(object));
    }
    // Registers object under a fresh token and returns it.
    static uintptr_t open(std::shared_ptr<T> object)
    {
        const uintptr_t token = reserve();
        attach(token, std::move(object));
        return token;
    }
    // The object token names, or null if it names no open T.
    static std::shared_ptr<T> find(uintptr_t token)
    {
        return std::static_pointer_cast<T>(handle_registry_detail::find(token, typeid(T)));
    }
    // Unregisters token and hands back its object (null if it named no
    // open T); the object goes when the caller drops it.
    static std::shared_ptr<T> remove(uintptr_t token)
    {
        return std::static_pointer_cast<T>(handle_registry_detail::remove(token, typeid(T)));
    }
};
