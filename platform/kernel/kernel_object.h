// Kernel objects behind HANDLEs (layer-internal).
//
// A HANDLE is a token of the process's handle registry
// (handle_registry.h), never an address: handle_lookup finds only open
// handles of kernel objects, so a stale or made-up handle, or a wave
// handle, fails cleanly. Objects are reference counted: each open handle
// holds one reference, and a running thread holds one on its own object.
#pragma once

#include <windows.h>

#include <condition_variable>
#include <memory>
#include <mutex>

struct kernel_object {
    virtual ~kernel_object() = default;
    // Waitable objects override these; the default is never signalled.
    // Both are called with wait_lock() held. kernel_acquire is called once
    // for each wait that kernel_is_signalled satisfied, before the lock is
    // let go, so that an object a wait consumes (an auto-reset event) is
    // taken by one waiter only.
    virtual bool kernel_is_signalled() { return false; }
    virtual void kernel_acquire() {}

    // Guards the signalled state of every object of this process, so that
    // one condition variable serves all waits. Whoever signals an object
    // changes its state under the lock and then notifies wait_signal().
    static std::mutex& wait_lock();
    static std::condition_variable& wait_signal();
};

// Registers obj and returns a new handle to it.
HANDLE handle_open(std::shared_ptr<kernel_object> obj);
// The object behind a handle, or null (and ERROR_INVALID_HANDLE) if the
// handle is not open.
std::shared_ptr<kernel_object> handle_lookup(HANDLE handle);
