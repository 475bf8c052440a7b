// Named mutexes over abstract unix sockets: the bound name is the object.
// Binding fails while any process still holds the socket, and the kernel
// drops it when the last holder exits, however it exits.
//
// Within one process every handle opened on a name shares the bound socket,
// so the name lives until the last of them is closed, as in Win32. A handle
// opened on a name that another process created does not keep that name
// alive once the creator has gone.
#include "kernel_object.h"
#include "text_utf8.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <string>

namespace {

// The bound socket of a name this process created.
struct bound_name {
    explicit bound_name(int socket_fd) : fd(socket_fd) {}
    ~bound_name() { ::close(fd); }
    bound_name(const bound_name&) = delete;
    bound_name& operator=(const bound_name&) = delete;
    int fd;
};

struct mutex_object : kernel_object {
    explicit mutex_object(std::shared_ptr<bound_name> name) : bound(std::move(name)) {}
    std::shared_ptr<bound_name> bound;  // null when another process holds the name
};

// Names this process has bound, so that opening one again shares its socket.
// The lock guards the map and makes look-up-or-bind atomic.
std::mutex names_lock;
std::map<std::string, std::weak_ptr<bound_name>>& bound_names()
{
    static auto* names = new std::map<std::string, std::weak_ptr<bound_name>>;
    return *names;
}

// The kernel's login-session id; processes outside any session share one.
std::string login_session_id()
{
    std::ifstream in("/proc/self/sessionid");
    std::string id;
    if (!(in >> id) || id == "4294967295")
        return "none";
    return id;
}

uint64_t fnv1a(const std::string& text)
{
    uint64_t hash = 1469598103934665603ull;
    for (unsigned char c : text) {
        hash ^= c;
        hash *= 1099511628211ull;
    }
    return hash;
}

// "\0vistamo-mutex/<uid>/<session>/<name>", hashed when too long for an
// abstract address.
std::string abstract_name(LPCWSTR name)
{
    std::string utf8 = utf8_from_wide(name);
    std::string full = "vistamo-mutex/" + std::to_string(::getuid()) + "/" + login_session_id() + "/";
    const size_t room = sizeof(sockaddr_un::sun_path) - 1;
    if (full.size() + utf8.size() <= room)
        return full + utf8;
    char hex[17];
    std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(fnv1a(utf8)));
    return full + hex;
}

}  // namespace

HANDLE CreateMutexW(LPSECURITY_ATTRIBUTES, BOOL, LPCWSTR name)
{
    if (!name || !*name) {
        SetLastError(ERROR_SUCCESS);
        return handle_open(std::make_shared<mutex_object>(nullptr));
    }
    std::string path = abstract_name(name);
    std::lock_guard<std::mutex> hold(names_lock);
    auto& names = bound_names();
    auto known = names.find(path);
    if (known != names.end()) {
        if (auto bound = known->second.lock()) {
            HANDLE h = handle_open(std::make_shared<mutex_object>(std::move(bound)));
            SetLastError(ERROR_ALREADY_EXISTS);
            return h;
        }
        names.erase(known);
    }
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    addr.sun_path[0] = '\0';
    path.copy(addr.sun_path + 1, path.size());
    socklen_t len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + path.size());
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), len) == 0) {
        auto bound = std::make_shared<bound_name>(fd);
        names[path] = bound;
        HANDLE h = handle_open(std::make_shared<mutex_object>(std::move(bound)));
        SetLastError(ERROR_SUCCESS);
        return h;
    }
    int err = errno;
    ::close(fd);
    if (err == EADDRINUSE) {
        // The name exists: hand out a handle that owns nothing, as Win32
        // opens the existing object.
        HANDLE h = handle_open(std::make_shared<mutex_object>(nullptr));
        SetLastError(ERROR_ALREADY_EXISTS);
        return h;
    }
    SetLastError(ERROR_ACCESS_DENIED);
    return nullptr;
}

BOOL ReleaseMutex(HANDLE mutex)
{
    return std::dynamic_pointer_cast<mutex_object>(handle_lookup(mutex)) ? TRUE : FALSE;
}
