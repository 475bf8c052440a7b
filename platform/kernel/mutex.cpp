// Named mutexes. The object behind a name is a lock that the kernel drops
// when the last holder exits, however it exits:
//
// - Normally an flock on a file in the session's runtime directory
//   ($XDG_RUNTIME_DIR), which only this user can reach, so no other local
//   user can take the name first or hold it.
// - Where there is no runtime directory this user alone can write to, or
//   the lock file cannot be made or locked there (something else sits under
//   its name, the directory is full), a bound abstract unix socket. Any local user can bind such a name, which
//   is why it is the fallback only.
//
// Within one process every handle opened on a name shares the one lock, so
// the name lives until the last of them is closed, as in Win32. A handle
// opened on a name that another process created does not keep that name
// alive once the creator has gone.
#include "hash.h"
#include "kernel_object.h"
#include "login_session.h"
#include "text_utf8.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <string>

namespace {

// The locked file or the bound socket of a name this process created.
struct held_name {
    explicit held_name(int lock_fd) : fd(lock_fd) {}
    ~held_name() { ::close(fd); }
    held_name(const held_name&) = delete;
    held_name& operator=(const held_name&) = delete;
    int fd;
};

struct mutex_object : kernel_object {
    explicit mutex_object(std::shared_ptr<held_name> name) : held(std::move(name)) {}
    std::shared_ptr<held_name> held;  // null when another process holds the name
};

// Names this process holds, keyed by where their lock is, so that opening
// one again shares it. The lock guards the map and makes look-up-or-take
// atomic.
std::mutex names_lock;
std::map<std::string, std::weak_ptr<held_name>>& held_names()
{
    static auto* names = new std::map<std::string, std::weak_ptr<held_name>>;
    return *names;
}

std::string hex_hash(const std::string& text)
{
    char hex[17];
    std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(fnv1a(text, 1469598103934665603ull)));
    return hex;
}

// Where the session keeps this user's run-time files, as the session's
// environment says; null if it does not say. Like Xlib's DISPLAY, this
// locates the desktop session and is no setting of the program.
const char* runtime_dir_variable() { return ::secure_getenv("XDG_RUNTIME_DIR"); }

// The runtime directory, opened, if it is an absolute path to a directory
// of this user that no one else can write to; -1 otherwise. Nothing else is
// trusted to hold the lock: whoever can write there could take the name.
int open_private_runtime_dir(struct stat& st)
{
    const char* path = runtime_dir_variable();
    if (!path || !*path)
        return -1;
    int fd = path[0] == '/' ? ::open(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC) : -1;
    if (fd >= 0 && ::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::geteuid() &&
        !(st.st_mode & (S_IWGRP | S_IWOTH)))
        return fd;
    if (fd >= 0)
        ::close(fd);
    OutputDebugStringA("CreateMutexW: XDG_RUNTIME_DIR is not a private directory of this user; named mutexes "
                       "use the socket namespace all users share\n");
    return -1;
}

// "vistamo-mutex.<session>.<name>" with '/' and '%' escaped, hashed when
// too long for a file name. The directory is this user's alone, so the
// user need not be in the name.
std::string lock_file_name(const std::string& utf8)
{
    std::string escaped;
    for (char c : utf8) {
        if (c == '/')
            escaped += "%2F";
        else if (c == '%')
            escaped += "%25";
        else
            escaped += c;
    }
    std::string prefix = "vistamo-mutex." + login_session_id() + ".";
    if (prefix.size() + escaped.size() <= 255)
        return prefix + escaped;
    return prefix + hex_hash(utf8);
}

// "\0vistamo-mutex/<uid>/<session>/<name>", hashed when too long for an
// abstract address.
std::string abstract_name(const std::string& utf8)
{
    std::string full = "vistamo-mutex/" + std::to_string(::getuid()) + "/" + login_session_id() + "/";
    const size_t room = sizeof(sockaddr_un::sun_path) - 1;
    if (full.size() + utf8.size() <= room)
        return full + utf8;
    return full + hex_hash(utf8);
}

enum class take_result { taken, held_elsewhere, failed };

// Opens and locks the lock file of a name in the runtime directory. On
// failure errno says why, and why too when errno alone would mislead.
take_result take_lock_file(int dir_fd, const std::string& file, int& fd_out, std::string& why)
{
    // O_NONBLOCK: whatever sits under the name, opening it must not wait.
    int fd = ::openat(dir_fd, file.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0600);
    if (fd < 0) {
        const int err = errno;
        why = err == ELOOP ? "it is a symbolic link" : err == ENXIO ? "it is a socket" : std::strerror(err);
        errno = err;
        return take_result::failed;
    }
    struct stat st;
    if (::fstat(fd, &st) != 0)
        why = std::strerror(errno);
    else if (!S_ISREG(st.st_mode))
        why = "it is not a regular file";
    else if (st.st_uid != ::geteuid())
        why = "it belongs to another user";
    if (!why.empty()) {
        ::close(fd);
        errno = EINVAL;
        return take_result::failed;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        int err = errno;
        why = std::strerror(err);
        ::close(fd);
        errno = err;
        return err == EWOULDBLOCK ? take_result::held_elsewhere : take_result::failed;
    }
    fd_out = fd;
    return take_result::taken;
}

take_result bind_abstract(const std::string& name, int& fd_out)
{
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return take_result::failed;
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    addr.sun_path[0] = '\0';
    name.copy(addr.sun_path + 1, name.size());
    socklen_t len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), len) != 0) {
        int err = errno;
        ::close(fd);
        errno = err;
        return err == EADDRINUSE ? take_result::held_elsewhere : take_result::failed;
    }
    fd_out = fd;
    return take_result::taken;
}

}  // namespace

namespace {

std::mutex session_lock;
std::string& session_for_tests()  // guarded by session_lock
{
    static auto* id = new std::string;
    return *id;
}

}  // namespace

std::string login_session_id()
{
    {
        std::lock_guard<std::mutex> hold(session_lock);
        if (!session_for_tests().empty())
            return session_for_tests();
    }
    std::ifstream in("/proc/self/sessionid");
    std::string id;
    if (!(in >> id) || id == "4294967295")
        return "none";
    return id;
}

void login_session_id_set_for_tests(const std::string& id)
{
    std::lock_guard<std::mutex> hold(session_lock);
    session_for_tests() = id;
}

namespace {

// The handle of the name whose lock is at key: one sharing the lock this
// process already holds there, else one holding a lock take just took, else
// one that owns nothing (another process holds it). failed, errno set, if
// take failed. Called with names_lock held.
template <class Take>
take_result open_name(const std::string& key, Take take, HANDLE& handle)
{
    auto& names = held_names();
    auto known = names.find(key);
    if (known != names.end()) {
        if (auto held = known->second.lock()) {
            handle = handle_open(std::make_shared<mutex_object>(std::move(held)));
            SetLastError(ERROR_ALREADY_EXISTS);
            return take_result::taken;
        }
        names.erase(known);
    }
    int fd = -1;
    const take_result result = take(fd);
    if (result == take_result::taken) {
        auto held = std::make_shared<held_name>(fd);
        names[key] = held;
        handle = handle_open(std::make_shared<mutex_object>(std::move(held)));
        SetLastError(ERROR_SUCCESS);
    } else if (result == take_result::held_elsewhere) {
        // As Win32 opens the existing object: a handle that owns nothing.
        handle = handle_open(std::make_shared<mutex_object>(nullptr));
        SetLastError(ERROR_ALREADY_EXISTS);
    }
    return result;
}

}  // namespace

HANDLE CreateMutexW(LPSECURITY_ATTRIBUTES, BOOL, LPCWSTR name)
{
    if (!name || !*name) {
        SetLastError(ERROR_SUCCESS);
        return handle_open(std::make_shared<mutex_object>(nullptr));
    }
    const std::string utf8 = utf8_from_wide(name);
    HANDLE handle = nullptr;
    std::lock_guard<std::mutex> hold(names_lock);
    struct stat dir_st;
    const int dir_fd = open_private_runtime_dir(dir_st);
    if (dir_fd >= 0) {
        // The directory by identity, not by path: another directory under
        // the same path later is another place.
        const std::string file = lock_file_name(utf8);
        const std::string key =
            "file:" + std::to_string(dir_st.st_dev) + ":" + std::to_string(dir_st.st_ino) + "/" + file;
        std::string why;
        const take_result result =
            open_name(key, [&](int& fd) { return take_lock_file(dir_fd, file, fd, why); }, handle);
        ::close(dir_fd);
        if (result != take_result::failed)
            return handle;
        // Whatever sits under the name, or a full directory, must not keep
        // the program from starting; the socket still keeps it single.
        const std::string trace = "CreateMutexW: cannot lock " + file + " in XDG_RUNTIME_DIR (" + why +
                                  "); \"" + utf8 + "\" uses the socket namespace all users share\n";
        OutputDebugStringA(trace.c_str());
    }
    const std::string socket = abstract_name(utf8);
    if (open_name("socket:" + socket, [&](int& fd) { return bind_abstract(socket, fd); }, handle) !=
        take_result::failed)
        return handle;
    const int err = errno;
    std::string trace = "CreateMutexW: cannot take the lock of \"" + utf8 + "\": " + std::strerror(err) + "\n";
    OutputDebugStringA(trace.c_str());
    SetLastError(err == ENOMEM || err == ENFILE || err == EMFILE ? ERROR_NOT_ENOUGH_MEMORY : ERROR_ACCESS_DENIED);
    return nullptr;
}

BOOL ReleaseMutex(HANDLE mutex)
{
    return std::dynamic_pointer_cast<mutex_object>(handle_lookup(mutex)) ? TRUE : FALSE;
}
