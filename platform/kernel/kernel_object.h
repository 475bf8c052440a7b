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
    virtual bool kernel_is_signalled() { return false; }

    // Guards the signalled state of every object of this process, so that
    // one condition variable serves all waits.
    static std::mutex& wait_lock();
    static std::condition_variable& wait_signal();
};

// Registers obj and returns a new handle to it.
HANDLE handle_open(std::shared_ptr<kernel_object> obj);
// The object behind a handle, or null (and ERROR_INVALID_HANDLE) if the
// handle is not open.
std::shared_ptr<kernel_object> handle_lookup(HANDLE handle);
